# Type stub of tarnu.process: the base class of every simulated process.
from typing import Any, Dict, Generator, Optional, SupportsFloat, SupportsIndex, SupportsInt, Tuple, Union

from typing_extensions import disjoint_base

from tarnu.sim import Environment

# Set at import, as in every module of the package.
__test__: Dict[str, Any]

# What a process generator yields: (time in seconds, reason), or None for
# "sleep until activated".
_Activation = Optional[Tuple[float, int]]

@disjoint_base
class Process:
    def __init__(self, env: Environment) -> None: ...
    @property
    def env(self) -> Environment: ...
    @property
    def time(self) -> float: ...
    @property
    def _is_waiting(self) -> bool: ...

    def __call__(self) -> Generator[_Activation, int, object]: ...
    def setup_env(self, env: Environment, /) -> None:
        """Register the process with ``env``: remember the environment and its
        heap, and add the process to the environment's list.

        The constructor calls it; a subclass that overrides it without
        calling this one leaves the process unregistered. Failures are
        reported as unraisable.
        """

    def _wait(self) -> _Activation: ...
    def _process(self) -> object: ...
    def activate(
        self, time: Union[SupportsFloat, SupportsIndex], reason: SupportsInt
    ) -> None: ...
    def start(self) -> None:
        """Start the process: make its generator by calling the process, run
        it to its first ``yield``, and schedule the activation it yields.

        The environment starts every process when it starts, and a process
        made in a started environment starts in its constructor; a model
        does not call it.
        """

    def finish(self) -> None:
        """Clean-up hook, called by :meth:`Environment.finish` for every
        process; does nothing unless overridden. Failures are reported as
        unraisable."""

    def next_event_time(self) -> float:
        """The time of the process's pending wake-up, in seconds; the same
        as :meth:`next_activation_time`."""

    def next_activation_time(self) -> float: ...

def isgenerator(object: object) -> bool:
    """:func:`inspect.isgenerator`, which also recognises the generators the
    package makes."""
