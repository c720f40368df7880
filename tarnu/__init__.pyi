# Type stub of the tarnu package: the names it re-exports from its modules.
from tarnu.define import LOCK_RELEASED as LOCK_RELEASED
from tarnu.define import TIME_FOREVER as TIME_FOREVER
from tarnu.define import TIME_PASSED as TIME_PASSED
from tarnu.define import TIME_REACHED as TIME_REACHED
from tarnu.event import Event as Event
from tarnu.minqueue import MinPairingHeap as MinPairingHeap
from tarnu.minqueue import MinPairingHeapNode as MinPairingHeapNode
from tarnu.process import Process as Process
from tarnu.resources import PREEMPTED as PREEMPTED
from tarnu.resources import TIMED_OUT as TIMED_OUT
from tarnu.resources import Container as Container
from tarnu.resources import FilterStore as FilterStore
from tarnu.resources import Level as Level
from tarnu.resources import PreemptiveResource as PreemptiveResource
from tarnu.resources import PriorityResource as PriorityResource
from tarnu.resources import PriorityStore as PriorityStore
from tarnu.resources import Resource as Resource
from tarnu.resources import Store as Store
from tarnu.resources import Tally as Tally
from tarnu.sim import Environment as Environment
from tarnu.timeconv import d2l as d2l
from tarnu.timeconv import l2d as l2d
from tarnu.timeconv import time_eq as time_eq
from tarnu.timeconv import time_ge as time_ge
from tarnu.timeconv import time_gt as time_gt
from tarnu.timeconv import time_le as time_le
from tarnu.timeconv import time_lt as time_lt

__version__: str

def get_include() -> str: ...

__all__ = [
    "Container",
    "Environment",
    "Event",
    "FilterStore",
    "LOCK_RELEASED",
    "Level",
    "MinPairingHeap",
    "MinPairingHeapNode",
    "PREEMPTED",
    "PreemptiveResource",
    "PriorityResource",
    "PriorityStore",
    "Process",
    "Resource",
    "Store",
    "TIMED_OUT",
    "TIME_FOREVER",
    "TIME_PASSED",
    "TIME_REACHED",
    "Tally",
    "d2l",
    "get_include",
    "l2d",
    "time_eq",
    "time_ge",
    "time_gt",
    "time_le",
    "time_lt",
]
