"""Replications and parameter sweeps of a model, on one machine or on a cluster.

A study runs a model many times. The model is a callable
``model(rng, **params)`` that builds and runs one simulation with the random
number generator ``rng`` and returns a mapping of named results (numbers,
mostly). :func:`replicate` runs it ``n`` times with the same parameters;
:func:`sweep` runs every scenario of a parameter grid, each with its
replications. Both return :class:`Results`: one row per run, with a
:meth:`~Results.summary` of means and Student-t confidence intervals.

Where the runs happen is the ``executor``: ``None`` runs them here, one after
the other (exceptions propagate, for debugging); ``"processes"`` starts a
process pool sized to the machine; any :class:`concurrent.futures.Executor`
is used as it is; a ``dask.distributed.Client`` sends them to a cluster. The
results do not depend on the executor, on the number of workers, or on the
order in which runs finish.

Random streams
--------------
Every run has its own stream, named by a key of integers below the study's
``seed``: ``(i,)`` for replication ``i`` of :func:`replicate`, and
``(scenario_key(params), i)`` for replication ``i`` of a scenario of
:func:`sweep`, where :func:`scenario_key` is a hash of the scenario's
parameter values, not its position in the grid, so adding, removing or
reordering scenarios leaves every other scenario's streams unchanged. With
``common_random_numbers=True`` the key is ``(i,)`` in every scenario, so
replication ``i`` of each scenario sees the same stream.

The run's seed is ``derive_seed(seed, *key)``: the four 32-bit words of
``numpy.random.SeedSequence(seed, spawn_key=key).generate_state(4)`` joined
little-endian into one 128-bit integer. When numpy is already imported its
``SeedSequence`` computes the words; otherwise a pure-Python transcription of
the same algorithm does, and the two agree word for word, so installing
numpy changes no result. The run's generator is then
``random.Random(run_seed)`` (``rng="random"``, the default),
``numpy.random.default_rng(run_seed)`` (``rng="numpy"``) or
``rng(run_seed)`` for a callable: the kind of generator changes only when
the study asks for another. Each row records its ``seed``, so any run can be
repeated alone.

Optional extras: ``tarnu[dask]`` for clusters, ``tarnu[pandas]`` for
:meth:`Table.to_pandas`, ``tarnu[parquet]`` for checkpointed studies,
``tarnu[plot]`` for :meth:`Results.plot`, ``tarnu[progress]`` for a progress
bar; ``cloudpickle`` (installed with ``tarnu[dask]``) sends models defined in
a script or a notebook.
"""
from __future__ import annotations

import collections
import collections.abc
import concurrent.futures
import concurrent.futures.process
import hashlib
import importlib
import itertools
import json
import math
import numbers
import os
import pickle
import random
import signal
import sys
import time
import traceback
from functools import lru_cache
from typing import Any, Callable, Iterable, Iterator, Mapping, Sequence

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

# Column names that every row has; a parameter or a measure may not take them.
_RESERVED = ("replication", "seed")
# Seconds of work one chunk of runs aims at: long enough that the cost of a
# task is small beside it, short enough for results to stream back and for
# the last chunks to spread over the workers.
_CHUNK_SECONDS = 0.25
_MAX_CHUNK = 10_000


