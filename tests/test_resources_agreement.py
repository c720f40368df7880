"""The blocks agree with SimPy's, customer by customer.

Both sides draw the same stream and run on whole milliseconds (tarnu's tick;
SimPy's clock counts integer milliseconds here), so every time is exact and
the waits can be compared to 1e-9 s. The models are built so that their
outcome does not depend on the order of events within one tick.
"""
import random

import pytest

simpy = pytest.importorskip("simpy")

from tarnu.define import TIME_PASSED
from tarnu.resources import PriorityResource, Resource, Store
from tarnu.sim import Environment

MS = 1000.0


# --- M/M/c -------------------------------------------------------------------------
# A source creates customers; each queues for one of c counters and leaves.
# First come first served, the waits do not depend on how a departure and an
# arrival of the same tick are ordered: the k-th slot freed at a tick goes to
# the k-th waiter either way. With priorities they do (a newcomer of a higher
# priority takes a slot freed at its own tick, or not), so that model keeps
# arrivals and departures on different ticks: arrivals only at ticks that are
# 1 modulo 3, departures at ticks that are 2 modulo 3.


def aligned(now, duration, residue, modulus):
    """now + duration, moved on to the next tick that is `residue` modulo `modulus`."""
    t = now + duration
    return t + (residue - t) % modulus


def mmc_draws(n, seed, priorities=False):
    rng = random.Random(seed)
    draws = []
    for _ in range(n):
        gap = round(rng.expovariate(1 / 900))       # ms between arrivals
        service = round(rng.expovariate(1 / 2500))  # ms of service
        draws.append((gap, service, rng.randrange(3) if priorities else 0))
    return draws


def tarnu_mmc(draws, counters, block=Resource):
    env = Environment()
    desk = block(env, counters)
    waits = {}
    tie_free = block is PriorityResource

    def customer(self, i, service, priority):
        arrived = self.time
        args = (priority,) if tie_free else ()
        assert (yield from desk.acquire(self, *args))
        waits[i] = self.time - arrived
        now = round(self.time * MS)
        yield (aligned(now, service, 2, 3) if tie_free else now + service) / MS, TIME_PASSED
        desk.release(self)

    def source(self):
        tick = 0
        for i, (gap, service, priority) in enumerate(draws):
            tick = aligned(tick, gap, 1, 3) if tie_free else tick + gap
            yield tick / MS, TIME_PASSED
            env.process(customer, i, service, priority)

    env.process(source)
    env.start()
    env.run_until(10 ** 7)
    return waits, desk


def simpy_mmc(draws, counters, priorities=False):
    env = simpy.Environment()
    desk = (simpy.PriorityResource if priorities else simpy.Resource)(env, counters)
    waits = {}

    def customer(i, service, priority):
        arrived = env.now
        with (desk.request(priority=priority) if priorities else desk.request()) as req:
            yield req
            waits[i] = (env.now - arrived) / MS
            yield env.timeout(aligned(env.now, service, 2, 3) - env.now if priorities else service)

    def source():
        for i, (gap, service, priority) in enumerate(draws):
            yield env.timeout(aligned(env.now, gap, 1, 3) - env.now if priorities else gap)
            env.process(customer(i, service, priority))

    env.process(source())
    env.run()
    return waits


@pytest.mark.parametrize("seed, counters", [(1, 3), (7, 3), (2024, 1), (5, 4)])
def test_mmc_waits_agree_customer_by_customer(seed, counters):
    draws = mmc_draws(3000, seed)
    ours, desk = tarnu_mmc(draws, counters)
    theirs = simpy_mmc(draws, counters)
    assert ours.keys() == theirs.keys() == set(range(len(draws)))
    worst = max(abs(ours[i] - theirs[i]) for i in ours)
    assert worst < 1e-9
    assert sum(1 for w in ours.values() if w > 0) > len(draws) // 10  # the model does queue
    # The resource's own monitor saw the same waits, in the order of the grants.
    assert sorted(desk.wait_monitor.values()) == pytest.approx(sorted(ours.values()), abs=1e-9)


