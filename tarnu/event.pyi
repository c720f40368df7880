# Type stub of tarnu.event: the heap node the kernel schedules.
from typing import Any, Dict, Optional, SupportsInt

from typing_extensions import disjoint_base

from tarnu.minqueue import MinPairingHeapNode
from tarnu.process import Process

# Set at import, as in every module of the package.
__test__: Dict[str, Any]

@disjoint_base
class Event(MinPairingHeapNode):
    def __init__(self, time_i64: SupportsInt, process: Optional[Process], reason: SupportsInt) -> None: ...
    @property
    def time_i64(self) -> int: ...
    @time_i64.setter
    def time_i64(self, value: SupportsInt) -> None: ...
    @property
    def process(self) -> Optional[Process]: ...
    @property
    def seq(self) -> int: ...
    @property
    def reason(self) -> int: ...
    @reason.setter
    def reason(self, value: SupportsInt) -> None: ...
