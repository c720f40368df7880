"""Runs every benchmark of this directory (bench_*.py) in turn."""
import pathlib
import subprocess
import sys

here = pathlib.Path(__file__).resolve().parent
status = 0
for script in sorted(here.glob("bench_*.py")):
    print(f"== {script.name}", flush=True)
    status |= subprocess.call([sys.executable, str(script)] + sys.argv[1:])
sys.exit(status)
