"""tarnu: a fast, tick-exact discrete-event simulation kernel.

Importing the package loads no extension module: the program decides the
order in which ``tarnu.sim``, ``tarnu.process`` and the others are imported.
The names below are re-exported lazily, on first access.
"""

import importlib
import os

__version__ = "0.1.0"

_LAZY = {
    "Environment": "tarnu.sim",
    "Process": "tarnu.process",
    "Event": "tarnu.event",
    "MinPairingHeap": "tarnu.minqueue",
    "MinPairingHeapNode": "tarnu.minqueue",
    "TIME_FOREVER": "tarnu.define",
    "TIME_PASSED": "tarnu.define",
    "TIME_REACHED": "tarnu.define",
    "LOCK_RELEASED": "tarnu.define",
    "d2l": "tarnu.timeconv",
    "l2d": "tarnu.timeconv",
    "time_eq": "tarnu.timeconv",
    "time_le": "tarnu.timeconv",
    "time_lt": "tarnu.timeconv",
    "time_ge": "tarnu.timeconv",
    "time_gt": "tarnu.timeconv",
    "Resource": "tarnu.resources",
    "PriorityResource": "tarnu.resources",
    "PreemptiveResource": "tarnu.resources",
    "Container": "tarnu.resources",
    "Store": "tarnu.resources",
    "FilterStore": "tarnu.resources",
    "PriorityStore": "tarnu.resources",
    "Tally": "tarnu.resources",
    "Level": "tarnu.resources",
    "PREEMPTED": "tarnu.resources",
    "TIMED_OUT": "tarnu.resources",
}

__all__ = sorted([*_LAZY, "get_include"])


def get_include() -> str:
    """The directory of tarnu's C++ headers, for extensions built against its native interface.

    Add it to the include path and write ``#include <tarnu/process.hpp>`` (the
    records and method tables) and ``#include <tarnu/native.hpp>`` (the
    functions that fetch them), as numpy's ``get_include()`` serves numpy's
    headers.
    """
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "include")


def __getattr__(name):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'tarnu' has no attribute '{name}'")
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_LAZY))
