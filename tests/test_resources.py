"""Resource, PriorityResource and PreemptiveResource: grants, deadlines, misuse, hostile shapes."""
import gc
import itertools
import math
import sys
import weakref

import pytest

from tarnu.define import LOCK_RELEASED, TIME_PASSED, TIME_REACHED
from tarnu.process import Process
from tarnu.resources import PREEMPTED, Preempted, PreemptiveResource, PriorityResource, Request, Resource
from tarnu.sim import Environment


class Holder(Process):
    """Arrives at `at`, asks for the resource, holds it for `hold` seconds, releases it."""

    def __init__(self, env, res, name, at, hold, log, deadline=None, **kw):
        self.res, self.name, self.at, self.hold, self.log = res, name, at, hold, log
        self.deadline, self.kw = deadline, kw
        super().__init__(env)

    def __call__(self):
        self.gen = self.body()  # kept, so that a test can close it
        return self.gen

    def body(self):
        yield self.at, TIME_PASSED
        granted = yield from self.res.acquire(self, deadline=self.deadline, **self.kw)
        self.log.append((self.name, granted, self.time))
        if granted:
            yield self.time + self.hold, TIME_PASSED
            self.res.release(self)
        yield None


# --- grants -------------------------------------------------------------------------


def test_first_come_first_served_in_both_process_styles(simulate):
    env = Environment()
    desk = Resource(env, 2)
    log = []
    for name, at in [("a", 0), ("b", 1), ("c", 2), ("d", 3)]:
        Holder(env, desk, name, at, 10, log)

    def e(self):
        yield 4, TIME_PASSED
        granted = yield from desk.acquire(self)
        log.append(("e", granted, self.time))
        desk.release(self)

    env.process(e)
    simulate(env, 100)
    assert log == [("a", True, 0), ("b", True, 1), ("c", True, 10), ("d", True, 11), ("e", True, 20)]
    assert desk.count == 0 and desk.queue == ()
    assert desk.wait_monitor.values() == [0, 0, 8, 8, 16]
    assert desk.queue_monitor.values() == [0, 1, 2, 3, 2, 1, 0]
    assert desk.queue_monitor.times() == [0, 2, 3, 4, 10, 11, 20]


def test_a_free_slot_is_granted_without_suspending():
    env = Environment()
    desk = Resource(env)
    p = Process(env)
    waitable = desk.acquire(p)
    with pytest.raises(StopIteration) as stop:
        next(waitable)
    assert stop.value.value is True
    assert desk.users == (p,) and desk.count == 1


def test_a_request_is_a_generator_to_yield_from():
    import collections.abc

    env = Environment()
    desk = Resource(env)
    desk.acquire(Process(env))
    req = desk.acquire(Process(env))
    assert isinstance(req, collections.abc.Generator) and iter(req) is req
    assert req.send(None) is None  # waits
    assert req.waiting
    # A throw() refused for its arguments leaves the request waiting.
    with pytest.raises(TypeError, match="deriving from BaseException"):
        req.throw(42)
    with pytest.raises(TypeError, match="separate value"):
        req.throw(KeyError("x"), "value")
    with pytest.raises(TypeError, match="traceback object"):
        req.throw(KeyError, None, 42)
    assert req.waiting and len(desk.queue) == 1
    with pytest.raises(KeyError):
        req.throw(KeyError("interrupted"))  # thrown in: it leaves the queue and raises
    assert not req.waiting and desk.queue == ()


def test_a_waiter_yields_its_deadline_or_none():
    env = Environment()
    desk = Resource(env)
    a, b = Process(env), Process(env)
    desk.acquire(a)
    assert next(desk.acquire(b)) is None
    assert next(desk.acquire(b, deadline=2.5)) == (2.5, TIME_REACHED)
    assert next(desk.acquire(b, deadline=-7)) == (0.0, TIME_REACHED)  # the past means now
    assert next(desk.acquire(b, deadline=float("inf"))) is None
    with pytest.raises(ValueError, match="nan"):
        desk.acquire(b, deadline=float("nan"))


