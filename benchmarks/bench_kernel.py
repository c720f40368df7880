"""The event loop against SimPy and against the floor, on the "ticker" model.

N processes, process i looping on a wake-up every d = 1 + (i % 7) * 0.001
seconds, run for about 2*10**5 events at N = 10, 1000 and 100000. Reports
nanoseconds per event for tarnu, SimPy and the floor (a bare C binary-heap
loop over the same generators, built here into a temporary directory), and
bytes per waiting process for tarnu and the floor. The same model written
as a generator function wrapped by env.process is timed alike, and its
set-up cost (one class per process) is reported apart. The collector is off
while timing (a last table keeps it on, as a model runs by default), and every loop's event count is checked against the model.

Two tables, differing only in whether making the generators is timed:
- "floor's methodology": the generators are made before timing (as the
  floor's own floor_bench.py does); SimPy's too. tarnu cannot make them
  before: its start calls each process, so its timing still includes them.
- "adjusted": making the generators is timed for all three (SimPy's are
  made in the timed region, then registered untimed). Registering processes
  is untimed in both tables; running every generator to its first yield is
  timed in both. Start-up dominates at N = 100000.

Usage: python benchmarks/bench_kernel.py [--floor-dir DIR] [--repeats K]
(DIR holds floor.c; by default the shared/bench directory beside the repo,
or $TARNU_FLOOR_DIR).
"""
import argparse
import gc
import os
import pathlib
import subprocess
import sys
import sysconfig
import tempfile
import time
import tracemalloc

from tarnu.define import TIME_PASSED
from tarnu.process import Process
from tarnu.sim import Environment

CASES = [(10, 20000), (1000, 200), (100000, 2)]
REPEATS = 3


def period(i):
    return 1 + (i % 7) * 0.001


