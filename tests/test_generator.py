"""The package's native generator, seen through the default Process.__call__."""
import collections.abc
import contextlib
import gc
import inspect
import sys
import warnings
import weakref

import pytest

from tarnu.define import TIME_FOREVER, TIME_PASSED
from tarnu.process import Process
from tarnu.sim import Environment


class Worker(Process):
    """Waits at (1.0, 7), then runs `body` (a generator function or not)."""

    def __init__(self, env, body=None):
        self.body = body
        self.log = []
        super().__init__(env)

    def _wait(self):
        self.log.append("wait")
        return (1.0, 7)

    def _process(self):
        return self.body(self) if self.body else None


def make(body=None):
    return Worker(Environment(), body)


@contextlib.contextmanager
def legacy_throw():
    """throw() with more than one argument: deprecated from 3.12, as for
    Python's own generators."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        yield
    deprecated = [str(w.message) for w in caught if w.category is DeprecationWarning]
    if sys.version_info >= (3, 12):
        assert deprecated == [THROW_DEPRECATED]
    else:
        assert deprecated == []


THROW_DEPRECATED = "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature instead."


def outcome(call):
    """What a call did: its result or its exception, and the warnings it gave."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = ("returned", call())
        except BaseException as e:  # noqa: B902 - the exception is the outcome
            result = ("raised", type(e), str(e))
    return result, [(w.category, str(w.message)) for w in caught]


class TestProtocol:
    def test_default_loop_yields_wait_pair_and_needs_process(self):
        g = Process(Environment())()
        assert next(g) == (TIME_FOREVER, TIME_PASSED)
        with pytest.raises(NotImplementedError):
            g.send(3)
        # An exception ends the generator for good.
        with pytest.raises(StopIteration):
            next(g)

    def test_names_and_repr(self):
        g = Process(Environment())()
        assert g.__name__ == "__call__"
        assert g.__qualname__ == "Process.__call__"
        assert "Process.__call__" in repr(g)
        g.__name__ = "renamed"
        assert g.__name__ == "renamed"
        with pytest.raises(TypeError):
            g.__qualname__ = 3

    def test_just_started_refuses_a_value(self):
        g = make()()
        with pytest.raises(TypeError, match="can't send non-None value to a just-started generator"):
            g.send(1)
        assert g.send(None) == (1.0, 7)

    def test_iteration_alternates_wait_and_process(self):
        w = make(lambda self: self.log.append("work"))
        g = w()
        assert [next(g) for _ in range(3)] == [(1.0, 7)] * 3
        assert w.log == ["wait", "work", "wait", "work", "wait"]

    def test_throw_at_the_wait_ends_it(self):
        g = make()()
        next(g)
        with pytest.raises(KeyError), legacy_throw():
            g.throw(KeyError, KeyError("k"))
        with pytest.raises(StopIteration):
            g.send(None)
        # Throwing into a finished generator raises the exception itself.
        with pytest.raises(ValueError):
            g.throw(ValueError("late"))

    def test_throw_argument_checks(self):
        g = make()()
        next(g)
        with pytest.raises(TypeError, match="exceptions must be classes or instances"):
            g.throw(3)
        with pytest.raises(TypeError, match="instance exception may not have a separate value"), legacy_throw():
            g.throw(ValueError("x"), 1)
        with pytest.raises(TypeError, match="third argument must be a traceback"), legacy_throw():
            g.throw(ValueError, None, 5)
        # Still usable: none of those reached the body.
        assert next(g) == (1.0, 7)

    def test_close_before_and_after_start(self):
        g = make()()
        g.close()
        with pytest.raises(StopIteration):
            next(g)
        g = make()()
        next(g)
        assert g.close() is None
        assert g.close() is None

    def test_already_executing(self):
        seen = []

        class Reentrant(Worker):
            def _wait(self):
                try:
                    next(self.gen)
                except ValueError as e:
                    seen.append(str(e))
                return (1.0, 7)

        w = Reentrant(Environment())
        w.gen = w()
        next(w.gen)
        assert seen == ["generator already executing"]
        assert w.gen.gi_running is False

    def test_stop_iteration_inside_becomes_runtime_error(self):
        class Stopping(Worker):
            def _wait(self):
                raise StopIteration

        g = Stopping(Environment())()
        with pytest.raises(RuntimeError, match="generator raised StopIteration"):
            next(g)


