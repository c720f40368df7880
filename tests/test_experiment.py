"""Replications and sweeps: streams, executors, failures, checkpoints, tables."""
import concurrent.futures
import logging
import math
import multiprocessing
import os
import pickle
import random
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

import cloudpickle
import pytest

import tarnu.experiment
from tarnu.define import LOCK_RELEASED, TIME_PASSED
from tarnu.experiment import (
    Results,
    StudyError,
    derive_seed,
    replicate,
    scenario_key,
    sweep,
)
from tarnu.process import Process
from tarnu.sim import Environment

# The workers cannot import this module by name: send its models by value.
cloudpickle.register_pickle_by_value(sys.modules[__name__])


class Counter(Process):
    """A single server: customers arrive, wait, and are served in turn."""

    def __init__(self, env, rng, load):
        self.rng, self.load = rng, load
        self.queue, self.waits, self.server = [], [], None
        super().__init__(env)

    def __call__(self):
        while True:
            yield self.time + self.rng.expovariate(self.load), TIME_PASSED
            self.queue.append(self.time)
            if self.server._is_waiting:
                self.server.activate(self.time, LOCK_RELEASED)


class Clerk(Process):
    def __init__(self, env, rng, counter):
        self.rng, self.counter = rng, counter
        counter.server = self
        super().__init__(env)

    def __call__(self):
        while True:
            if not self.counter.queue:
                yield None
                continue
            self.counter.waits.append(self.time - self.counter.queue.pop(0))
            yield self.time + self.rng.expovariate(1.0), TIME_PASSED


def queue_model(rng, load, jitter=False):
    """A short M/M/1 day on the kernel; with `jitter` runs finish in a random order."""
    with Environment(stop_time=200.0) as env:
        counter = Counter(env, rng, load)
        Clerk(env, rng, counter)
    if jitter:
        time.sleep(random.random() * 0.01)
    return {"wait": sum(counter.waits) / max(1, len(counter.waits)), "served": len(counter.waits)}


def draws(rng, scale=1):
    return {"first": rng.random() * scale, "second": rng.random()}


def fails_at_two(rng, x):
    if x == 2:
        raise ZeroDivisionError("x is two")
    if x == 4:
        return {"y": threading.Lock()}  # cannot travel back
    return {"y": rng.random()}


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True,
        dashboard_address=None, silence_logs=logging.ERROR,
    )
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


GRID = {"load": [0.5, 0.8], "jitter": [True]}


@pytest.fixture(scope="module")
def in_process():
    return sweep(queue_model, GRID, replications=8, seed=42)


def test_same_results_on_every_executor(in_process, dask_client):
    assert len(in_process) == 16 and not in_process.failures
    assert [(r["load"], r["replication"]) for r in in_process] == [
        (load, i) for load in (0.5, 0.8) for i in range(8)
    ]
    # One run per chunk and random run times: the runs finish out of order.
    on_dask = sweep(queue_model, GRID, replications=8, seed=42, executor=dask_client, chunksize=1)
    with concurrent.futures.ThreadPoolExecutor(4) as threads:
        on_threads = sweep(queue_model, GRID, replications=8, seed=42, executor=threads, chunksize=1)
    on_processes = sweep(queue_model, GRID, replications=8, seed=42, executor="processes")
    assert on_dask == in_process
    assert on_threads == in_process
    assert on_processes == in_process


def test_seed_derivation_is_numpy_seed_sequence(monkeypatch):
    numpy = pytest.importorskip("numpy")
    keys = [(), (0,), (5,), (2**40 + 3, 7), (scenario_key({"c": 3}), 29)]
    for seed in (0, 1, 2024, 2**64 + 11):
        with_numpy = [derive_seed(seed, *k) for k in keys]
        expected = [
            sum(int(w) << (32 * i) for i, w in enumerate(
                numpy.random.SeedSequence(seed, spawn_key=k).generate_state(4)))
            for k in keys
        ]
        with monkeypatch.context() as m:
            m.delitem(sys.modules, "numpy")
            without_numpy = [derive_seed(seed, *k) for k in keys]
        assert with_numpy == without_numpy == expected
    # Replication i of replicate() is the i-th child that spawn() makes.
    children = numpy.random.SeedSequence(7).spawn(3)
    rows = replicate(draws, 3, seed=7)
    assert [r["seed"] for r in rows] == [
        sum(int(w) << (32 * i) for i, w in enumerate(c.generate_state(4))) for c in children
    ]
    # The generator kinds: the row's seed repeats the run.
    for row in rows:
        assert draws(random.Random(row["seed"])) == {"first": row["first"], "second": row["second"]}
    row = replicate(draws, 1, seed=7, rng="numpy")[0]
    generator = numpy.random.default_rng(row["seed"])
    assert (row["first"], row["second"]) == (generator.random(), generator.random())


