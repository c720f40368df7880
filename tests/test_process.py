"""Process: registration, activation, the activation pair rule, stepping."""
import gc
import sys
import weakref

import pytest

from tarnu.define import LOCK_RELEASED, TIME_FOREVER, TIME_PASSED, TIME_REACHED
from tarnu.process import Process
from tarnu.sim import Environment


class Script(Process):
    """Yields the given values in turn, recording what is sent in."""

    def __init__(self, env, *values):
        self.values = list(values)
        self.received = []
        super().__init__(env)

    def __call__(self):
        for v in self.values:
            self.received.append((yield v))
        while True:
            self.received.append((yield None))


class Recorder(Environment):
    """Records the processes that the native add reaches."""

    def __init__(self, *args, **kwargs):
        self.added = []
        super().__init__(*args, **kwargs)

    def add(self, process):
        self.added.append(process)
        super().add(process)


class TestConstruction:
    def test_argument_errors(self):
        env = Environment()
        with pytest.raises(TypeError, match=r"__init__\(\) takes exactly 1 positional argument \(0 given\)"):
            Process()
        with pytest.raises(TypeError, match=r"__init__\(\) takes exactly 1 positional argument \(2 given\)"):
            Process(env, env)
        with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
            Process(env, x=1)
        with pytest.raises(TypeError, match="multiple values for keyword argument 'env'"):
            Process(env, env=env)
        msg = r"Argument 'env' has incorrect type \(expected tarnu.sim.Environment, got %s\)"
        with pytest.raises(TypeError, match=msg % "int"):
            Process(3)
        with pytest.raises(TypeError, match=msg % "NoneType"):
            Process(None)
        assert Process(env=env).env is env

    def test_registration_goes_through_the_add_override(self):
        env = Recorder()
        p = Process(env)
        assert env.added == [p]
        assert p.env is env

    def test_setup_env_override_without_base_leaves_it_unregistered(self):
        class Loner(Process):
            def setup_env(self, env):
                self.seen = env

        env = Recorder()
        p = Loner(env)
        assert p.seen is env and p.env is None and env.added == []

    def test_setup_env_none_is_reported_and_changes_nothing(self, unraisable):
        env = Recorder()
        p = Process(env)
        with unraisable() as reports:
            assert p.setup_env(None) is None
        assert len(reports) == 1
        assert reports[0][0] is TypeError
        assert str(reports[0][1]) == "Cannot convert NoneType to tarnu.sim.Environment"
        assert reports[0][2] == "tarnu.process.Process.setup_env"
        assert p.env is env and env.added == [p]

    def test_started_process_cannot_move_heaps(self, unraisable):
        env, other = Environment(), Environment()
        p = Script(env, (5.0, 0))
        env.start()
        with unraisable() as reports:
            p.setup_env(other)
        assert "cannot move" in str(reports[0][1])
        assert p.env is env
        p.activate(1.0, 3)  # still re-keyed in its own heap
        assert env.next_event().reason == 3 and other.next_event() is None

    def test_created_in_started_env_starts_at_once(self):
        env = Environment(start=True)
        s = Script(env, (4.0, TIME_REACHED))
        assert s.next_event_time() == 4.0
        assert s.received == []  # ran up to its first yield

    def test_start_failure_propagates_from_constructor(self):
        class Broken(Process):
            def __call__(self):
                raise LookupError("no")

        env = Recorder(start=True)
        with pytest.raises(LookupError):
            Broken(env)
        assert len(env.added) == 1  # registered before it failed

    def test_read_only_attributes(self):
        env = Environment()
        p = Process(env)
        for name in ("env", "time", "_is_waiting"):
            with pytest.raises(AttributeError):
                setattr(p, name, 1)
        assert p.time == 0.0 and p._is_waiting is False
        with pytest.raises(AttributeError):
            Process.__new__(Process).time

    def test_docstrings(self):
        assert Process.__doc__.startswith("Process(env)")
        assert Process.__call__.__doc__.startswith("__call__()")
        assert Process.activate.__doc__.startswith("activate(double time, int reason)")
        assert Process._wait.__doc__.startswith("_wait()")
        assert Process.next_activation_time.__doc__.startswith("next_activation_time():")
        assert Process.start.__doc__ is None


