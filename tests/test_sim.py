"""Environment: construction, start/finish, the context manager and the event loop."""
import gc
import heapq
import weakref

import pytest

from tarnu.define import LOCK_RELEASED, TIME_FOREVER, TIME_PASSED, TIME_REACHED
from tarnu.process import Process
from tarnu.sim import Environment


class Periodic(Process):
    """Wakes every `period` seconds with `reason`, logging (time, name)."""

    def __init__(self, env, name, period, log, reason=TIME_PASSED, first=None):
        self.name, self.period, self.log, self.reason = name, period, log, reason
        self.first = period if first is None else first
        super().__init__(env)

    def __call__(self):
        yield self.first, self.reason
        while True:
            self.log.append((self.time, self.name))
            yield self.time + self.period, self.reason


def reports_of(reports):
    return [(r[0], r[2]) for r in reports]


class TestConstruction:
    def test_defaults_and_attributes(self):
        env = Environment()
        assert (env.time, env.started, env.stop_time) == (0.0, False, TIME_FOREVER)
        assert env.next_event() is None
        for name in ("time", "started", "stop_time"):
            with pytest.raises(AttributeError):
                setattr(env, name, 1)
        assert Environment(True, 10).stop_time == 10.0
        assert Environment(start=True).started is True

    def test_argument_errors(self):
        with pytest.raises(TypeError):
            Environment(stop_time="late")
        with pytest.raises(TypeError, match=r"__init__\(\) takes at most 2 positional arguments \(3 given\)"):
            Environment(False, 1.0, 2)
        with pytest.raises(TypeError, match="unexpected keyword argument 'stop'"):
            Environment(stop=1)
        env = Environment()
        with pytest.raises(TypeError, match=r"__exit__\(\) takes exactly 3 positional arguments \(1 given\)"):
            env.__exit__(None)
        with pytest.raises(TypeError, match=r"run_until\(\) takes at least 1 positional argument \(0 given\)"):
            env.run_until()
        with pytest.raises(TypeError, match="an integer is required"):
            env.run_until(1.0, "x")

    def test_add_refuses_non_processes_and_none(self):
        env = Environment()
        for bad, name in ((5, "int"), (None, "NoneType")):
            with pytest.raises(TypeError, match=rf"expected tarnu.process.Process, got {name}"):
                env.add(bad)
        env.start()  # the list stayed empty
        assert env.started

    def test_reinit_resets_clock_heap_and_list(self):
        log = []
        env = Environment()
        Periodic(env, "a", 1.0, log)
        env.start()
        env.run_until(3.0)
        env.__init__(stop_time=5.0)
        assert (env.time, env.started, env.stop_time) == (0.0, False, 5.0)
        assert env.next_event() is None

    def test_docstrings(self):
        assert Environment.__doc__.startswith("Environment(start=False, stop_time=TIME_FOREVER)")
        assert "The simulation environment::" in Environment.__doc__
        assert Environment.run_until.__doc__.startswith("run_until(ex_time, after_reason=TIME_PASSED)")
        assert Environment.join.__doc__.startswith("join()")
        assert Environment.start.__doc__.startswith("start()")
        assert Environment.add.__doc__ is None