class TestDelegation:
    def test_values_out_and_sent_values_in(self):
        received = []

        def body(self):
            received.append((yield (2.0, 1)))
            received.append((yield (3.0, 2)))
            return "ignored"

        g = make(body)()
        assert next(g) == (1.0, 7)
        assert g.send("r0") == (2.0, 1)
        assert g.gi_yieldfrom is not None
        assert g.send("r1") == (3.0, 2)
        # The delegate ends: its return value is dropped and the loop waits.
        assert g.send("r2") == (1.0, 7)
        assert g.gi_yieldfrom is None
        assert received == ["r1", "r2"]

    def test_delegate_that_ends_at_once(self):
        def body(self):
            return
            yield

        w = make(body)
        g = w()
        assert next(g) == (1.0, 7)
        assert next(g) == (1.0, 7)
        assert w.log == ["wait", "wait"]

    def test_is_waiting_only_at_the_wait(self):
        states = []

        def body(self):
            states.append(self._is_waiting)
            yield (5.0, 0)
            states.append(self._is_waiting)

        w = make(body)
        g = w()
        assert w._is_waiting is False
        next(g)
        assert w._is_waiting is True
        next(g)
        assert w._is_waiting is False
        next(g)
        assert w._is_waiting is True
        assert states == [False, False]

    def test_throw_goes_to_the_delegate(self):
        caught = []

        def body(self):
            try:
                yield (2.0, 0)
            except KeyError as e:
                caught.append(e)
                yield (4.0, 0)

        g = make(body)()
        next(g)
        next(g)
        assert g.throw(KeyError("x")) == (4.0, 0)
        assert len(caught) == 1
        # An exception the delegate does not handle ends the loop.
        with pytest.raises(IndexError):
            g.throw(IndexError)
        with pytest.raises(StopIteration):
            next(g)

    def test_close_closes_the_delegate(self):
        closed = []

        def body(self):
            try:
                yield (2.0, 0)
            finally:
                closed.append(True)

        g = make(body)()
        next(g)
        next(g)
        g.close()
        assert closed == [True]

    def test_delegate_ignoring_generator_exit(self):
        def body(self):
            try:
                yield (2.0, 0)
            except GeneratorExit:
                pass
            yield (3.0, 0)

        g = make(body)()
        next(g)
        next(g)
        with pytest.raises(RuntimeError, match="generator ignored GeneratorExit"):
            g.close()

    def test_dropping_a_suspended_generator_closes_the_delegate(self):
        closed = []

        def body(self):
            try:
                yield (2.0, 0)
            finally:
                closed.append(True)

        g = make(body)()
        next(g)
        next(g)
        del g
        gc.collect()
        assert closed == [True]

    def test_non_generator_iterable_is_not_delegated(self):
        # inspect.isgenerator says no for a list: the loop goes straight on.
        w = make(lambda self: [(9.0, 9)])
        g = w()
        assert next(g) == (1.0, 7)
        assert next(g) == (1.0, 7)

    def test_nested_package_generator_delegate(self):
        # A _process returning another process's default generator.
        inner = make()

        def body(self):
            return inner()

        g = make(body)()
        next(g)
        assert next(g) == (1.0, 7)  # the inner one's wait
        assert g.gi_yieldfrom is not None


class TestRegistration:
    def test_abc_and_inspect(self):
        g = make()()
        assert isinstance(g, collections.abc.Generator)
        assert isinstance(g, collections.abc.Iterator)
        assert inspect.isgenerator(g)
        assert inspect.isgenerator((x for x in ()))
        assert not inspect.isgenerator([])
        import tarnu.process

        assert tarnu.process.isgenerator is inspect.isgenerator
        assert type(g) in inspect.isgenerator._tarnu_generator_types

    def test_inspect_is_wrapped_once(self, run_py):
        r = run_py(
            """
            import inspect
            original = inspect.isgenerator
            import tarnu.process, tarnu.sim, tarnu.minqueue
            assert inspect.isgenerator.__wrapped__ is original
            assert len(inspect.isgenerator._tarnu_generator_types) == 1
            print("ok")
            """
        )
        assert r.stdout.strip() == "ok", r.stderr

    def test_weakref_and_cycle_collection(self):
        w = make()
        g = w()
        next(g)
        ref = weakref.ref(g)
        wref = weakref.ref(w)
        del g, w
        gc.collect()
        assert ref() is None
        assert wref() is None


