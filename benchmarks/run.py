"""Runs the benchmarks of this directory: the kernel's table (bench_kernel.py,
which takes this script's arguments), then the heap's (bench_heap.py)."""
import pathlib
import subprocess
import sys

here = pathlib.Path(__file__).resolve().parent
status = 0
for script, args in (("bench_kernel.py", sys.argv[1:]), ("bench_heap.py", [])):
    print(f"== {script}", flush=True)
    status |= subprocess.call([sys.executable, str(here / script)] + args)
sys.exit(status)
