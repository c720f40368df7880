"""A non-string keyword is reported by the entry itself, naming it."""
import re

import pytest

import tarnu.process as process_mod
import tarnu.sim as sim_mod
import tarnu.timeconv as timeconv
from tarnu.minqueue import MinPairingHeapNode
from tarnu.process import Process
from tarnu.sim import Environment

BAD_KEYWORDS = {1: 2}


def _callers():
    env = Environment()
    proc = Process(env)
    node = MinPairingHeapNode()
    return [
        ("time_eq", lambda: timeconv.time_eq(1.0, 2.0, **BAD_KEYWORDS)),
        ("time_le", lambda: timeconv.time_le(1.0, 2.0, **BAD_KEYWORDS)),
        ("time_lt", lambda: timeconv.time_lt(1.0, 2.0, **BAD_KEYWORDS)),
        ("time_ge", lambda: timeconv.time_ge(1.0, 2.0, **BAD_KEYWORDS)),
        ("time_gt", lambda: timeconv.time_gt(1.0, 2.0, **BAD_KEYWORDS)),
        ("print_tree", lambda: node.print_tree(**BAD_KEYWORDS)),
        ("run_until", lambda: env.run_until(1.0, **BAD_KEYWORDS)),
        ("__exit__", lambda: env.__exit__(None, None, None, **BAD_KEYWORDS)),
        ("activate", lambda: proc.activate(1.0, 0, **BAD_KEYWORDS)),
        ("__pyx_unpickle_Environment",
         lambda: sim_mod.__pyx_unpickle_Environment(Environment, 0x5874625, None, **BAD_KEYWORDS)),
        ("__pyx_unpickle_Process",
         lambda: process_mod.__pyx_unpickle_Process(Process, 0x955b494, None, **BAD_KEYWORDS)),
    ]


NAMES = [name for name, _ in _callers()]


@pytest.mark.parametrize("index", range(len(NAMES)), ids=NAMES)
def test_non_string_keyword_message_names_the_function(index):
    name, call = _callers()[index]
    with pytest.raises(TypeError, match="^" + re.escape(name + "() keywords must be strings") + "$"):
        call()