def expected_events(nproc, until):
    # Wake-ups at k * d ticks up to and including the limit tick.
    limit = round(until * 1000)
    return sum(limit // (1000 + i % 7) for i in range(nproc))


# --- tarnu ---------------------------------------------------------------------


class Ticker(Process):
    __slots__ = ("d",)

    def __init__(self, env, d):
        self.d = d
        super().__init__(env)

    def __call__(self):
        env = self.env
        d = self.d
        while True:
            yield (env.time + d, TIME_PASSED)


def tarnu_per_event(nproc, until):
    env = Environment()
    for i in range(nproc):
        Ticker(env, period(i))
    gc.collect()
    t = time.perf_counter()
    env.start()
    env.run_until(until)
    return time.perf_counter() - t


class CountingTicker(Ticker):
    __slots__ = ()
    steps = 0

    def __call__(self):
        env = self.env
        d = self.d
        yield (env.time + d, TIME_PASSED)
        while True:
            CountingTicker.steps += 1
            yield (env.time + d, TIME_PASSED)


def tarnu_events(nproc, until):
    # An untimed run that counts the resumptions.
    env = Environment()
    for i in range(nproc):
        CountingTicker(env, period(i))
    CountingTicker.steps = 0
    env.start()
    env.run_until(until)
    return CountingTicker.steps


def tarnu_per_process(nproc):
    env = Environment()
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(nproc):
        Ticker(env, 1.0)
    env.start()  # every process waits at its first yield
    used = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    return used / nproc


# --- tarnu, env.process style ------------------------------------------------------


def tick(self, d):
    env = self.env
    while True:
        yield (env.time + d, TIME_PASSED)


def wrapped_per_event(nproc, until):
    env = Environment()
    for i in range(nproc):
        env.process(tick, period(i))
    gc.collect()
    t = time.perf_counter()
    env.start()
    env.run_until(until)
    return time.perf_counter() - t


def wrapped_setup(nproc):
    # One class per process: its cost is set-up time and memory, reported
    # apart from the per-event time.
    env = Environment()
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(nproc):
        env.process(tick, 1.0)
    env.start()
    used = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    elapsed = []
    for collector_on in (False, True):
        env = Environment()
        gc.collect()
        if not collector_on:
            gc.disable()
        t = time.perf_counter()
        for _ in range(nproc):
            env.process(tick, 1.0)
        elapsed.append((time.perf_counter() - t) / nproc)
        gc.enable()
    return used / nproc, elapsed


# --- SimPy ---------------------------------------------------------------------


def simpy_per_event(nproc, until, time_generators=False, count=None):
    try:
        import simpy
    except ImportError:
        return None

    def ticker(env, d):
        while True:
            yield env.timeout(d)
            if count is not None:
                count[0] += 1

    env = simpy.Environment()
    periods = [period(i) for i in range(nproc)]
    gc.collect()
    t = time.perf_counter()
    gens = [ticker(env, d) for d in periods]
    made = time.perf_counter() - t
    for g in gens:
        env.process(g)
    del gens
    t = time.perf_counter()
    # Half a tick past the limit: the events due at the limit run, as in the
    # other two (no wake-up of this model lies within that margin).
    env.run(until=until + 0.0005)
    elapsed = time.perf_counter() - t
    return elapsed + made if time_generators else elapsed


def simpy_events(nproc, until):
    count = [0]
    return count[0] if simpy_per_event(nproc, until, count=count) is not None else None


# --- the floor -----------------------------------------------------------------


def build_floor(source_dir, into):
    source = pathlib.Path(source_dir) / "floor.c"
    if not source.exists():
        return None
    include = sysconfig.get_paths()["include"]
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    target = pathlib.Path(into) / f"floor{suffix}"
    subprocess.check_call(["gcc", "-O2", "-shared", "-fPIC", f"-I{include}", str(source), "-o", str(target)])
    sys.path.insert(0, str(into))
    import floor

    return floor


def floor_ticker(clk, d):
    while True:
        yield (clk.time + d, 0)


def floor_per_event(floor, nproc, until, time_generators=False):
    clk = floor.Clock()
    periods = [period(i) for i in range(nproc)]
    if not time_generators:
        gens = [floor_ticker(clk, d) for d in periods]
    t = time.perf_counter()
    if time_generators:
        gens = [floor_ticker(clk, d) for d in periods]
    n = floor.run(clk, gens, until)
    elapsed = time.perf_counter() - t
    assert n == expected_events(nproc, until), (n, expected_events(nproc, until))
    return elapsed


def floor_per_process(floor, nproc):
    clk = floor.Clock()
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    gens = [floor_ticker(clk, 1.0) for _ in range(nproc)]
    floor.run(clk, gens, 0.5)  # each generator runs to its first yield
    used = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    del gens
    return used / nproc


# --- the table -----------------------------------------------------------------


COLLECTOR_ON = False


def timed(fn, *args):
    # The collector is off while timing, as timeit does: all three loops
    # then pay for their own work, not for collections of the others' objects.
    # The last table keeps it on, as a model runs by default.
    gc.collect()
    if not COLLECTOR_ON:
        gc.disable()
    try:
        return fn(*args)
    finally:
        gc.enable()


def best(fn, *args):
    times = [timed(fn, *args) for _ in range(REPEATS)]
    times = [t for t in times if t is not None]
    return min(times) if times else None


def main():
    global REPEATS, COLLECTOR_ON
    default_dir = os.environ.get(
        "TARNU_FLOOR_DIR", str(pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "bench")
    )
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--floor-dir", default=default_dir)
    parser.add_argument("--repeats", type=int, default=REPEATS, help="best of this many timings (busy machines)")
    args = parser.parse_args()
    REPEATS = args.repeats

    with tempfile.TemporaryDirectory() as tmp:
        floor = build_floor(args.floor_dir, tmp)
        if floor is None:
            print(f"(no floor.c in {args.floor_dir}: floor column skipped)")

        for nproc, until in CASES:
            n = expected_events(nproc, until)
            assert tarnu_events(nproc, until) == n, (nproc, tarnu_events(nproc, until), n)
            assert simpy_events(nproc, until) in (None, n), (nproc, simpy_events(nproc, until), n)

        styles = [("Process subclass", tarnu_per_event), ("env.process", wrapped_per_event)]
        methods = [("floor's methodology: generators made before timing", False),
                   ("adjusted: making the generators timed for all three", True)]
        runs = [(s, m, False) for s in styles for m in methods]
        runs.append((styles[0], methods[1], True))
        for (style, ours_fn), (title, time_generators), collector_on in runs:
            COLLECTOR_ON = collector_on
            print(f"{style}, {title}" + (", collector on" if collector_on else ""))
            print(f"{'N':>7} {'events':>7} {'tarnu ns/ev':>12} {'simpy ns/ev':>12} {'floor ns/ev':>12}"
                  f" {'x simpy':>8} {'/ floor':>8}")
            for nproc, until in CASES:
                n = expected_events(nproc, until)
                ours = best(ours_fn, nproc, until) / n * 1e9
                simpy_t = best(simpy_per_event, nproc, until, time_generators)
                simpy_ns = simpy_t / n * 1e9 if simpy_t else None
                floor_ns = best(floor_per_event, floor, nproc, until, time_generators) / n * 1e9 if floor else None
                print(
                    f"{nproc:>7} {n:>7} {ours:>12.0f} "
                    f"{simpy_ns if simpy_ns else float('nan'):>12.0f} {floor_ns if floor_ns else float('nan'):>12.0f} "
                    f"{(simpy_ns / ours) if simpy_ns else float('nan'):>8.1f} "
                    f"{(ours / floor_ns) if floor_ns else float('nan'):>8.2f}"
                )

        ours_mem = tarnu_per_process(100000)
        line = f"bytes per waiting process: tarnu {ours_mem:.0f}"
        if floor:
            floor_mem = floor_per_process(floor, 100000)
            line += f", floor {floor_mem:.0f} (ratio {ours_mem / floor_mem:.2f})"
        print(line)
        wrapped_mem, (off, on) = wrapped_setup(100000)
        print(f"env.process: bytes per waiting process {wrapped_mem:.0f}, set-up per process "
              f"(class included) {off * 1e6:.1f} us with the collector off, {on * 1e6:.1f} us with it on")


if __name__ == "__main__":
    main()
