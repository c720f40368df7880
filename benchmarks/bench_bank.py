"""The "bank" model: tarnu.resources against SimPy, side by side.

An M/M/c bank with c = 3 counters (one Resource) and N customers who live
for the whole run: each thinks for an exponential time, queues for a
counter, is served for an exponential time (mean 1 s) and starts over. The
think time is chosen so that the counters are offered 90% of their
capacity, so that with N = 10,000 the arrivals are close to a Poisson stream.
Every customer's wait is recorded: by the Resource's own wait monitor in
tarnu, in a list in SimPy, as a SimPy user would. Both draw their times in
the same order from one random.Random with the same seed.

Reports customers served per second of wall-clock time (the median of
--repeats runs of each, the collector on as a model runs by default) at
N = 10 and N = 10,000, and the ratio tarnu / SimPy.

Usage: python benchmarks/bench_bank.py [--customers K] [--repeats R]
"""
import argparse
import random
import statistics
import time

import simpy

from tarnu.define import TIME_PASSED
from tarnu.process import Process
from tarnu.resources import Resource
from tarnu.sim import Environment

COUNTERS = 3
SERVICE = 1.0  # mean service time, seconds
LOAD = 0.9     # offered load per counter
SEED = 2024


def think_time(n):
    """Mean think time giving each counter LOAD of work from n customers."""
    return n * SERVICE / (COUNTERS * LOAD)


def horizon(n, customers):
    """Simulated seconds in which about `customers` are served."""
    return customers / (COUNTERS * LOAD / SERVICE)


# --- tarnu ----------------------------------------------------------------------


class Customer(Process):
    __slots__ = ("counter", "rng", "rate")

    def __init__(self, env, counter, rng, rate):
        self.counter, self.rng, self.rate = counter, rng, rate
        super().__init__(env)

    def __call__(self):
        env, counter, expo, rate = self.env, self.counter, self.rng.expovariate, self.rate
        while True:
            yield env.time + expo(rate), TIME_PASSED
            yield from counter.acquire(self)
            yield env.time + expo(1.0 / SERVICE), TIME_PASSED
            counter.release(self)


def run_tarnu(n, until):
    rng = random.Random(SEED)
    env = Environment()
    counter = Resource(env, COUNTERS)
    for _ in range(n):
        Customer(env, counter, rng, 1.0 / think_time(n))
    t = time.perf_counter()
    env.start()
    env.run_until(until)
    elapsed = time.perf_counter() - t
    return counter.wait_monitor.count, elapsed, counter.wait_monitor.mean()


# --- SimPy ----------------------------------------------------------------------


def simpy_customer(env, counter, rng, rate, waits):
    expo = rng.expovariate
    while True:
        yield env.timeout(expo(rate))
        arrived = env.now
        with counter.request() as req:
            yield req
            waits.append(env.now - arrived)
            yield env.timeout(expo(1.0 / SERVICE))


def run_simpy(n, until):
    rng = random.Random(SEED)
    env = simpy.Environment()
    counter = simpy.Resource(env, COUNTERS)
    waits = []
    for _ in range(n):
        env.process(simpy_customer(env, counter, rng, 1.0 / think_time(n), waits))
    t = time.perf_counter()
    env.run(until=until)
    elapsed = time.perf_counter() - t
    return len(waits), elapsed, statistics.fmean(waits)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--customers", type=int, default=100_000, help="customers served per run (about)")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    print(f"bank: M/M/{COUNTERS}, load {LOAD}, about {args.customers} customers served per run, "
          f"median of {args.repeats} runs")
    print(f"{'N':>7} {'tarnu cust/s':>13} {'SimPy cust/s':>13} {'ratio':>6} {'mean wait tarnu/SimPy (s)':>27}")
    for n in (10, 10_000):
        until = horizon(n, args.customers)
        rates = {"tarnu": [], "simpy": []}
        waits = {}
        for _ in range(args.repeats):
            for name, run in (("tarnu", run_tarnu), ("simpy", run_simpy)):
                served, elapsed, mean_wait = run(n, until)
                rates[name].append(served / elapsed)
                waits[name] = mean_wait
        t, s = statistics.median(rates["tarnu"]), statistics.median(rates["simpy"])
        print(f"{n:>7} {t:>13,.0f} {s:>13,.0f} {t / s:>6.1f} {waits['tarnu']:>13.3f} / {waits['simpy']:<10.3f}")


if __name__ == "__main__":
    main()
