"""Container, Store, FilterStore and PriorityStore."""
import math
import pickle

import pytest

from tarnu.define import TIME_PASSED, TIME_REACHED
from tarnu.process import Process
from tarnu.resources import TIMED_OUT, Container, FilterStore, PriorityStore, Store
from tarnu.sim import Environment


def at(t):
    return t, TIME_PASSED


# --- Container ----------------------------------------------------------------------


def test_container_puts_and_gets_first_come_first_served(simulate):
    env = Environment()
    tank = Container(env, capacity=10, init=2)
    log = []

    def getter(self, name, t, amount):
        yield at(t)
        ok = yield from tank.get(self, amount)
        log.append((name, ok, self.time, tank.level))

    def putter(self, name, t, amount):
        yield at(t)
        ok = yield from tank.put(self, amount)
        log.append((name, ok, self.time, tank.level))

    env.process(getter, "big", 1, 5)     # waits: level 2
    env.process(getter, "small", 2, 1)   # waits behind big, though 1 would do
    env.process(putter, "p4", 3, 4)      # level 6: big gets 5, then small 1
    env.process(putter, "fill", 4, 10)   # fits at once (level 0)
    env.process(putter, "over", 5, 3)    # waits: 10 + 3 > 10
    env.process(getter, "drain", 6, 4)   # takes 4: over now fits
    simulate(env, 20)
    # big and small are woken at the same tick: either may log first.
    assert sorted(log) == sorted([
        ("p4", True, 3, 0), ("big", True, 3, 0), ("small", True, 3, 0),
        ("fill", True, 4, 10), ("drain", True, 6, 9), ("over", True, 6, 9),
    ])
    assert tank.level == 9
    assert tank.level_monitor.values() == [2, 0, 10, 9]  # p4's 4 went straight to the getters
    assert tank.get_wait_monitor.values() == [2, 1, 0]
    assert tank.put_wait_monitor.values() == [0, 0, 1]


def test_container_deadline_and_a_head_that_gives_up_unblocks_the_rest(simulate):
    env = Environment()
    tank = Container(env, init=3)
    log = []

    def getter(self, name, t, amount, deadline=None):
        yield at(t)
        ok = yield from tank.get(self, amount, deadline)
        log.append((name, ok, self.time))
        yield None

    env.process(getter, "greedy", 1, 50, 4)
    env.process(getter, "modest", 2, 2)
    simulate(env, 3)
    assert len(tank.get_queue) == 2
    simulate(env, 10)
    # When the head leaves, the one behind it is served at once.
    assert log == [("greedy", False, 4), ("modest", True, 4)]
    assert tank.level == 1 and tank.get_queue == ()


def test_container_misuse():
    env = Environment()
    tank = Container(env, capacity=5)
    p = Process(env)
    for amount in (-1, 6, float("nan")):
        with pytest.raises(ValueError):
            tank.put(p, amount)
        with pytest.raises(ValueError):
            tank.get(p, amount)
    for kwargs in ({"capacity": 0}, {"capacity": -2}, {"init": -1}, {"capacity": 3, "init": 4}):
        with pytest.raises(ValueError):
            Container(env, **kwargs)
    with pytest.raises(ValueError, match="another environment"):
        tank.put(Process(Environment()), 1)
    assert Container(env).capacity == math.inf
    assert next(tank.put(p, 0), "done") == "done"  # nothing to add: at once


# --- Store ------------------------------------------------------------------------------


def test_store_is_first_in_first_out_both_ways(simulate):
    env = Environment()
    shelf = Store(env, capacity=2)
    got, put = [], []

    def producer(self):
        for i in range(5):
            ok = yield from shelf.put(self, i)
            put.append((i, ok, self.time))
        yield None

    def consumer(self, name, t):
        yield at(t)
        while True:
            item = yield from shelf.get(self)
            got.append((name, item, self.time))
            yield at(self.time + 10)

    env.process(producer)
    env.process(consumer, "c1", 1)
    env.process(consumer, "c2", 2)
    simulate(env, 30)
    assert put == [(0, True, 0), (1, True, 0), (2, True, 1), (3, True, 2), (4, True, 11)]
    assert got == [("c1", 0, 1), ("c2", 1, 2), ("c1", 2, 11), ("c2", 3, 12), ("c1", 4, 21)]
    # A get that lets a waiting put in at once leaves the size as it was.
    assert shelf.size_monitor.values() == [0, 1, 2, 1, 0]
    assert shelf.size_monitor.times() == [0, 0, 0, 12, 21]
    assert len(shelf) == shelf.size == 0 and shelf.items == ()


def test_a_store_starts_with_its_init_items():
    env = Environment()
    shelf = Store(env, 3, init=iter("ab"))
    assert shelf.items == ("a", "b") and shelf.size_monitor.values() == [2]
    assert PriorityStore(env, init=[3, 1, 2]).items == (1, 2, 3)
    with pytest.raises(ValueError, match="more than the capacity"):
        Store(env, 1, init=[1, 2])
    with pytest.raises(TypeError):
        PriorityStore(env, init=[1, "x"])
    with pytest.raises(TypeError):
        Store(env, init=5)


