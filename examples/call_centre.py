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
interval for the mean wait from the means of 21 daily batches.

The agents sleep (`yield None`) when nobody waits, and an arriving call
wakes one of them with `activate(now, LOCK_RELEASED)`.

The run is seeded; its output is in call_centre.out.
"""
import collections
import math
import random
from typing import Deque, Generator, List, Optional, Tuple

from tarnu import LOCK_RELEASED, TIME_PASSED, Environment, Process

Steps = Generator[Optional[Tuple[float, int]], int, None]

MINUTE, HOUR = 60.0, 3600.0
ARRIVAL_RATE = 4 / MINUTE         # lambda, calls per second
SERVICE_RATE = 1 / MINUTE         # mu, calls per second and agent
AGENTS = 5                        # c
WARM_UP = 1 * HOUR
DAYS = 21
RUN = WARM_UP + DAYS * 24 * HOUR
T_20 = 2.086                      # Student's t, 97.5% quantile, 20 degrees of freedom


def erlang_c(c: int, a: float) -> float:
    """The probability that a call waits, for c agents and a load of a Erlangs."""
    top = a**c / math.factorial(c) * c / (c - a)
    return top / (sum(a**k / math.factorial(k) for k in range(c)) + top)


class Centre:
    def __init__(self, rng: random.Random) -> None:
        self.rng = rng
        self.queue: Deque[float] = collections.deque()  # arrival times of waiting calls
        self.idle: List[Agent] = []
        self.waits: List[float] = []                    # of the calls answered after the warm-up
        self.days: List[List[float]] = [[] for _ in range(DAYS)]  # the same, by day of arrival


class Calls(Process):
    def __init__(self, env: Environment, centre: Centre) -> None:
        self.centre = centre
        super().__init__(env)

    def __call__(self) -> Steps:
        centre = self.centre
        while True:
            yield self.time + centre.rng.expovariate(ARRIVAL_RATE), TIME_PASSED
            centre.queue.append(self.time)
            if centre.idle:
                centre.idle.pop().activate(self.time, LOCK_RELEASED)


class Agent(Process):
    def __init__(self, env: Environment, centre: Centre) -> None:
        self.centre = centre
        super().__init__(env)

    def __call__(self) -> Steps:
        centre = self.centre
        while True:
            if not centre.queue:
                centre.idle.append(self)
                yield None  # until a call comes in
                continue
            arrived = centre.queue.popleft()
            if arrived >= WARM_UP:
                centre.waits.append(self.time - arrived)
                centre.days[int((arrived - WARM_UP) // (24 * HOUR))].append(self.time - arrived)
            yield self.time + centre.rng.expovariate(SERVICE_RATE), TIME_PASSED


def main() -> None:
    centre = Centre(random.Random(5))
    with Environment(stop_time=RUN, errors="raise") as env:
        Calls(env, centre)
        for _ in range(AGENTS):
            Agent(env, centre)

    load = ARRIVAL_RATE / SERVICE_RATE
    p_wait = erlang_c(AGENTS, load)
    mean_wait = p_wait / (AGENTS * SERVICE_RATE - ARRIVAL_RATE)
    waits = centre.waits
    simulated = sum(waits) / len(waits)
    waited = sum(1 for w in waits if w > 0) / len(waits)
    daily = [sum(day) / len(day) for day in centre.days]
    centre_of_days = sum(daily) / DAYS
    spread = math.sqrt(sum((d - centre_of_days) ** 2 for d in daily) / (DAYS - 1) / DAYS)
    print(f"M/M/{AGENTS}: {load:.0f} Erlangs offered, utilisation {load / AGENTS:.0%}")
    print(f"{len(waits)} calls answered in {(RUN - WARM_UP) / HOUR / 24:.0f} days")
    print(f"share of calls that waited: {waited:.3f} (Erlang C: {p_wait:.3f})")
    print(f"mean wait in the queue: {simulated:.1f} s (Erlang C: {mean_wait:.1f} s), "
          f"{(simulated - mean_wait) / mean_wait:+.1%} off")
    low, high = centre_of_days - T_20 * spread, centre_of_days + T_20 * spread
    verdict = "inside" if low <= mean_wait <= high else "outside"
    print(f"95% confidence interval: {low:.1f} s to {high:.1f} s, the exact value lies {verdict}")


if __name__ == "__main__":
    main()
