"""A first tarnu model: customers queueing for two servers.

Customers arrive at random (on average one a minute) and wait in one queue;
two servers take them in turn, each service lasting 1.6 minutes on average.
A server with nobody to serve sleeps until an arrival wakes it.

What it shows:
- a process is a `Process` subclass whose `__call__` is a generator;
- `yield (time, reason)` waits until `time`; `yield None` sleeps for ever;
- `activate(time, reason)` wakes a sleeping process (never postpones one);
- `with Environment(stop_time=..., errors="raise")` starts, runs and finishes
  the model, and lets an error in a process reach this code.

Run it with `make demo`. The random numbers are seeded, so the output (in
queue_demo.out) is the same on every run.
"""
import collections
import random
from typing import Deque, Generator, List, Optional, Tuple

from tarnu import LOCK_RELEASED, TIME_PASSED, Environment, Process

MINUTE = 60.0  # the kernel's clock counts seconds
MEAN_ARRIVAL = 1.0 * MINUTE
MEAN_SERVICE = 1.6 * MINUTE
SERVERS = 2
CLOSING = 8 * 60 * MINUTE  # one working day

# What a process generator yields, and what it is sent when it wakes.
Steps = Generator[Optional[Tuple[float, int]], int, None]


class Shop:
    """What the processes share: the queue and the servers that are idle."""

    def __init__(self) -> None:
        self.queue: Deque[float] = collections.deque()  # arrival times of waiting customers
        self.idle: List["Server"] = []                   # servers asleep at `yield None`
        self.waits: List[float] = []                     # how long each served customer waited


class Arrivals(Process):
    def __init__(self, env: Environment, shop: Shop, rng: random.Random) -> None:
        self.shop, self.rng = shop, rng
        self.count = 0
        super().__init__(env)

    def __call__(self) -> Steps:
        while True:
            # Sleep until the next customer comes in.
            yield self.time + self.rng.expovariate(1 / MEAN_ARRIVAL), TIME_PASSED
            self.count += 1
            self.shop.queue.append(self.time)
            if self.shop.idle:
                # Wake a sleeping server now; the reason tells it why.
                self.shop.idle.pop().activate(self.time, LOCK_RELEASED)


class Server(Process):
    def __init__(self, env: Environment, shop: Shop, rng: random.Random, name: str) -> None:
        self.shop, self.rng, self.name = shop, rng, name
        self.busy = 0.0
        self.served = 0
        super().__init__(env)

    def __call__(self) -> Steps:
        while True:
            if not self.shop.queue:
                self.shop.idle.append(self)
                yield None  # asleep until an arrival calls activate()
                continue
            arrived = self.shop.queue.popleft()
            self.shop.waits.append(self.time - arrived)
            service = self.rng.expovariate(1 / MEAN_SERVICE)
            # Only the part of the service before closing counts as work done today.
            self.busy += min(service, CLOSING - self.time)
            self.served += 1
            yield self.time + service, TIME_PASSED


def main() -> None:
    rng = random.Random(2024)
    shop = Shop()
    with Environment(stop_time=CLOSING, errors="raise") as env:
        arrivals = Arrivals(env, shop, rng)
        servers = [Server(env, shop, rng, f"server {i + 1}") for i in range(SERVERS)]
    # Leaving the block ran the day to its end (join) and finished it.

    waits = sorted(shop.waits)
    print(f"simulated {env.time / MINUTE:.0f} minutes with {SERVERS} servers")
    print(f"customers arrived: {arrivals.count}, served: {len(waits)}, still queueing: {len(shop.queue)}")
    print(f"mean wait: {sum(waits) / len(waits) / MINUTE:.2f} min, "
          f"median: {waits[len(waits) // 2] / MINUTE:.2f} min, longest: {waits[-1] / MINUTE:.2f} min")
    for s in servers:
        print(f"{s.name}: served {s.served}, utilisation {s.busy / CLOSING:.1%}")


if __name__ == "__main__":
    main()
