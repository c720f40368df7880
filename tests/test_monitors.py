"""Tally and Level: statistics, warm-up, batch means, pandas and matplotlib."""
import math
import random
import statistics
import sys

import pytest

from tarnu.define import TIME_PASSED
from tarnu.resources import Level, Resource, Tally
from tarnu.sim import Environment

T_975_19 = 2.093024054408263  # Student's t, 0.975 quantile, 19 degrees of freedom
T_95_4 = 2.131846786326649    # 0.95 quantile, 4 degrees of freedom


def stepped(env, changes, simulate):
    """A Level that takes value v at time t for each (t, v), the clock then at the last t."""
    level = Level(env, changes[0][1], name="stock")

    def driver(self):
        for t, v in changes[1:]:
            yield t, TIME_PASSED
            level.record(v)
        yield None

    env.process(driver)
    simulate(env, changes[-1][0])
    return level


def test_tally_statistics_match_the_textbook():
    env = Environment()
    waits = Tally(env, name="wait")
    data = [random.Random(5).gauss(3, 2) for _ in range(101)]
    for x in data:
        waits.record(x)
    assert waits.count == 101 and waits.value == data[-1]
    assert waits.mean() == pytest.approx(statistics.fmean(data), rel=1e-12)
    assert waits.std() == pytest.approx(statistics.stdev(data), rel=1e-12)
    assert (waits.min(), waits.max()) == (min(data), max(data))
    ordered = sorted(data)
    assert waits.percentile(50) == pytest.approx(statistics.median(data))
    assert waits.percentile(0) == ordered[0] and waits.percentile(100) == ordered[-1]
    assert waits.percentile(25) == pytest.approx(ordered[25])  # (101 - 1) * 0.25 = 25 exactly
    assert waits.percentile(12.5) == pytest.approx((ordered[12] + ordered[13]) / 2)
    assert waits.times() == [0.0] * 101 and waits.values() == data


def test_empty_and_single_observations_give_nan():
    env = Environment()
    t = Tally(env)
    assert all(math.isnan(v) for v in (t.mean(), t.std(), t.min(), t.max(), t.percentile(50), t.value))
    t.record(4)
    assert t.mean() == 4 and math.isnan(t.std())
    assert math.isnan(Level(env).mean())  # no time has passed


def test_level_statistics_weigh_values_by_time(simulate):
    env = Environment()
    # 2 for 3 s, 5 for 1 s, 0 for 4 s (with a zero-length 9 at t = 4).
    level = stepped(env, [(0, 2), (3, 5), (4, 9), (4, 0), (8, 0)], simulate)
    assert level.value == 0 and level.count == 5
    assert level.mean() == pytest.approx((2 * 3 + 5 * 1) / 8)
    mean = level.mean()
    variance = (3 * (2 - mean) ** 2 + 1 * (5 - mean) ** 2 + 4 * (0 - mean) ** 2) / 8
    assert level.std() == pytest.approx(math.sqrt(variance))
    assert (level.min(), level.max()) == (0, 9)  # the momentary 9 counts as a value reached
    # Held 0 for half the time, 2 for 3/8, 5 for 1/8: time-weighted percentiles.
    assert [level.percentile(q) for q in (0, 50, 51, 87.5, 90, 100)] == [0, 0, 2, 2, 5, 5]
    simulate(env, 16)  # the last value counts up to the current time
    assert level.mean() == pytest.approx(11 / 16)


def test_reset_at_warm_up_during_the_run_and_afterwards(simulate):
    env = Environment()
    level = Level(env, 10)
    tally = Tally(env)

    def model(self):
        for t, v in [(1, 20), (2, 30), (3, 40)]:
            yield t, TIME_PASSED
            level.record(v)
            tally.record(v)
            if t == 2:
                level.reset()  # the warm-up ends here: the value 30 carries on
                tally.reset()
        yield None

    env.process(model)
    simulate(env, 4)
    assert level.start == 2 and level.times() == [2, 3] and level.values() == [30, 40]
    assert level.mean() == pytest.approx(35)
    assert tally.values() == [30, 40]  # observations made at the reset time stay
    level.reset(3.5)  # afterwards, at a time in the past
    assert level.times() == [3.5] and level.mean() == 40
    with pytest.raises(ValueError, match="after the current time"):
        level.reset(5)
    level.reset(1)  # before the start: nothing more to forget
    assert level.start == 3.5


