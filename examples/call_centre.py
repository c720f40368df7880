"""A call centre as an M/M/c queue, checked against the Erlang C formula.

Calls arrive at random, four a minute on average (a Poisson stream); five
agents answer them in the order they came, each call lasting one minute on
average (exponential). Callers wait as long as it takes. This is the M/M/c
queue, whose mean wait in the queue is known exactly:

    Wq = C(c, a) / (c * mu - lambda)

where a = lambda / mu is the offered load in Erlangs and C(c, a), the
Erlang C formula, is the probability that a call has to wait. The model
simulates three weeks of calls (after a warm-up hour that is not counted)
and prints its estimates beside the exact values, with a 95% confidence
interval for the mean wait from the means of 21 batches of consecutive
calls (about a day's calls each).

What it shows: a queue of work on the blocks of tarnu.resources.
- Waiting calls are the items of a `Store`; each agent takes the next one
  with `yield from calls.get(self)`, waiting while there is none.
- The waits go into a `Tally`, whose `reset(WARM_UP)` forgets the warm-up
  and whose `confidence_interval(batches=21)` gives the batch-means
  interval.

The run is seeded; its output is in call_centre.out.
"""
import math
import random
from typing import Generator, Optional, Tuple

from tarnu import TIME_PASSED, Environment, Process
from tarnu.resources import Store, Tally

Steps = Generator[Optional[Tuple[float, int]], int, None]

MINUTE, HOUR = 60.0, 3600.0
ARRIVAL_RATE = 4 / MINUTE         # lambda, calls per second
SERVICE_RATE = 1 / MINUTE         # mu, calls per second and agent
AGENTS = 5                        # c
WARM_UP = 1 * HOUR
DAYS = 21
RUN = WARM_UP + DAYS * 24 * HOUR


def erlang_c(c: int, a: float) -> float:
    """The probability that a call waits, for c agents and a load of a Erlangs."""
    top = a**c / math.factorial(c) * c / (c - a)
    return top / (sum(a**k / math.factorial(k) for k in range(c)) + top)


class Centre:
    def __init__(self, env: Environment, rng: random.Random) -> None:
        self.rng = rng
        self.calls: Store[float] = Store(env)     # the arrival times of waiting calls
        self.waits = Tally(env, name="wait")      # of every call answered


class Calls(Process):
    def __init__(self, env: Environment, centre: Centre) -> None:
        self.centre = centre
        super().__init__(env)

    def __call__(self) -> Steps:
        centre = self.centre
        while True:
            yield self.time + centre.rng.expovariate(ARRIVAL_RATE), TIME_PASSED
            yield from centre.calls.put(self, self.time)


class Agent(Process):
    def __init__(self, env: Environment, centre: Centre) -> None:
        self.centre = centre
        super().__init__(env)

    def __call__(self) -> Steps:
        centre = self.centre
        while True:
            arrived = yield from centre.calls.get(self)  # until a call comes in
            assert isinstance(arrived, float)
            centre.waits.record(self.time - arrived)
            yield self.time + centre.rng.expovariate(SERVICE_RATE), TIME_PASSED


def main() -> None:
    with Environment(stop_time=RUN, errors="raise") as env:
        centre = Centre(env, random.Random(5))
        Calls(env, centre)
        for _ in range(AGENTS):
            Agent(env, centre)

    load = ARRIVAL_RATE / SERVICE_RATE
    p_wait = erlang_c(AGENTS, load)
    mean_wait = p_wait / (AGENTS * SERVICE_RATE - ARRIVAL_RATE)
    waits = centre.waits
    waits.reset(WARM_UP)  # the calls answered in the warm-up hour do not count
    simulated = waits.mean()
    waited = sum(1 for w in waits.values() if w > 0) / waits.count
    print(f"M/M/{AGENTS}: {load:.0f} Erlangs offered, utilisation {load / AGENTS:.0%}")
    print(f"{waits.count} calls answered in {(RUN - WARM_UP) / HOUR / 24:.0f} days")
    print(f"share of calls that waited: {waited:.3f} (Erlang C: {p_wait:.3f})")
    print(f"mean wait in the queue: {simulated:.1f} s (Erlang C: {mean_wait:.1f} s), "
          f"{(simulated - mean_wait) / mean_wait:+.1%} off")
    low, high = waits.confidence_interval(0.95, batches=DAYS)
    verdict = "inside" if low <= mean_wait <= high else "outside"
    print(f"95% confidence interval: {low:.1f} s to {high:.1f} s, the exact value lies {verdict}")


if __name__ == "__main__":
    main()