def _require(module: str, extra: str, purpose: str) -> Any:
    """Imports an optional dependency, or says which extra brings it."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(
            f"{purpose} needs {module.split('.')[0]}: pip install 'tarnu[{extra}]'"
        ) from exc


# -- random streams ---------------------------------------------------------

_MASK32 = 0xFFFFFFFF
_POOL_SIZE = 4
_INIT_A, _MULT_A = 0x43B0D7E5, 0x931E8875
_INIT_B, _MULT_B = 0x8B51F9DD, 0x58F38DED
_MIX_MULT_L, _MIX_MULT_R = 0xCA01F9DD, 0x4973F715


def _uint32_words(value: int) -> list[int]:
    """Splits a non-negative int into 32-bit words, least significant first."""
    words = [value & _MASK32]
    value >>= 32
    while value:
        words.append(value & _MASK32)
        value >>= 32
    return words


def _state_words(entropy: int, key: tuple[int, ...]) -> list[int]:
    """Four words of SeedSequence(entropy, spawn_key=key).generate_state(4)."""
    numpy = sys.modules.get("numpy")
    if numpy is not None:
        sequence = numpy.random.SeedSequence(entropy, spawn_key=key)
        return [int(w) for w in sequence.generate_state(_POOL_SIZE)]
    run = _uint32_words(entropy)
    spawned = [w for k in key for w in _uint32_words(k)]
    if spawned and len(run) < _POOL_SIZE:
        run += [0] * (_POOL_SIZE - len(run))
    entropy_words = run + spawned

    hash_const = _INIT_A

    def hashmix(value: int) -> int:
        nonlocal hash_const
        value ^= hash_const
        hash_const = (hash_const * _MULT_A) & _MASK32
        value = (value * hash_const) & _MASK32
        return value ^ (value >> 16)

    def mix(x: int, y: int) -> int:
        result = (_MIX_MULT_L * x - _MIX_MULT_R * y) & _MASK32
        return result ^ (result >> 16)

    # Fill the pool, then let every word act on every other, then stir in
    # the words that did not fit.
    pool = [hashmix(entropy_words[i] if i < len(entropy_words) else 0) for i in range(_POOL_SIZE)]
    for src in range(_POOL_SIZE):
        for dst in range(_POOL_SIZE):
            if src != dst:
                pool[dst] = mix(pool[dst], hashmix(pool[src]))
    for word in entropy_words[_POOL_SIZE:]:
        for dst in range(_POOL_SIZE):
            pool[dst] = mix(pool[dst], hashmix(word))

    hash_const = _INIT_B
    state = []
    for word in pool:
        word ^= hash_const
        hash_const = (hash_const * _MULT_B) & _MASK32
        word = (word * hash_const) & _MASK32
        state.append(word ^ (word >> 16))
    return state


def _check_seed(seed: object, name: str = "seed") -> int:
    if isinstance(seed, bool) or not isinstance(seed, int) or seed < 0:
        raise ValueError(f"{name} must be a non-negative int, not {seed!r}")
    return seed


def derive_seed(seed: int, *key: int) -> int:
    """Returns the 128-bit seed of the stream at ``key`` below the study seed ``seed``.

    The four words of ``numpy.random.SeedSequence(seed, spawn_key=key)
    .generate_state(4)``, least significant first; the same on every machine,
    with or without numpy.
    """
    _check_seed(seed)
    for k in key:
        _check_seed(k, "a key")
    words = _state_words(seed, key)
    return sum(word << (32 * i) for i, word in enumerate(words))


def _canonical(value: object, where: str) -> str:
    """The text that names a parameter value, the same in every interpreter."""
    if value is None or isinstance(value, bool):
        return repr(value)
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if isinstance(value, numbers.Real):
        return repr(float(value))
    if isinstance(value, str):
        return json.dumps(value)
    if isinstance(value, bytes):
        return "b'" + value.hex() + "'"
    if isinstance(value, (tuple, list)):
        return "[" + ",".join(_canonical(v, where) for v in value) + "]"
    if isinstance(value, collections.abc.Mapping):
        items = sorted((_canonical(k, where), _canonical(v, where)) for k, v in value.items())
        return "{" + ",".join(f"{k}:{v}" for k, v in items) + "}"
    if type(value).__module__ == "numpy" and hasattr(value, "item"):
        return _canonical(value.item(), where)
    raise ValueError(
        f"{where} is {value!r}: a scenario is named by plain values (numbers, strings, "
        "booleans, None, and tuples, lists or dicts of them); pass a name and let the "
        "model look the object up"
    )


def scenario_key(params: Mapping[str, Any]) -> int:
    """Returns the 64-bit key that names a scenario by its parameter values.

    The first eight bytes, little-endian, of the SHA-256 digest of the
    parameters' canonical text: ``name=value`` for each, in sorted order,
    joined by ``;``, where names and strings are written as JSON (ASCII
    only), ints in decimal, floats as ``repr`` writes them, None, True and
    False as words, bytes as ``b'<hex>'``, tuples and lists as
    ``[a,b]`` and dicts as ``{k:v}`` sorted by key text. ``1`` and ``1.0``
    are different scenarios; a tuple and a list with the same items are the
    same; numpy scalars count as the Python numbers they hold.
    """
    parts = []
    for name in sorted(params):
        if not isinstance(name, str):
            raise ValueError(f"parameter names must be strings, not {name!r}")
        parts.append(f"{json.dumps(name)}={_canonical(params[name], f'parameter {name!r}')}")
    digest = hashlib.sha256(";".join(parts).encode("ascii")).digest()
    return int.from_bytes(digest[:8], "little")


def _make_rng(kind: Any, run_seed: int) -> Any:
    if kind == "random":
        return random.Random(run_seed)
    if kind == "numpy":
        return _require("numpy", "numpy", 'rng="numpy"').random.default_rng(run_seed)
    return kind(run_seed)


# -- one run, and a chunk of runs on a worker --------------------------------


def _measures(value: object, params: Mapping[str, Any]) -> dict[str, Any]:
    """Checks what a model returned and makes it a dict of measures."""
    if not isinstance(value, collections.abc.Mapping):
        raise ValueError(f"the model returned {value!r}, not a mapping of named results")
    measures = dict(value)
    for name in measures:
        if not isinstance(name, str):
            raise ValueError(f"the model returned a result named {name!r}: names must be strings")
        if name in _RESERVED or name in params:
            raise ValueError(
                f"the model returned a result named {name!r}, which is a column of the table already"
            )
    return measures


# Models already unpickled in this worker, by the digest of their pickle, so
# that a worker unpickles a model once and not once per chunk.
_MODELS: dict[str, Any] = {}


def _run_chunk(model_blob: bytes, model_id: str, chunk_blob: bytes) -> bytes:
    """Runs a chunk of runs on a worker; a failing run is returned, not raised.

    Returns the pickle of a list with, for each run, (task index, run seed,
    True, measures, seconds) or (task index, run seed, False, (error,
    traceback text), seconds). The worker pickles it itself, so that a run
    whose results cannot be sent back fails alone.
    """
    loaded = _MODELS.get(model_id)
    if loaded is None:
        loaded = pickle.loads(model_blob)
        if len(_MODELS) >= 8:
            _MODELS.clear()
        _MODELS[model_id] = loaded
    model, rng_kind = loaded
    seed, tasks = pickle.loads(chunk_blob)
    params_of: dict[int, dict[str, Any]] = {}
    out: list[tuple[Any, ...]] = []
    for index, scenario, params_blob, key in tasks:
        params = params_of.get(scenario)
        if params is None:
            params = params_of[scenario] = pickle.loads(params_blob)
        run_seed = derive_seed(seed, *key)
        started = time.perf_counter()
        try:
            measures = _measures(model(_make_rng(rng_kind, run_seed), **params), params)
        except (Exception, SystemExit) as exc:
            # A model that calls sys.exit() ends its run, not the study.
            error = (f"{type(exc).__name__}: {exc}", traceback.format_exc())
            out.append((index, run_seed, False, error, time.perf_counter() - started))
        else:
            out.append((index, run_seed, True, measures, time.perf_counter() - started))
    dumps = _serializer()
    try:
        return dumps(out)
    except Exception:
        pass
    for n, outcome in enumerate(out):
        try:
            dumps(outcome)
        except Exception as exc:
            reason = f"the run's results cannot be sent back: {type(exc).__name__}: {exc}"
            out[n] = (outcome[0], outcome[1], False, (reason, traceback.format_exc()), outcome[4])
    return dumps(out)


# -- tables -----------------------------------------------------------------


def _format_cell(value: object) -> str:
    if isinstance(value, float):
        return f"{value:.6g}"
    return str(value)


class Table(collections.abc.Sequence):
    """A table of rows: a sequence of dicts whose keys are the column names.

    ``list(table)`` is a plain list of dicts; :meth:`to_pandas` makes a
    ``pandas.DataFrame`` of it.
    """

    def __init__(self, rows: Iterable[Mapping[str, Any]] = ()) -> None:
        self._rows = [dict(row) for row in rows]

    @property
    def columns(self) -> list[str]:
        """The column names, in the order they first appear."""
        seen: dict[str, None] = {}
        for row in self._rows:
            seen.update(dict.fromkeys(row))
        return list(seen)

    def __len__(self) -> int:
        return len(self._rows)

    def __getitem__(self, index):  # type: ignore[override]
        if isinstance(index, slice):
            return Table(self._rows[index])
        return self._rows[index]

    def __iter__(self) -> Iterator[dict[str, Any]]:
        return iter(self._rows)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Table):
            return self._rows == other._rows
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    def to_pandas(self) -> Any:
        """Returns the rows as a ``pandas.DataFrame``, one column per name."""
        pandas = _require("pandas", "pandas", "to_pandas()")
        return pandas.DataFrame({c: [row.get(c) for row in self._rows] for c in self.columns})

    def __str__(self) -> str:
        columns = self.columns
        cells = [[_format_cell(row.get(c, "")) for c in columns] for row in self._rows]
        widths = [max([len(c)] + [len(r[i]) for r in cells]) for i, c in enumerate(columns)]
        lines = ["  ".join(c.rjust(w) for c, w in zip(columns, widths))]
        lines += ["  ".join(v.rjust(w) for v, w in zip(r, widths)) for r in cells]
        return "\n".join(lines)

    def __repr__(self) -> str:
        return f"<{type(self).__name__}: {len(self)} rows, columns {self.columns}>"


class RunFailure:
    """A run that raised: its parameters, replication, seed and traceback."""

    __slots__ = ("params", "replication", "seed", "error", "traceback")

    def __init__(
        self, params: Mapping[str, Any], replication: int, seed: int, error: str, traceback: str
    ) -> None:
        self.params = dict(params)
        self.replication = replication
        self.seed = seed
        self.error = error
        self.traceback = traceback

    def __repr__(self) -> str:
        return (
            f"RunFailure(params={self.params!r}, replication={self.replication}, "
            f"seed={self.seed}, error={self.error!r})"
        )

    def __str__(self) -> str:
        return (
            f"replication {self.replication} of {self.params!r} (seed {self.seed}) failed: "
            f"{self.error}\n{self.traceback}"
        )


class StudyError(RuntimeError):
    """Some runs of a study failed; ``results`` holds every run that succeeded."""

    def __init__(self, results: Results) -> None:
        failures = results.failures
        total = len(results) + len(failures)
        super().__init__(
            f"{len(failures)} of {total} runs failed; the first was "
            f"{failures[0]}".rstrip("\n")
        )
        self.results = results

    def __reduce__(self) -> tuple[type, tuple[Results]]:
        return type(self), (self.results,)


class Results(Table):
    """The runs of a study: one row per run, with its parameters, replication and seed.

    Rows are in scenario order, then by replication, whatever order the runs
    finished in. ``failures`` lists the runs that raised.
    """

    def __init__(
        self,
        rows: Iterable[Mapping[str, Any]] = (),
        *,
        parameters: Sequence[str] = (),
        failures: Iterable[RunFailure] = (),
    ) -> None:
        super().__init__(rows)
        self.parameters = tuple(parameters)
        self.failures = list(failures)

    @property
    def measures(self) -> list[str]:
        """The names of the model's results, in the order they first appear."""
        skip = set(self.parameters) | set(_RESERVED)
        return [c for c in self.columns if c not in skip]

    def summary(self, confidence: float = 0.95) -> Table:
        """Returns the mean, standard deviation, count and confidence interval per scenario and measure.

        The interval is Student's t interval of the mean at ``confidence``;
        it and the standard deviation are NaN for a single run. Measures that
        are not real numbers are left out, and so are None values.
        """
        if not (isinstance(confidence, float) and 0.0 < confidence < 1.0):
            raise ValueError(f"confidence must be a float between 0 and 1, not {confidence!r}")
        measures = self.measures
        groups: dict[tuple, dict[str, list[float]]] = {}
        scenario_params: dict[tuple, dict[str, Any]] = {}
        for row in self._rows:
            params = {p: row[p] for p in self.parameters}
            key = tuple(_canonical(v, "a parameter") for v in params.values())
            scenario_params.setdefault(key, params)
            values = groups.setdefault(key, {})
            for name in measures:
                value = row.get(name)
                if isinstance(value, numbers.Real):
                    values.setdefault(name, []).append(float(value))
        out = []
        for key, values in groups.items():
            for name in measures:
                if name in values:
                    out.append({**scenario_params[key], "measure": name, **_describe(values[name], confidence)})
        return Table(out)

    def plot(
        self, measure: str, x: str | None = None, *, ax: Any = None, confidence: float = 0.95
    ) -> Any:
        """Plots the mean of ``measure`` against the parameter ``x``, with its confidence band.

        One line per combination of the other parameters that vary. Returns
        the matplotlib ``Axes`` (a new figure's, unless ``ax`` is given).
        """
        if measure not in self.measures:
            raise ValueError(f"no measure {measure!r}; the results have {self.measures}")
        varying = [p for p in self.parameters if len({_canonical(r[p], p) for r in self._rows}) > 1]
        if x is None:
            if len(varying) != 1:
                raise ValueError(f"give x, one of the parameters {list(self.parameters)}")
            x = varying[0]
        if x not in self.parameters:
            raise ValueError(f"x must be one of the parameters {list(self.parameters)}, not {x!r}")
        if ax is None:
            pyplot = _require("matplotlib.pyplot", "plot", "plot()")
            _, ax = pyplot.subplots()
        others = [p for p in varying if p != x]
        lines: dict[tuple, list[dict[str, Any]]] = {}
        for row in self.summary(confidence):
            if row["measure"] == measure:
                lines.setdefault(tuple(row[p] for p in others), []).append(row)
        for group, rows in lines.items():
            label = ", ".join(f"{p}={v}" for p, v in zip(others, group)) or measure
            xs = [r[x] for r in rows]
            line = ax.plot(xs, [r["mean"] for r in rows], marker="o", label=label)[0]
            ax.fill_between(
                xs, [r["ci_low"] for r in rows], [r["ci_high"] for r in rows],
                color=line.get_color(), alpha=0.2, linewidth=0,
            )
        ax.set_xlabel(x)
        ax.set_ylabel(f"{measure} (mean, {confidence:.0%} CI)")
        if others:
            ax.legend()
        return ax