def test_batch_means_confidence_interval():
    env = Environment()
    tally = Tally(env)
    data = [random.Random(9).expovariate(1) for _ in range(405)]
    for x in data:
        tally.record(x)
    low, high = tally.confidence_interval()
    used = data[5:]  # 405 = 20 batches of 20, the first 5 left out
    means = [statistics.fmean(used[i * 20:(i + 1) * 20]) for i in range(20)]
    half = T_975_19 * statistics.stdev(means) / math.sqrt(20)
    assert (low, high) == pytest.approx((statistics.fmean(means) - half, statistics.fmean(means) + half), rel=1e-9)
    low, high = tally.confidence_interval(0.9, batches=5)
    means = [statistics.fmean(data[i * 81:(i + 1) * 81]) for i in range(5)]
    half = T_95_4 * statistics.stdev(means) / math.sqrt(5)
    assert (low + high) / 2 == pytest.approx(statistics.fmean(means))
    assert (high - low) / 2 == pytest.approx(half, rel=1e-9)
    for bad in ({"confidence": 1}, {"confidence": 0}, {"batches": 1}, {"batches": 500}):
        with pytest.raises(ValueError):
            tally.confidence_interval(**bad)


def test_level_batches_cut_time_into_equal_stretches(simulate):
    env = Environment()
    # 0 to 10 s: value 1 for [0, 5), 3 for [5, 10): batches of 2 s.
    level = stepped(env, [(0, 1), (5, 3), (10, 3)], simulate)
    low, high = level.confidence_interval(0.95, batches=5)
    means = [1, 1, 2, 3, 3]  # the middle stretch is half 1, half 3
    half = 2.7764451051977987 * statistics.stdev(means) / math.sqrt(5)
    assert (low, high) == pytest.approx((2 - half, 2 + half))
    with pytest.raises(ValueError, match="time to have passed"):
        Level(Environment()).confidence_interval()
    with pytest.raises(ValueError, match="at most one batch a tick"):
        level.confidence_interval(batches=100_000)  # refused before any work
    with pytest.raises(ValueError, match="at most 1000000 batches"):
        level.confidence_interval(batches=10 ** 12)
    assert level.confidence_interval(batches=10_000)[0] < 2  # a batch a millisecond


def test_disabled_monitors_keep_nothing_and_a_level_resumes_at_its_value(simulate):
    env = Environment()
    level = Level(env, 1)
    level.enabled = False

    def model(self):
        yield 1, TIME_PASSED
        level.record(2)
        yield 2, TIME_PASSED
        level.enabled = True
        yield 3, TIME_PASSED
        level.record(4)
        yield None

    env.process(model)
    simulate(env, 5)
    assert level.times() == [0, 2, 3] and level.values() == [1, 2, 4]


def test_misuse():
    env = Environment()
    tally = Tally(env)
    with pytest.raises(ValueError, match=r"\[0, 100\]"):
        tally.percentile(101)
    with pytest.raises(TypeError):
        tally.record("x")
    with pytest.raises(TypeError, match="name must be a str"):
        tally.name = 3
    with pytest.raises(RuntimeError, match="__init__ has not run"):
        Tally.__new__(Tally).record(1)
    with pytest.raises(TypeError):
        Level("env")
    with pytest.raises(RuntimeError, match="runs once"):
        tally.__init__(env)
    assert repr(Level(env, 2, name="q")) == "<Level 'q' value=2.0 count=1>"


def test_blocks_name_their_monitors():
    env = Environment()
    desk = Resource(env)
    assert [m.name for m in (desk.queue_monitor, desk.count_monitor, desk.wait_monitor)] == [
        "queue length", "count", "wait"]
    assert isinstance(desk.wait_monitor, Tally) and isinstance(desk.count_monitor, Level)


# --- pandas and matplotlib ------------------------------------------------------------------


def test_to_pandas(simulate):
    pd = pytest.importorskip("pandas")
    env = Environment()
    level = stepped(env, [(0, 2), (3, 5), (4, 0)], simulate)
    series = level.to_pandas()
    assert isinstance(series, pd.Series) and series.name == "stock"
    assert list(series.index) == [0, 3, 4] and list(series) == [2, 5, 0]
    assert series.index.name == "time"


def test_plot(simulate):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    env = Environment()
    level = stepped(env, [(0, 2), (3, 5), (4, 0)], simulate)
    simulate(env, 6)
    tally = Tally(env, name="waits")
    tally.record(1.5)
    fig, ax = plt.subplots()
    try:
        assert level.plot(ax=ax) is ax
        line = ax.lines[0]
        assert list(line.get_xdata()) == [0, 3, 4, 6]  # held to the current time
        assert line.get_drawstyle() == "steps-post"
        assert tally.plot(ax=ax, color="red") is ax
        assert ax.get_xlabel() == "time (s)"
    finally:
        plt.close(fig)


@pytest.mark.parametrize("method, module, extra", [("to_pandas", "pandas", "pandas"),
                                                   ("plot", "matplotlib.pyplot", "plot")])
def test_a_missing_extra_names_what_to_install(monkeypatch, method, module, extra):
    monkeypatch.setitem(sys.modules, module, None)  # import fails as if it were not installed
    monkeypatch.setitem(sys.modules, module.split(".")[0], None)
    with pytest.raises(ImportError, match=rf"pip install 'tarnu\[{extra}\]'"):
        getattr(Tally(Environment()), method)()
