"""The event loop in the steady state, against the floor, the shuffled floor and SimPy.

The "ticker" model (benchmarks/models.py) in five forms, N = 10 to 10**6.
Each measurement runs in a fresh interpreter and times only the window
T1..T2 of simulated time (PLAN): every form has finished its start-up and
serves its events in the order it keeps in the long run. The floor can only
run from the start, so it is built twice and timed as the difference of a
run to T1 and a run to T2. Times are the CPU time of the process (which a
busy machine inflates less than wall time), the median of the repeats, each
repeat running every form once, side by side; the load average is printed
with them. Every run's count of events is checked against the model, so
every form runs the same events.

Then, per waiting process: bytes (tracemalloc) and collector-tracked
objects; and the set-up of 10**6 processes with the collector on and off,
and one full collection over them.

Usage: python benchmarks/bench_kernel.py [--floor DIR] [--sizes 10,1000,100000,1000000]
       [--repeats 3] [--models floor,floorshuf,subclass,wrapper,simpy] [--setup-n N]
       [--tables timing,memory,setup]
DIR holds the floor module built for this interpreter, or floor.c to build;
by default $TARNU_FLOOR_DIR or the shared bench directory beside the
repository. Without a floor its columns are left out.
"""
import argparse
import gc
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import models  # noqa: E402

# (N, T1, T2) in simulated seconds: about 2*10**5 events per window, 10**6 at N = 10**6.
PLAN = {10: (200, 20200), 1000: (3, 203), 100000: (2, 4), 1000000: (2, 3)}
HERE = os.path.abspath(__file__)


def child(args):
    return [sys.executable, HERE] + [str(a) for a in args]


def run_child(args):
    r = subprocess.run(child(args), capture_output=True, text=True)
    if r.returncode:
        raise SystemExit(f"{' '.join(map(str, args))} failed:\n{r.stderr[-3000:]}")
    return r.stdout.split()


# --- workers (each in a fresh interpreter) -------------------------------------

def worker_timing(a):
    floor = models.find_floor(a.floor)
    if a.gc == "off":
        gc.disable()
    t1, t2 = PLAN.get(a.n, (2, 3))
    window = models.exact_events(a.n, t2) - models.exact_events(a.n, t1)
    if a.model.startswith("floor"):
        first, second = models.build(a.model, a.n, floor), models.build(a.model, a.n, floor)
        t = time.process_time()
        first.run(t1)
        d1 = time.process_time() - t
        t = time.process_time()
        second.run(t2)
        d2 = time.process_time() - t
        elapsed, events = d2 - d1, second.events() - first.events()
    else:
        m = models.build(a.model, a.n, floor)
        m.run(t1)
        before = m.events()
        t = time.process_time()
        m.run(t2)
        elapsed = time.process_time() - t
        events = m.events() - before
    if events != window:
        raise SystemExit(f"{a.model} N={a.n}: {events} events in the window, the model has {window}")
    print(elapsed / events * 1e9)


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def worker_memory(a):
    import tracemalloc
    floor = models.find_floor(a.floor)
    # Imports and one-time set-up first, so that they are not counted.
    m = models.build(a.model, 8, floor)
    if a.model.startswith("floor"):
        m.run(0.5)
    del m
    gc.collect()
    gc.disable()
    tracked = len(gc.get_objects())
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    m = models.build(a.model, a.n, floor)
    if a.model.startswith("floor"):
        m.run(0.5)  # every generator at its first yield
    used = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    print(used / a.n, (len(gc.get_objects()) - tracked) / a.n)


def worker_setup(a):
    floor = models.find_floor(a.floor)
    m = models.build(a.model, 8, floor)
    del m
    gc.collect()
    if a.gc == "off":
        gc.disable()
    t = time.process_time()
    m = models.build(a.model, a.n, floor)
    if a.model.startswith("floor"):
        m.run(0.5)
    setup = time.process_time() - t
    gc.enable()
    t = time.process_time()
    gc.collect()
    full = time.process_time() - t
    print(setup / a.n, full / a.n)


# --- the tables ------------------------------------------------------------------

def fmt(x, width=9, digits=0):
    return f"{x:{width}.{digits}f}" if x is not None else " " * (width - 1) + "-"


def ratio(a, b):
    return a / b if a is not None and b else None