def _describe(values: list[float], confidence: float) -> dict[str, Any]:
    n = len(values)
    mean = math.fsum(values) / n
    if n < 2:
        return {"count": n, "mean": mean, "std": math.nan, "ci_low": math.nan, "ci_high": math.nan}
    std = math.sqrt(math.fsum((v - mean) ** 2 for v in values) / (n - 1))
    half = _t_quantile(0.5 + confidence / 2, n - 1) * std / math.sqrt(n)
    return {"count": n, "mean": mean, "std": std, "ci_low": mean - half, "ci_high": mean + half}


def _incomplete_beta(a: float, b: float, x: float) -> float:
    """The regularised incomplete beta function I_x(a, b)."""
    if x <= 0.0:
        return 0.0
    if x >= 1.0:
        return 1.0
    if x > (a + 1.0) / (a + b + 2.0):
        # The continued fraction converges quickly only below the mean.
        return 1.0 - _incomplete_beta(b, a, 1.0 - x)
    log_front = math.lgamma(a + b) - math.lgamma(a) - math.lgamma(b) + a * math.log(x) + b * math.log1p(-x)
    # Lentz's method for the continued fraction of I_x(a, b).
    tiny = 1e-300
    c, d = 1.0, 1.0 - (a + b) * x / (a + 1.0)
    d = 1.0 / (d if abs(d) > tiny else tiny)
    f = d
    for m in range(1, 500):
        for numerator in (
            m * (b - m) * x / ((a + 2 * m - 1) * (a + 2 * m)),
            -(a + m) * (a + b + m) * x / ((a + 2 * m) * (a + 2 * m + 1)),
        ):
            d = 1.0 + numerator * d
            d = 1.0 / (d if abs(d) > tiny else tiny)
            c = 1.0 + numerator / c
            c = c if abs(c) > tiny else tiny
            f *= c * d
        if abs(c * d - 1.0) < 1e-15:
            break
    return math.exp(log_front) * f / a


