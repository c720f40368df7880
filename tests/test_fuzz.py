"""A few seeds of the random-call fuzzer; `make fuzz` runs many more."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "fuzz"))
import run as fuzz_run  # noqa: E402


def test_fuzz_seeds_exit_normally():
    ok, sequences, calls, output = fuzz_run.run_batch(0, 12, steps=150, timeout=120)
    assert ok, output[-3000:]
    assert sequences == 12
    assert calls > 1000