def test_streams_are_independent_and_scenarios_stable():
    rows = replicate(draws, 50, seed=3)
    assert len({r["seed"] for r in rows}) == 50
    assert len({r["first"] for r in rows}) == 50
    # Adding scenarios, reordering the grid or its values changes no other scenario.
    small = sweep(draws, {"scale": [1, 2]}, replications=4, seed=9)
    large = sweep(draws, [{"scale": 3}, {"scale": 2}, {"scale": 1.0}, {"scale": 1}], replications=4, seed=9)
    by_scenario = {(type(r["scale"]), r["scale"], r["replication"]): r for r in large}
    for r in small:
        assert by_scenario[(int, r["scale"], r["replication"])] == r
    # 1 and 1.0 are different scenarios; a scenario's key ignores the order of names.
    assert by_scenario[(float, 1.0, 0)]["seed"] != by_scenario[(int, 1, 0)]["seed"]
    assert scenario_key({"a": 1, "b": (2, "x")}) == scenario_key({"b": [2, "x"], "a": 1})
    # Keys name stored studies, so they never change: the documented canonical
    # text ('"c"=3;"name"="fifo";...') hashed with SHA-256.
    params = {"c": 3, "per_minute": 0.5, "name": "fifo", "on": True, "shape": (1, None)}
    assert scenario_key(params) == 13906377547169223255
    # Common random numbers: replication i sees the same stream in every scenario,
    # the one replicate() gives it.
    common = sweep(draws, {"scale": [1, 2]}, replications=4, seed=9, common_random_numbers=True)
    assert [r["seed"] for r in common] == [r["seed"] for r in replicate(draws, 4, seed=9)] * 2
    assert [r["second"] for r in common[:4]] == [r["second"] for r in common[4:]]


def test_a_failed_run_is_reported_with_the_others_kept(dask_client):
    grid = {"x": [1, 2, 3]}
    with pytest.raises(StudyError) as caught:
        sweep(fails_at_two, grid, replications=2, seed=5, executor=dask_client)
    results = caught.value.results
    assert [(r["x"], r["replication"]) for r in results] == [(1, 0), (1, 1), (3, 0), (3, 1)]
    assert [(f.params, f.replication) for f in results.failures] == [({"x": 2}, 0), ({"x": 2}, 1)]
    failure = results.failures[0]
    assert failure.seed == derive_seed(5, scenario_key({"x": 2}), 0)
    assert failure.error == "ZeroDivisionError: x is two"
    # The remote traceback; this module travels by value, so its lines have no file.
    line = fails_at_two.__code__.co_firstlineno + 2
    assert f"line {line}, in fails_at_two\nZeroDivisionError: x is two\n" in failure.traceback
    message = str(caught.value)
    assert message.startswith("2 of 6 runs failed; the first was replication 0 of {'x': 2}")
    assert str(failure.seed) in message and "x is two" in message
    again = pickle.loads(pickle.dumps(caught.value))
    assert str(again) == message and again.results == results and len(again.results.failures) == 2
    # Kept instead of raised, the same results; a run whose results cannot be
    # sent back fails alone.
    kept = sweep(fails_at_two, {"x": [1, 2, 3, 4]}, replications=2, seed=5, executor=dask_client,
                 on_failure="keep", chunksize=8)
    assert kept == results and len(kept.failures) == 4
    assert kept.failures[3].error == (
        "the run's results cannot be sent back: TypeError: cannot pickle '_thread.lock' object")
    here = sweep(fails_at_two, grid, replications=2, seed=5, on_failure="keep")
    assert here == results and [f.error for f in here.failures] == ["ZeroDivisionError: x is two"] * 2
    # In-process, unless kept, the model's own exception propagates at once, traceback and all.
    with pytest.raises(ZeroDivisionError, match="x is two") as raised:
        sweep(fails_at_two, grid, replications=2, seed=5)
    assert raised.traceback[-1].name == "fails_at_two"