@lru_cache(maxsize=256)
def _t_quantile(p: float, df: int) -> float:
    """The p-quantile (p > 0.5) of Student's t distribution with df degrees of freedom."""

    def upper_tail(t: float) -> float:
        return 0.5 * _incomplete_beta(df / 2.0, 0.5, df / (df + t * t))

    low, high = 0.0, 1.0
    while upper_tail(high) > 1.0 - p:
        high *= 2.0
    for _ in range(200):
        mid = 0.5 * (low + high)
        if upper_tail(mid) > 1.0 - p:
            low = mid
        else:
            high = mid
        if high - low <= 1e-15 * high:
            break
    return 0.5 * (low + high)


# -- progress ---------------------------------------------------------------


class _Progress:
    """Runs done, failed and the time left: a tqdm or rich bar, or a plain line."""

    def __init__(self, total: int, initial: int, show: bool | None) -> None:
        if show is None:
            show = sys.stderr.isatty()
        self.total, self.done, self.failed = total, initial, 0
        self.started = time.monotonic()
        self.counted_from = initial
        self.shown = 0.0
        self.bar: Any = None
        self.rich: Any = None
        self.show = bool(show)
        if not self.show:
            return
        try:
            tqdm = importlib.import_module("tqdm")
            self.bar = tqdm.tqdm(total=total, initial=initial, unit="run", file=sys.stderr)
            return
        except ImportError:
            pass
        try:
            progress = importlib.import_module("rich.progress")
        except ImportError:
            return
        self.rich = progress.Progress(
            *progress.Progress.get_default_columns(),
            progress.TextColumn("{task.completed}/{task.total} runs, {task.fields[failed]} failed"),
        )
        self.rich.start()
        self.task = self.rich.add_task("runs", total=total, completed=initial, failed=0)

    def update(self, succeeded: int, failed: int) -> None:
        self.done += succeeded + failed
        self.failed += failed
        if not self.show:
            return
        if self.bar is not None:
            if failed:
                self.bar.set_postfix(failed=self.failed, refresh=False)
            self.bar.update(succeeded + failed)
        elif self.rich is not None:
            self.rich.update(self.task, advance=succeeded + failed, failed=self.failed)
        elif time.monotonic() - self.shown >= 0.5:
            self._line()

    def _line(self) -> None:
        self.shown = time.monotonic()
        counted = self.done - self.counted_from
        left = "?"
        if counted:
            seconds = (self.shown - self.started) / counted * (self.total - self.done)
            left = time.strftime("%H:%M:%S", time.gmtime(seconds))
        sys.stderr.write(f"\r{self.done}/{self.total} runs, {self.failed} failed, {left} left ")
        sys.stderr.flush()

    def close(self) -> None:
        if not self.show:
            return
        if self.bar is not None:
            self.bar.close()
        elif self.rich is not None:
            self.rich.stop()
        else:
            self._line()
            sys.stderr.write("\n")


# -- checkpoints ------------------------------------------------------------