def test_store_get_times_out_with_the_sentinel(simulate):
    env = Environment()
    shelf = Store(env)
    log = []

    def consumer(self):
        log.append((yield from shelf.get(self, deadline=3)))
        log.append((yield from shelf.get(self, deadline=10)))
        yield None

    def producer(self):
        yield at(5)
        yield from shelf.put(self, "late")
        yield None

    env.process(consumer)
    env.process(producer)
    simulate(env, 20)
    assert log == [TIMED_OUT, "late"]
    assert not TIMED_OUT and repr(TIMED_OUT) == "TIMED_OUT"
    assert pickle.loads(pickle.dumps(TIMED_OUT)) is TIMED_OUT


def test_items_that_are_tuples_or_exceptions_come_out_whole():
    env = Environment()
    shelf = Store(env)
    p = Process(env)
    things = [(1, 2), (), ValueError("an item, not an error"), None, StopIteration(5)]
    for thing in things:
        shelf.put(p, thing)

    def take():
        return (yield from shelf.get(p))

    for thing in things:
        gen = take()
        with pytest.raises(StopIteration) as stop:
            next(gen)
        assert stop.value.value is thing


def test_store_put_waits_and_gives_up():
    env = Environment()
    shelf = Store(env, capacity=1)
    p = Process(env)
    assert next(shelf.put(p, "a"), "stored") == "stored"
    req = shelf.put(p, "b", deadline=2)
    assert next(req) == (2.0, TIME_REACHED) and shelf.put_queue == (p,)
    req.close()
    assert shelf.put_queue == () and shelf.items == ("a",)
    with pytest.raises(TypeError, match="unexpected keyword argument 'filter'"):
        shelf.get(p, filter=len)
    with pytest.raises(ValueError):
        Store(env, capacity=0)


# --- FilterStore -----------------------------------------------------------------------------


def test_filter_store_serves_the_first_getter_whose_filter_accepts(simulate):
    env = Environment()
    parts = FilterStore(env)
    log = []

    def wants(self, name, t, kind):
        yield at(t)
        item = yield from parts.get(self, lambda part: part[0] == kind)
        log.append((name, item, self.time))
        yield None

    def supplier(self):
        for t, part in [(3, ("bolt", 1)), (4, ("nut", 1)), (5, ("nut", 2)), (6, ("bolt", 2))]:
            yield at(t)
            yield from parts.put(self, part)
        yield None

    env.process(wants, "b1", 1, "bolt")
    env.process(wants, "n1", 2, "nut")
    env.process(wants, "n2", 2.5, "nut")
    env.process(supplier)
    simulate(env, 10)
    assert log == [("b1", ("bolt", 1), 3), ("n1", ("nut", 1), 4), ("n2", ("nut", 2), 5)]
    assert parts.items == (("bolt", 2),)


def test_filter_store_retries_filters_and_keeps_them_from_using_the_store():
    env = Environment()
    parts = FilterStore(env)
    p, q = Process(env), Process(env)
    env.start()
    ready = []
    req = parts.get(p, lambda part: part in ready)
    parts.put(q, "x")
    assert req.waiting
    ready.append("x")
    parts.put(q, "y")  # every waiting filter is tried again on each put
    assert not req.waiting and parts.items == ("y",)

    def meddling(part):
        parts.put(q, "z")
        return True

    with pytest.raises(RuntimeError, match="called from a filter"):
        parts.get(p, meddling)
    assert parts.items == ("y",) and parts.get_queue == ()  # the failed get left no request

    def broken(part):
        raise KeyError("filter")

    with pytest.raises(KeyError):
        parts.get(p, broken)
    with pytest.raises(TypeError, match="callable"):
        parts.get(p, 3)
    assert parts.get_queue == ()


def test_a_failing_filter_raises_in_its_own_process(simulate):
    env = Environment()
    parts = FilterStore(env)
    log = []

    def picky(self):
        try:
            yield from parts.get(self, lambda part: part["size"] > 3)
        except KeyError as e:
            log.append(("picky", "raised", repr(e), self.time))
        yield None

    def easy(self):
        yield at(1)
        log.append(("easy", (yield from parts.get(self)), self.time))
        yield None

    def supplier(self):
        yield at(2)
        yield from parts.put(self, {"colour": "red"})  # picky's filter fails on it
        log.append(("supplier", "put", self.time))
        yield None

    env.process(picky)
    env.process(easy)
    env.process(supplier)
    simulate(env, 5)
    assert sorted(log) == [("easy", {"colour": "red"}, 2), ("picky", "raised", "KeyError('size')", 2),
                           ("supplier", "put", 2)]
    assert parts.get_queue == () and parts.items == ()


# --- PriorityStore ------------------------------------------------------------------------------