class TestStartFinish:
    def test_processes_created_during_start_are_started_by_the_same_walk(self):
        order = []

        class Spawner(Process):
            def __call__(self):
                order.append("spawner")
                Child(self.env)
                yield None

        class Child(Process):
            def __call__(self):
                order.append("child")
                yield None

        class Last(Process):
            def __call__(self):
                order.append("last")
                yield None

        env = Environment()
        Spawner(env)
        Last(env)
        env.start()
        assert order == ["spawner", "last", "child"]

    def test_start_failure_stops_the_walk(self):
        class Fails(Process):
            def __call__(self):
                raise KeyError("first step")

        log = []
        env = Environment()
        a = Periodic(env, "a", 1.0, log)
        Fails(env)
        b = Periodic(env, "b", 1.0, log)
        with pytest.raises(KeyError):
            env.start()
        assert env.started is False
        assert a.next_event_time() == 1.0
        with pytest.raises(RuntimeError):
            b.next_event_time()

    def test_process_added_twice_is_not_started_twice(self):
        env = Environment()
        p = Periodic(env, "p", 1.0, [])
        env.add(p)
        with pytest.raises(RuntimeError, match="already been started"):
            env.start()
        assert env.next_event().process is p
        env.run_until(1.0)
        assert env.next_event_time() == 2.0  # one event, not two

    def test_finish_calls_every_process_and_keeps_state(self):
        finished = []

        class F(Periodic):
            def finish(self):
                finished.append(self.name)

        log = []
        env = Environment()
        F(env, "a", 1.0, log)
        F(env, "b", 2.0, log)
        env.start()
        env.run_until(2.0)
        env.finish()
        assert finished == ["a", "b"]
        assert env.started and env.time == 2.0
        env.run_until(4.0)
        # b's wake-up at 4.0 was scheduled at 2.0, a's at 3.0: b runs first.
        assert log[-2:] == [(4.0, "b"), (4.0, "a")]

    def test_bare_environment(self, unraisable):
        env = Environment.__new__(Environment)
        with unraisable() as reports:
            assert env.run_until(3.0) == 0.0
            assert env.join() == 0.0
            assert env.next_event_time() == 0.0
            env.finish()
            Process(env)  # add reports; not started, so nothing runs
        names = [r[2] for r in reports]
        assert names[:3] == ["tarnu.sim.Environment.run_until"] * 2 + ["tarnu.sim.Environment.next_event_time"]
        assert "tarnu.sim.Environment.finish" in names
        assert "tarnu.sim.Environment.add" in names
        with pytest.raises(RuntimeError, match="no event heap"):
            env.next_event()
        with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
            env.start()


class TestContextManager:
    def test_join_and_finish_on_exit(self):
        finished = []

        class F(Periodic):
            def finish(self):
                finished.append(self.time)

        log = []
        with Environment(stop_time=3.0) as env:
            assert env.started
            F(env, "a", 1.0, log)
        assert log == [(1.0, "a"), (2.0, "a"), (3.0, "a")]
        assert finished == [3.0]

    def test_raising_block_still_runs_then_propagates(self):
        log = []
        with pytest.raises(ZeroDivisionError):
            with Environment(stop_time=2.0) as env:
                Periodic(env, "a", 1.0, log)
                1 / 0
        assert log == [(1.0, "a"), (2.0, "a")]
        assert env.time == 2.0

    def test_enter_propagates_start_errors(self):
        class Fails(Process):
            def __call__(self):
                raise KeyError("x")

        env = Environment()
        Fails(env)
        with pytest.raises(KeyError):
            env.__enter__()