class TestActivate:
    def setup_method(self):
        self.env = Environment()
        self.p = Script(self.env, (10.0, TIME_PASSED))
        self.q = Script(self.env, (6.0, TIME_PASSED))
        self.env.start()

    def test_earlier_replaces_time_and_reason(self):
        self.p.activate(5.0, LOCK_RELEASED)
        assert self.p.next_event_time() == 5.0
        ev = self.env.next_event()
        assert ev.process is self.p and ev.reason == LOCK_RELEASED
        self.env.run_until(5.0, LOCK_RELEASED)
        assert self.p.received == [LOCK_RELEASED]

    @pytest.mark.parametrize("when", [10.0, 10.0004, 12.0])
    def test_equal_or_later_changes_nothing(self, when):
        self.p.activate(when, LOCK_RELEASED)
        assert self.p.next_activation_time() == 10.0
        self.env.run_until(20.0, LOCK_RELEASED)
        assert self.p.received == [TIME_PASSED]

    def test_past_time_means_the_current_tick(self):
        self.env.run_until(3.0)
        self.p.activate(1.0, TIME_REACHED)
        assert self.p.next_event_time() == 3.0
        assert self.env.next_event().process is self.p

    def test_python_entry_conversions(self):
        self.p.activate(time=4, reason=2.9)  # int time, truncated reason
        assert self.env.next_event().reason == 2
        with pytest.raises(TypeError, match=r"activate\(\) takes exactly 2 positional arguments \(1 given\)"):
            self.p.activate(1.0)
        with pytest.raises(TypeError, match="an integer is required"):
            self.p.activate(1.0, "x")
        with pytest.raises(OverflowError):
            self.p.activate(1.0, 2**40)
        with pytest.raises(TypeError):
            self.p.activate("soon", 1)

    def test_on_the_running_process_changes_nothing(self):
        class SelfWaker(Process):
            def __call__(self):
                while True:
                    yield self.time + 2, TIME_PASSED
                    self.activate(0.0, LOCK_RELEASED)

        w = SelfWaker(self.env)
        self.env.run_until(4.0)
        assert w.next_event_time() == 6.0

    def test_never_started_is_reported(self, unraisable):
        p = Process(Environment())
        with unraisable() as reports:
            p.activate(1.0, 1)
        assert [r[2] for r in reports] == ["tarnu.process.Process.activate"]
        assert "not been started" in str(reports[0][1])
        for query in (p.next_event_time, p.next_activation_time):
            with pytest.raises(RuntimeError, match="not been started"):
                query()


class Items:
    """An iterator over `items` whose __next__ raises StopIteration at the end,
    or `error` there when one is given."""

    def __init__(self, *items, error=None):
        self.items, self.error = list(items), error

    def __iter__(self):
        return self

    def __next__(self):
        if self.items:
            return self.items.pop(0)
        raise self.error or StopIteration


def returning(*items):
    yield from items
    return "done"


