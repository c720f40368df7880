"""The error policy of an environment: errors="report" (the default) or "raise".

Under "report" an exception that stops the event loop is printed, handed to
sys.unraisablehook and run_until returns 0.0; under "raise" it reaches the
caller unchanged. Either way the environment is left consistent. The policy
travels through a pickle without changing the pickles of default
environments.
"""
import pickle
import traceback

import pytest

import tarnu.sim as sim_module
from tarnu import TIME_PASSED, Environment, Process

unpickle_env = sim_module.__pyx_unpickle_Environment

# Pickles written before the policy existed: a bare environment restored to
# (None, None, True, 60.0, 1500), with protocols 2 and 4.
STORED = [
    b"\x80\x02ctarnu.sim\n__pyx_unpickle_Environment\nq\x00ctarnu.sim\nEnvironment\nq\x01J%F\x87\x05(NN\x88G"
    b"@N\x00\x00\x00\x00\x00\x00M\xdc\x05tq\x02\x87q\x03Rq\x04.",
    b"\x80\x04\x95c\x00\x00\x00\x00\x00\x00\x00\x8c\ttarnu.sim\x94\x8c\x1a__pyx_unpickle_Environment\x94\x93"
    b"\x94\x8c\ttarnu.sim\x94\x8c\x0bEnvironment\x94\x93\x94J%F\x87\x05(NN\x88G@N\x00\x00\x00\x00\x00\x00M"
    b"\xdc\x05t\x94\x87\x94R\x94.",
]


class SubEnv(Environment):
    pass


def bare(cls=Environment):
    return cls.__new__(cls)


class TestSetting:
    def test_default_and_choice(self):
        assert Environment().errors == "report"
        assert Environment(errors="report").errors == "report"
        assert Environment(errors="raise").errors == "raise"
        assert bare().errors == "report"

    def test_keyword_only_and_checked(self):
        with pytest.raises(TypeError, match=r"__init__\(\) takes at most 2 positional arguments \(3 given\)"):
            Environment(False, 10.0, "raise")
        with pytest.raises(ValueError, match="errors must be 'report' or 'raise', not 'Raise'"):
            Environment(errors="Raise")
        with pytest.raises(TypeError, match="errors must be 'report' or 'raise', not NoneType"):
            Environment(errors=None)
        with pytest.raises(AttributeError):
            Environment().errors = "raise"

    def test_a_bad_setting_changes_nothing(self):
        env = Environment(stop_time=5.0, errors="raise")
        with pytest.raises(ValueError):
            env.__init__(stop_time=9.0, errors="loud")
        assert (env.stop_time, env.errors) == (5.0, "raise")

    def test_init_again_sets_it_again(self):
        env = Environment(errors="raise")
        env.__init__()
        assert env.errors == "report"