class Interrupted(Exception):
    pass


def test_an_interrupted_study_resumes(tmp_path):
    store = tmp_path / "study.parquet"
    calls = []

    def model(rng, scale):
        if len(calls) == 7:
            raise Interrupted
        calls.append(scale)
        return draws(rng, scale)

    grid = {"scale": [1, 2, 3]}
    with pytest.raises(Interrupted):
        sweep(model, grid, replications=5, seed=11, store=store)
    assert len(calls) == 7
    calls.append("resumed")
    whole = sweep(draws, grid, replications=5, seed=11)
    resumed = sweep(model, grid, replications=5, seed=11, store=store, executor=None)
    assert len(calls) == 7 + 1 + 8 and resumed == whole
    # A complete study runs nothing; a grown one runs just the new scenario.
    assert sweep(model, grid, replications=5, seed=11, store=store) == whole
    assert len(calls) == 16
    sweep(model, {"scale": [1, 2, 3, 4]}, replications=5, seed=11, store=store)
    assert calls[16:] == [4] * 5
    # The store is a Parquet dataset that pandas reads whole.
    pandas = pytest.importorskip("pandas")
    frame = pandas.read_parquet(store)
    assert len(frame) == 20 and set(frame["scale"]) == {1, 2, 3, 4}
    # Another study is refused, not mixed in.
    with pytest.raises(ValueError, match="holds another study: seed '11', not '12'"):
        sweep(model, grid, replications=5, seed=12, store=store)
    with pytest.raises(ValueError, match="streams"):
        sweep(model, grid, replications=5, seed=11, store=store, common_random_numbers=True)
    with pytest.raises(ValueError, match=r"keeps numbers and strings; the result 'v' is \[1\]"):
        replicate(lambda rng: {"v": [1]}, 1, seed=1, store=tmp_path / "lists")


def exits(rng, x):
    """Ends its worker process in one scenario, calls sys.exit() in another."""
    if x == 5:
        os._exit(1)
    if x == 9:
        sys.exit(3)
    return draws(rng, x)


def always_exits(rng):
    os._exit(2)


def test_a_run_that_ends_its_worker_fails_alone(monkeypatch):
    grid = {"x": list(range(16))}
    expected = sweep(exits, {"x": [x for x in grid["x"] if x not in (5, 9)]}, replications=1, seed=4)
    # Chunks of three, four in flight: the dead worker takes runs of other
    # chunks down with it, and each of them is tried again.
    results = sweep(exits, grid, replications=1, seed=4, executor="processes", chunksize=3, on_failure="keep")
    assert results == expected
    died, exited = results.failures
    assert died.params == {"x": 5} and died.seed == derive_seed(4, scenario_key({"x": 5}), 0)
    assert re.fullmatch(r"the worker process \d+ running it died \(exit code 1\)", died.error)
    assert "BrokenProcessPool" in died.traceback
    assert exited.params == {"x": 9} and exited.error == "SystemExit: 3"
    # Every run kills its worker: each fails once, each in another worker.
    lost = replicate(always_exits, 2, seed=1, executor="processes", on_failure="keep")
    assert len(lost) == 0 and [f.replication for f in lost.failures] == [0, 1]
    pids = {re.fullmatch(r"the worker process (\d+) running it died \(exit code 2\)", f.error)[1]
            for f in lost.failures}
    assert len(pids) == 2
    # In-process sys.exit() fails the run too, rather than ending the program.
    here = sweep(exits, {"x": [8, 9]}, replications=1, seed=4, on_failure="keep")
    assert list(here) == [r for r in expected if r["x"] == 8] and here.failures[0].error == "SystemExit: 3"
    with pytest.raises(RuntimeError, match=r"the model called sys.exit\(3\) in replication 0 of \{'x': 9\}"):
        sweep(exits, {"x": [9]}, replications=1, seed=4)
    # A pool that does not show its worker processes: the same, less precisely.
    monkeypatch.setattr(tarnu.experiment, "_worker_processes", lambda pool: [])
    lost = replicate(always_exits, 1, seed=1, executor="processes", on_failure="keep")
    assert [f.error for f in lost.failures] == ["the worker process running it died"]


