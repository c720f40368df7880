"""A first tarnu model: customers queueing for two servers.

Customers arrive at random (on average one a minute) and wait in one queue;
two servers take them in turn, each service lasting 1.6 minutes on average.

What it shows:
- a process is a `Process` subclass whose `__call__` is a generator, or a
  generator function given to `env.process`;
- `yield (time, reason)` waits until `time`;
- the servers are items of a `Store`: a customer gets one with
  `yield from counter.get(self)`, waiting in line while both are busy, and
  puts it back when done; the store records every wait;
- `with Environment(stop_time=..., errors="raise")` starts, runs and finishes
  the model, and lets an error in a process reach this code.

Run it with `make demo`. The random numbers are seeded, so the output (in
queue_demo.out) is the same on every run.
"""
import random
from typing import Generator, Optional, Tuple

from tarnu import TIME_PASSED, Environment, Process
from tarnu.resources import Store

MINUTE = 60.0  # the kernel's clock counts seconds
MEAN_ARRIVAL = 1.0 * MINUTE
MEAN_SERVICE = 1.6 * MINUTE
SERVERS = 2
CLOSING = 8 * 60 * MINUTE  # one working day

# What a process generator yields, and what it is sent when it wakes.
Steps = Generator[Optional[Tuple[float, int]], int, None]


class Server:
    """A server: what it did during the day."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.busy = 0.0
        self.served = 0


def customer(self: Process, counter: "Store[Server]", rng: random.Random) -> Steps:
    # Waits in line until a server is free (at once if one is).
    server = yield from counter.get(self)
    assert isinstance(server, Server)
    service = rng.expovariate(1 / MEAN_SERVICE)
    # Only the part of the service before closing counts as work done today.
    server.busy += min(service, CLOSING - self.time)
    server.served += 1
    yield self.time + service, TIME_PASSED
    yield from counter.put(self, server)


class Arrivals(Process):
    def __init__(self, env: Environment, counter: "Store[Server]", rng: random.Random) -> None:
        self.counter, self.rng = counter, rng
        self.count = 0
        super().__init__(env)

    def __call__(self) -> Steps:
        while True:
            # Sleep until the next customer comes in.
            yield self.time + self.rng.expovariate(1 / MEAN_ARRIVAL), TIME_PASSED
            self.count += 1
            self.env.process(customer, self.counter, self.rng)


def main() -> None:
    rng = random.Random(2024)
    servers = [Server(f"server {i + 1}") for i in range(SERVERS)]
    with Environment(stop_time=CLOSING, errors="raise") as env:
        counter = Store(env, init=servers)  # the day starts with both servers free
        arrivals = Arrivals(env, counter, rng)
    # Leaving the block ran the day to its end (join) and finished it.

    waits = counter.get_wait_monitor
    print(f"simulated {env.time / MINUTE:.0f} minutes with {SERVERS} servers")
    print(f"customers arrived: {arrivals.count}, served: {waits.count}, still queueing: {len(counter.get_queue)}")
    print(f"mean wait: {waits.mean() / MINUTE:.2f} min, "
          f"median: {waits.percentile(50) / MINUTE:.2f} min, longest: {waits.max() / MINUTE:.2f} min")
    for s in servers:
        print(f"{s.name}: served {s.served}, utilisation {s.busy / CLOSING:.1%}")


if __name__ == "__main__":
    main()