class TestPickling:
    @pytest.mark.parametrize("data", STORED)
    def test_stored_pickles_load_unchanged(self, data):
        env = pickle.loads(data)
        assert (env.started, env.stop_time, env.time, env.errors) == (True, 60.0, 1.5, "report")

    def test_default_pickles_as_before(self):
        # The same reduce tuple, so the same pickle (up to the pickler's
        # memoisation of equal strings).
        env = bare()
        env.__setstate__((None, None, True, 60.0, 1500))
        assert pickle.loads(pickle.dumps(env)).__reduce__() == env.__reduce__() == (
            unpickle_env,
            (Environment, 0x5874625, (None, None, True, 60.0, 1500)),
        )

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_raise_travels_after_the_fields(self, protocol):
        env = bare()
        env.__setstate__((None, None, True, 60.0, 1500, {"errors": "raise"}))
        assert env.errors == "raise"
        fn, args = env.__reduce__()
        assert args == (Environment, 0x5874625, (None, None, True, 60.0, 1500, {"errors": "raise"}))
        back = pickle.loads(pickle.dumps(env, protocol))
        assert (back.errors, back.time) == ("raise", 1.5)

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_raise_travels_after_a_subclass_dict(self, protocol):
        env = bare(SubEnv)
        env.__setstate__((None, None, False, 0.0, 0, {"label": "a"}, {"errors": "raise"}))
        assert (env.errors, env.label) == ("raise", "a")
        fn, args, state = env.__reduce__()
        assert state == (None, None, False, 0.0, 0, {"label": "a"}, {"errors": "raise"})
        back = pickle.loads(pickle.dumps(env, protocol))
        assert (type(back), back.errors, back.label) == (SubEnv, "raise", "a")
        # A subclass state without options is the state of before.
        back.__setstate__((None, None, False, 0.0, 0, {"label": "b"}))
        assert (back.errors, back.label) == ("report", "b")

    def test_options_are_checked(self):
        env = bare()
        with pytest.raises(TypeError, match="options in the pickled state of tarnu.sim.Environment must be a dict"):
            env.__setstate__((None, None, False, 0.0, 0, "raise"))
        with pytest.raises(ValueError, match="errors must be 'report' or 'raise'"):
            env.__setstate__((None, None, False, 0.0, 0, {"errors": "loud"}))
        env.__setstate__((None, None, False, 0.0, 0, {}))
        assert env.errors == "report"

    def test_process_pickles_its_environment_with_the_setting(self):
        env = bare()
        env.__setstate__((None, [], False, 0.0, 0, {"errors": "raise"}))
        p = bare(Process)
        p.__setstate__((False, env, None, None, "p", None))
        env.__setstate__((None, [p], False, 0.0, 0, {"errors": "raise"}))
        q = pickle.loads(pickle.dumps(p))
        env2 = q.env
        assert env2.errors == "raise"
        assert env2.__reduce__()[2][1] == [q]


# --- what a failing step does -----------------------------------------------------------


class ModelBug(Exception):
    pass


def ticker(self, log, period):
    while True:
        yield self.time + period, TIME_PASSED
        log.append((self.env, self.time))


def faulty(self, at):
    yield at, TIME_PASSED
    raise ModelBug("bad input")  # the line a traceback must show


def build(policy, stop_time=100.0):
    env = Environment(stop_time=stop_time, errors=policy)
    log = []
    env.process(ticker, log, 1.0)
    bad = env.process(faulty, 2.5)
    return env, log, bad


def frames(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__)]


