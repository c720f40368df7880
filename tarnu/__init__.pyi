# Type stub of the tarnu package: the names it re-exports from its modules.
from tarnu.define import LOCK_RELEASED as LOCK_RELEASED
from tarnu.define import TIME_FOREVER as TIME_FOREVER
from tarnu.define import TIME_PASSED as TIME_PASSED
from tarnu.define import TIME_REACHED as TIME_REACHED
from tarnu.event import Event as Event
from tarnu.minqueue import MinPairingHeap as MinPairingHeap
from tarnu.minqueue import MinPairingHeapNode as MinPairingHeapNode
from tarnu.process import Process as Process
from tarnu.sim import Environment as Environment
from tarnu.timeconv import d2l as d2l
from tarnu.timeconv import l2d as l2d
from tarnu.timeconv import time_eq as time_eq
from tarnu.timeconv import time_ge as time_ge
from tarnu.timeconv import time_gt as time_gt
from tarnu.timeconv import time_le as time_le
from tarnu.timeconv import time_lt as time_lt

__version__: str
__all__ = [
    "Environment",
    "Event",
    "LOCK_RELEASED",
    "MinPairingHeap",
    "MinPairingHeapNode",
    "Process",
    "TIME_FOREVER",
    "TIME_PASSED",
    "TIME_REACHED",
    "d2l",
    "l2d",
    "time_eq",
    "time_ge",
    "time_gt",
    "time_le",
    "time_lt",
]