def test_deadline_passes_and_the_waiter_leaves_the_queue(simulate):
    env = Environment()
    desk = Resource(env)
    log = []
    Holder(env, desk, "a", 0, 10, log)
    Holder(env, desk, "impatient", 1, 1, log, deadline=4)
    Holder(env, desk, "patient", 2, 1, log)
    simulate(env, 3)
    assert [p.name for p in desk.queue] == ["impatient", "patient"]
    simulate(env, 50)
    assert log == [("a", True, 0), ("impatient", False, 4), ("patient", True, 10)]
    assert desk.queue_monitor.values() == [0, 1, 2, 1, 0]
    assert desk.wait_monitor.values() == [0, 8]  # the waiter that gave up was never granted


def test_deadline_in_the_past_waits_until_the_end_of_the_tick(simulate):
    env = Environment()
    desk = Resource(env)
    log = []
    Holder(env, desk, "a", 0, 10, log)
    Holder(env, desk, "late", 5, 1, log, deadline=1)
    simulate(env, 20)
    assert log[1] == ("late", False, 5)


def test_a_grant_before_the_waiter_yields_is_kept(simulate):
    env = Environment()
    desk = Resource(env)
    log = []

    class Swapper(Process):
        def __call__(self):
            assert (yield from desk.acquire(self))
            yield 1, TIME_PASSED
            pending = desk.acquire(other)  # queued behind self
            desk.release(self)             # hands the slot over before `other` waits
            log.append(pending.granted)
            yield None

    class Other(Process):
        def __call__(self):
            while True:
                yield None  # the grant wakes it: a process named in acquire() is woken

    other = Other(env)
    Swapper(env)
    simulate(env, 5)
    assert log == [True] and desk.users == (other,)


def test_a_waiter_woken_by_another_process_gives_up(simulate):
    env = Environment()
    desk = Resource(env)
    log = []
    holder = Holder(env, desk, "a", 0, 10, log)
    waiter = Holder(env, desk, "b", 1, 1, log)

    def waker(self):
        yield 3, TIME_PASSED
        waiter.activate(self.time, 42)

    env.process(waker)
    simulate(env, 30)
    assert log == [("a", True, 0), ("b", False, 3)]
    assert desk.queue == () and desk.count == 0 and holder.res is desk


def test_capacity_can_grow_and_shrink(simulate):
    env = Environment()
    desk = Resource(env, 1)
    log = []
    for i in range(4):
        Holder(env, desk, i, i / 10, 10, log)
    simulate(env, 1)
    assert desk.count == 1 and len(desk.queue) == 3
    desk.capacity = 3
    assert desk.count == 3 and len(desk.queue) == 1  # granted at once
    simulate(env, 2)
    assert sorted(log) == [(0, True, 0), (1, True, 1), (2, True, 1)]
    desk.capacity = 0
    assert desk.count == 3  # nobody loses a slot
    simulate(env, 40)
    assert len(log) == 3 and desk.count == 0
    desk.capacity = 1
    simulate(env, 60)
    assert log[-1] == (3, True, 40)
    with pytest.raises(ValueError, match="at least 0"):
        desk.capacity = -1
    with pytest.raises(TypeError):
        desk.capacity = "two"


def test_read_only_views():
    env = Environment()
    desk = Resource(env)
    for name in ("queue", "users", "count", "env", "wait_monitor", "queue_monitor", "count_monitor"):
        with pytest.raises(AttributeError):
            setattr(desk, name, None)
    assert isinstance(desk.queue, tuple) and desk.env is env


# --- misuse --------------------------------------------------------------------------