def timing_tables(a, models_, floor_dir):
    results = {}
    for gc_mode in ("off", "on"):
        for n in a.sizes:
            for _ in range(a.repeats):
                for m in models_:
                    ns = float(run_child(["_timing", m, n, "--gc", gc_mode, "--floor", floor_dir or ""])[0])
                    results.setdefault((gc_mode, n, m), []).append(ns)
    load = os.getloadavg()
    for gc_mode in ("off", "on"):
        print(f"\nns per event, steady state, collector {gc_mode}: median of {a.repeats} "
              f"(load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f})")
        head = f"{'N':>8}" + "".join(f"{m:>10}" for m in models_)
        head += f"{'sub/flr':>9}{'sub/shuf':>9}{'wrp/flr':>9}{'wrp/shuf':>9}{'simpy/sub':>10}"
        print(head)
        for n in a.sizes:
            med = {m: statistics.median(results[(gc_mode, n, m)]) for m in models_}
            get = med.get
            row = f"{n:>8}" + "".join(fmt(med[m], 10) for m in models_)
            row += fmt(ratio(get("subclass"), get("floor")), 9, 2) + fmt(ratio(get("subclass"), get("floorshuf")), 9, 2)
            row += fmt(ratio(get("wrapper"), get("floor")), 9, 2) + fmt(ratio(get("wrapper"), get("floorshuf")), 9, 2)
            row += fmt(ratio(get("simpy"), get("subclass")), 10, 1)
            print(row, flush=True)


def memory_table(a, models_, floor_dir):
    print(f"\nper waiting process, N = {a.memory_n}: bytes (tracemalloc) and collector-tracked objects")
    base = None
    for m in models_:
        used, tracked = map(float, run_child(["_memory", m, a.memory_n, "--floor", floor_dir or ""]))
        if m == "floor":
            base = used
        rel = f"  ({used / base:.2f} x floor)" if base and m != "floor" else ""
        print(f"{m:>10} {used:8.0f} B {tracked:6.2f} tracked{rel}", flush=True)


def setup_table(a, models_, floor_dir):
    print(f"\nset-up of {a.setup_n} processes (each at its first yield) and one full collection, "
          "per process: median of the repeats")
    base = None
    for m in models_:
        cells = []
        for gc_mode in ("on", "off"):
            runs = [list(map(float, run_child(["_setup", m, a.setup_n, "--gc", gc_mode, "--floor", floor_dir or ""])))
                    for _ in range(a.repeats)]
            setup = statistics.median(r[0] for r in runs)
            full = statistics.median(r[1] for r in runs)
            if gc_mode == "on" and m == "floor":
                base = setup
            rel = f" ({setup / base:.2f} x floor)" if gc_mode == "on" and base and m != "floor" else ""
            cells.append(f"collector {gc_mode}: {setup * 1e6:6.2f} us{rel}, full collection {full * 1e6:5.2f} us")
        print(f"{m:>10}  " + " | ".join(cells), flush=True)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = p.add_subparsers(dest="cmd")
    for name in ("_timing", "_setup"):
        s = sub.add_parser(name)
        s.add_argument("model"); s.add_argument("n", type=int)
        s.add_argument("--gc", default="on"); s.add_argument("--floor", default="")
    s = sub.add_parser("_memory")
    s.add_argument("model"); s.add_argument("n", type=int); s.add_argument("--floor", default="")
    p.add_argument("--floor", default=models.default_floor_dir())
    p.add_argument("--sizes", default="10,1000,100000,1000000")
    p.add_argument("--repeats", type=int, default=3)
    p.add_argument("--models", default=",".join(models.MODELS))
    p.add_argument("--memory-n", type=int, default=100000)
    p.add_argument("--setup-n", type=int, default=1000000)
    p.add_argument("--tables", default="timing,memory,setup", help="which of the three tables to print")
    a = p.parse_args()
    if a.cmd:
        {"_timing": worker_timing, "_memory": worker_memory, "_setup": worker_setup}[a.cmd](a)
        return
    a.sizes = [int(x) for x in a.sizes.split(",")]
    chosen = a.models.split(",")
    floor_dir = models.prepare_floor(a.floor) if any(m.startswith("floor") for m in chosen) else None
    if not floor_dir or not models.find_floor(floor_dir):
        if any(m.startswith("floor") for m in chosen):
            print(f"(no floor in {a.floor or 'any directory'}: its columns are left out; give --floor DIR)")
        chosen = [m for m in chosen if not m.startswith("floor")]
        floor_dir = None
    try:
        import simpy  # noqa: F401
    except ImportError:
        print("(SimPy is not installed: its column is left out)")
        chosen = [m for m in chosen if m != "simpy"]
    print(f"Python {sys.version.split()[0]}; models {', '.join(chosen)}; "
          f"floor {'from ' + a.floor if floor_dir else 'none'}")
    tables = a.tables.split(",")
    if "timing" in tables:
        timing_tables(a, chosen, floor_dir)
    if "memory" in tables:
        memory_table(a, chosen, floor_dir)
    if "setup" in tables:
        setup_table(a, [m for m in chosen if m != "floorshuf"], floor_dir)


if __name__ == "__main__":
    main()
