"""A parameter sweep: how many agents does a call centre need?

Callers arrive at random and wait in one queue for the first free agent;
calls last one minute on average (both exponential: an M/M/c queue). The
study sweeps the number of agents c from 1 to 6 at two arrival rates per
agent, 0.5 and 0.8 calls a minute for each agent (so 0.5 c and 0.8 c calls a
minute in all, which keeps every agent half or four-fifths busy), 30
replications of each scenario, and compares the simulated mean wait with
the Erlang C formula. At the same load per agent, a larger centre makes its
callers wait less: that is the economy of scale of one shared queue.

Each replication is a day that takes the same number of callers in every
scenario: callers of the first 100 / c minutes warm the system up and are
not counted, then come 2,000 / c minutes of callers; at closing the doors
shut and whoever is still queueing is served, so every counted caller's wait
is complete. The result of a day is its callers' mean wait, and the share of
them who waited at all.

What it shows:
- a model for `tarnu.experiment` is a function `model(rng, **params)` that
  builds and runs one simulation and returns a dict of results;
- `sweep(model, grid, replications=..., seed=...)` runs every scenario of
  the grid, here on all cores (`executor="processes"`); the results are the
  same with any executor, and on a Dask cluster;
- `summary()` gives the mean and Student-t confidence interval per scenario;
  `plot()` draws a measure against a parameter with its confidence band.

Run it with `python sweep_mmc.py`; it prints the table in sweep_mmc.out and
saves sweep_mmc.png in the current directory. A 95% interval leaves out the
true value about one time in twenty, so among twelve scenarios one miss is
what to expect; the table says how many intervals hold the Erlang C value.
"""
import collections
import math
import random
from typing import Deque, Dict, Generator, List, Optional, Tuple

from tarnu.define import LOCK_RELEASED, TIME_PASSED
from tarnu.experiment import sweep
from tarnu.process import Process
from tarnu.sim import Environment

MINUTE = 60.0  # the kernel's clock counts seconds
WARM_UP = 100 * MINUTE  # for one agent; a centre of c agents warms up in 1/c of it
DAY = 2000 * MINUTE     # likewise: every day takes about as many callers
MEAN_CALL = 1.0 * MINUTE

Steps = Generator[Optional[Tuple[float, int]], int, None]


class CallCentre:
    """What the processes share: the queue of callers and the idle agents."""

    def __init__(self) -> None:
        self.queue: Deque[float] = collections.deque()  # arrival times of waiting callers
        self.idle: List[Agent] = []    # agents asleep at `yield None`
        self.waits: List[float] = []   # waits of the callers who came after the warm-up
        self.warm_up = 0.0             # when the callers start to count
        self.closing = 0.0             # when the doors shut


class Callers(Process):
    def __init__(self, env: Environment, centre: CallCentre, rng: random.Random, per_minute: float) -> None:
        self.centre, self.rng = centre, rng
        self.mean_gap = MINUTE / per_minute
        super().__init__(env)

    def __call__(self) -> Steps:
        while True:
            arrival = self.time + self.rng.expovariate(1 / self.mean_gap)
            if arrival >= self.centre.closing:
                break
            yield arrival, TIME_PASSED
            self.centre.queue.append(self.time)
            if self.centre.idle:
                # A caller is waiting: wake an idle agent now.
                self.centre.idle.pop().activate(self.time, LOCK_RELEASED)
        while True:
            yield None  # the doors are closed


class Agent(Process):
    def __init__(self, env: Environment, centre: CallCentre, rng: random.Random) -> None:
        self.centre, self.rng = centre, rng
        super().__init__(env)

    def __call__(self) -> Steps:
        while True:
            if not self.centre.queue:
                self.centre.idle.append(self)
                yield None  # asleep until a caller wakes us
                continue
            arrived = self.centre.queue.popleft()
            if arrived >= self.centre.warm_up:
                self.centre.waits.append(self.time - arrived)
            yield self.time + self.rng.expovariate(1 / MEAN_CALL), TIME_PASSED


def call_centre(rng: random.Random, agents: int, per_agent: float) -> Dict[str, float]:
    """One day of the call centre: the mean wait of its callers, in minutes."""
    centre = CallCentre()
    centre.warm_up = WARM_UP / agents
    centre.closing = (WARM_UP + DAY) / agents
    # No stop time: the day ends when the last caller has been served and
    # every process sleeps.
    with Environment() as env:
        Callers(env, centre, rng, per_agent * agents)
        for _ in range(agents):
            Agent(env, centre, rng)
    waits = centre.waits
    return {
        "wait": sum(waits) / len(waits) / MINUTE,
        "waited": sum(1 for w in waits if w > 0) / len(waits),
    }


def erlang_c(agents: int, per_minute: float, served_per_minute: float = 1.0) -> Tuple[float, float]:
    """The M/M/c queue by the Erlang C formula: (chance of waiting, mean wait)."""
    load = per_minute / served_per_minute
    top = load**agents / math.factorial(agents) / (1 - load / agents)
    below = sum(load**k / math.factorial(k) for k in range(agents))
    waiting = top / (below + top)
    return waiting, waiting / (agents * served_per_minute - per_minute)


def minutes(value: float) -> str:
    """A wait as printed: four decimals, and never "-0.0000"."""
    return f"{round(value, 4) + 0.0:.4f}"


def main() -> None:
    grid: Dict[str, List[float]] = {"per_agent": [0.5, 0.8], "agents": [1, 2, 3, 4, 5, 6]}
    results = sweep(call_centre, grid, replications=30, seed=2025, executor="processes")

    print("M/M/c call centre: calls of 1 minute on average, 30 days of each scenario")
    print("calls/min per agent  agents  calls/min  mean wait (min)  95% confidence interval"
          "  Erlang C  inside  waited (sim, Erlang C)")
    waited = {(r["per_agent"], r["agents"]): r["mean"]
              for r in results.summary() if r["measure"] == "waited"}
    inside = 0
    for row in results.summary():
        if row["measure"] != "wait":
            continue
        scenario = row["per_agent"], row["agents"]
        per_minute = row["per_agent"] * row["agents"]
        chance, exact = erlang_c(row["agents"], per_minute)
        ok = row["ci_low"] <= exact <= row["ci_high"]
        inside += ok
        print(f"{row['per_agent']:19.1f}  {row['agents']:6d}  {per_minute:9.1f}  {minutes(row['mean']):>15}  "
              f"[{minutes(row['ci_low']):>8}, {minutes(row['ci_high']):>8}]     {minutes(exact):>8}  "
              f"{'yes' if ok else 'no':>6}  {waited[scenario]:8.3%} {chance:8.3%}")
    print(f"Erlang C inside the 95% interval in {inside} of {len(waited)} scenarios "
          f"(about {len(waited) * 0.95:.1f} to expect)")

    import matplotlib
    matplotlib.use("Agg")  # draw to a file, with or without a display
    ax = results.plot("wait", x="agents")
    ax.set_title("M/M/c call centre: mean wait against agents")
    ax.figure.savefig("sweep_mmc.png", dpi=100)
    print("plot saved to sweep_mmc.png")


if __name__ == "__main__":
    main()