class TestActivationPair:
    def run_first(self, value):
        env = Environment()
        env.run_until(2.0)
        p = Script(env, value)
        p.start()
        ev = env.next_event()
        return ev.time_i64, ev.reason

    @pytest.mark.parametrize(
        "value, expected",
        [
            (None, (round(TIME_FOREVER * 1000), TIME_PASSED)),
            ((3.0, 1), (3000, 1)),
            ([3.0, 1], (3000, 1)),
            (iter([4, 2]), (4000, 2)),
            ((x for x in (2.5, 7)), (2500, 7)),
            (Items(4.5, 3), (4500, 3)),
            (returning(6, 1), (6000, 1)),
            ((5.0, 1.9), (5000, 1)),
            ((0.5, 0), (2000, 0)),  # past: the current tick
            ((3.0004, 0), (3000, 0)),
        ],
    )
    def test_accepted(self, value, expected):
        assert self.run_first(value) == expected

    @pytest.mark.parametrize(
        "value, error, message",
        [
            ((1.0, 1, 2), ValueError, r"too many values to unpack \(expected 2\)"),
            (iter([1, 2, 3]), ValueError, r"too many values to unpack \(expected 2\)"),
            ((1.0,), ValueError, "need more than 1 value to unpack"),
            ((), ValueError, "need more than 0 values to unpack"),
            (iter([]), ValueError, "need more than 0 values to unpack"),
            # The end of an iterator, however it ends, is running out of items.
            ((x for x in (2.5,)), ValueError, "need more than 1 value to unpack"),
            (Items(), ValueError, "need more than 0 values to unpack"),
            (returning(1.0), ValueError, "need more than 1 value to unpack"),
            (Items(1.0, 2, 3), ValueError, r"too many values to unpack \(expected 2\)"),
            # Any other exception of the iterator's own passes unchanged.
            (Items(1.0, error=KeyError("own")), KeyError, "own"),
            (Items(1.0, 2, error=StopAsyncIteration("own")), StopAsyncIteration, "own"),
            (("soon", 1), TypeError, "must be real number, not str"),
            ((1.0, "x"), TypeError, "an integer is required"),
            (("soon", "x"), TypeError, "real number"),  # time is converted first
            (5, TypeError, "not iterable"),
        ],
    )
    def test_refused(self, value, error, message):
        with pytest.raises(error, match=message):
            self.run_first(value)

    def test_iterators_in_later_steps(self, unraisable):
        env = Environment()
        p = Script(env, (1.0, 0), (x for x in (2.5, 7)), Items(3.0))
        env.start()
        with unraisable() as reports:
            assert env.run_until(10.0) == 0.0
        # Woken at 2.5 s with reason 7; its next pair has one item.
        assert p.received == [0, 7] and env.time == 2.5
        assert [(r[0], str(r[1])) for r in reports] == [(ValueError, "need more than 1 value to unpack")]


class TestStepping:
    def test_reason_sent_in_is_own_or_activating(self):
        env = Environment()
        p = Script(env, (1.0, TIME_REACHED), (5.0, TIME_PASSED), (6.0, TIME_PASSED))
        env.start()
        env.run_until(2.0)
        p.activate(3.0, LOCK_RELEASED)
        env.run_until(10.0)
        assert p.received == [TIME_REACHED, LOCK_RELEASED, TIME_PASSED]

    def test_wait_and_process_alternate(self):
        trace = []

        class Alternating(Process):
            def _wait(self):
                trace.append(("wait", self.time, self._is_waiting))
                return (self.time + 10, TIME_PASSED)

            def _process(self):
                trace.append(("process", self.time, self._is_waiting))
                yield self.time + 1, TIME_PASSED
                trace.append(("process", self.time, self._is_waiting))

        env = Environment()
        a = Alternating(env)
        env.start()
        assert a._is_waiting is True
        env.run_until(10.5)
        assert a._is_waiting is False
        env.run_until(25.0)
        assert trace == [
            ("wait", 0.0, True),
            ("process", 10.0, False),
            ("process", 11.0, False),
            ("wait", 11.0, True),
            ("process", 21.0, False),
            ("process", 22.0, False),
            ("wait", 22.0, True),
        ]

    def test_plain_process_method_goes_back_to_wait(self):
        class Ticker(Process):
            count = 0

            def _wait(self):
                return (self.time + 1, TIME_PASSED)

            def _process(self):
                Ticker.count += 1

        env = Environment()
        Ticker(env)
        env.start()
        env.run_until(5.0)
        assert Ticker.count == 5

    def test_wait_override_must_return_a_tuple(self):
        class Listy(Process):
            def _wait(self):
                return [1.0, 0]

        with pytest.raises(TypeError, match="Expected tuple, got list"):
            Listy(Environment(start=True))

    def test_default_process_is_not_implemented(self, unraisable):
        class Waits(Process):
            def _wait(self):
                return (1.0, TIME_PASSED)

        env = Environment()
        Waits(env)
        env.start()
        with unraisable() as reports:
            assert env.run_until(2.0) == 0.0
        assert reports[0][0] is NotImplementedError

    def test_call_override_without_send(self):
        class NoSend(Process):
            def __call__(self):
                return [1, 2]

        with pytest.raises(AttributeError, match="send"):
            NoSend(Environment(start=True))

    def test_generator_that_never_yields(self):
        class Empty(Process):
            def __call__(self):
                return
                yield

        with pytest.raises(StopIteration):
            Empty(Environment(start=True))

    def test_generator_that_ends_stays_out_of_the_heap(self, unraisable):
        env = Environment()
        p = Script(env, (1.0, 0))
        p.values = [(1.0, 0)]

        class Once(Process):
            def __call__(self):
                yield 1.0, 0

        o = Once(env)
        env.start()
        with unraisable() as reports:
            env.run_until(2.0)
        assert reports[0][0] is StopIteration
        assert env.next_event().process is p  # p parks at TIME_FOREVER
        assert o.next_event_time() == 1.0

    def test_second_start_is_refused(self):
        env = Environment()
        p = Script(env, (1.0, 0))
        env.start()
        with pytest.raises(RuntimeError, match="already been started"):
            p.start()
        env.run_until(10.0)
        assert p.received == [0]

    def test_overrides_reached_from_the_environment(self, unraisable):
        calls = []

        class Hooked(Script):
            def start(self):
                calls.append("start")
                super().start()

            def finish(self):
                calls.append("finish")
                raise OSError("cleanup failed")

        env = Environment()
        Hooked(env, (1.0, 0))
        env.start()
        with unraisable() as reports:
            env.finish()
        assert calls == ["start", "finish"]
        assert [r[2] for r in reports] == ["tarnu.process.Process.finish"]
        # The memo must not hide a method added to the class later.
        Hooked.finish = lambda self: calls.append("late")
        env.finish()
        assert calls[-1] == "late"