def test_misuse_gets_clear_errors():
    env, other_env = Environment(), Environment()
    desk = Resource(env)
    mine, theirs = Process(env), Process(other_env)
    with pytest.raises(TypeError, match="expected a tarnu.process.Process, got int"):
        desk.acquire(1)
    with pytest.raises(ValueError, match="another environment"):
        desk.acquire(theirs)
    with pytest.raises(RuntimeError, match="does not hold this tarnu.resources.Resource"):
        desk.release(mine)
    with pytest.raises(TypeError, match="expected a tarnu.process.Process"):
        desk.release(None)
    with pytest.raises(ValueError, match="at least 0"):
        Resource(env, -1)
    with pytest.raises(TypeError):
        Resource("env")
    with pytest.raises(TypeError):
        desk.acquire(mine, 1, 2)
    with pytest.raises(RuntimeError, match="runs once"):
        desk.__init__(env)
    bare = Resource.__new__(Resource)
    with pytest.raises(RuntimeError, match="__init__ has not run"):
        bare.acquire(mine)
    with pytest.raises(TypeError, match="cannot create"):
        Request()
    with pytest.raises(ValueError, match="nan"):
        PriorityResource(env).acquire(mine, float("nan"))


def test_releasing_twice_and_holding_twice():
    env = Environment()
    desk = Resource(env, 2)
    p = Process(env)
    assert next(desk.acquire(p), "granted") == "granted"
    desk.acquire(p)
    assert desk.users == (p, p)
    desk.release(p)
    desk.release(p)
    with pytest.raises(RuntimeError):
        desk.release(p)


# --- the with statement ------------------------------------------------------------------


def test_request_as_context_manager(simulate):
    env = Environment()
    desk = Resource(env)
    log = []

    def customer(self, name, hold, fail=False):
        with desk.request(self) as req:
            granted = yield from req
            log.append((name, granted, self.time, req.granted))
            yield self.time + hold, TIME_PASSED
            if fail:
                raise KeyError(name)  # the slot still goes back

    def guarded(self, *args):
        try:
            yield from customer(self, *args)
        except KeyError:
            log.append("raised")

    env.process(guarded, "a", 5, True)
    env.process(customer, "b", 5)
    simulate(env, 20)
    assert log == [("a", True, 0, True), "raised", ("b", True, 5, True)]
    assert desk.count == 0


def test_acquire_is_not_a_context_manager():
    env = Environment()
    desk = Resource(env)
    with pytest.raises(TypeError, match=r"only request\(\) makes a context manager"):
        with desk.acquire(Process(env)):
            pass


def test_leaving_a_with_block_while_waiting_withdraws():
    env = Environment()
    desk = Resource(env)
    holder = Process(env)
    desk.acquire(holder)
    p = Process(env)
    with desk.request(p, deadline=3) as req:
        assert next(req) == (3.0, TIME_REACHED)
        assert desk.queue == (p,)
    assert desk.queue == () and not req.waiting and not req.granted


# --- processes that die while queued, and the collector ----------------------------------


def test_closing_a_waiting_generator_withdraws_its_request(simulate):
    env = Environment()
    desk = Resource(env)
    log = []
    Holder(env, desk, "a", 0, 10, log)
    b = Holder(env, desk, "b", 1, 1, log)
    c = Holder(env, desk, "c", 2, 1, log)
    simulate(env, 3)
    b.gen.close()  # its yield from closes the request
    assert desk.queue == (c,)
    simulate(env, 30)
    assert log == [("a", True, 0), ("c", True, 10)]


def close_generator(gen):
    gen.close()


def throw_into_generator(gen):
    with pytest.raises(KeyError):
        gen.throw(KeyError("interrupted"))