class TestRunUntil:
    def test_empty_heap(self):
        env = Environment()
        assert env.run_until(5) == 5.0 and env.time == 5.0
        assert env.next_event_time() == TIME_FOREVER
        assert env.run_until(2.0) == 5.0  # never backwards
        assert env.run_until(2.0004 + 5) == 7.0

    def test_reason_rule_at_the_limit(self):
        log = []
        env = Environment()
        Periodic(env, "r", 10.0, log, reason=TIME_REACHED, first=3.0)
        env.start()
        assert env.run_until(3.0, TIME_PASSED) == 3.0
        assert log == [] and env.next_event_time() == 3.0
        assert env.run_until(3.0, TIME_REACHED) == 3.0
        assert log == [(3.0, "r")]

    def test_default_after_reason_is_time_passed(self):
        log = []
        env = Environment()
        Periodic(env, "p", 2.0, log, reason=TIME_PASSED, first=1.0)
        Periodic(env, "l", 5.0, log, reason=LOCK_RELEASED, first=2.0)
        env.start()
        env.run_until(2.0)
        assert log == [(1.0, "p")]
        env.run_until(2.0, LOCK_RELEASED)
        assert log == [(1.0, "p"), (2.0, "l")]

    def test_times_equal_to_the_tick(self):
        log = []
        env = Environment()
        Periodic(env, "a", 1.0, log)
        env.start()
        assert env.run_until(1.0004) == 1.0
        assert log == [(1.0, "a")]
        assert env.run_until(env.time) == 1.0  # nothing new due

    def test_zero_delay_rescheduling_within_one_call(self):
        seen = []

        class Burst(Process):
            def __call__(self):
                yield 1.0, TIME_PASSED
                for i in range(3):
                    seen.append((self.time, i))
                    yield self.time, TIME_PASSED
                yield None

        env = Environment()
        Burst(env)
        env.start()
        assert env.run_until(1.0) == 1.0
        assert seen == [(1.0, 0), (1.0, 1), (1.0, 2)]

    def test_failing_step(self, unraisable, capfd):
        class Fails(Process):
            def __call__(self):
                yield 2.0, TIME_PASSED
                raise KeyError("boom")

        log = []
        env = Environment()
        Periodic(env, "a", 1.0, log)
        f = Fails(env)
        env.start()
        with unraisable() as reports:
            assert env.run_until(5.0) == 0.0
        assert reports_of(reports) == [(KeyError, "tarnu.sim.Environment.run_until")]
        err = capfd.readouterr().err
        assert "tarnu.process.Process.run_step" in err and "KeyError: 'boom'" in err
        assert env.time == 2.0
        assert f.next_event_time() == 2.0  # popped, never pushed back
        assert all(ev.process is not f for ev in [env.next_event()])
        # Later events are still there and run.
        assert env.run_until(5.0) == 5.0
        assert log[-1] == (5.0, "a")

    def test_event_without_process_is_refused(self, unraisable):
        from tarnu.event import Event

        env = Environment()
        _heap_of(env).push(Event(1000, None, 0))
        with unraisable() as reports:
            assert env.run_until(3.0) == 0.0
        assert reports_of(reports) == [(TypeError, "tarnu.sim.Environment.run_until")]
        assert "Cannot convert NoneType to tarnu.process.Process" in str(reports[0][1])
        assert env.time == 1.0 and env.next_event() is None


def _heap_of(env):
    """The environment's heap, reached through gc (it is not a Python attribute)."""
    from tarnu.minqueue import MinPairingHeap

    for obj in gc.get_referents(env):
        if isinstance(obj, MinPairingHeap):
            return obj
    raise AssertionError("no heap")


class Interrupt(BaseException):
    """An exception that is not an Exception, like KeyboardInterrupt."""


class Interrupting(Process):
    """Wakes at 1, 2, 3 s and raises `exc` at 2 s."""

    def __init__(self, env, exc):
        self.exc = exc
        super().__init__(env)

    def __call__(self):
        yield 1.0, TIME_PASSED
        yield 2.0, TIME_PASSED
        raise self.exc
        yield 3.0, TIME_PASSED


