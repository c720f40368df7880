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

    def test_a_lone_root_cannot_be_pushed_into_a_second_heap(self, run_ok):
        out = run_ok("""
x = N(1)
h1 = MinPairingHeap([x])
h2 = MinPairingHeap([N(0)])
h2.push(x)
print(reports[-1][:2])
h3 = MinPairingHeap()
h3.push(x)
h4 = MinPairingHeap([N(5), x])
print(len(reports), h4.pop().key, h4.pop())
print(h1.pop() is x, h1.pop(), h2.pop().key, h2.pop(), bool(h3))
h2.push(x)
print(h2.first() is x)
gc.collect()
""")
        assert out.splitlines() == [
            "(<class 'ValueError'>, 'the node is already in a heap')",
            "3 5 None",
            "True None 0 None False",
            "True",
        ]

    def test_a_finaliser_cannot_relink_a_node_that_is_being_released(self, run_ok):
        # While a heap releases its nodes, the ones still waiting look linked,
        # the last one included.
        out = run_ok("""
class Dying(N):
    def __del__(self):
        h2.push(r)
r = N(0)
y, z = N(-2), N(-1)
h2 = MinPairingHeap([z, y])
h = MinPairingHeap([r, Dying(1)])
del h
print(reports[-1][:2])
print([n.key for n in iter(h2.pop, None)])
""")
        assert out.splitlines() == [
            "(<class 'ValueError'>, 'the node is already in a heap')",
            "[-2, -1]",
        ]
