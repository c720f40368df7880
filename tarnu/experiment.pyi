import os
from concurrent.futures import Executor
from typing import Any, Callable, ClassVar, Iterable, Iterator, Literal, Mapping, Protocol, Sequence, overload

__all__ = [
    "Results",
    "RunFailure",
    "StudyError",
    "Table",
    "derive_seed",
    "replicate",
    "scenario_key",
    "sweep",
]

class _DaskClient(Protocol):
    # What the studies use of a dask.distributed.Client.
    def get_executor(self, **kwargs: Any) -> Executor: ...
    def nthreads(self) -> Mapping[str, int]: ...

_Model = Callable[..., Mapping[str, Any]]
_Executor = Executor | _DaskClient | Literal["processes"] | None
_Rng = Literal["random", "numpy"] | Callable[[int], Any]
_Path = str | os.PathLike[str]

def derive_seed(seed: int, *key: int) -> int: ...
def scenario_key(params: Mapping[str, Any]) -> int: ...

class Table(Sequence[dict[str, Any]]):
    def __init__(self, rows: Iterable[Mapping[str, Any]] = ()) -> None: ...
    @property
    def columns(self) -> list[str]: ...
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int) -> dict[str, Any]: ...
    @overload
    def __getitem__(self, index: slice) -> Table: ...
    def __iter__(self) -> Iterator[dict[str, Any]]: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def to_pandas(self) -> Any: ...

class RunFailure:
    params: dict[str, Any]
    replication: int
    seed: int
    error: str
    traceback: str
    def __init__(
        self, params: Mapping[str, Any], replication: int, seed: int, error: str, traceback: str
    ) -> None: ...

class StudyError(RuntimeError):
    results: Results
    def __init__(self, results: Results) -> None: ...
    def __reduce__(self) -> tuple[type[StudyError], tuple[Results]]: ...

class Results(Table):
    parameters: tuple[str, ...]
    failures: list[RunFailure]
    def __init__(
        self,
        rows: Iterable[Mapping[str, Any]] = (),
        *,
        parameters: Sequence[str] = (),
        failures: Iterable[RunFailure] = (),
    ) -> None: ...
    @property
    def measures(self) -> list[str]: ...
    def summary(self, confidence: float = 0.95) -> Table: ...
    def plot(
        self, measure: str, x: str | None = None, *, ax: Any = None, confidence: float = 0.95
    ) -> Any: ...

def replicate(
    model: _Model,
    n: int,
    *,
    seed: int,
    params: Mapping[str, Any] | None = None,
    executor: _Executor = None,
    progress: bool | None = None,
    rng: _Rng = "random",
    store: _Path | None = None,
    chunksize: int | None = None,
    on_failure: Literal["raise", "keep"] = "raise",
) -> Results: ...
def sweep(
    model: _Model,
    grid: Mapping[str, Iterable[Any]] | Iterable[Mapping[str, Any]],
    *,
    replications: int,
    seed: int,
    common_random_numbers: bool = False,
    executor: _Executor = None,
    progress: bool | None = None,
    rng: _Rng = "random",
    store: _Path | None = None,
    chunksize: int | None = None,
    on_failure: Literal["raise", "keep"] = "raise",
) -> Results: ...