@pytest.mark.parametrize("end", [close_generator, throw_into_generator])
def test_a_generator_ended_after_its_grant_before_resuming_gives_the_slot_back(simulate, unraisable, end):
    env = Environment()
    desk = Resource(env)
    log = []
    a = Process(env)
    desk.acquire(a)
    b = Holder(env, desk, "b", 1, 1, log)
    c = Holder(env, desk, "c", 2, 1, log)
    simulate(env, 3)
    desk.release(a)  # hands the desk to b, which has not resumed yet
    end(b.gen)
    assert desk.users == (c,) and desk.queue == ()
    with unraisable() as reports:
        env.run_until(30)  # stops at b's wake-up, which finds its generator ended
    assert [r[0] for r in reports] == [StopIteration]
    simulate(env, 30)
    assert log == [("c", True, 3)] and desk.count == 0
    assert desk.count_monitor.values() == [0, 1, 0]  # the handover from a to b to c: no gap


def test_a_grant_given_back_during_its_own_handover_goes_on_to_the_next(simulate, unraisable):
    env = Environment()
    desk = Resource(env)
    log = []

    class Quitter(Holder):
        def activate(self, time, reason):
            # Runs inside release(), once the slot is b's: b gives up at once.
            super().activate(time, reason)
            self.gen.close()

    a = Process(env)
    desk.acquire(a)
    b = Quitter(env, desk, "b", 1, 1, log)
    c = Holder(env, desk, "c", 2, 1, log)
    d = Holder(env, desk, "d", 2, 1, log)
    simulate(env, 3)
    desk.release(a)
    assert desk.users == (c,) and desk.queue == (d,)
    with unraisable() as reports:
        env.run_until(30)
    assert [r[0] for r in reports] == [StopIteration]
    simulate(env, 30)
    assert log == [("c", True, 3), ("d", True, 4)] and desk.count == 0


class WeakEnvironment(Environment):
    pass


class WeakResource(Resource):
    pass


def test_collector_frees_a_block_with_waiters(simulate):
    def build():
        env = WeakEnvironment()
        desk = WeakResource(env)
        log = []
        Holder(env, desk, "a", 0, 10, log)
        for i in range(5):
            Holder(env, desk, i, 1, 1, log)
        simulate(env, 2)
        assert len(desk.queue) == 5
        return weakref.ref(env), weakref.ref(desk)

    env_ref, desk_ref = build()
    gc.collect()
    assert env_ref() is None and desk_ref() is None


def test_a_request_outliving_its_collected_block_fails_cleanly():
    # The collector clears a cycle block -> queue -> request -> block in any
    # order; a request resumed afterwards (from a finaliser) must fail, not crash.
    resumed = []

    class Finaliser:
        def __del__(self):
            req = self.req
            resumed.append(next(req, "ended"))
            resumed.append(req.waiting)

    def build():
        env = WeakEnvironment()
        desk = WeakResource(env)
        desk.acquire(Process(env))
        req = desk.acquire(Process(env))
        next(req)
        f = Finaliser()
        f.req = req
        desk.cycle = (f, desk)  # the finaliser dies with the block's cycle
        return weakref.ref(desk)

    ref = build()
    gc.collect()
    assert ref() is None
    assert resumed == ["ended", False]


# --- re-entrancy through an activate override ------------------------------------------------


def test_activate_override_may_use_the_resource_during_the_handover(simulate):
    env = Environment()
    desk = Resource(env)
    log = []

    class Nosy(Holder):
        def activate(self, time, reason):
            # Runs inside release(): the handover is complete, the state consistent.
            log.append(("woken", self.name, reason, desk.count, len(desk.queue)))
            if self.name == "b":
                desk.capacity = 2  # grants c, re-entering the handover
            super().activate(time, reason)

    Holder(env, desk, "a", 0, 5, log)
    Nosy(env, desk, "b", 1, 5, log)
    Nosy(env, desk, "c", 2, 5, log)
    Nosy(env, desk, "d", 3, 5, log)
    simulate(env, 30)
    assert log[1:3] == [("woken", "b", LOCK_RELEASED, 1, 2), ("woken", "c", LOCK_RELEASED, 2, 1)]
    assert ("b", True, 5) in log and ("c", True, 5) in log and ("d", True, 10) in log
    assert desk.count == 0 and desk.queue == () and desk.wait_monitor.count == 4