class TestInterrupts:
    """Exceptions that are not Exceptions stop the loop and reach the caller;
    the environment stays as a failed step leaves it."""

    @pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit, Interrupt])
    def test_run_until_passes_it_on(self, exc, unraisable):
        import traceback

        log = []
        env = Environment()
        Periodic(env, "a", 0.5, log)
        p = Interrupting(env, exc)
        env.start()
        with unraisable() as reports:
            with pytest.raises(exc) as info:
                env.run_until(10.0)
        assert reports == []
        names = [frame.name for frame in traceback.extract_tb(info.tb)]
        assert names[1:3] == ["tarnu.sim.Environment.run_until", "tarnu.process.Process.run_step"]
        # The clock at the interrupted event, that event out of the heap, the
        # rest in order: a later run goes on from there.
        assert env.time == 2.0 and p.next_event_time() == 2.0
        assert env.next_event().process is not p
        assert env.run_until(4.0) == 4.0
        assert [t for t, _ in log] == [0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 3.5, 4.0]

    def test_join_and_the_with_block_pass_it_on(self, unraisable):
        finished = []

        class Finishing(Interrupting):
            def finish(self):
                finished.append(self)

        env = Environment(stop_time=10.0)
        Finishing(env, KeyboardInterrupt)
        env.start()
        with pytest.raises(KeyboardInterrupt):
            env.join()
        assert env.time == 2.0
        with unraisable() as reports:
            with pytest.raises(Interrupt):
                with Environment() as env:
                    Finishing(env, Interrupt)
        assert reports == [] and env.time == 2.0
        assert finished == []  # the interrupt stops __exit__ before finish

    def test_override_reached_from_join(self):
        class E(Environment):
            def run_until(self, ex_time, after_reason=TIME_PASSED):
                raise SystemExit("from the override")

        with pytest.raises(SystemExit, match="from the override"):
            E().join()

    def test_native_callers_find_it_set(self):
        import ctypes

        get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
        get_pointer.restype = ctypes.c_void_p
        get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        table = (ctypes.c_void_p * 8).from_address(get_pointer(Environment.__dict__["__pyx_vtable__"], None))
        # PYFUNCTYPE checks the error indicator after the call.
        run_until = ctypes.PYFUNCTYPE(ctypes.c_double, ctypes.py_object, ctypes.c_double, ctypes.c_int,
                                      ctypes.c_void_p)(table[4])
        join = ctypes.PYFUNCTYPE(ctypes.c_double, ctypes.py_object, ctypes.c_int)(table[5])
        for call in (lambda env: run_until(env, 10.0, 0, None), lambda env: join(env, 0)):
            env = Environment(stop_time=10.0)
            Interrupting(env, KeyboardInterrupt)
            env.start()
            with pytest.raises(KeyboardInterrupt):
                call(env)
        env = Environment()
        Periodic(env, "a", 1.0, [])
        env.start()
        assert run_until(env, 3.0, 0, None) == 3.0


class TestJoin:
    def test_join_stops_short_of_forever(self):
        log = []
        env = Environment()
        Periodic(env, "p", 1e11, log)
        sleeper = Process(env)  # default _wait: parked at TIME_FOREVER
        env.start()
        env.join()
        assert env.time == TIME_FOREVER - 1.0
        assert sleeper.next_event_time() == TIME_FOREVER
        assert [t for t, _ in log] == [1e11 * i for i in range(1, 10)]

    def test_join_with_stop_time(self):
        log = []
        env = Environment(stop_time=10.0)
        Periodic(env, "p", 2.5, log)
        # r schedules its wake-up at 10.0 at 8.0, behind p's (made at 7.5).
        Periodic(env, "r", 2.0, log, reason=TIME_REACHED, first=8.0)
        env.start()
        assert env.join() == 10.0
        assert log == [(2.5, "p"), (5.0, "p"), (7.5, "p"), (8.0, "r"), (10.0, "p")]
        assert env.next_event().process.name == "r"

    def test_an_event_not_due_at_the_limit_holds_back_the_later_ones_of_its_tick(self):
        # r's wake-up at 10.0 was scheduled first; its reason is greater than
        # join's, so it ends the run, and p's, scheduled behind it, waits too.
        log = []
        env = Environment(stop_time=10.0)
        Periodic(env, "p", 2.5, log)
        Periodic(env, "r", 10.0, log, reason=TIME_REACHED)
        env.start()
        assert env.join() == 10.0
        assert log == [(2.5, "p"), (5.0, "p"), (7.5, "p")]
        assert env.run_until(10.0, TIME_REACHED) == 10.0
        assert log[3:] == [(10.0, "r"), (10.0, "p")]


