"""A few seeds of the random-call fuzzer; `make fuzz` runs many more."""
import importlib.util
import os

spec = importlib.util.spec_from_file_location("fuzz_run", os.path.join(os.path.dirname(__file__), "fuzz", "run.py"))
fuzz_run = importlib.util.module_from_spec(spec)
spec.loader.exec_module(fuzz_run)


def test_fuzz_seeds_exit_normally():
    ok, sequences, calls, output = fuzz_run.run_batch(0, 12, steps=150, timeout=120)
    assert ok, output[-3000:]
    assert sequences == 12
    assert calls > 1000
