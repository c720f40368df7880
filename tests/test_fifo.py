"""Events of one tick run first-in first-out: in the order they were scheduled."""
import pytest

from tarnu.define import TIME_PASSED, TIME_REACHED
from tarnu.process import Process
from tarnu.sim import Environment


class Script(Process):
    """Yields the times of `plan` in turn (None sleeps), logging each wake-up."""

    def __init__(self, env, name, plan, log):
        self.name, self.plan, self.log = name, list(plan), log
        super().__init__(env)

    def __call__(self):
        for when in self.plan:
            reason = yield (None if when is None else (when, TIME_PASSED))
            self.log.append((self.time, self.name, reason))
        while True:
            yield None


def names(log):
    return [(t, n) for t, n, _ in log]


def test_ties_made_by_yields_run_in_scheduling_order():
    log = []
    env = Environment()
    # At 1.0 all three wake in creation order and reschedule for 2.0 in that
    # order. b's zero-delay yield at 2.0 puts it behind c, which was already
    # waiting for that tick, so at 3.0 b comes last.
    Script(env, "a", [1, 2, 3], log)
    Script(env, "b", [1, 2, 2, 3], log)
    Script(env, "c", [1, 2, 3], log)
    env.start()
    env.run_until(3)
    assert names(log) == [
        (1.0, "a"), (1.0, "b"), (1.0, "c"),
        (2.0, "a"), (2.0, "b"), (2.0, "c"), (2.0, "b"),
        (3.0, "a"), (3.0, "c"), (3.0, "b"),
    ]


class Waker(Process):
    """At `at`, activates each target at `to` with `reason`, then sleeps."""

    def __init__(self, env, at, targets, to, reason, log):
        self.at, self.targets, self.to, self.reason, self.log = at, targets, to, reason, log
        super().__init__(env)

    def __call__(self):
        yield self.at, TIME_PASSED
        self.log.append((self.time, "waker", None))
        for t in self.targets:
            t.activate(self.to, self.reason)
        while True:
            yield None


def test_activate_to_the_current_tick_goes_behind_the_pending_events():
    log = []
    env = Environment()
    sleeper = Script(env, "s", [None], log)
    Waker(env, 1, [sleeper], 0.0, TIME_REACHED, log)  # a past time: now
    Script(env, "b", [1], log)
    env.start()
    env.run_until(1.5)
    assert log == [(1.0, "waker", None), (1.0, "b", TIME_PASSED), (1.0, "s", TIME_REACHED)]


def test_activate_to_a_future_tick_goes_behind_what_was_scheduled_for_it():
    log = []
    env = Environment()
    late = Script(env, "x", [5], log)
    Script(env, "b", [3], log)          # scheduled for 3.0 at 0.0
    Waker(env, 1, [late], 3, TIME_REACHED, log)
    Script(env, "c", [2, 3], log)       # scheduled for 3.0 at 2.0
    env.start()
    env.run_until(5)
    assert names(log) == [(1.0, "waker"), (2.0, "c"), (3.0, "b"), (3.0, "x"), (3.0, "c")]
    assert log[3][2] == TIME_REACHED
    # Activating two processes to one tick: in the order of the calls.
    log.clear()
    p, q = Script(env, "p", [None], log), Script(env, "q", [None], log)
    Waker(env, 6, [q, p], 7, TIME_PASSED, log)
    env.run_until(7)
    assert names(log) == [(6.0, "waker"), (7.0, "q"), (7.0, "p")]


def test_processes_created_inside_steps():
    log = []
    env = Environment()

    class Spawner(Process):
        def __call__(self):
            yield 1, TIME_PASSED
            log.append((self.time, "spawner", None))
            # The child reaches its first yield inside its constructor: its
            # wake-up for now goes behind b's, which was already pending.
            Script(env, "child", [env.time, 2], log)
            yield 2, TIME_PASSED
            log.append((self.time, "spawner", None))
            while True:
                yield None

    Spawner(env)
    Script(env, "b", [1, 2], log)
    env.start()
    env.run_until(2)
    assert names(log) == [
        (1.0, "spawner"), (1.0, "b"), (1.0, "child"),
        (2.0, "spawner"), (2.0, "b"), (2.0, "child"),
    ]


def test_the_reason_test_at_the_limit_follows_the_same_order():
    # The first event of the limit tick that is not due ends the run; the
    # events scheduled behind it wait with it.
    log = []
    env = Environment()
    r = Script(env, "r", [None], log)
    Script(env, "a", [4], log)
    Waker(env, 1, [r], 4, TIME_REACHED, log)
    Script(env, "b", [2, 4], log)
    env.start()
    assert env.run_until(4) == 4.0
    assert names(log) == [(1.0, "waker"), (2.0, "b"), (4.0, "a")]
    env.run_until(4, TIME_REACHED)
    assert names(log)[3:] == [(4.0, "r"), (4.0, "b")]


# --- against SimPy ------------------------------------------------------------

def tie_heavy_plan(i):
    # Integer and half-second steps, some of them zero: most wake-ups tie.
    steps = [1, 0.5, 0, 1.5, 1, 0, 2, 0.5]
    return [steps[(i * 3 + k) % len(steps)] for k in range(40)]


def trace_tarnu(n):
    log = []
    env = Environment()

    class Stepper(Process):
        def __init__(self, env, i):
            self.i = i
            super().__init__(env)

        def __call__(self):
            for step in tie_heavy_plan(self.i):
                yield self.time + step, TIME_PASSED
                log.append((self.time, self.i))
            while True:
                yield None

    for i in range(n):
        Stepper(env, i)
    env.start()
    env.run_until(100)
    return log


def trace_simpy(simpy, n):
    log = []
    env = simpy.Environment()

    def stepper(i):
        for step in tie_heavy_plan(i):
            yield env.timeout(step)
            log.append((env.now, i))

    for i in range(n):
        env.process(stepper(i))
    env.run(until=100.0005)
    return log


def test_agrees_with_simpy_event_by_event():
    simpy = pytest.importorskip("simpy")
    ours, theirs = trace_tarnu(60), trace_simpy(simpy, 60)
    assert len(ours) == 60 * 40
    assert ours == theirs