class _Store:
    """A study kept in a directory of Parquet files, one per batch of finished runs.

    Each file is written whole under a temporary name and then renamed, so
    an interrupted study leaves complete files only. Its metadata names the
    study (seed, stream rule, generator, model), and a rerun that does not
    match is refused rather than mixed in.
    """

    def __init__(self, path: str | os.PathLike, study: dict[str, Any], parameters: Sequence[str]) -> None:
        self.pq = _require("pyarrow.parquet", "parquet", "store=")
        self.pa = _require("pyarrow", "parquet", "store=")
        self.path = os.fspath(path)
        self.study = study
        self.parameters = list(parameters)
        self.pending: list[dict[str, Any]] = []
        self.opened = self.flushed = time.monotonic()
        if "_scenario" in self.parameters:
            raise ValueError("'_scenario' cannot be a parameter name in a stored study: the store keeps its own")
        if os.path.exists(self.path) and not os.path.isdir(self.path):
            raise ValueError(f"store {self.path!r} is a file; a study is kept in a directory")
        os.makedirs(self.path, exist_ok=True)
        self.files = sorted(n for n in os.listdir(self.path) if n.startswith("part-") and n.endswith(".parquet"))

    def load(self) -> dict[tuple[int, int], tuple[int, dict[str, Any]]]:
        """Reads the runs already done: (scenario key, replication) to (seed, measures)."""
        done: dict[tuple[int, int], tuple[int, dict[str, Any]]] = {}
        for name in self.files:
            table = self.pq.read_table(os.path.join(self.path, name))
            meta = json.loads((table.schema.metadata or {}).get(b"tarnu.study", b"{}"))
            parameters = meta.pop("parameters", [])
            if meta != self.study:
                differ = sorted(k for k in set(meta) | set(self.study) if meta.get(k) != self.study.get(k))
                raise ValueError(
                    f"store {self.path!r} holds another study: "
                    + ", ".join(f"{k} {meta.get(k)!r}, not {self.study.get(k)!r}" for k in differ)
                )
            skip = set(parameters) | {"_scenario", "replication", "seed"}
            for row in table.to_pylist():
                measures = {k: v for k, v in row.items() if k not in skip}
                done.setdefault((int(row["_scenario"]), row["replication"]), (int(row["seed"]), measures))
        return done

    def append(self, scenario: int, row: dict[str, Any], measures: Mapping[str, Any]) -> None:
        for name, value in measures.items():
            if value is not None and not isinstance(value, (bool, int, float, str)):
                raise ValueError(
                    f"store {self.path!r} keeps numbers and strings; the result {name!r} is {value!r}"
                )
        self.pending.append({**row, "_scenario": str(scenario), "seed": str(row["seed"])})
        # A file a second at first, then one per twentieth of the time the
        # study has run, up to half a minute: an interruption loses little
        # work, and a long study does not leave thousands of files.
        now = time.monotonic()
        if now - self.flushed >= min(30.0, max(1.0, (now - self.opened) / 20)):
            self.flush()

    def flush(self) -> None:
        self.flushed = time.monotonic()
        if not self.pending:
            return
        rows, self.pending = self.pending, []
        columns = list(dict.fromkeys(k for row in rows for k in row))
        arrays = []
        for name in columns:
            values = [row.get(name) for row in rows]
            try:
                arrays.append(self.pa.array(values))
            except (self.pa.ArrowInvalid, self.pa.ArrowTypeError, OverflowError) as exc:
                if name not in self.parameters:
                    raise ValueError(f"store {self.path!r} cannot keep the result {name!r}: {exc}") from None
                # Parameter columns are for reading only; reruns go by _scenario.
                arrays.append(self.pa.array([None if v is None else repr(v) for v in values]))
        meta = {**self.study, "parameters": self.parameters}
        table = self.pa.Table.from_arrays(arrays, names=columns).replace_schema_metadata(
            {"tarnu.study": json.dumps(meta, sort_keys=True)}
        )
        name = f"part-{time.time_ns():020d}-{os.getpid()}.parquet"
        temporary = os.path.join(self.path, "." + name + ".tmp")
        self.pq.write_table(table, temporary)
        os.replace(temporary, os.path.join(self.path, name))
        self.files.append(name)


# -- executors --------------------------------------------------------------


def _cpu_count() -> int:
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return os.cpu_count() or 1


def _is_dask_client(executor: object) -> bool:
    return type(executor).__module__.split(".")[0] == "distributed" and hasattr(executor, "get_executor")


def _ignore_interrupts() -> None:
    """Leaves Ctrl-C to the study's own process, which stops the workers itself."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _process_pool(workers: int) -> concurrent.futures.ProcessPoolExecutor:
    import multiprocessing

    # spawn, not fork: the caller may have threads (a Dask client, a
    # progress bar), and a forked child would inherit their locks.
    return concurrent.futures.ProcessPoolExecutor(
        workers, mp_context=multiprocessing.get_context("spawn"), initializer=_ignore_interrupts
    )


def _worker_processes(pool: concurrent.futures.Executor) -> list[Any]:
    """The worker processes of a process pool, or [] where the pool does not
    show them (they are not part of its public interface)."""
    try:
        return list((getattr(pool, "_processes", None) or {}).values())
    except Exception:
        return []


def _stop_pool(pool: concurrent.futures.Executor) -> None:
    """Shuts a pool of ours down at once, killing its workers whatever they run,
    so that an interrupted study leaves no process behind, nor one to wait for.

    Where the pool does not show its workers, they finish the chunk they run
    and then stop; they ignore Ctrl-C, and there is nothing left to give them.
    """
    processes = _worker_processes(pool)
    pool.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        process.terminate()
    deadline = time.monotonic() + 5.0
    for process in processes:
        process.join(max(0.0, deadline - time.monotonic()))
        if process.exitcode is None:
            process.kill()  # it ignores SIGTERM, or a model's C code holds it
            process.join(1.0)


def _exit_status(code: int) -> str:
    if code < 0:
        try:
            return f"killed by {signal.Signals(-code).name}"
        except ValueError:
            return f"killed by signal {-code}"
    return f"exit code {code}"


def _dead_worker(processes: list[Any]) -> str:
    """Says which worker process died running a chunk that was alone in a pool
    of ours, given the pool's processes: the pool stops the others itself,
    with SIGTERM, once it finds one of them dead."""
    deadline = time.monotonic() + 2.0
    while time.monotonic() < deadline:
        try:
            if all(p.exitcode is not None for p in processes):
                break
        except ValueError:
            break  # closed by the pool: what it knows is all there is
        time.sleep(0.01)
    died = []
    for process in processes:
        try:
            code = process.exitcode
        except ValueError:
            continue
        if code is not None and code != -signal.SIGTERM:
            died.append((process.pid, code))
    if len(died) == 1:
        pid, code = died[0]
        return f"the worker process {pid} running it died ({_exit_status(code)})"
    return "the worker process running it died"


def _open_executor(executor: object) -> tuple[concurrent.futures.Executor, int, bool, Any]:
    """The executor to submit to, how many runs it takes at once, whether it is
    ours to shut down, and the Dask client behind it (or None)."""
    if executor == "processes":
        workers = _cpu_count()
        return _process_pool(workers), workers, True, None
    if isinstance(executor, concurrent.futures.Executor):
        return executor, getattr(executor, "_max_workers", None) or _cpu_count(), False, None
    if _is_dask_client(executor):
        workers = sum(executor.nthreads().values()) or 1  # type: ignore[attr-defined]
        return executor.get_executor(pure=False), workers, False, executor  # type: ignore[attr-defined]
    raise ValueError(
        "executor must be None, 'processes', a concurrent.futures.Executor or a "
        f"dask.distributed.Client, not {executor!r}"
    )


def _serializer() -> Callable[[object], bytes]:
    """cloudpickle's dumps when it is installed (it sends functions and classes
    defined in a script or a notebook by value), else the standard pickle's."""
    try:
        return importlib.import_module("cloudpickle").dumps  # type: ignore[no-any-return]
    except ImportError:
        return pickle.dumps