# --- priorities and preemption -----------------------------------------------------------------


def test_priority_resource_serves_lower_numbers_first_then_in_order(simulate):
    env = Environment()
    desk = PriorityResource(env)
    log = []
    Holder(env, desk, "first", 0, 10, log)
    for name, priority, at in [("p2a", 2, 1), ("p1a", 1, 2), ("p2b", 2, 3), ("p1b", 1, 4), ("p0", 0, 5)]:
        Holder(env, desk, name, at, 1, log, priority=priority)
    simulate(env, 6)
    assert [p.name for p in desk.queue] == ["p0", "p1a", "p1b", "p2a", "p2b"]
    simulate(env, 100)
    assert [name for name, _, _ in log] == ["first", "p0", "p1a", "p1b", "p2a", "p2b"]


def test_preemption_takes_the_lowest_priority_latest_users_slot(simulate):
    env = Environment()
    desk = PreemptiveResource(env, 2)
    log = []

    class User(Process):
        def __init__(self, env, name, at, priority, hold):
            self.name, self.at, self.priority, self.hold = name, at, priority, hold
            super().__init__(env)

        def __call__(self):
            yield self.at, TIME_PASSED
            assert (yield from desk.acquire(self, self.priority))
            reason = yield self.time + self.hold, TIME_PASSED
            if reason == PREEMPTED:
                info = desk.preemption(self)
                log.append((self.name, "preempted", self.time, info.by.name, info.usage_since))
                assert info.resource is desk and isinstance(info, Preempted)
                with pytest.raises(RuntimeError):
                    desk.release(self)  # the slot is gone
            else:
                log.append((self.name, "done", self.time))
                desk.release(self)
            yield None

    User(env, "low-early", 0, 5, 100)
    User(env, "low-late", 1, 5, 100)
    User(env, "same", 2, 5, 1)     # equal priority: waits
    User(env, "urgent", 3, 1, 10)  # takes low-late's slot
    simulate(env, 200)
    assert log[0] == ("low-late", "preempted", 3, "urgent", 1.0)
    assert ("urgent", "done", 13) in log
    assert ("same", "done", 14) in log


def test_preempt_false_queues_and_a_new_acquire_forgets_the_preemption():
    env = Environment()
    desk = PreemptiveResource(env)
    low, high, higher = Process(env), Process(env), Process(env)
    desk.acquire(low, 5)
    req = desk.acquire(high, 1, preempt=False)
    assert desk.queue == (high,) and desk.users == (low,)
    req.close()
    env.start()
    desk.acquire(higher, 0)
    assert desk.users == (higher,)
    assert desk.preemption(low).by is higher
    desk.acquire(low, 5)
    assert desk.preemption(low) is None
    assert desk.preemption(high) is None


def test_a_preemption_at_the_tick_of_the_users_own_wake_up_still_tells_it():
    # The holder's service ends at 4, where the urgent request comes: its
    # wake-up is already due, yet it resumes with PREEMPTED, not its own
    # reason, and in its place among the wake-ups of that tick.
    env = Environment()
    desk = PreemptiveResource(env)
    log = []

    def holder(self):
        yield from desk.acquire(self, 5)
        log.append(("holder", (yield 4, TIME_PASSED)))
        yield None

    def other(self):
        log.append(("other", (yield 4, TIME_PASSED)))
        yield None

    env.process(holder)
    env.process(other)
    env.start()
    env.run_until(4, after_reason=-1)  # the clock at 4, both wake-ups still pending
    urgent = Process(env)
    desk.acquire(urgent, 1)
    env.run_until(5)
    assert log == [("holder", PREEMPTED), ("other", TIME_PASSED)] and desk.users == (urgent,)


