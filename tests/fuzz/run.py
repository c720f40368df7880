"""Runs the fuzzer driver over many seeds, one interpreter per batch.

    python run.py [--first N] [--seeds N] [--batch N] [--steps N] [--timeout S]

Each batch must exit normally: return code 0, no fatal error and no
sanitizer report. A failing batch is reported with its seed range and the
end of its output (run the driver with --verbose on that range to find the
seed, and with --trace to see its calls). Prints the total number of
sequences and calls.
"""
import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.path.join(HERE, "driver.py")
BAD_OUTPUT = ("Fatal Python error", "AddressSanitizer", "LeakSanitizer", "runtime error:", "Timeout (")


def run_batch(first, count, steps, timeout, python=sys.executable):
    """Runs one batch; returns (ok, sequences, calls, output)."""
    try:
        result = subprocess.run(
            [python, DRIVER, str(first), str(count), "--steps", str(steps)],
            capture_output=True, text=True, timeout=timeout, cwd=HERE,
        )
    except subprocess.TimeoutExpired as e:
        return False, 0, 0, "hang: no exit after %ss\n%s" % (timeout, e.stderr or "")
    output = result.stdout + result.stderr
    m = re.search(r"sequences=(\d+) calls=(\d+)", result.stdout)
    ok = result.returncode == 0 and m is not None and not any(s in output for s in BAD_OUTPUT)
    if not m:
        return ok, 0, 0, output
    return ok, int(m.group(1)), int(m.group(2)), output


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--first", type=int, default=0)
    parser.add_argument("--seeds", type=int, default=2000)
    parser.add_argument("--batch", type=int, default=50)
    parser.add_argument("--steps", type=int, default=200)
    parser.add_argument("--timeout", type=float, default=600)
    args = parser.parse_args()

    sequences = calls = 0
    failures = []
    end = args.first + args.seeds
    for first in range(args.first, end, args.batch):
        count = min(args.batch, end - first)
        ok, n, c, output = run_batch(first, count, args.steps, args.timeout)
        sequences += n
        calls += c
        if not ok:
            failures.append(first)
            print("FAILED: seeds %d..%d\n%s" % (first, first + count - 1, output[-3000:]), flush=True)
    print("fuzz: %d sequences, %d calls, %d failing batches" % (sequences, calls, len(failures)))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
