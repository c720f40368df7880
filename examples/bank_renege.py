"""A bank whose customers give up when they have waited too long.

Customers arrive at random (on average one every 40 seconds) and queue for
two tellers. Each customer is willing to wait between one and four minutes;
whoever is still queueing when that patience runs out leaves without being
served (reneges).

What it shows: a wait with a deadline, on a block of tarnu.resources.
- The tellers are the items of a `Store`: a customer asks for one with
  `yield from tellers.get(self, deadline=...)`, its patience as the
  deadline, and gets a teller, or `TIMED_OUT` when the deadline came first;
  it has then left the queue.
- The store hands a teller that is put back straight to the first customer
  in line, at the same moment, and records every wait it saw served.

The run is seeded; its output is in bank_renege.out.
"""
import random
from typing import Generator, List, Optional, Tuple

from tarnu import TIME_PASSED, Environment, Process
from tarnu.resources import TIMED_OUT, Store, Tally

Steps = Generator[Optional[Tuple[float, int]], int, None]

MINUTE = 60.0
MEAN_ARRIVAL = 40.0               # seconds between arrivals, on average
MEAN_SERVICE = 75.0               # seconds at the counter, on average
PATIENCE = (1 * MINUTE, 4 * MINUTE)
TELLERS = 2
OPENING_HOURS = 6 * 60 * MINUTE
SHOW_FIRST = 10                   # events of the opening minutes to print
SHOW_GIVE_UPS = 2                 # and the first customers who give up


class Teller:
    def __init__(self, name: str) -> None:
        self.name = name
        self.served = 0
        self.busy = 0.0


class Bank:
    def __init__(self, env: Environment, rng: random.Random) -> None:
        self.rng = rng
        self.tellers: Store[Teller] = Store(env, init=[Teller(f"teller {i + 1}") for i in range(TELLERS)])
        self.reneged = Tally(env, name="waited before giving up")
        self.logged = 0
        self.give_ups_logged = 0

    def log(self, time: float, text: str, give_up: bool = False) -> None:
        """Prints the opening events, then only the first give-ups."""
        if self.logged < SHOW_FIRST:
            self.logged += 1
        elif give_up and self.give_ups_logged < SHOW_GIVE_UPS:
            if self.give_ups_logged == 0:
                print("...")
            self.give_ups_logged += 1
        else:
            return
        print(f"{int(time // MINUTE):02d}:{time % MINUTE:04.1f}  {text}")


class Customer(Process):
    def __init__(self, env: Environment, bank: Bank, number: int) -> None:
        self.bank, self.number = bank, number
        self.patience = bank.rng.uniform(*PATIENCE)
        super().__init__(env)                 # the model runs: it starts at once

    def __call__(self) -> Steps:
        bank = self.bank
        arrived = self.time
        bank.log(self.time, f"customer {self.number} arrives, queue: {len(bank.tellers.get_queue) + 1}")
        teller = yield from bank.tellers.get(self, deadline=self.time + self.patience)
        if teller is TIMED_OUT:
            bank.reneged.record(self.time - arrived)
            bank.log(self.time, f"customer {self.number} gives up after {self.time - arrived:.0f} s, "
                     f"queue: {len(bank.tellers.get_queue)}", give_up=True)
        else:
            assert isinstance(teller, Teller)
            bank.log(self.time, f"{teller.name} serves customer {self.number}")
            service = bank.rng.expovariate(1 / MEAN_SERVICE)
            teller.busy += min(service, OPENING_HOURS - self.time)
            teller.served += 1
            yield self.time + service, TIME_PASSED
            yield from bank.tellers.put(self, teller)
        yield None  # done: rest for ever


class Door(Process):
    """Lets customers in until closing time."""

    def __init__(self, env: Environment, bank: Bank) -> None:
        self.bank = bank
        self.count = 0
        super().__init__(env)

    def __call__(self) -> Steps:
        while True:
            arrival = self.time + self.bank.rng.expovariate(1 / MEAN_ARRIVAL)
            if arrival >= OPENING_HOURS:
                break
            yield arrival, TIME_PASSED
            self.count += 1
            Customer(self.env, self.bank, self.count)
        yield None  # closed for the day


def main() -> None:
    # Run until the last customer has left: an hour after closing is plenty.
    with Environment(stop_time=OPENING_HOURS + 60 * MINUTE, errors="raise") as env:
        bank = Bank(env, random.Random(7))
        door = Door(env, bank)

    waits = bank.tellers.get_wait_monitor  # the waits of the customers served
    served, gave_up = waits.count, bank.reneged.count
    print("...")
    print(f"{door.count} customers in {OPENING_HOURS / MINUTE / 60:.0f} hours: "
          f"{served} served, {gave_up} gave up ({gave_up / door.count:.1%}), "
          f"{len(bank.tellers.get_queue)} still queueing")
    print(f"served customers waited {waits.mean():.0f} s on average, the longest {waits.max():.0f} s")
    print(f"those who gave up had waited {bank.reneged.mean():.0f} s on average")
    tellers: List[Teller] = sorted(bank.tellers.items, key=lambda t: t.name)
    for t in tellers:
        print(f"{t.name}: served {t.served}, busy {t.busy / OPENING_HOURS:.1%} of the opening hours")


if __name__ == "__main__":
    main()