def test_missing_collections_abc_is_reported_then_warned(run_py):
    r = run_py(
        """
        import inspect, sys, warnings
        sys.modules["collections.abc"] = None
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import tarnu.minqueue
        print([str(w.message) for w in caught if w.category is RuntimeWarning])
        """
    )
    assert r.returncode == 0, r.stderr
    assert "collections.abc" in r.stdout
    assert "Exception ignored in: 'collections.abc'" in r.stderr


def test_generators_do_not_leak():
    def body(self):
        yield (2.0, 0)

    def churn():
        for _ in range(200):
            g = make(body)()
            next(g)
            next(g)  # delegating
            g.close()
        gc.collect()

    churn()
    before = len(gc.get_objects())
    churn()
    assert len(gc.get_objects()) <= before + 5


def python_loop():
    while True:
        yield (1.0, 7)


class TestAsPythonGenerators:
    """The package's generators answer as the running version's own do."""

    @pytest.mark.parametrize(
        "args",
        [
            (KeyError,),
            (KeyError("k"),),
            (KeyError, KeyError("k")),
            (KeyError, "v"),
            (KeyError, None, None),
            (3,),
            (ValueError("x"), 1),
            (ValueError, None, 5),
            (),
            (KeyError, None, None, None),
        ],
    )
    def test_throw(self, args):
        def run(gen):
            next(gen)
            return outcome(lambda: gen.throw(*args)), outcome(lambda: next(gen))

        assert run(make()()) == run(python_loop())

    def test_throw_into_a_delegating_generator_gives_no_warning(self):
        caught = []

        def body(self):
            try:
                yield (2.0, 0)
            except KeyError as e:
                caught.append(e)
                yield (4.0, 0)

        g = make(body)()
        next(g)
        next(g)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            error = KeyError("x")
            assert g.throw(error) == (4.0, 0)
        assert caught == [error]


@pytest.mark.parametrize("kind", ["children", "process", "wrapper"])
def test_generator_cleared_by_the_collector_is_finished(run_py, kind):
    # The collector clears a generator that a finaliser still reaches (here
    # through a weak reference, while the generator's owner is cleared):
    # resuming it must end it, as for a Python generator, not run its body
    # without its state.
    r = run_py(
        """
        import gc, weakref
        from tarnu.minqueue import MinPairingHeapNode
        from tarnu.sim import Environment
        from tarnu.process import Process

        KIND = %r
        out = []

        class Holder:
            def __init__(self, ref):
                self.ref = ref

            def __del__(self):
                g = self.ref()
                out.append("gone" if g is None else next(g, "finished"))

        class Trigger:
            def __del__(self):
                self.owner.h = Holder(weakref.ref(self.g))
                self.owner = self.g = None

        def f(self):
            while True:
                yield self.time + 1, 0

        class N(MinPairingHeapNode):
            pass

        class P(Process):
            pass

        gc.disable()
        env = Environment()
        if KIND == "children":
            owner = N()
        elif KIND == "process":
            owner = P(env)
        else:
            owner = env.process(f)
        owner.h = None  # cleared before "g": the holder runs while the generator lives
        # The generator is made after the freeze, so the collector clears it
        # before its owner; it is not started, so no finaliser closes it.
        gc.freeze()
        g = owner._children() if KIND == "children" else owner()
        gc.collect()
        gc.unfreeze()
        t = Trigger()
        t.owner, t.g, owner.g, owner.t = owner, g, g, t
        del owner, g, t, env
        gc.collect()
        print(out)
        """
        % kind
    )
    assert r.returncode == 0, r.stderr[-2000:]
    assert r.stdout == "['finished']\n"