def _dumps(obj: object, what: str) -> bytes:
    """Pickles what travels to the workers; a failure names the cause before any run starts."""
    try:
        return _serializer()(obj)
    except Exception as exc:
        raise ValueError(f"{what} cannot be sent to the workers: {type(exc).__name__}: {exc}") from exc


# -- studies ----------------------------------------------------------------


def _model_name(model: object) -> str:
    name = getattr(model, "__qualname__", None) or type(model).__qualname__
    return f"{getattr(model, '__module__', None) or type(model).__module__}.{name}"


def _check_names(params: Mapping[str, Any], where: str) -> dict[str, Any]:
    if not isinstance(params, collections.abc.Mapping):
        raise ValueError(f"{where} must be a mapping of parameter names to values, not {params!r}")
    for name in params:
        if not isinstance(name, str):
            raise ValueError(f"parameter names must be strings, not {name!r}")
        if name in _RESERVED or name == "rng":
            raise ValueError(f"{name!r} cannot be a parameter name: it is a column of the table or the model's rng")
    return dict(params)


def _grid_scenarios(grid: Any) -> list[dict[str, Any]]:
    if isinstance(grid, collections.abc.Mapping):
        grid = _check_names(grid, "grid")
        axes = []
        for name, values in grid.items():
            if isinstance(values, (str, bytes)) or not isinstance(values, collections.abc.Iterable):
                raise ValueError(f"grid[{name!r}] must be a list of values, not {values!r}")
            values = list(values)
            if not values:
                raise ValueError(f"grid[{name!r}] has no values")
            axes.append(values)
        return [dict(zip(grid, combination)) for combination in itertools.product(*axes)]
    if isinstance(grid, collections.abc.Iterable) and not isinstance(grid, (str, bytes)):
        scenarios = [_check_names(s, "each scenario of grid") for s in grid]
        if not scenarios:
            raise ValueError("grid has no scenarios")
        for s in scenarios[1:]:
            if set(s) != set(scenarios[0]):
                raise ValueError(f"every scenario needs the parameters {sorted(scenarios[0])}; {s!r} differs")
        return scenarios
    raise ValueError(f"grid must be a mapping of names to lists of values, or a list of scenarios, not {grid!r}")


