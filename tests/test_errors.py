"""The error policy of an environment: errors="report" (the default) or "raise".

Under "report" an exception that stops the event loop is printed, handed to
sys.unraisablehook and run_until returns 0.0; under "raise" it reaches the
caller unchanged. Either way the environment is left consistent. The policy
travels through a pickle without changing the pickles of default
environments.
"""
import pickle

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
