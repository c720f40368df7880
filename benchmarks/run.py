"""Runs every benchmark of this directory (bench_*.py) in turn. The kernel's
table (bench_kernel.py) takes this script's arguments; the others run with
their defaults."""
import pathlib
import subprocess
import sys

here = pathlib.Path(__file__).resolve().parent
status = 0
for script in sorted(here.glob("bench_*.py")):
    print(f"== {script.name}", flush=True)
    args = sys.argv[1:] if script.name == "bench_kernel.py" else []
    status |= subprocess.call([sys.executable, str(script)] + args)
sys.exit(status)