def _check_count(value: object, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{name} must be a positive int, not {value!r}")
    return value


def _run_study(
    model: Callable[..., Mapping[str, Any]],
    scenarios: list[dict[str, Any]],
    replications: int,
    *,
    seed: int,
    keyed_by_scenario: bool,
    executor: object,
    progress: bool | None,
    rng: Any,
    store: str | os.PathLike | None,
    chunksize: int | None,
    on_failure: str,
) -> Results:
    if not callable(model):
        raise ValueError(f"model must be callable, not {model!r}")
    _check_seed(seed)
    if rng not in ("random", "numpy") and not callable(rng):
        raise ValueError(f"rng must be 'random', 'numpy' or a callable taking a seed, not {rng!r}")
    if rng == "numpy":
        _require("numpy", "numpy", 'rng="numpy"')
    if chunksize is not None:
        _check_count(chunksize, "chunksize")
    if on_failure not in ("raise", "keep"):
        raise ValueError(f"on_failure must be 'raise' or 'keep', not {on_failure!r}")
    if progress not in (None, True, False):
        raise ValueError(f"progress must be None, True or False, not {progress!r}")

    keys = [scenario_key(s) for s in scenarios]
    seen: dict[int, dict[str, Any]] = {}
    for key, s in zip(keys, scenarios):
        if key in seen:
            raise ValueError(f"the scenario {s!r} appears twice in the grid")
        seen[key] = s
    parameters = list(scenarios[0])

    # The runs, in table order; each knows its stream key.
    runs: list[tuple[int, int, tuple[int, ...]]] = [
        (si, r, ((keys[si], r) if keyed_by_scenario else (r,)))
        for si in range(len(scenarios))
        for r in range(replications)
    ]
    finished: dict[int, dict[str, Any]] = {}
    failures: dict[int, RunFailure] = {}

    checkpoint = None
    if store is not None:
        rng_name = rng if isinstance(rng, str) else _model_name(rng)
        study = {
            "format": 1,
            "seed": str(seed),
            "streams": "scenario,replication" if keyed_by_scenario else "replication",
            "rng": rng_name,
            "model": _model_name(model),
        }
        checkpoint = _Store(store, study, parameters)
        done = checkpoint.load()
        for index, (si, r, _) in enumerate(runs):
            stored = done.get((keys[si], r))
            if stored is not None:
                finished[index] = {**scenarios[si], "replication": r, "seed": stored[0], **stored[1]}
    todo = [i for i in range(len(runs)) if i not in finished]

    def record(index: int, run_seed: int, measures: dict[str, Any]) -> None:
        si, r, _ = runs[index]
        row = {**scenarios[si], "replication": r, "seed": run_seed, **measures}
        finished[index] = row
        if checkpoint is not None:
            checkpoint.append(keys[si], row, measures)

    bar = _Progress(len(runs), len(finished), progress)
    try:
        if executor is None:
            for index in todo:
                si, r, stream = runs[index]
                run_seed = derive_seed(seed, *stream)
                try:
                    value = model(_make_rng(rng, run_seed), **scenarios[si])
                    measures = _measures(value, scenarios[si])
                except (Exception, SystemExit) as exc:
                    if on_failure == "raise":
                        where = f"in replication {r} of {scenarios[si]!r}, seed {run_seed}"
                        if isinstance(exc, SystemExit):
                            # A failed run, not the end of the caller's program
                            # (with sys.exit() a successful one, to the shell).
                            raise RuntimeError(f"the model called sys.exit({exc.code!r}) {where}") from exc
                        # Debugging: the model's own exception, at once.
                        if hasattr(exc, "add_note"):
                            exc.add_note(where)
                        raise
                    error = f"{type(exc).__name__}: {exc}"
                    failures[index] = RunFailure(scenarios[si], r, run_seed, error, traceback.format_exc())
                    bar.update(0, 1)
                    continue
                record(index, run_seed, measures)
                bar.update(1, 0)
        else:
            _run_remote(model, rng, scenarios, runs, todo, seed, executor, chunksize, record, failures, bar)
    finally:
        bar.close()
        if checkpoint is not None:
            checkpoint.flush()

    results = Results(
        (finished[i] for i in sorted(finished)),
        parameters=parameters,
        failures=(failures[i] for i in sorted(failures)),
    )
    if results.failures and on_failure == "raise":
        raise StudyError(results)
    return results


def _run_remote(
    model: Callable[..., Any],
    rng: Any,
    scenarios: list[dict[str, Any]],
    runs: list[tuple[int, int, tuple[int, ...]]],
    todo: list[int],
    seed: int,
    executor: object,
    chunksize: int | None,
    record: Callable[[int, int, dict[str, Any]], None],
    failures: dict[int, RunFailure],
    bar: _Progress,
) -> None:
    """Runs the runs `todo` in chunks on an executor, as many chunks in flight
    as keep every worker busy, and records them as they finish.

    A chunk lost as a whole (its worker died, or its results did not come
    back) is sent again one run at a time, so that only the run at fault
    fails. When a worker of our own process pool dies, the pool is broken
    and every chunk in flight with it is lost: the pool is started anew and
    those runs are tried one at a time with nothing else in flight, so that
    a run that kills its worker again fails alone, once. An executor of the
    caller's that breaks is not ours to start anew: the runs it held and
    the runs not yet sent fail.
    """
    model_blob = _dumps((model, rng), f"the model {model!r}")
    model_id = hashlib.sha256(model_blob).hexdigest()
    params_blobs = [_dumps(s, f"the parameters {s!r}") for s in scenarios]
    if not todo:
        return
    pool, workers, owned, client = _open_executor(executor)
    if client is not None and len(model_blob) > 100_000:
        # A big model goes to each worker once, not with every chunk.
        model_blob = client.scatter(model_blob, broadcast=True)
    # Each chunk in flight: its runs, and the worker processes of our pool
    # when it runs alone (to tell which of them died), else None.
    in_flight: dict[concurrent.futures.Future, tuple[list[int], list[Any] | None]] = {}
    position = 0
    timing = [0.0, 0]  # seconds of the runs timed so far, and how many
    queued: collections.deque[list[int]] = collections.deque()  # chunks to send before the rest of todo
    suspects: list[int] = []  # runs lost with a worker of our pool, to try alone
    broken = False  # our pool lost a worker and takes no more chunks
    ran = False  # a chunk came back from the workers: they can start
    counted_at = time.monotonic()

    def fail(chunk: Iterable[int], error: str, text: str) -> None:
        chunk = list(chunk)
        for i in chunk:
            si, r, key = runs[i]
            failures[i] = RunFailure(scenarios[si], r, derive_seed(seed, *key), error, text)
        bar.update(0, len(chunk))

    def collect(future: concurrent.futures.Future, chunk: list[int], alone: list[Any] | None) -> None:
        nonlocal broken, ran
        try:
            # The chunk's own error, whatever it is (a model's SystemExit
            # included), without raising it here.
            exc = future.exception()
            if exc is None:
                ran = True
                outcomes = pickle.loads(future.result())
        except concurrent.futures.CancelledError as cancelled:
            exc = cancelled
        except Exception as undecodable:
            exc = undecodable
        if exc is not None:
            text = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
            error = f"{type(exc).__name__}: {exc}"
            if isinstance(exc, concurrent.futures.BrokenExecutor):
                if not owned:
                    # Not ours to start anew: what it held is lost, and
                    # sending it again could only fail.
                    fail(chunk, f"lost when the executor broke: {error}", text)
                    return
                broken = True
                if alone is None:
                    suspects.extend(chunk)
                else:
                    fail(chunk, _dead_worker(alone), text)
                return
            if len(chunk) > 1:
                # Lost as a whole: each run again, alone.
                queued.extend([i] for i in chunk)
                return
            outcomes = [(chunk[0], derive_seed(seed, *runs[chunk[0]][2]), False, (error, text), None)]
        failed = 0
        for index, run_seed, ok, value, seconds in outcomes:
            if seconds is not None:
                timing[0] += seconds
                timing[1] += 1
            if ok:
                record(index, run_seed, value)
            else:
                failed += 1
                si, r, _ = runs[index]
                failures[index] = RunFailure(scenarios[si], r, run_seed, *value)
        bar.update(len(outcomes) - failed, failed)

    def submit(chunk: list[int]) -> concurrent.futures.Future:
        tasks = [(i, runs[i][0], params_blobs[runs[i][0]], runs[i][2]) for i in chunk]
        return pool.submit(_run_chunk, model_blob, model_id, pickle.dumps((seed, tasks)))

    clean = False
    try:
        while True:
            if broken and not in_flight:
                # Every chunk of the broken pool is back: start a new pool,
                # and make sure that its workers start at all.
                _stop_pool(pool)
                pool = _process_pool(workers)
                try:
                    pool.submit(os.getpid).result()
                except concurrent.futures.process.BrokenProcessPool as exc:
                    if ran:
                        raise RuntimeError(
                            "a worker process died, and the process pool could not be started anew"
                        ) from exc
                    raise RuntimeError(
                        "the worker processes died or could not start; a script that uses "
                        "executor='processes' must start its study under "
                        "if __name__ == '__main__':"
                    ) from exc
                broken = False
            if client is not None and time.monotonic() - counted_at >= 1.0:
                # A cluster grows and shrinks: keep every worker it has busy.
                workers = sum(client.nthreads().values()) or 1
                counted_at = time.monotonic()
            while not broken and (suspects or queued or position < len(todo)):
                trial = False
                if suspects:
                    if in_flight:
                        break
                    chunk, trial = [suspects.pop(0)], True
                elif len(in_flight) >= 2 * workers:
                    break
                elif queued:
                    chunk = queued.popleft()
                else:
                    size = chunksize
                    if size is None:
                        # One run per chunk until a run has been timed, then
                        # about _CHUNK_SECONDS of runs, never more than a share
                        # of what is left, so the last chunks spread out.
                        size = 1
                        if timing[1]:
                            per_run = max(timing[0] / timing[1], 1e-6)
                            share = (len(todo) - position) // (2 * workers)
                            size = max(1, min(int(_CHUNK_SECONDS / per_run), share, _MAX_CHUNK))
                    chunk = todo[position:position + size]
                    position += len(chunk)
                try:
                    future = submit(chunk)
                except concurrent.futures.BrokenExecutor as exc:
                    if owned:
                        broken = True
                        if trial:
                            suspects.insert(0, chunk[0])
                        else:
                            queued.appendleft(chunk)
                        break
                    # Not ours to start anew: every run not yet sent fails.
                    rest = chunk + [i for c in queued for i in c] + todo[position:]
                    queued.clear()
                    position = len(todo)
                    text = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
                    fail(rest, f"not run, the executor is broken: {type(exc).__name__}: {exc}", text)
                    break
                in_flight[future] = (chunk, _worker_processes(pool) if trial else None)
            if not in_flight:
                if broken:
                    continue
                break
            done, _ = concurrent.futures.wait(in_flight, return_when=concurrent.futures.FIRST_COMPLETED)
            for future in done:
                collect(future, *in_flight.pop(future))
        clean = True
    finally:
        if not clean:
            # Interrupted: keep the chunks that are done (a store then has
            # them for the rerun) and cancel the others.
            for future, (chunk, alone) in in_flight.items():
                if future.done() and not future.cancelled():
                    try:
                        collect(future, chunk, alone)
                    except Exception:
                        pass  # the interruption is what the caller hears of
                else:
                    future.cancel()
        if owned:
            if clean:
                pool.shutdown(wait=True)
            else:
                _stop_pool(pool)


def replicate(
    model: Callable[..., Mapping[str, Any]],
    n: int,
    *,
    seed: int,
    params: Mapping[str, Any] | None = None,
    executor: object = None,
    progress: bool | None = None,
    rng: Any = "random",
    store: str | os.PathLike | None = None,
    chunksize: int | None = None,
    on_failure: str = "raise",
) -> Results:
    """Runs ``model(rng, **params)`` ``n`` times, replication ``i`` on the stream ``(seed, i)``.

    ``executor`` is None (here, one run after the other), ``"processes"``,
    a ``concurrent.futures.Executor`` or a ``dask.distributed.Client``.
    ``progress`` shows a bar: None shows it when standard error is a
    terminal. ``store`` names a directory of Parquet files that keeps the
    runs as they finish; run again, the study runs only what is missing.
    With ``on_failure="raise"`` a study with failed runs raises
    :class:`StudyError` once the others are done, and in-process the first
    failing run's own exception propagates at once, with its traceback;
    with ``"keep"`` every run is tried and the failures are in
    ``Results.failures``.
    """
    _check_count(n, "n")
    return _run_study(
        model, [_check_names(params or {}, "params")], n,
        seed=seed, keyed_by_scenario=False, executor=executor, progress=progress,
        rng=rng, store=store, chunksize=chunksize, on_failure=on_failure,
    )


def sweep(
    model: Callable[..., Mapping[str, Any]],
    grid: Mapping[str, Iterable[Any]] | Iterable[Mapping[str, Any]],
    *,
    replications: int,
    seed: int,
    common_random_numbers: bool = False,
    executor: object = None,
    progress: bool | None = None,
    rng: Any = "random",
    store: str | os.PathLike | None = None,
    chunksize: int | None = None,
    on_failure: str = "raise",
) -> Results:
    """Runs every scenario of ``grid`` ``replications`` times.

    ``grid`` maps parameter names to lists of values (every combination is a
    scenario, the first name varying slowest) or is a list of scenarios,
    each a mapping of names to values. Replication ``i`` of a scenario runs
    on the stream ``(seed, scenario_key(params), i)``, or ``(seed, i)`` in
    every scenario with ``common_random_numbers=True``. The other arguments
    are those of :func:`replicate`.
    """
    _check_count(replications, "replications")
    if not isinstance(common_random_numbers, bool):
        raise ValueError(f"common_random_numbers must be True or False, not {common_random_numbers!r}")
    return _run_study(
        model, _grid_scenarios(grid), replications,
        seed=seed, keyed_by_scenario=not common_random_numbers, executor=executor,
        progress=progress, rng=rng, store=store, chunksize=chunksize, on_failure=on_failure,
    )
