"""Every model in examples/ runs, prints exactly its .out file, and is quick.

An example writes its results to standard output; the file of the same name
with the suffix .out beside it holds that output. What depends on the
machine (a speed figure) goes to standard error on lines that begin with
"[timing]"; nothing else may appear there.
"""
import os
import pathlib
import resource
import subprocess
import sys

import pytest

EXAMPLES = sorted((pathlib.Path(__file__).parent.parent / "examples").glob("*.py"))
# Each example runs in under two seconds of processor time, all its
# processes together; the sweep, 360 simulated days and a plot, in under four.
# Not measured under the sanitizers or valgrind, which slow everything down.
TIME_LIMIT = 2.0
TIME_LIMITS = {"sweep_mmc": 4.0}
SANITIZED = "ASAN_OPTIONS" in os.environ or "vgpreload" in os.environ.get("LD_PRELOAD", "")


def test_the_models_are_there():
    names = {p.stem for p in EXAMPLES}
    assert {"queue_demo", "bank_renege", "machine_shop", "call_centre", "many_processes"} <= names
    for path in EXAMPLES:
        assert path.with_suffix(".out").is_file(), f"{path.name} has no .out file"


@pytest.mark.parametrize("path", EXAMPLES, ids=[p.name for p in EXAMPLES])
def test_example_prints_its_out_file(path, tmp_path):
    # In a scratch directory, where an example may save files.
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    result = subprocess.run(
        [sys.executable, str(path)], capture_output=True, text=True, timeout=120, cwd=tmp_path
    )
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    assert result.returncode == 0, result.stderr
    stray = [line for line in result.stderr.splitlines() if not line.startswith("[timing] ")]
    assert stray == [], result.stderr
    assert result.stdout == path.with_suffix(".out").read_text()
    for line in result.stdout.splitlines():
        if " saved to " in line:
            assert (tmp_path / line.rsplit(" ", 1)[1]).stat().st_size > 0, line
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    limit = TIME_LIMITS.get(path.stem, TIME_LIMIT)
    if not SANITIZED:
        assert cpu < limit, f"{path.name} took {cpu:.2f} s of processor time"