class Job:
    def __init__(self, priority, name):
        self.priority, self.name = priority, name

    def __lt__(self, other):
        return self.priority < other.priority


def test_priority_store_hands_out_the_smallest_first_then_in_order():
    env = Environment()
    jobs = PriorityStore(env)
    p = Process(env)
    for priority, name in [(2, "a"), (1, "b"), (2, "c"), (0, "d"), (1, "e")]:
        jobs.put(p, Job(priority, name))
    out = []
    for _ in range(5):
        gen = jobs.get(p)
        with pytest.raises(StopIteration) as stop:
            next(gen)
        out.append(stop.value.value.name)
    assert out == ["d", "b", "e", "a", "c"]


def test_priority_store_comparison_errors_leave_it_unchanged():
    env = Environment()
    jobs = PriorityStore(env)
    p = Process(env)
    jobs.put(p, 1)
    with pytest.raises(TypeError):
        jobs.put(p, "one")
    assert jobs.items == (1,)

    class Meddler:
        def __lt__(self, other):
            jobs.get(p)
            return True

    with pytest.raises(RuntimeError, match="item comparison"):
        jobs.put(p, Meddler())
    assert jobs.items == (1,)


def test_a_waiting_items_failing_comparison_raises_in_its_putter(simulate):
    env = Environment()
    jobs = PriorityStore(env, capacity=2)
    log = []

    def putter(self, item, t):
        yield at(t)
        try:
            log.append(("put", item, (yield from jobs.put(self, item)), self.time))
        except TypeError:
            log.append(("put", item, "raised", self.time))
        yield None

    def getter(self):
        yield at(3)
        log.append(("got", (yield from jobs.get(self)), self.time))
        log.append(("got", (yield from jobs.get(self)), self.time))
        yield None

    for item, t in [(5, 0), (6, 0.5), ("five", 1), (7, 2)]:  # "five" and 7 wait: full
        env.process(putter, item, t)
    env.process(getter)
    simulate(env, 10)
    # The getter's first get lets "five" in: compared with 6, it fails in its own process.
    def key(entry):
        return entry[0], str(entry[1])

    assert sorted(log, key=key) == sorted([
        ("put", 5, True, 0), ("put", 6, True, 0.5), ("got", 5, 3), ("got", 6, 3),
        ("put", "five", "raised", 3), ("put", 7, True, 3),
    ], key=key)
    assert jobs.items == (7,)


def test_a_long_run_of_every_block_leaves_no_objects_behind(simulate):
    import gc
    import random

    env = Environment()
    rng = random.Random(3)
    blocks = [Container(env, 10), Store(env, 2), FilterStore(env, 2), PriorityStore(env, 2)]
    for block in blocks:
        for name in dir(block):
            if name.endswith("_monitor"):
                getattr(block, name).enabled = False
    tank, shelf, parts, jobs = blocks

    def producer(self):
        while True:
            yield at(self.time + rng.random())
            yield from tank.put(self, rng.randint(1, 5), deadline=self.time + rng.random())
            yield from shelf.put(self, (rng.random(),), deadline=self.time + rng.random())
            yield from parts.put(self, rng.randint(0, 3), deadline=self.time + 1)
            yield from jobs.put(self, rng.randint(0, 3), deadline=self.time + 1)

    def consumer(self):
        while True:
            yield at(self.time + rng.random())
            yield from tank.get(self, rng.randint(1, 5), deadline=self.time + rng.random())
            yield from shelf.get(self, deadline=self.time + rng.random())
            yield from parts.get(self, lambda n: n % 2 == 0, deadline=self.time + 1)
            yield from jobs.get(self, deadline=self.time + 1)

    for _ in range(3):
        env.process(producer)
        env.process(consumer)
    simulate(env, 200)
    gc.collect()
    before = len(gc.get_objects())
    simulate(env, 2000)
    gc.collect()
    # Items may rest in the stores; nothing else piles up.
    assert len(gc.get_objects()) - before < 20


def test_an_interrupt_in_a_filter_reaches_the_caller(simulate):
    # Ctrl-C in Python code that a block runs is not swallowed as a report,
    # even when a withdrawal (here, a deadline) runs it.
    env = Environment()
    parts = FilterStore(env)
    p = Process(env)
    env.start()
    stop = []

    def interrupting(part):
        if stop:
            raise KeyboardInterrupt
        return False

    head = parts.get(p, lambda part: False, deadline=5)
    parts.get(p, interrupting)
    parts.put(p, "x")
    assert next(head) == (5.0, 1)
    stop.append(True)
    with pytest.raises(KeyboardInterrupt):
        head.close()  # the head leaves: the getter behind it is tried again
    assert len(parts.get_queue) == 1  # the interrupted getter still waits
    with pytest.raises(KeyboardInterrupt):
        parts.get(p, lambda part: True)  # tries the waiting getter first
    assert len(parts.get_queue) == 1  # the interrupted get left nothing behind
