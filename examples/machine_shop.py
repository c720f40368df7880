"""A machine shop: machines that break down, and one repairer.

Six machines make parts, one after the other, each part taking ten minutes
of machine time on average. A running machine breaks down now and then (on
average after five hours of work); the part it was making waits, and the
rest of it is made once the machine is repaired. One repairer fixes the
broken machines in the order they broke, each repair taking half an hour on
average. The model runs for four weeks of round-the-clock work.

What it shows: a breakdown as an interruption.
- Each machine has a breakdown process that counts the machine's working
  time and, when it is used up, wakes the machine early with
  `activate(now, BROKEN)`.
- The machine's `yield` then returns BROKEN instead of its own reason: it
  keeps what is left of the part, reports itself to the repairer and sleeps
  (`yield None`) until the repairer wakes it with REPAIRED. The reason, not
  a comparison of float times, tells the machine whether its part is done.
- A breakdown that falls on the very tick a part is finished finds the
  wake-up already due; `activate` never changes one, so the machine also
  checks its `broken` flag.

The run is seeded; its output is in machine_shop.out.
"""
import collections
import random
from typing import Deque, Generator, List, Optional, Tuple

from tarnu import LOCK_RELEASED, TIME_PASSED, TIME_REACHED, Environment, Process

Steps = Generator[Optional[Tuple[float, int]], int, None]

MINUTE, HOUR = 60.0, 3600.0
MEAN_PART = 10 * MINUTE           # machine time per part
MEAN_UP = 5 * HOUR                # working time between breakdowns
MEAN_REPAIR = 30 * MINUTE
MACHINES = 6
WEEKS = 4
RUN = WEEKS * 7 * 24 * HOUR

BROKEN = TIME_REACHED             # a machine woken by its breakdown
REPAIRED = LOCK_RELEASED          # a machine or breakdown woken by the repairer


class Shop:
    def __init__(self, rng: random.Random) -> None:
        self.rng = rng
        self.broken: Deque[Machine] = collections.deque()  # waiting for the repairer
        self.repairer_idle: List[Repairer] = []


class Machine(Process):
    def __init__(self, env: Environment, shop: Shop, name: str) -> None:
        self.shop, self.name = shop, name
        self.parts = 0
        self.breakdowns = 0
        self.down_time = 0.0
        self.broken = False
        self.working_since: Optional[float] = None  # None while it is down
        super().__init__(env)
        self.failure = Breakdown(env, self)

    def __call__(self) -> Steps:
        shop = self.shop
        self.working_since = self.time
        while True:
            done = self.time + shop.rng.expovariate(1 / MEAN_PART)
            while True:
                reason = yield done, TIME_PASSED
                if reason != BROKEN and not self.broken:
                    break  # woken by its own wake-up: the part is made
                left = done - self.time
                yield from self.wait_for_repair()
                done = self.time + left
            self.parts += 1

    def break_down(self) -> None:
        """Called by the breakdown process: stop working now."""
        self.broken = True
        self.breakdowns += 1
        self.activate(self.time, BROKEN)

    def wait_for_repair(self) -> Steps:
        broke = self.time
        self.working_since = None
        self.shop.broken.append(self)
        if self.shop.repairer_idle:
            self.shop.repairer_idle.pop().activate(self.time, REPAIRED)
        while self.broken:
            yield None  # until the repairer wakes us
        self.down_time += self.time - broke
        self.working_since = self.time


class Breakdown(Process):
    """Counts a machine's working time and breaks the machine when its time
    between failures is used up."""

    def __init__(self, env: Environment, machine: Machine) -> None:
        self.machine = machine
        super().__init__(env)

    def __call__(self) -> Steps:
        machine = self.machine
        while True:
            yield self.time + machine.shop.rng.expovariate(1 / MEAN_UP), TIME_PASSED
            machine.break_down()
            yield None  # until the repairer has fixed the machine


class Repairer(Process):
    def __init__(self, env: Environment, shop: Shop) -> None:
        self.shop = shop
        self.busy = 0.0
        super().__init__(env)

    def __call__(self) -> Steps:
        shop = self.shop
        while True:
            if not shop.broken:
                shop.repairer_idle.append(self)
                yield None  # until a machine breaks
                continue
            machine = shop.broken.popleft()
            repair = shop.rng.expovariate(1 / MEAN_REPAIR)
            self.busy += min(repair, RUN - self.time)
            yield self.time + repair, TIME_PASSED
            machine.broken = False
            machine.activate(self.time, REPAIRED)
            machine.failure.activate(self.time, REPAIRED)


def main() -> None:
    shop = Shop(random.Random(42))
    with Environment(stop_time=RUN, errors="raise") as env:
        machines = [Machine(env, shop, f"machine {i + 1}") for i in range(MACHINES)]
        repairer = Repairer(env, shop)

    print(f"{WEEKS} weeks, {MACHINES} machines, one repairer")
    for m in machines:
        print(f"{m.name}: {m.parts} parts, {m.breakdowns} breakdowns, "
              f"down {m.down_time / RUN:.1%} of the time")
    parts = sum(m.parts for m in machines)
    breakdowns = sum(m.breakdowns for m in machines)
    print(f"all machines: {parts} parts, {breakdowns} breakdowns, "
          f"{sum(m.down_time for m in machines) / breakdowns / MINUTE:.1f} min down per breakdown")
    print(f"repairer busy {repairer.busy / RUN:.1%} of the time; "
          f"{len(shop.broken)} machines waiting for repair at the end")


if __name__ == "__main__":
    main()
