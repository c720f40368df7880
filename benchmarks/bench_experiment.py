"""Studies of many short runs: in-process, on a process pool and on Dask.

Times a study of --runs runs (2,000 by default) of a queueing model sized to
about 10 ms a run, with executor=None, executor="processes" and a Dask
cluster of two single-threaded worker processes started beforehand, and
gives each executor's speed-up over in-process. Then studies of a model
that does nothing, small and large: the difference per run is each
executor's cost per run, the rest its cost per study.
The executors take turns in each of --repeat rounds; the figures are medians
over the rounds, the speed-ups medians of the ratios within a round. The
load average is printed before and after: on a shared machine, measure when
it is low.

Usage: python bench_experiment.py [--runs N] [--repeat R] [--empty N]
"""
import argparse
import logging
import os
import statistics
import sys
import time

from tarnu.define import LOCK_RELEASED, TIME_PASSED
from tarnu.experiment import replicate
from tarnu.process import Process
from tarnu.sim import Environment

CUSTOMERS_PER_HOUR = 4000  # about 10 ms of work per run here


class Arrivals(Process):
    def __init__(self, env, shop, rng):
        self.shop, self.rng = shop, rng
        super().__init__(env)

    def __call__(self):
        while True:
            yield self.time + self.rng.expovariate(CUSTOMERS_PER_HOUR / 3600), TIME_PASSED
            self.shop["queue"].append(self.time)
            if self.shop["idle"]:
                self.shop["idle"].pop().activate(self.time, LOCK_RELEASED)


class Server(Process):
    def __init__(self, env, shop, rng):
        self.shop, self.rng = shop, rng
        super().__init__(env)

    def __call__(self):
        while True:
            if not self.shop["queue"]:
                self.shop["idle"].append(self)
                yield None
                continue
            self.shop["waits"].append(self.time - self.shop["queue"].pop(0))
            yield self.time + self.rng.expovariate(CUSTOMERS_PER_HOUR / 3600 / 0.9), TIME_PASSED


def queue_hour(rng):
    """An hour of a single-server queue at 90% load."""
    shop = {"queue": [], "idle": [], "waits": []}
    with Environment(stop_time=3600.0) as env:
        Arrivals(env, shop, rng)
        Server(env, shop, rng)
    return {"wait": sum(shop["waits"]) / max(1, len(shop["waits"]))}


def nothing(rng):
    return {"x": rng.random()}


def timed(model, runs, executor):
    started = time.perf_counter()
    replicate(model, runs, seed=1, executor=executor, progress=False)
    return time.perf_counter() - started


def load():
    return "load average " + " ".join(f"{x:.2f}" for x in os.getloadavg())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--empty", type=int, default=20000, help="runs of the empty model")
    args = parser.parse_args()

    from dask.distributed import Client, LocalCluster

    print(f"{os.cpu_count()} cores; {load()}", flush=True)
    started = time.perf_counter()
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None,
                           silence_logs=logging.ERROR)
    client = Client(cluster)
    print(f"Dask cluster of 2 worker processes up in {time.perf_counter() - started:.2f} s")
    executors = {"in-process": None, "processes": "processes", "dask (2 workers)": client}
    try:
        timed(queue_hour, 50, None)  # warm the caches
        timed(queue_hour, 50, client)  # and the workers
        rounds = {name: [] for name in executors}
        for _ in range(args.repeat):
            for name, executor in executors.items():
                rounds[name].append(timed(queue_hour, args.runs, executor))
        print(f"\n{args.runs} runs of about 10 ms, {args.repeat} rounds; {load()}")
        for name, seconds in rounds.items():
            speedup = statistics.median(b / s for b, s in zip(rounds["in-process"], seconds))
            print(f"  {name:17} {statistics.median(seconds):7.2f} s  {statistics.median(seconds) / args.runs * 1e3:6.2f} ms a run"
                  f"  speed-up {speedup:4.2f}x  (min {min(seconds):.2f} s, max {max(seconds):.2f} s)")

        # The cost of a run: studies of a model that does nothing, small and
        # large; the difference per run is the cost of one more run, the
        # rest the cost of the study (a pool to start, tasks to set up).
        small, large = args.empty // 10, args.empty
        costs = {name: ([], []) for name in executors}
        for _ in range(args.repeat):
            for name, executor in executors.items():
                costs[name][0].append(timed(nothing, small, executor))
                costs[name][1].append(timed(nothing, large, executor))
        print(f"\nempty runs, studies of {small} and {large}, {args.repeat} rounds; {load()}")
        for name, (a, b) in costs.items():
            per_run = statistics.median((tb - ta) / (large - small) for ta, tb in zip(a, b))
            fixed = statistics.median(ta - small * per_run for ta in a)
            print(f"  {name:17} {per_run * 1e6:6.1f} us a run (wall, all workers together)"
                  f"  + {fixed * 1e3:6.1f} ms a study")
    finally:
        client.close()
        cluster.close()
    print(f"\n{load()}")


if __name__ == "__main__":
    sys.exit(main())
