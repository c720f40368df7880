"""Regressions found by the random-call fuzzer (tests/fuzz/driver.py).

Each case runs in a fresh interpreter, so that a crash fails the test
instead of ending the test run.
"""
import pytest

PRELUDE = """
import gc, sys
from tarnu.minqueue import MinPairingHeap, MinPairingHeapNode
from tarnu.event import Event
from tarnu.sim import Environment
from tarnu.process import Process
reports = []
sys.unraisablehook = lambda info: reports.append((info.exc_type, str(info.exc_value), info.object))

class N(MinPairingHeapNode):
    def __init__(self, key):
        self.key = key
    def __lt__(self, other):
        return self.key < other.key
"""


@pytest.fixture
def run_ok(run_py):
    def run(code):
        result = run_py(PRELUDE + code)
        assert result.returncode == 0, result.stderr
        assert "Fatal Python error" not in result.stderr
        return result.stdout
    return run


class TestHeap:
    def test_notify_dec_of_a_foreign_node_on_an_empty_heap(self, run_ok):
        out = run_ok("""
a, b = N(1), N(2)
h1 = MinPairingHeap([a, b])
h2 = MinPairingHeap()
h2.notify_dec(b)
print(reports[-1][:2])
print(h1.pop() is a, h1.pop() is b, h1.pop(), bool(h2))
""")
        assert out.splitlines() == [
            "(<class 'ValueError'>, 'the node is not in this heap')",
            "True True None False",
        ]
