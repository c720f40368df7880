"""Pickling of environments and processes: reduce forms, state checks, round trips."""
import copy
import gc
import hashlib
import pickle
import sys
import traceback

import pytest

import tarnu.process as process_module
import tarnu.sim as sim_module
from tarnu.define import TIME_PASSED, TIME_REACHED
from tarnu.event import Event
from tarnu.minqueue import MinPairingHeap
from tarnu.process import Process
from tarnu.sim import Environment

unpickle_env = sim_module.__pyx_unpickle_Environment
unpickle_process = process_module.__pyx_unpickle_Process

ENV_FIELDS = ["time_i64", "stop_time", "started", "processes", "ev_heap"]
PROCESS_FIELDS = ["process", "id", "event", "ev_heap", "env", "_is_waiting"]
ENV_MISMATCH = "Incompatible checksums (%s vs 0x5874625 = (ev_heap, processes, started, stop_time, time_i64))"
PROCESS_MISMATCH = "Incompatible checksums (%s vs 0x955b494 = (_is_waiting, env, ev_heap, event, id, process))"


class SubEnv(Environment):
    pass


class SubProcess(Process):
    def __call__(self):
        while True:
            yield self.time + 1, TIME_PASSED


def bare(cls):
    return cls.__new__(cls)


def state_of(obj):
    """The state tuple, whichever reduce form carries it."""
    r = obj.__reduce__()
    return r[2] if len(r) == 3 else r[1][2]


def frame_names(excinfo):
    return [f.name for f in traceback.extract_tb(excinfo.value.__traceback__)]


def checksum(fields):
    return int(hashlib.md5(" ".join(sorted(fields)).encode("utf-8")).hexdigest()[:7], 16)


class _Truthless:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


def test_checksums_follow_from_the_field_names():
    assert checksum(ENV_FIELDS) == 0x5874625 == 92751397
    assert checksum(PROCESS_FIELDS) == 0x955b494 == 156611732


class TestTypeSetUp:
    @pytest.mark.parametrize("cls", [Environment, Process])
    def test_reduce_pair_installed_under_the_protocol_names(self, cls):
        assert not hasattr(cls, "__reduce_cython__")
        assert not hasattr(cls, "__setstate_cython__")
        assert cls.__reduce__.__name__ == "__reduce_cython__"
        assert cls.__setstate__.__name__ == "__setstate_cython__"
        assert "__reduce__" in cls.__dict__ and "__setstate__" in cls.__dict__

    def test_rebuild_functions_are_module_level(self):
        assert unpickle_env.__module__ == "tarnu.sim"
        assert unpickle_process.__module__ == "tarnu.process"
        assert unpickle_env.__doc__ is None

    def test_failed_import_can_be_retried(self, run_py):
        # The second execution finds the classes already set up.
        r = run_py(
            """
            import sys
            sys.modules['tarnu.timeconv'] = None
            for name in ('tarnu.sim', 'tarnu.process'):
                try:
                    __import__(name)
                except ImportError:
                    pass
                else:
                    raise SystemExit('import did not fail')
            del sys.modules['tarnu.timeconv']
            import pickle, tarnu.sim, tarnu.process
            E = tarnu.sim.Environment
            assert pickle.loads(pickle.dumps(E.__new__(E))).time == 0.0
            assert not hasattr(tarnu.process.Process, '__setstate_cython__')
            print('ok')
            """
        )
        assert r.returncode == 0, r.stderr
        assert r.stdout == "ok\n"