def test_a_broken_executor_of_the_callers_fails_the_rest(capsys, monkeypatch):
    for bar in ("tqdm", "rich"):
        monkeypatch.setitem(sys.modules, bar, None)
    grid = {"x": [x for x in range(14) if x != 9]}
    spawn = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=spawn) as pool:
        results = sweep(exits, grid, replications=1, seed=4, executor=pool, chunksize=2,
                        on_failure="keep", progress=True)
    # Every run once: succeeded as in-process, or failed for the broken pool.
    done = [r["x"] for r in results]
    failed = [f.params["x"] for f in results.failures]
    assert sorted(done + failed) == grid["x"] and 5 in failed
    assert list(results) == list(sweep(exits, {"x": done}, replications=1, seed=4))
    for failure in results.failures:
        assert re.match(r"(lost when the executor broke|not run, the executor is broken): BrokenProcessPool",
                        failure.error)
    assert capsys.readouterr().err.endswith(f"\r13/13 runs, {len(failed)} failed, 00:00:00 left \n")
    # A pool broken before the study: nothing runs, and the study says so.
    with pytest.raises(StudyError, match="3 of 3 runs failed.*not run, the executor is broken"):
        replicate(draws, 3, seed=1, executor=pool)


# Run as a script: Ctrl-C stops it while both workers sleep in long runs.
INTERRUPTED = """
import os, signal, sys, time
from tarnu.experiment import sweep

# Ctrl-C raises KeyboardInterrupt, as at a terminal, even when the test runs
# under a shell that started it with interrupts ignored.
signal.signal(signal.SIGINT, signal.default_int_handler)

def model(rng, x):
    open(os.path.join(sys.argv[1], f"{x}-{os.getpid()}"), "w").close()
    if x >= 4 and os.environ.get("SLOW"):
        time.sleep(60)
    return {"y": rng.random()}

if __name__ == "__main__":
    results = sweep(model, {"x": list(range(12))}, replications=1, seed=1,
                    executor="processes", chunksize=1, store=sys.argv[2])
    print([row["y"] for row in results])
"""


def _children(pid):
    """The processes whose parent is pid, and that have not ended."""
    found = []
    for name in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{name}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (FileNotFoundError, ProcessLookupError):
            continue
        if fields[1] == str(pid) and fields[0] != "Z":
            found.append(int(name))
    return found