class Punctual(Process):
    """Asks to wake every `dt` seconds and records every late wake-up."""

    def __init__(self, env, dt, late):
        self.dt, self.late = dt, late
        super().__init__(env)

    def __call__(self):
        while True:
            want = self.time + self.dt
            yield want, 0
            if self.time > want:
                self.late.append((self.dt, want, self.time))


def own_event(process):
    from tarnu.event import Event

    return next(o for o in gc.get_referents(process) if isinstance(o, Event))


class TestOneEvent:
    """A process owns one event, and no step re-keys an event that waits in a heap."""

    def test_reinitialising_a_started_process_is_refused(self):
        late = []
        env = Environment()
        a, b = Punctual(env, 0.5, late), Punctual(env, 1.0, late)
        env.start()
        env.run_until(0.5)
        with pytest.raises(RuntimeError, match="already been started: it cannot be initialised again"):
            Process.__init__(b, env)
        env.run_until(10.0)
        assert late == []
        assert b.next_event_time() == 11.0

    def test_stray_event_for_a_waiting_process_is_refused(self, unraisable):
        from tarnu.event import Event

        late = []
        env = Environment()
        a, b = Punctual(env, 0.5, late), Punctual(env, 1.0, late)
        env.start()
        env.run_until(0.5)
        _heap(env).push(Event(700, b, 0))
        with unraisable() as reports:
            assert env.run_until(10.0) == 0.0
        assert [(r[0], str(r[1])) for r in reports] == [
            (RuntimeError, "run_step() on a process whose event is waiting in a heap")
        ]
        # b was not resumed at 0.7 s, and the heap kept its order.
        assert env.time == 0.7 and b.next_event_time() == 1.0
        assert env.run_until(10.0) == 10.0
        assert late == []

    def test_event_linked_elsewhere_during_its_step_is_not_rekeyed(self, unraisable):
        from tarnu.minqueue import MinPairingHeap
        from tarnu.event import Event

        other = MinPairingHeap()

        class Lender(Process):
            def __call__(self):
                yield 1.0, 0
                other.push(own_event(self))  # waits at 1.0 s in another heap
                other.push(Event(2000, None, 0))
                yield 5.0, 0

        env = Environment()
        p = Lender(env)
        env.start()
        with unraisable() as reports:
            assert env.run_until(10.0) == 0.0
        assert [str(r[1]) for r in reports] == ["run_step() on a process whose event is waiting in a heap"]
        assert [ev.time_i64 for ev in iter(other.pop, None)] == [1000, 2000]