class TestEnvironmentReduce:
    def test_bare_instance_uses_the_short_form(self):
        assert bare(Environment).__reduce__() == (
            unpickle_env,
            (Environment, 92751397, (None, None, False, 0.0, 0)),
        )

    def test_object_fields_select_the_set_state_form(self):
        env = bare(Environment)
        env.__setstate__((None, [], True, 2.5, 7))
        assert env.__reduce__() == (unpickle_env, (Environment, 92751397, None), (None, [], True, 2.5, 7))

    def test_subclass_appends_its_dict(self):
        env = bare(SubEnv)
        env.label = "x"
        fn, args, state = env.__reduce__()
        assert (fn, args) == (unpickle_env, (SubEnv, 92751397, None))
        assert state == (None, None, False, 0.0, 0, {"label": "x"})
        assert state[5] is env.__dict__

    def test_rebuild_function_is_looked_up_at_each_reduce(self, monkeypatch):
        marker = object()
        monkeypatch.setattr(sim_module, "__pyx_unpickle_Environment", marker)
        assert bare(Environment).__reduce__()[0] is marker
        monkeypatch.delattr(sim_module, "__pyx_unpickle_Environment")
        with pytest.raises(NameError, match="name '__pyx_unpickle_Environment' is not defined") as e:
            bare(Environment).__reduce__()
        assert "tarnu.sim.Environment.__reduce_cython__" in frame_names(e)

    def test_initialised_environment_refuses_through_its_heap(self):
        with pytest.raises(TypeError, match="self.root cannot be converted to a Python object for pickling"):
            pickle.dumps(Environment())


class TestEnvironmentRoundTrip:
    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_bare_and_subclass(self, protocol):
        env = pickle.loads(pickle.dumps(bare(Environment), protocol))
        assert type(env) is Environment
        assert (env.time, env.started, env.stop_time) == (0.0, False, 0.0)
        assert env.__reduce__() == bare(Environment).__reduce__()

        sub = bare(SubEnv)
        sub.__setstate__((None, None, True, 12.0, 4500))
        sub.tags = ["a", 1]
        back = pickle.loads(pickle.dumps(sub, protocol))
        assert type(back) is SubEnv
        assert (back.time, back.started, back.stop_time, back.tags) == (4.5, True, 12.0, ["a", 1])

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_cycle_between_environment_and_process(self, protocol):
        env = bare(Environment)
        p = bare(SubProcess)
        p.name = "p"
        env.__setstate__((None, [p], False, 1.0, 0))
        p.__setstate__((False, env, None, None, 42, None, {"name": "p"}))
        env2 = pickle.loads(pickle.dumps(env, protocol))
        (p2,) = state_of(env2)[1]
        assert type(p2) is SubProcess and p2.name == "p"
        assert p2.env is env2
        assert state_of(p2)[4] == 42


class TestProcessReduce:
    def test_bare_instance_uses_the_short_form(self):
        assert bare(Process).__reduce__() == (
            unpickle_process,
            (Process, 156611732, (False, None, None, None, None, None)),
        )

    def test_id_alone_selects_the_set_state_form(self):
        p = bare(Process)
        p.__setstate__((1, None, None, None, "id", None))
        assert p.__reduce__() == (unpickle_process, (Process, 156611732, None), (True, None, None, None, "id", None))

    def test_subclass_appends_its_dict(self):
        p = bare(SubProcess)
        p.weight = 3
        fn, args, state = p.__reduce__()
        assert (fn, args) == (unpickle_process, (SubProcess, 156611732, None))
        assert state == (False, None, None, None, None, None, {"weight": 3})

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_round_trip_with_an_unqueued_event(self, protocol):
        p = bare(SubProcess)
        p.weight = 3
        ev = Event(2500, p, TIME_REACHED)
        p.__setstate__((True, None, None, ev, ("x", 1), None))
        q = pickle.loads(pickle.dumps(p, protocol))
        assert type(q) is SubProcess and q.weight == 3 and q._is_waiting is True
        waiting, env, heap, ev2, ident, gen = state_of(q)[:6]
        assert (env, heap, ident, gen) == (None, None, ("x", 1), None)
        assert type(ev2) is Event and ev2 is not ev
        assert (ev2.time_i64, ev2.reason, ev2.process) == (2500, TIME_REACHED, q)

    def test_started_process_fails_on_its_generator(self):
        env = Environment()
        p = SubProcess(env)
        env.start()
        q = bare(Process)
        q.__setstate__((False, None, None, None, None, state_of(p)[5]))
        with pytest.raises(TypeError, match="generator"):
            pickle.dumps(q)