class TestRaise:
    def test_run_until_raises_the_exception_itself(self):
        env, log, bad = build("raise")
        env.start()
        with pytest.raises(ModelBug, match="bad input") as caught:
            env.run_until(10)
        names = frames(caught.value)
        assert names[:2] == ["test_run_until_raises_the_exception_itself", "tarnu.sim.Environment.run_until"]
        assert names[-1] == "faulty"
        assert "tarnu.process.Process.run_step" in names
        last = traceback.extract_tb(caught.value.__traceback__)[-1]
        assert last.line == 'raise ModelBug("bad input")  # the line a traceback must show'

    def test_the_environment_is_left_consistent_and_can_go_on(self):
        env, log, bad = build("raise")
        env.start()
        with pytest.raises(ModelBug):
            env.run_until(10)
        # The clock stands at the failed event; the failed process is out of
        # the heap; the ticker's next event (3.0) is still pending.
        assert env.time == 2.5
        assert [t for _, t in log] == [1.0, 2.0]
        assert env.next_event().process is not bad
        assert env.next_event_time() == 3.0
        assert env.run_until(10) == 10.0
        assert [t for _, t in log] == [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0]

    def test_join_raises(self):
        env, log, bad = build("raise")
        env.start()
        with pytest.raises(ModelBug) as caught:
            env.join()
        assert frames(caught.value)[1:3] == ["tarnu.sim.Environment.join", "tarnu.sim.Environment.run_until"]
        assert env.time == 2.5

    def test_with_block_raises_after_finishing(self):
        finished = []

        class Watcher(Process):
            def __call__(self):
                yield None

            def finish(self):
                finished.append(self.time)

        with pytest.raises(ModelBug) as caught:
            with Environment(stop_time=50, errors="raise") as env:
                Watcher(env)
                env.process(faulty, 2.5)
        assert "tarnu.sim.Environment.__exit__" in frames(caught.value)
        assert finished == [2.5]

    def test_an_exception_of_the_block_comes_first_in_the_chain(self):
        with pytest.raises(ModelBug) as caught:
            with Environment(stop_time=50, errors="raise") as env:
                env.process(faulty, 2.5)
                raise KeyError("in the block")
        assert isinstance(caught.value.__context__, KeyError)

    def test_start_and_process_raise_under_both_policies(self):
        def broken(self):
            raise ModelBug("at once")
            yield

        for policy in ("report", "raise"):
            env = Environment(errors=policy)
            env.process(broken)
            with pytest.raises(ModelBug):
                env.start()
            with pytest.raises(ModelBug):
                Environment(start=True, errors=policy).process(broken)

    def test_a_generator_that_ends_raises_stop_iteration(self):
        class Once(Process):
            def __call__(self):
                yield self.time + 1, TIME_PASSED

        env = Environment(start=True, errors="raise")
        Once(env)
        with pytest.raises(StopIteration):
            env.run_until(5)
        assert env.time == 1.0

    def test_overrides_that_fail_raise(self):
        class Broken(Environment):
            def next_event_time(self):
                raise ModelBug("override")

            def run_until(self, ex_time, after_reason):
                raise ModelBug("override")

        env = Broken(errors="raise")
        with pytest.raises(ModelBug):
            env.join()  # reaches the override of run_until natively
        with pytest.raises(ModelBug):
            env.next_event_time()


class TestReport:
    def test_the_specified_report(self, unraisable, capsys):
        env, log, bad = build("report")
        env.start()
        with unraisable() as reports:
            assert env.run_until(10) == 0.0
        assert [(r[0], r[2]) for r in reports] == [(ModelBug, "tarnu.sim.Environment.run_until")]
        assert "ModelBug: bad input" in capsys.readouterr().err
        assert env.time == 2.5
        assert env.run_until(10) == 10.0

    def test_with_block_reports_and_exits_normally(self, unraisable):
        with unraisable() as reports:
            with Environment(stop_time=50) as env:
                env.process(faulty, 2.5)
        assert [r[2] for r in reports] == ["tarnu.sim.Environment.run_until"]
        assert env.time == 2.5


def test_a_script_with_a_bug_under_each_policy(tmp_path):
    script = """
        import sys
        from tarnu import Environment, TIME_PASSED

        def customer(self, patience):
            yield self.time + 5, TIME_PASSED
            print(self.time - patience)

        with Environment(stop_time=60, errors=sys.argv[1]) as env:
            env.process(customer, None)
        print("ran to", env.time)
    """
    import subprocess
    import sys
    import textwrap

    path = tmp_path / "model.py"
    path.write_text(textwrap.dedent(script).lstrip())
    outcomes = {}
    for policy in ("report", "raise"):
        outcomes[policy] = subprocess.run(
            [sys.executable, str(path), policy], capture_output=True, text=True, timeout=60, cwd=tmp_path
        )
    report, raised = outcomes["report"], outcomes["raise"]
    assert (report.returncode, report.stdout) == (0, "ran to 5.0\n")
    assert "Exception ignored in: 'tarnu.sim.Environment.run_until'" in report.stderr
    assert (raised.returncode, raised.stdout) == (1, "")
    assert "Exception ignored" not in raised.stderr
    assert raised.stderr.rstrip().endswith("TypeError: unsupported operand type(s) for -: 'float' and 'NoneType'")
    assert 'line 6, in customer\n    print(self.time - patience)' in raised.stderr