def test_priority_resource_waits_agree_customer_by_customer():
    draws = mmc_draws(3000, 11, priorities=True)
    ours, _ = tarnu_mmc(draws, 2, PriorityResource)
    theirs = simpy_mmc(draws, 2, priorities=True)
    assert max(abs(ours[i] - theirs[i]) for i in ours) < 1e-9


# --- producers and consumers on a Store ------------------------------------------------
# Producers make items and put them into a bounded store; consumers get them
# and work on each. Entity e schedules its own wake-ups only at ticks that are
# e modulo M (each drawn duration is stretched to the next such tick), so two
# entities never wake at the same tick on their own; the only same-tick
# wake-ups are the grants one entity's action causes, whose order is causal.

PRODUCERS, CONSUMERS, CAPACITY = 3, 2, 4
M = PRODUCERS + CONSUMERS + 1


def store_draws(seed, count):
    rng = random.Random(seed)
    make = [[round(rng.expovariate(1 / 700)) for _ in range(count)] for _ in range(PRODUCERS)]
    work = [[round(rng.expovariate(1 / 1000)) for _ in range(count)] for _ in range(CONSUMERS)]
    return make, work


def tarnu_store(make, work):
    env = Environment()
    buffer = Store(env, CAPACITY)
    log = {"put": {}, "got": {}}

    def producer(self, p):
        for k, duration in enumerate(make[p]):
            now = round(self.time * MS)
            yield aligned(now, duration, 1 + p, M) / MS, TIME_PASSED
            asked = self.time
            assert (yield from buffer.put(self, (p, k)))
            log["put"][p, k] = self.time - asked

    def consumer(self, c):
        for duration in work[c]:
            asked = self.time
            item = yield from buffer.get(self)
            log["got"][item] = (c, self.time - asked)
            now = round(self.time * MS)
            yield aligned(now, duration, 1 + PRODUCERS + c, M) / MS, TIME_PASSED

    for p in range(PRODUCERS):
        env.process(producer, p)
    for c in range(CONSUMERS):
        env.process(consumer, c)
    env.start()
    env.run_until(10 ** 7)
    return log, buffer


def simpy_store(make, work):
    env = simpy.Environment()
    buffer = simpy.Store(env, CAPACITY)
    log = {"put": {}, "got": {}}

    def producer(p):
        for k, duration in enumerate(make[p]):
            yield env.timeout(aligned(env.now, duration, 1 + p, M) - env.now)
            asked = env.now
            yield buffer.put((p, k))
            log["put"][p, k] = (env.now - asked) / MS

    def consumer(c):
        for duration in work[c]:
            asked = env.now
            item = yield buffer.get()
            log["got"][item] = (c, (env.now - asked) / MS)
            yield env.timeout(aligned(env.now, duration, 1 + PRODUCERS + c, M) - env.now)

    for p in range(PRODUCERS):
        env.process(producer(p))
    for c in range(CONSUMERS):
        env.process(consumer(c))
    env.run()
    return log


@pytest.mark.parametrize("seed", [3, 17, 99])
def test_store_producer_consumer_agrees_item_by_item(seed):
    make, work = store_draws(seed, 800)
    ours, buffer = tarnu_store(make, work)
    theirs = simpy_store(make, work)
    assert ours["put"].keys() == theirs["put"].keys()
    assert ours["got"].keys() == theirs["got"].keys()
    assert max(abs(ours["put"][k] - theirs["put"][k]) for k in ours["put"]) < 1e-9
    for item, (c, wait) in ours["got"].items():
        assert theirs["got"][item][0] == c
        assert abs(wait - theirs["got"][item][1]) < 1e-9
    # Both sides of the store waited at times: the model exercises both queues.
    assert max(ours["put"].values()) > 0
    assert max(w for _, w in ours["got"].values()) > 0
    assert buffer.put_wait_monitor.count == len(ours["put"])