class TestRebuild:
    def test_checksum_mismatch(self):
        with pytest.raises(pickle.PickleError) as e:
            unpickle_env(Environment, 1, None)
        assert str(e.value) == ENV_MISMATCH % 1
        assert "tarnu.sim.__pyx_unpickle_Environment" in frame_names(e)
        with pytest.raises(pickle.PickleError) as e:
            unpickle_process(Process, -5, (False,) + (None,) * 5)
        assert str(e.value) == PROCESS_MISMATCH % -5

    def test_pickle_error_is_imported_when_needed(self, monkeypatch):
        class Custom(Exception):
            pass

        monkeypatch.setattr(pickle, "PickleError", Custom)
        with pytest.raises(Custom):
            unpickle_process(Process, 2, None)
        monkeypatch.delattr(pickle, "PickleError")
        with pytest.raises(ImportError, match="^cannot import name PickleError$"):
            unpickle_env(Environment, 2, None)

    def test_arguments(self):
        env = unpickle_env(__pyx_state=None, __pyx_checksum=0x5874625, __pyx_type=SubEnv)
        assert type(env) is SubEnv and env.__reduce__()[1][2] is None
        assert type(unpickle_process(Process, 156611732.9, None)) is Process
        with pytest.raises(TypeError, match=r"^__pyx_unpickle_Environment\(\) takes exactly 3 positional "
                                            r"arguments \(2 given\)$"):
            unpickle_env(Environment, 0x5874625)
        with pytest.raises(TypeError, match="unexpected keyword argument 'state'"):
            unpickle_process(Process, 156611732, None, state=None)
        with pytest.raises(TypeError, match="an integer is required"):
            unpickle_env(Environment, "92751397", None)
        with pytest.raises(TypeError, match="not a subtype of"):
            unpickle_env(Process, 0x5874625, None)
        with pytest.raises(TypeError, match="^Expected tuple, got list$"):
            unpickle_env(Environment, 0x5874625, [None, None, False, 0.0, 0])

    def test_builds_without_init(self):
        p = unpickle_process(SubProcess, 156611732, None)
        assert p.env is None and state_of(p)[:6] == (False,) + (None,) * 5


class TestSetState:
    def test_state_type(self):
        for obj in (bare(Environment), bare(Process)):
            with pytest.raises(TypeError, match="^Expected tuple, got list$") as e:
                obj.__setstate__([])
            assert frame_names(e)[-1].endswith(".__setstate_cython__")
            with pytest.raises(TypeError, match="^'NoneType' object is not subscriptable$"):
                obj.__setstate__(None)

    @pytest.mark.parametrize("cls, n", [(Environment, 5), (Process, 6)])
    def test_short_state_raises_before_reading(self, cls, n):
        obj = bare(cls)
        before = obj.__reduce__()
        for size in range(n):
            with pytest.raises(IndexError, match="expected at least %d" % n):
                obj.__setstate__((True,) * size)
        assert obj.__reduce__() == before

    def test_environment_fields_in_order(self):
        heap = MinPairingHeap()
        cases = [
            ((1, None, False, 0.0, 0), "^Cannot convert int to tarnu.minqueue.MinPairingHeap$", TypeError, 0),
            ((heap, (), False, 0.0, 0), "^Expected list, got tuple$", TypeError, 1),
            ((heap, [], _Truthless(), 0.0, 0), "no truth", ZeroDivisionError, 2),
            ((heap, [], True, "x", 0), "must be real number", TypeError, 3),
            ((heap, [], True, 9.0, "x"), "an integer is required", TypeError, 4),
            ((heap, [], True, 9.0, 2 ** 64), "int", OverflowError, 5),
        ]
        good = (heap, [], True, 9.0)
        for state, message, exc, assigned in cases:
            env = bare(Environment)
            with pytest.raises(exc, match=message) as e:
                env.__setstate__(state)
            assert "tarnu.sim.__pyx_unpickle_Environment__set_state" in frame_names(e)
            expected = good[:assigned] + (None, None, False, 0.0)[assigned:]
            assert state_of(env)[:4] == expected[:4]

    def test_environment_converts_numbers(self):
        env = bare(Environment)
        env.__setstate__((None, None, [1], 3, 2500.9))
        assert (env.started, env.stop_time, env.time) == (True, 3.0, 2.5)

    def test_process_fields_in_order(self):
        env, heap = bare(Environment), MinPairingHeap()
        with pytest.raises(TypeError, match="^Cannot convert int to tarnu.sim.Environment$") as e:
            p = bare(Process)
            p.__setstate__((True, 5, None, None, None, None))
        assert "tarnu.process.__pyx_unpickle_Process__set_state" in frame_names(e)
        assert state_of(p) == (True, None, None, None, None, None)
        with pytest.raises(TypeError, match="^Cannot convert tarnu.sim.Environment to tarnu.minqueue.MinPairingHeap$"):
            p.__setstate__((False, env, env, None, None, None))
        assert state_of(p)[:3] == (False, env, None)
        with pytest.raises(TypeError, match="^Cannot convert str to tarnu.event.Event$"):
            p.__setstate__((False, env, heap, "ev", None, None))
        assert state_of(p)[:4] == (False, env, heap, None)

    def test_dict_merge(self):
        p = bare(SubProcess)
        p.keep = 1
        p.__setstate__((False, None, None, None, None, None, {"new": 2}))
        assert p.__dict__ == {"keep": 1, "new": 2}
        # A class without a dict ignores the extra item.
        q = bare(Process)
        q.__setstate__((False, None, None, None, None, None, "ignored"))
        with pytest.raises(ValueError):
            p.__setstate__((False, None, None, None, None, None, ["bad"]))


