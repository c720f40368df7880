"""Instructions per event of the "ticker" model, counted by valgrind.

Counts do not drift on a busy machine, unlike times. Every form of the model
(benchmarks/models.py) runs twice under valgrind, to simulated times T1 and
T2 with the same set-up, and the report is the difference of the two counts
over the difference of the two event counts: only steady-state events are
left. With --tool cachegrind the simulated cache misses per event are shown
too (the simulator has no hardware prefetcher: they are demand misses).

Usage: python benchmarks/counts.py [--floor DIR] [--sizes 10,1000] [--models ...]
       [--tool callgrind|cachegrind] [--keep DIR]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import models  # noqa: E402

PLAN = {10: (200, 20200), 1000: (3, 203), 100000: (2, 4), 1000000: (2, 3)}
CACHES = ["--I1=32768,8,64", "--D1=32768,8,64", "--LL=33554432,16,64"]


def worker(a):
    m = models.build(a.model, a.n, models.find_floor(a.floor))
    m.run(a.until)
    expected = models.exact_events(a.n, a.until)
    if m.events() != expected:
        raise SystemExit(f"{a.model} N={a.n}: {m.events()} events, the model has {expected}")


def totals(tool, args, out):
    cmd = ["valgrind", f"--tool={tool}", f"--{tool}-out-file={out}"]
    cmd += ["--cache-sim=yes", *CACHES] if tool == "cachegrind" else []
    r = subprocess.run(cmd + args, capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    if r.returncode:
        raise SystemExit(r.stderr[-3000:])
    names = None
    with open(out) as f:
        for line in f:
            if line.startswith("events:"):
                names = line.split()[1:]
            elif line.startswith(("summary:", "totals:")):
                return dict(zip(names, map(int, line.split()[1:])))
    raise SystemExit(f"no totals in {out}")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = p.add_subparsers(dest="cmd")
    s = sub.add_parser("_run")
    s.add_argument("model"); s.add_argument("n", type=int); s.add_argument("until", type=float)
    s.add_argument("--floor", default="")
    p.add_argument("--floor", default=models.default_floor_dir())
    p.add_argument("--sizes", default="10,1000")
    p.add_argument("--models", default="floor,floorshuf,subclass,wrapper")
    p.add_argument("--tool", default="callgrind", choices=["callgrind", "cachegrind"])
    p.add_argument("--keep", help="keep valgrind's output files in this directory")
    a = p.parse_args()
    if a.cmd:
        return worker(a)
    if not shutil.which("valgrind"):
        raise SystemExit("valgrind is not installed")
    chosen = a.models.split(",")
    floor_dir = models.prepare_floor(a.floor) if any(m.startswith("floor") for m in chosen) else None
    if not floor_dir:
        if any(m.startswith("floor") for m in chosen):
            print(f"(no floor in {a.floor or 'any directory'}: its rows are left out; give --floor DIR)")
        chosen = [m for m in chosen if not m.startswith("floor")]
    keep = a.keep or tempfile.mkdtemp(prefix="tarnu-counts-")
    os.makedirs(keep, exist_ok=True)
    print(f"Python {sys.version.split()[0]}; {a.tool}; per event, steady state")
    for n in (int(x) for x in a.sizes.split(",")):
        t1, t2 = PLAN[n]
        base = None
        for m in chosen:
            counts = []
            for t in (t1, t2):
                out = os.path.join(keep, f"{a.tool}.{m}.{n}.{t}")
                args = [sys.executable, os.path.abspath(__file__), "_run", m, str(n), str(t), "--floor", floor_dir or ""]
                counts.append(totals(a.tool, args, out))
            events = models.exact_events(n, t2) - models.exact_events(n, t1)
            per = {k: (counts[1][k] - counts[0][k]) / events for k in counts[0]}
            if m == "floor":
                base = per["Ir"]
            rel = f"  ({per['Ir'] / base:.3f} x floor)" if base and m != "floor" else ""
            extra = "".join(f"  {k} {per[k]:.2f}" for k in ("D1mr", "DLmr") if k in per)
            print(f"{m:>10} N={n:<8} Ir {per['Ir']:8.1f}{extra}{rel}", flush=True)
    if not a.keep:
        shutil.rmtree(keep, ignore_errors=True)


if __name__ == "__main__":
    main()
