"""A machine shop: machines that break down, and one repairer.

Six machines make parts, one after the other, each part taking ten minutes
of machine time on average. A running machine breaks down now and then (on
average after five hours of work); the part it was making waits, and the
rest of it is made once the machine is repaired. One repairer fixes the
broken machines in the order they broke, each repair taking half an hour on
average: the repairer is a `Resource` that broken machines queue for. The
model runs for four weeks of round-the-clock work.

What it shows: a breakdown as an interruption.
- Each machine has a breakdown process that counts the machine's working
  time and, when it is used up, wakes the machine early with
  `activate(now, BROKEN)`.
- The machine's `yield` then returns BROKEN instead of its own reason: it
  keeps what is left of the part and queues for the repairer with
  `yield from repairer.acquire(self)`, holds it for the repair and releases
  it, which hands the repairer to the next broken machine at once. The
  reason, not a comparison of float times, tells the machine whether its
  part is done.
- A breakdown that falls on the very tick a part is finished finds the
  wake-up already due; `activate` never changes one, so the machine also
  checks its `broken` flag.

The run is seeded; its output is in machine_shop.out.
"""
import random
from typing import Generator, Optional, Tuple

from tarnu import LOCK_RELEASED, TIME_PASSED, TIME_REACHED, Environment, Process
from tarnu.resources import Resource

Steps = Generator[Optional[Tuple[float, int]], int, None]

MINUTE, HOUR = 60.0, 3600.0
MEAN_PART = 10 * MINUTE           # machine time per part
MEAN_UP = 5 * HOUR                # working time between breakdowns
MEAN_REPAIR = 30 * MINUTE
MACHINES = 6
WEEKS = 4
RUN = WEEKS * 7 * 24 * HOUR

BROKEN = TIME_REACHED             # a machine woken by its breakdown
REPAIRED = LOCK_RELEASED          # a breakdown process woken by its repaired machine


class Shop:
    def __init__(self, env: Environment, rng: random.Random) -> None:
        self.rng = rng
        self.repairer = Resource(env, capacity=1)


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
        repairer = self.shop.repairer
        yield from repairer.acquire(self)  # in the order the machines broke
        yield self.time + self.shop.rng.expovariate(1 / MEAN_REPAIR), TIME_PASSED
        repairer.release(self)
        self.broken = False
        self.failure.activate(self.time, REPAIRED)
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
            yield None  # until the machine is repaired


def main() -> None:
    with Environment(stop_time=RUN, errors="raise") as env:
        shop = Shop(env, random.Random(42))
        machines = [Machine(env, shop, f"machine {i + 1}") for i in range(MACHINES)]

    print(f"{WEEKS} weeks, {MACHINES} machines, one repairer")
    for m in machines:
        print(f"{m.name}: {m.parts} parts, {m.breakdowns} breakdowns, "
              f"down {m.down_time / RUN:.1%} of the time")
    parts = sum(m.parts for m in machines)
    breakdowns = sum(m.breakdowns for m in machines)
    print(f"all machines: {parts} parts, {breakdowns} breakdowns, "
          f"{sum(m.down_time for m in machines) / breakdowns / MINUTE:.1f} min down per breakdown")
    repairer = shop.repairer
    print(f"repairer busy {repairer.count_monitor.mean():.1%} of the time; "
          f"{len(repairer.queue)} machines waiting for repair at the end")


if __name__ == "__main__":
    main()