class TestLiveObjects:
    def test_waiting_process_refuses_a_new_state(self):
        env = Environment()
        p = SubProcess(env)
        env.start()
        state = state_of(p)
        with pytest.raises(RuntimeError, match="event is waiting in a heap"):
            p.__setstate__((False, None, None, None, None, None))
        assert state_of(p) == state
        assert env.run_until(3) == 3.0 and env.next_event_time() == 4.0

    def test_restored_event_must_wait_in_the_restored_heap(self):
        env, other = Environment(), Environment()
        a, b = SubProcess(env), SubProcess(env)
        env.start()
        # One of the two events sits below the root, linked into env's heap.
        linked = next(s[3] for s in map(state_of, (a, b)) if s[3] is not env.next_event())
        p = bare(Process)
        with pytest.raises(RuntimeError, match="other than the restored ev_heap"):
            p.__setstate__((False, other, state_of(other)[0], linked, None, None))
        assert state_of(p)[3] is None
        # A copy shares the event within the same heap: allowed.
        c = copy.copy(a)
        assert state_of(c)[3] is state_of(a)[3]
        assert env.run_until(5) == 5.0

    def test_environment_restored_while_running(self):
        env = Environment()
        log = []

        class Resetter(Process):
            def __call__(self):
                yield 1, TIME_PASSED
                log.append(self.time)
                env.__setstate__((MinPairingHeap(), [], True, 100.0, 0))
                yield 2, TIME_PASSED
                log.append("never")

        Resetter(env)
        SubProcess(env)
        env.start()
        assert env.run_until(10) == 10.0
        assert log == [1.0]
        assert env.next_event() is None and env.stop_time == 100.0


def test_no_references_left_behind():
    marker = object()
    p = bare(SubProcess)
    p.extra = marker
    p.__setstate__((False, None, None, None, marker, None))
    bad_state = (None, [marker], True, 1.0, "x")

    def churn():
        for _ in range(200):
            pickle.loads(pickle.dumps(p))
            p.__reduce__()
            with pytest.raises(TypeError):
                bare(SubEnv).__setstate__(bad_state)
            with pytest.raises(TypeError):
                unpickle_env(SubEnv, 92751397, bad_state)
            with pytest.raises(pickle.PickleError):
                unpickle_env(SubEnv, 1, bad_state)
            with pytest.raises(TypeError):
                unpickle_process(SubProcess, 156611732, None, None)

    # Instances waiting for the collector are not left behind: collect first.
    churn()
    gc.collect()
    before = sys.getrefcount(marker), sys.getrefcount(SubEnv), sys.getrefcount(SubProcess)
    churn()
    gc.collect()
    assert (sys.getrefcount(marker), sys.getrefcount(SubEnv), sys.getrefcount(SubProcess)) == before