def _heap(env):
    from tarnu.minqueue import MinPairingHeap

    return next(o for o in gc.get_referents(env) if isinstance(o, MinPairingHeap))


class Ticker(Process):
    def __call__(self):
        while True:
            yield self.time + 1.0, 0


class TestOrderingHooks:
    """Heap ordering hooks written in Python only lock the heap they order."""

    def test_process_made_inside_another_heaps_ordering_runs(self):
        from tarnu.minqueue import MinPairingHeap, MinPairingHeapNode

        env = Environment(start=True)
        made = []

        class K(MinPairingHeapNode):
            def __init__(self, k):
                self.k = k

            def key_lt(self, other):
                if not made:
                    made.append(Ticker(env))
                    made.append(Environment(start=True))
                return self.k < other.k

        MinPairingHeap([K(1), K(2)])
        assert env.next_event().process is made[0]
        assert env.run_until(3.0) == 3.0 and made[0].next_event_time() == 4.0

    def test_push_refused_inside_start_fails_the_start(self):
        from tarnu.minqueue import MinPairingHeapNode

        env = Environment(start=True)
        outcome = []

        class Meddler(MinPairingHeapNode):
            # Put into the environment's own heap, so that the push of the
            # new process's event melds with it while it is ordered.
            def key_lt(self, other):
                if not outcome:
                    try:
                        Ticker(env)
                        outcome.append("returned")
                    except RuntimeError as e:
                        outcome.append(str(e))
                return False

        _heap(env).push(Meddler())
        Ticker(env)
        assert outcome == ["MinPairingHeap._push() called while the heap is being restructured"]

    def test_other_thread_runs_while_a_heap_is_ordered(self):
        import threading

        from tarnu.minqueue import MinPairingHeap, MinPairingHeapNode

        inside, release = threading.Event(), threading.Event()

        class Slow(MinPairingHeapNode):
            def key_lt(self, other):
                inside.set()
                release.wait(10)
                return False

        t = threading.Thread(target=lambda: MinPairingHeap([Slow(), Slow()]))
        t.start()
        try:
            assert inside.wait(10)
            env = Environment()
            ps = [Ticker(env) for _ in range(3)]
            env.start()
            assert env.run_until(5.0) == 5.0
            assert [p.next_event_time() for p in ps] == [6.0, 6.0, 6.0]
        finally:
            release.set()
            t.join()


class TestLifetime:
    def test_abandoned_simulation_is_collected(self):
        env = Environment()
        procs = [Script(env, (float(i), 0)) for i in range(1, 5)]
        env.start()
        env.run_until(2.0)
        refs = [weakref.ref(p) for p in procs]
        del env, procs
        gc.collect()
        assert all(r() is None for r in refs)

    def test_step_that_reinitialises_its_environment(self, unraisable):
        class Reset(Process):
            def __call__(self):
                yield 1.0, 0
                self.env.__init__()
                yield 2.0, 0

        env = Environment()
        r = Reset(env)
        other = Script(env, (3.0, 0))
        env.start()
        with unraisable():
            env.run_until(5.0)
        # The new heap is empty; the old one (and other's event) went with it.
        assert env.next_event() is None
        assert r.env is env and other.received == []

    def test_step_that_drops_the_last_reference(self):
        class Vanishing(Process):
            def __call__(self):
                yield 1.0, 0
                # Clearing the environment drops the list that kept us.
                self.env.__init__()
                yield 1.0, 0

        env = Environment()
        Vanishing(env)
        env.start()
        env.run_until(3.0)
        gc.collect()
        assert env.next_event() is None

    def test_stepping_does_not_leak(self):
        class Tick(Process):
            def __call__(self):
                while True:
                    yield self.time + 1, TIME_PASSED

        env = Environment()
        ps = [Tick(env) for _ in range(10)]
        env.start()
        env.run_until(100.0)
        gc.collect()
        before = len(gc.get_objects())
        counts = []
        for until in (1000.0, 2000.0, 3000.0):
            env.run_until(until)
            counts.append([sys.getrefcount(p) for p in ps])
        gc.collect()
        assert len(gc.get_objects()) <= before + 5
        assert counts[0] == counts[1] == counts[2]