@pytest.mark.parametrize("by", ["preemption", "release"])
def test_a_slot_taken_away_before_the_waiter_resumes_is_not_granted(simulate, by):
    env = Environment()
    desk = PreemptiveResource(env)
    log = []

    def waiter(self):
        log.append((yield from desk.acquire(self, 5)))
        yield None

    holder, urgent = Process(env), Process(env)
    env.start()
    desk.acquire(holder, 5)
    w = env.process(waiter)
    simulate(env, 1)
    desk.release(holder)  # the slot is w's, w resumes later in this tick
    if by == "preemption":
        desk.acquire(urgent, 1)  # and loses it first
    else:
        desk.release(w)
    simulate(env, 2)
    assert log == [False]
    if by == "preemption":
        assert desk.users == (urgent,) and desk.preemption(w).by is urgent
    else:
        assert desk.users == () and desk.preemption(w) is None


def test_a_preempted_request_context_gives_back_nothing():
    env = Environment()
    desk = PreemptiveResource(env)
    low, high = Process(env), Process(env)
    env.start()
    with desk.request(low, 5) as req:
        assert next(req, "granted") == "granted"
        desk.acquire(high, 0)
    assert desk.users == (high,)  # the exit did not release high's slot


# --- allocation --------------------------------------------------------------------------------


# Since 3.12 the interpreter's `yield from` no longer takes a native
# iterator's value through its send slot: it makes a StopIteration object to
# carry the True of a grant made at once. The module's own code allocates
# nothing on any version.
STOP_ITERATIONS_MADE = sys.version_info >= (3, 12)


def allocations(alloc_counter, desk, cycles, delegate=True):
    """Every call of the interpreter's allocators (all domains) made while `cycles`
    uncontended acquire/release pairs run: delegated to with ``yield from`` as a
    model does, or the calls alone."""
    p = Process(desk.env)
    acquire, release = desk.acquire, desk.release

    def model(times):
        yield  # started before counting
        for _ in times:  # the loop itself allocates nothing
            if delegate:
                yield from acquire(p)
            else:
                acquire(p)
            release(p)

    for _ in model(itertools.repeat(None, 100)):  # warm up what the interpreter caches
        pass
    run = model(itertools.repeat(None, cycles))
    next(run)
    alloc_counter.start()
    for _ in run:  # every grant is immediate: the generator never yields
        pass
    return alloc_counter.stop()


def test_uncontended_acquire_and_release_allocate_nothing(alloc_counter):
    env = Environment()
    desk = Resource(env)
    for m in (desk.count_monitor, desk.wait_monitor, desk.queue_monitor):
        m.enabled = False
    assert allocations(alloc_counter, desk, 20000, delegate=False) == 0
    assert allocations(alloc_counter, desk, 20000) == (20000 if STOP_ITERATIONS_MADE else 0)
    assert desk.count == 0 and desk.users == ()


def test_recording_monitors_allocate_only_to_grow(alloc_counter):
    env = Environment()
    desk = Resource(env)
    made = allocations(alloc_counter, desk, 20000, delegate=False)
    # Two series grow (slots in use: 2 samples a cycle; waits: 1), each by
    # doubling its memory; a growth may count in two allocator domains.
    assert 0 < made <= 2 * (math.ceil(math.log2(2 * 20100)) + math.ceil(math.log2(20100)))
    assert desk.wait_monitor.count == 20100


def test_no_references_leak_through_grants_and_timeouts(simulate):
    env = Environment()
    desk = Resource(env)
    log = []
    Holder(env, desk, "a", 0, 10 ** 6, log)

    def waiter(self):
        while True:
            yield from desk.acquire(self, deadline=self.time + 1)

    w = env.process(waiter)
    simulate(env, 100)
    before = sys.getrefcount(w), sys.getrefcount(desk)
    simulate(env, 1100)
    assert (sys.getrefcount(w), sys.getrefcount(desk)) == before