class TestOverrides:
    def test_inherited_run_until_is_not_taken_for_an_override(self):
        # join reaches the built-in run_until of a subclass natively: no
        # call through Python spends a level of the recursion limit.
        def headroom():
            n = 0

            def down():
                nonlocal n
                n += 1
                down()

            try:
                down()
            except RecursionError:
                return n

        class Sub(Environment):
            pass

        seen = {}

        class Probe(Process):
            def __call__(self):
                yield 1.0, TIME_PASSED
                seen[type(self.env)] = headroom()
                yield None

        for cls in (Environment, Sub):
            env = cls(stop_time=5.0)
            Probe(env)
            env.start()
            env.join()
        assert seen[Sub] == seen[Environment]

    def test_run_until_override_reached_from_join(self):
        calls = []

        class E(Environment):
            def run_until(self, ex_time, after_reason=TIME_PASSED):
                calls.append((ex_time, after_reason))
                return super().run_until(ex_time, after_reason)

        env = E(stop_time=4.0)
        env.start()
        assert env.join() == 4.0
        assert calls == [(4.0, TIME_PASSED)]
        assert type(calls[0][0]) is float and type(calls[0][1]) is int

    def test_start_join_finish_overrides_from_context_manager(self):
        calls = []

        class E(Environment):
            def start(self):
                calls.append("start")
                super().start()

            def join(self):
                calls.append("join")
                return 1.5

            def finish(self):
                calls.append("finish")

        with E(start=True):
            pass
        assert calls == ["start", "start", "join", "finish"]

    def test_failing_override_is_reported(self, unraisable):
        class E(Environment):
            def join(self):
                return "not a number"

        with unraisable() as reports:
            with E():
                pass
        assert reports_of(reports) == [(TypeError, "tarnu.sim.Environment.join")]

    def test_next_event_override_result_is_checked(self):
        class E(Environment):
            def next_event(self):
                return 3

        # Python forms skip the override check: only native callers see it.
        assert E().next_event() == 3


class TestEndToEnd:
    def test_several_processes_in_time_order(self):
        periods = {"a": 0.7, "b": 1.1, "c": 2.5, "d": 0.3}
        log = []
        env = Environment(stop_time=20.0)
        for name, period in periods.items():
            Periodic(env, name, period, log)
        env.start()
        env.join()

        # Computed independently: accumulate each process's wake-ups in ticks.
        expected = []
        queue = [(round(p * 1000), n) for n, p in periods.items()]
        heapq.heapify(queue)
        while queue[0][0] <= 20000:
            t, n = heapq.heappop(queue)
            expected.append((t, n))
            heapq.heappush(queue, (t + round(periods[n] * 1000), n))

        got = [(round(t * 1000), n) for t, n in log]
        assert [t for t, _ in got] == [t for t, _ in expected]
        assert sorted(got) == sorted(expected)
        assert env.time == 20.0

    def test_activation_chain(self):
        """A server that sleeps until a client wakes it."""
        log = []

        class Server(Process):
            def __call__(self):
                while True:
                    reason = yield None
                    log.append(("served", self.time, reason))

        class Client(Process):
            def __init__(self, env, server):
                self.server = server
                super().__init__(env)

            def __call__(self):
                while True:
                    yield self.time + 2, TIME_PASSED
                    self.server.activate(self.time + 0.5, LOCK_RELEASED)

        env = Environment()
        s = Server(env)
        Client(env, s)
        env.start()
        env.run_until(7.0, LOCK_RELEASED)
        assert log == [("served", 2.5, LOCK_RELEASED), ("served", 4.5, LOCK_RELEASED), ("served", 6.5, LOCK_RELEASED)]


class TestCollection:
    def test_abandoned_simulation_with_pending_events(self):
        class Sub(Environment):
            pass

        env = Sub()
        procs = [Periodic(env, str(i), 1.0 + i, []) for i in range(5)]
        env.start()
        env.run_until(3.0)
        refs = [weakref.ref(p) for p in procs] + [weakref.ref(env)]
        del env, procs
        gc.collect()
        assert [r() for r in refs] == [None] * 6


IMPORT_CHECK = """
import sys
import {first}
import {second}
import tarnu.sim, tarnu.process
from tarnu.define import TIME_PASSED
class P(tarnu.process.Process):
    def __call__(self):
        while True:
            yield self.time + 1, TIME_PASSED
env = tarnu.sim.Environment()
P(env)
env.start()
print(env.run_until(3.0), sorted(m for m in sys.modules if m.startswith("tarnu.")))
"""


@pytest.mark.parametrize("first, second", [("tarnu.sim", "tarnu.process"), ("tarnu.process", "tarnu.sim")])
def test_both_import_orders(run_py, first, second):
    r = run_py(IMPORT_CHECK.format(first=first, second=second))
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("3.0 ['tarnu.define', 'tarnu.event', 'tarnu.minqueue', 'tarnu.process', 'tarnu.sim', 'tarnu.timeconv']")