def _running(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (FileNotFoundError, ProcessLookupError):
        return False


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_ctrl_c_stops_the_workers_and_the_study_resumes(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    script, started, store = tmp_path / "study.py", tmp_path / "started", tmp_path / "store"
    script.write_text(textwrap.dedent(INTERRUPTED))
    started.mkdir()
    study = subprocess.Popen(
        [sys.executable, str(script), str(started), str(store)], env={**os.environ, "SLOW": "1"},
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
    )
    try:
        deadline = time.monotonic() + 60
        while sum(int(n.split("-")[0]) >= 4 for n in os.listdir(started)) < 2:
            assert time.monotonic() < deadline and study.poll() is None, study.stderr.read()
            time.sleep(0.05)
        workers = {int(n.split("-")[1]) for n in os.listdir(started)}
        assert workers <= set(_children(study.pid))
        time.sleep(0.5)  # the short runs' results come back meanwhile
        os.killpg(study.pid, signal.SIGINT)  # Ctrl-C reaches the whole process group
        _, err = study.communicate(timeout=30)
    finally:
        if study.poll() is None:
            os.killpg(study.pid, signal.SIGKILL)
            study.wait()
    assert study.returncode != 0 and err.rstrip().endswith("KeyboardInterrupt")
    assert "SpawnProcess" not in err  # the workers ignored the interrupt
    assert not [pid for pid in workers if _running(pid)]
    # What finished is in the store; run again, the study runs only the rest.
    stored = set(pq.read_table(store).column("x").to_pylist())
    assert stored and stored <= {0, 1, 2, 3}
    for name in os.listdir(started):
        os.remove(started / name)
    again = subprocess.run([sys.executable, str(script), str(started), str(store)],
                           capture_output=True, text=True, timeout=120)
    assert again.returncode == 0, again.stderr
    assert sorted(int(n.split("-")[0]) for n in os.listdir(started)) == sorted(set(range(12)) - stored)
    whole = sweep(lambda rng, x: {"y": rng.random()}, {"x": list(range(12))}, replications=1, seed=1)
    assert again.stdout.strip() == str([row["y"] for row in whole])


CALLS = []


def counted_draws(rng):
    CALLS.append(None)  # in this process only: workers count on their copy
    return draws(rng)


def test_interrupted_on_an_executor_keeps_what_finished(tmp_path):
    store = tmp_path / "study"

    class Stop(concurrent.futures.ThreadPoolExecutor):
        """Interrupts the study when the third chunk is handed in, as Ctrl-C would."""

        submitted = 0

        def submit(self, *args, **kwargs):
            Stop.submitted += 1
            if Stop.submitted == 3:
                time.sleep(0.2)  # the first two chunks finish meanwhile
                raise KeyboardInterrupt
            return super().submit(*args, **kwargs)

    with Stop(1) as pool, pytest.raises(KeyboardInterrupt):
        replicate(counted_draws, 10, seed=1, executor=pool, chunksize=3, store=store)
    CALLS.clear()
    assert replicate(counted_draws, 10, seed=1, store=store) == replicate(draws, 10, seed=1)
    assert len(CALLS) == 4


def test_models_and_parameters_must_pickle():
    lock = threading.Lock()
    submitted = []

    class Watch(concurrent.futures.ThreadPoolExecutor):
        def submit(self, *args, **kwargs):
            submitted.append(args)
            return super().submit(*args, **kwargs)

    def locked(rng):
        with lock:
            return {"y": 1}

    with Watch(1) as pool:
        with pytest.raises(ValueError, match=r"the model <function .*locked.*> cannot be sent to the "
                                             r"workers: TypeError: cannot pickle '_thread.lock' object"):
            replicate(locked, 3, seed=1, executor=pool)
        class Name(str):
            pass

        name = Name("x")
        name.lock = lock
        with pytest.raises(ValueError, match=r"the parameters \{'scale': 'x'\} cannot be sent to the workers"):
            sweep(draws, [{"scale": 1}, {"scale": name}], replications=1, seed=1, executor=pool)
    assert submitted == []
    # In-process nothing travels, so nothing needs to pickle.
    assert replicate(locked, 2, seed=1)[1]["y"] == 1


def test_short_runs_go_in_few_chunks():
    submits = []

    class Count(concurrent.futures.ThreadPoolExecutor):
        def submit(self, fn, model, model_id, chunk):
            submits.append(chunk)
            return super().submit(fn, model, model_id, chunk)

    with Count(2) as pool:
        results = replicate(draws, 5000, seed=2, executor=pool)
    assert len(results) == 5000 and results[4999]["replication"] == 4999
    assert len(submits) < 100


def test_summary_and_tables():
    rows = [{"c": 1, "replication": i, "seed": i, "w": w, "tag": "x"} for i, w in enumerate([1, 2, 3, 4])]
    rows.append({"c": 2, "replication": 0, "seed": 9, "w": 5.0, "tag": "y"})
    results = Results(rows, parameters=["c"])
    assert results.measures == ["w", "tag"]
    one, two = results.summary()
    half = 3.182446305284263 * math.sqrt(5 / 3) / 2  # t(0.975, 3) * s / sqrt(n)
    assert one["c"] == 1 and one["measure"] == "w" and one["count"] == 4 and one["mean"] == 2.5
    assert one["std"] == pytest.approx(math.sqrt(5 / 3), rel=1e-15)
    assert (one["ci_low"], one["ci_high"]) == pytest.approx((2.5 - half, 2.5 + half), rel=1e-12)
    assert two["count"] == 1 and math.isnan(two["std"]) and math.isnan(two["ci_low"])
    # Student-t quantiles against tables, far and near.
    for df, conf, t in [(1, 0.95, 12.706204736174707), (29, 0.95, 2.045229642132703),
                        (1000, 0.99, 2.580754698), (4, 0.9, 2.131846786)]:
        s = Results([{"v": 0.0}] + [{"v": 0.0}] * (df - 1) + [{"v": 1.0}]).summary(conf)[0]
        assert (s["ci_high"] - s["mean"]) / (s["std"] / math.sqrt(df + 1)) == pytest.approx(t, rel=1e-9)
    frame = results.summary().to_pandas()
    assert list(frame.columns) == ["c", "measure", "count", "mean", "std", "ci_low", "ci_high"]
    assert list(results.to_pandas()["w"]) == [1, 2, 3, 4, 5.0]
    assert list(results[1:3]) == rows[1:3] and results[0] == rows[0]


def test_plot_draws_means_and_bands():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    results = sweep(lambda rng, scale, other: draws(rng, scale), {"scale": [1, 2, 4], "other": ["a", "b"]},
                    replications=5, seed=1)
    ax = results.plot("first", x="scale")
    assert [line.get_label() for line in ax.get_lines()] == ["other=a", "other=b"]
    assert list(ax.get_lines()[0].get_xdata()) == [1, 2, 4]
    assert len(ax.collections) == 2  # the confidence bands
    with pytest.raises(ValueError, match=r"give x, one of the parameters \['scale', 'other'\]"):
        results.plot("first")
    with pytest.raises(ValueError, match="no measure 'third'"):
        results.plot("third", x="scale")


def test_progress(capsys, monkeypatch):
    for bar in ("tqdm", "rich"):
        monkeypatch.setitem(sys.modules, bar, None)  # the plain line, even if they are installed
    replicate(draws, 3, seed=1)
    assert capsys.readouterr().err == ""  # not a terminal: no progress unless asked
    replicate(draws, 3, seed=1, progress=True)
    assert capsys.readouterr().err.endswith("\r3/3 runs, 0 failed, 00:00:00 left \n")


@pytest.mark.parametrize("call, message", [
    (lambda: replicate(draws, 0, seed=1), "n must be a positive int, not 0"),
    (lambda: replicate(draws, 2, seed=-1), "seed must be a non-negative int, not -1"),
    (lambda: replicate(draws, 2, seed=1.5), "seed must be a non-negative int, not 1.5"),
    (lambda: replicate(draws, 2, seed=1, executor="threads"), "executor must be None, 'processes'"),
    (lambda: replicate(draws, 2, seed=1, rng="mt"), "rng must be 'random', 'numpy' or a callable"),
    (lambda: replicate(draws, 2, seed=1, params={"seed": 1}), "'seed' cannot be a parameter name"),
    (lambda: replicate(draws, 2, seed=1, on_failure="ignore"), "on_failure must be 'raise' or 'keep'"),
    (lambda: sweep(draws, {"scale": "123"}, replications=2, seed=1), r"grid\['scale'\] must be a list"),
    (lambda: sweep(draws, {"scale": []}, replications=2, seed=1), r"grid\['scale'\] has no values"),
    (lambda: sweep(draws, {"scale": [1, 1]}, replications=2, seed=1), r"the scenario \{'scale': 1\} appears twice"),
    (lambda: sweep(draws, [{"scale": 1}, {"x": 1}], replications=2, seed=1), "every scenario needs"),
    (lambda: sweep(draws, {"scale": [object()]}, replications=2, seed=1), "parameter 'scale' is <object"),
    (lambda: replicate(lambda rng: 3.5, 1, seed=1), "the model returned 3.5, not a mapping"),
    (lambda: replicate(lambda rng: {"seed": 1}, 1, seed=1), "a result named 'seed'"),
])
def test_bad_arguments(call, message):
    with pytest.raises(ValueError, match=message):
        call()
