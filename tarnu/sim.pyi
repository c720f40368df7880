# Type stub of tarnu.sim: the simulation environment and its event loop.
from types import TracebackType
from typing import (
    Any,
    Callable,
    Dict,
    Iterable,
    Optional,
    SupportsFloat,
    SupportsIndex,
    SupportsInt,
    Tuple,
    Type,
    TypeVar,
    Union,
    overload,
)

from typing_extensions import Concatenate, Literal, ParamSpec, disjoint_base

from tarnu.event import Event
from tarnu.process import Process

# Set at import, as in every module of the package.
__test__: Dict[str, Any]

_P = ParamSpec("_P")
_E = TypeVar("_E", bound=Environment)
_Seconds = Union[SupportsFloat, SupportsIndex]
# What a wrapped function returns: an iterable (usually its generator) of
# activation pairs, or None for "sleep until activated".
_Steps = Iterable[Optional[Tuple[float, int]]]

@disjoint_base
class Environment:
    def __init__(
        self, start: object = False, stop_time: _Seconds = ..., *, errors: Literal["report", "raise"] = "report"
    ) -> None: ...
    @property
    def time(self) -> float: ...
    @property
    def started(self) -> bool: ...
    @property
    def errors(self) -> Literal["report", "raise"]: ...
    @property
    def stop_time(self) -> float: ...

    def add(self, process: Process, /) -> None:
        """Append ``process`` to the environment's list of processes.

        A process adds itself when it is made; a model does not call this.
        Adding never starts a process. Failures are reported as unraisable.
        """

    def start(self) -> None: ...
    def finish(self) -> None: ...
    def run_until(self, ex_time: _Seconds, after_reason: SupportsInt = ...) -> float: ...
    def join(self) -> float: ...
    def __enter__(self: _E) -> _E:
        """Start the environment and return it."""

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_val: Optional[BaseException],
        exc_tb: Optional[TracebackType],
    ) -> None:
        """Run the environment to its stop time (:meth:`join`), then
        :meth:`finish` it. An exception of the block is never suppressed."""

    def next_event_time(self) -> float: ...
    def next_event(self) -> Optional[Event]:
        """The earliest pending event, left in the heap; ``None`` when
        nothing is pending."""

    @overload
    def process(
        self, func: Callable[Concatenate[Process, _P], _Steps], *args: _P.args, **kwargs: _P.kwargs
    ) -> Process: ...
    @overload
    def process(self, func: Callable[..., _Steps], *args: Any, loop_forever: bool, **kwargs: Any) -> Process: ...
