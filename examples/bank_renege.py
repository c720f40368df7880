"""A bank whose customers give up when they have waited too long.

Customers arrive at random (on average one every 40 seconds) and queue for
two tellers. Each customer is willing to wait between one and four minutes;
whoever is still queueing when that patience runs out leaves without being
served (reneges). A teller with nobody to serve sleeps until a customer
arrives.

What it shows: one `yield` that waits for two things at once, told apart by
the wake-up reason.
- A waiting customer yields its deadline with the reason GAVE_UP.
- A teller who takes the customer wakes it earlier with `activate(now,
  SERVED)`; the customer's `yield` then evaluates to SERVED.
- `activate` only brings a wake-up forward, so when the deadline falls on
  the very tick the teller takes the customer, the customer still wakes with
  GAVE_UP: it checks whether a teller took it before it leaves.

The run is seeded; its output is in bank_renege.out.
"""
import collections
import random
from typing import Deque, Generator, List, Optional, Tuple

from tarnu import LOCK_RELEASED, TIME_PASSED, TIME_REACHED, Environment, Process

Steps = Generator[Optional[Tuple[float, int]], int, None]

MINUTE = 60.0
MEAN_ARRIVAL = 40.0               # seconds between arrivals, on average
MEAN_SERVICE = 75.0               # seconds at the counter, on average
PATIENCE = (1 * MINUTE, 4 * MINUTE)
TELLERS = 2
OPENING_HOURS = 6 * 60 * MINUTE
SHOW_FIRST = 10                   # events of the opening minutes to print
SHOW_GIVE_UPS = 2                 # and the first customers who give up

# The two reasons a waiting customer can wake with.
SERVED = LOCK_RELEASED
GAVE_UP = TIME_REACHED


class Bank:
    def __init__(self, rng: random.Random) -> None:
        self.rng = rng
        self.queue: Deque[Customer] = collections.deque()
        self.idle: List[Teller] = []          # tellers asleep at `yield None`
        self.waits: List[float] = []          # of the customers served
        self.reneged: List[float] = []        # how long those who left had waited
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
        self.arrived = 0.0
        self.taken = False                    # set by the teller who takes it
        super().__init__(env)                 # the model runs: it starts at once

    def __call__(self) -> Steps:
        bank = self.bank
        self.arrived = self.time
        bank.queue.append(self)
        bank.log(self.time, f"customer {self.number} arrives, queue: {len(bank.queue)}")
        if bank.idle:
            bank.idle.pop().activate(self.time, SERVED)
        reason = yield self.time + self.patience, GAVE_UP
        if reason == GAVE_UP and not self.taken:
            bank.queue.remove(self)
            bank.reneged.append(self.time - self.arrived)
            bank.log(self.time, f"customer {self.number} gives up after {self.time - self.arrived:.0f} s, "
                     f"queue: {len(bank.queue)}", give_up=True)
        yield None  # done: rest for ever


class Teller(Process):
    def __init__(self, env: Environment, bank: Bank, name: str) -> None:
        self.bank, self.name = bank, name
        self.served = 0
        self.busy = 0.0
        super().__init__(env)

    def __call__(self) -> Steps:
        bank = self.bank
        while True:
            if not bank.queue:
                bank.idle.append(self)
                yield None  # until an arriving customer wakes us
                continue
            customer = bank.queue.popleft()
            customer.taken = True
            customer.activate(self.time, SERVED)   # ends its patience wait now
            bank.waits.append(self.time - customer.arrived)
            bank.log(self.time, f"{self.name} serves customer {customer.number}")
            service = bank.rng.expovariate(1 / MEAN_SERVICE)
            self.busy += min(service, OPENING_HOURS - self.time)
            self.served += 1
            yield self.time + service, TIME_PASSED


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
    bank = Bank(random.Random(7))
    # Run until the last customer has left: an hour after closing is plenty.
    with Environment(stop_time=OPENING_HOURS + 60 * MINUTE, errors="raise") as env:
        door = Door(env, bank)
        tellers = [Teller(env, bank, f"teller {i + 1}") for i in range(TELLERS)]

    served, gave_up = len(bank.waits), len(bank.reneged)
    print("...")
    print(f"{door.count} customers in {OPENING_HOURS / MINUTE / 60:.0f} hours: "
          f"{served} served, {gave_up} gave up ({gave_up / door.count:.1%}), {len(bank.queue)} still queueing")
    print(f"served customers waited {sum(bank.waits) / served:.0f} s on average, "
          f"the longest {max(bank.waits):.0f} s")
    print(f"those who gave up had waited {sum(bank.reneged) / gave_up:.0f} s on average")
    for t in tellers:
        print(f"{t.name}: served {t.served}, busy {t.busy / OPENING_HOURS:.1%} of the opening hours")


if __name__ == "__main__":
    main()
