"""tarnu.timeconv: seconds <-> ticks, tick-exact comparisons, argument
errors, traceback entries and profiler reporting."""
import cProfile
import ctypes
import math
import pathlib
import pstats
import random
import re
import sys
import traceback
import warnings

import pytest

from tarnu import timeconv
from tarnu.timeconv import d2l, l2d, time_eq, time_ge, time_gt, time_le, time_lt

INT64_MIN = -(2**63)
COMPARISONS = [time_eq, time_le, time_lt, time_ge, time_gt]


class TestRounding:
    @pytest.mark.parametrize(
        "seconds, ticks",
        [
            (0.0025, 3),
            (-0.0025, -3),
            (0.0005, 1),
            (-0.0005, -1),
            (0.00049, 0),
            (0.00025, 0),
            (1.0005, 1001),  # the product is exactly 1000.5
            (1.2345, 1235),
            (-0.0, 0),
            (9.2e15, 9_200_000_000_000_000_000),
        ],
    )
    def test_halves_round_away_from_zero(self, seconds, ticks):
        assert d2l(seconds) == ticks

    def test_rounding_matches_exact_arithmetic(self):
        # The product 1000.0 * seconds (a double), rounded half away from
        # zero by exact decimal arithmetic, over halves, near-halves, the
        # edge of exact doubles and the edge of the int64 range.
        from decimal import ROUND_HALF_UP, Decimal

        rng = random.Random(5)
        values = [k / 2000 + d for k in range(-4000, 4000) for d in (0.0, 1e-12, -1e-12)]
        values += [rng.uniform(-1e9, 1e9) for _ in range(20000)]
        values += [math.ldexp(rng.random(), e) * rng.choice((-1, 1)) for e in range(40, 64) for _ in range(50)]
        values += [2**52 / 1000, (2**52 - 0.5) / 1000, 2**63 / 1000, -(2**63) / 1000, math.nextafter(2**63, 0) / 1000]
        for seconds in values:
            product = Decimal(1000.0 * seconds)
            expected = int(product.quantize(Decimal(1), rounding=ROUND_HALF_UP))
            if not -(2**63) <= product < 2**63:
                expected = INT64_MIN
            assert d2l(seconds) == expected, seconds

    @pytest.mark.parametrize("seconds", [math.nan, math.inf, -math.inf, 1e16, -1e16, 9.3e15])
    def test_out_of_range_is_most_negative_tick(self, seconds):
        assert d2l(seconds) == INT64_MIN

    def test_most_negative_tick_compares(self):
        assert time_eq(math.nan, math.inf)
        assert time_lt(math.inf, 0.0)
        assert time_le(-math.inf, -1e300)

    def test_l2d(self):
        assert l2d(1500) == 1.5
        assert l2d(-1) == -0.001
        assert l2d(0) == 0.0
        assert l2d(INT64_MIN) == INT64_MIN / 1000.0
        # Beyond 2**53 ticks the conversion to double rounds first.
        assert l2d(2**53 + 1) == float(2**53) / 1000.0

    def test_round_trip_of_ticks(self):
        for ticks in (0, 1, -1, 999, 1001, 123456789, -987654321, 2**40):
            assert d2l(l2d(ticks)) == ticks


class TestComparisons:
    def test_equal_within_half_a_tick(self):
        assert time_eq(1.0, 1.0004)
        assert not time_eq(1.0, 1.0005)
        assert not time_lt(1.0, 1.0004)
        assert time_lt(1.0, 1.0005)

    @pytest.mark.parametrize("a", [0.0, 0.0004, 0.0005, 1.0, -0.0015, 2.5e-4])
    @pytest.mark.parametrize("b", [0.0, 0.0004, 0.0006, 1.0004, -0.001, -0.002])
    def test_agree_with_ticks(self, a, b):
        ta, tb = d2l(a), d2l(b)
        assert time_eq(a, b) is (ta == tb)
        assert time_le(a, b) is (ta <= tb)
        assert time_lt(a, b) is (ta < tb)
        assert time_ge(a, b) is (ta >= tb)
        assert time_gt(a, b) is (ta > tb)
        assert time_le(a, b) == (time_lt(a, b) or time_eq(a, b))

    def test_keywords(self):
        assert time_le(b=2.0, a=1.0) is True
        assert time_gt(1.0, b=2.0) is False
        for f in COMPARISONS:
            assert f(a=1.0, b=1.0) is (f in (time_eq, time_le, time_ge))


class TestConversions:
    def test_float_protocol(self):
        class Seconds:
            def __float__(self):
                return 0.0025

        class Index:
            def __index__(self):
                return 2

        assert d2l(True) == 1000
        assert d2l(3) == 3000
        assert d2l(Seconds()) == 3
        assert d2l(Index()) == 2000
        assert time_eq(Seconds(), 0.003)

    @pytest.mark.parametrize("bad", ["1", None, [1.0], 1j])
    def test_float_protocol_refuses(self, bad):
        with pytest.raises(TypeError):
            d2l(bad)
        with pytest.raises(TypeError):
            time_eq(1.0, bad)

    def test_float_method_error_propagates(self):
        class Broken:
            def __float__(self):
                raise ZeroDivisionError("no float")

        with pytest.raises(ZeroDivisionError, match="no float"):
            d2l(Broken())

    def test_first_argument_converted_first(self):
        class Broken:
            def __init__(self, name):
                self.name = name

            def __float__(self):
                raise ValueError(self.name)

        with pytest.raises(ValueError, match="^a$"):
            time_lt(b=Broken("b"), a=Broken("a"))

    def test_integer_conversion(self):
        class Ticks:
            def __int__(self):
                return 1500

        class Big(int):
            pass

        assert l2d(2.7) == 0.002
        assert l2d(-2.7) == -0.002
        assert l2d(True) == 0.001
        assert l2d(Big(2500)) == 2.5
        assert l2d(Ticks()) == 1.5

    def test_integer_conversion_errors(self):
        class NotInt:
            def __int__(self):
                return 1.5

        class Index:
            def __index__(self):
                return 2

        for bad in (None, "1", Index()):
            with pytest.raises(TypeError, match="^an integer is required$"):
                l2d(bad)
        with pytest.raises(TypeError, match=r"^__int__ returned non-int \(type float\)$"):
            l2d(NotInt())
        for big in (2**63, -(2**63) - 1, 2.0**70):
            with pytest.raises(OverflowError):
                l2d(big)
        assert l2d(2**63 - 1) == (2**63 - 1) / 1000.0

    def test_int_subclass_from_int_is_deprecated(self):
        class Sub(int):
            pass

        class Ticks:
            def __int__(self):
                return Sub(3000)

        message = (
            "__int__ returned non-int (type Sub).  The ability to return an instance of a "
            "strict subclass of int is deprecated, and may be removed in a future version "
            "of Python."
        )
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert l2d(Ticks()) == 3.0
        assert [(w.category, str(w.message)) for w in caught] == [(DeprecationWarning, message)]
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(DeprecationWarning):
                l2d(Ticks())


def count_message(name, given):
    return re.escape(f"{name}() takes exactly 2 positional arguments ({given} given)")


class TestArgumentErrors:
    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((1.0,), {}, count_message("time_le", 1)),
            ((1.0,), {"a": 2.0}, count_message("time_le", 1)),  # missing b comes first
            ((), {"a": 2.0}, count_message("time_le", 1)),
            ((), {"b": 2.0}, count_message("time_le", 0)),
            ((), {}, count_message("time_le", 0)),
            ((1.0, 2.0, 3.0), {}, count_message("time_le", 3)),
            ((1.0, 2.0, 3.0), {"a": 1.0}, count_message("time_le", 3)),
            ((1.0, 2.0), {"c": 3}, re.escape("time_le() got an unexpected keyword argument 'c'")),
            ((), {"a": 1.0, "b": 2.0, "c": 3}, re.escape("time_le() got an unexpected keyword argument 'c'")),
            ((1.0,), {"b": 2.0, "a": 3.0}, re.escape("time_le() got multiple values for keyword argument 'a'")),
            ((1.0, 2.0), {"a": 3.0}, re.escape("time_le() got multiple values for keyword argument 'a'")),
        ],
    )
    def test_comparison_argument_lists(self, args, kwargs, message):
        with pytest.raises(TypeError, match="^" + message):
            time_le(*args, **kwargs)

    @pytest.mark.parametrize("f", COMPARISONS)
    def test_messages_name_the_function(self, f):
        with pytest.raises(TypeError, match=count_message(f.__name__, 1)):
            f(1.0)
        with pytest.raises(TypeError, match=f"^{f.__name__}\\(\\) got an unexpected"):
            f(1.0, 2.0, x=1)

    def test_keyword_that_is_not_a_string(self):
        with pytest.raises(TypeError, match="keywords must be strings"):
            time_eq(1.0, 2.0, **{1: 2})

    @pytest.mark.parametrize("f", [d2l, l2d])
    def test_one_argument_functions(self, f):
        with pytest.raises(TypeError, match=re.escape(f"{f.__name__}() takes exactly one argument (2 given)")):
            f(1.0, 2.0)
        with pytest.raises(TypeError, match=re.escape(f"{f.__name__}() takes no keyword arguments")):
            f(x=1.0)
        with pytest.raises(TypeError):
            f()


def traceback_entries(excinfo):
    return [(entry.name, entry.filename) for entry in traceback.extract_tb(excinfo.value.__traceback__)]


class TestTracebackEntries:
    def test_entry_line_is_the_source_line(self):
        with pytest.raises(TypeError) as excinfo:
            d2l("x")
        tb = excinfo.value.__traceback__
        while tb.tb_next:
            tb = tb.tb_next
        assert tb.tb_frame.f_code.co_name == "tarnu.timeconv.d2l"
        assert tb.tb_lineno == tb.tb_frame.f_lineno
        source = (pathlib.Path(__file__).parents[1] / "tarnu" / "timeconv.cpp").read_text().splitlines()
        assert "guard(r_d2l.qualname" in source[tb.tb_lineno - 1]

    @pytest.mark.parametrize(
        "call, name",
        [
            (lambda: d2l("x"), "tarnu.timeconv.d2l"),
            (lambda: l2d(None), "tarnu.timeconv.l2d"),
            (lambda: time_eq(1.0), "tarnu.timeconv.time_eq"),
            (lambda: time_le(1.0, "x"), "tarnu.timeconv.time_le"),
            (lambda: time_lt(a="x", b=1.0), "tarnu.timeconv.time_lt"),
            (lambda: time_ge(1.0, 2.0, 3.0), "tarnu.timeconv.time_ge"),
            (lambda: time_gt(1.0, 2.0, a=1.0), "tarnu.timeconv.time_gt"),
        ],
    )
    def test_entry_names_the_function(self, call, name):
        with pytest.raises(TypeError) as excinfo:
            call()
        assert traceback_entries(excinfo)[-1] == (name, "tarnu/timeconv.cpp")


class Recorder:
    """A profile function recording (event, name, return value)."""

    def __init__(self, fail_on=None):
        self.events = []
        self.fail_on = fail_on

    def __call__(self, frame, event, arg):
        if event in ("call", "return"):
            name = frame.f_code.co_name
            self.events.append((event, name, arg))
            if event == "call" and name == self.fail_on:
                raise KeyError(name)

    def run(self, f, *args):
        old = sys.getprofile()
        sys.setprofile(self)
        try:
            return f(*args)
        finally:
            sys.setprofile(old)


class TestProfiler:
    def test_event_order_of_a_comparison(self):
        recorder = Recorder()
        assert recorder.run(time_eq, 1.0, 1.0004) is True
        events = [e for e in recorder.events if e[1] != "run"]
        assert events == [
            ("call", "time_eq (wrapper)", None),
            ("call", "time_eq", None),
            ("call", "d2l", None),
            ("return", "d2l", None),
            ("call", "d2l", None),
            ("return", "d2l", None),
            ("return", "time_eq", None),
            ("return", "time_eq (wrapper)", True),
        ]

    def test_conversions_report_wrapper_then_native(self):
        recorder = Recorder()
        assert recorder.run(l2d, 1500) == 1.5
        assert recorder.run(d2l, 0.5) == 500
        names = [(e, n) for e, n, _ in recorder.events if n != "run"]
        assert names == [
            ("call", "l2d (wrapper)"), ("call", "l2d"), ("return", "l2d"), ("return", "l2d (wrapper)"),
            ("call", "d2l (wrapper)"), ("call", "d2l"), ("return", "d2l"), ("return", "d2l (wrapper)"),
        ]
        returns = [a for e, n, a in recorder.events if e == "return" and n.endswith("(wrapper)")]
        assert returns == [1.5, 500]

    def test_frames_name_the_source(self):
        files = set()

        def profile(frame, event, arg):
            if event == "call" and frame.f_code.co_name.startswith("d2l"):
                files.add(frame.f_code.co_filename)

        sys.setprofile(profile)
        try:
            d2l(1.0)
        finally:
            sys.setprofile(None)
        assert files == {"tarnu/timeconv.cpp"}

    def test_frames_nest_and_carry_their_lines(self):
        seen = []

        def profile(frame, event, arg):
            if event == "call" and frame.f_code.co_filename == "tarnu/timeconv.cpp":
                seen.append((frame.f_code.co_name, frame.f_back.f_code.co_name))
                assert frame.f_lineno == frame.f_code.co_firstlineno > 0

        def caller():
            return time_eq(1.0, 1.0004)

        sys.setprofile(profile)
        try:
            caller()
        finally:
            sys.setprofile(None)
        assert seen == [
            ("time_eq (wrapper)", "caller"),
            ("time_eq", "time_eq (wrapper)"),
            ("d2l", "time_eq"),
            ("d2l", "time_eq"),
        ]

    def test_profilers_on_the_monitoring_interface(self):
        """cProfile reports the native events through the profile function up
        to 3.11; from 3.12 it is built on sys.monitoring, which sees only the
        call of the built-in."""
        profiler = cProfile.Profile()
        profiler.enable()
        time_eq(1.0, 2.0)
        profiler.disable()
        names = {name: stat[0] for (_, _, name), stat in pstats.Stats(profiler).stats.items()}
        assert names["<built-in method tarnu.timeconv.time_eq>"] == 1
        native = {n: names.get(n) for n in ("time_eq (wrapper)", "time_eq", "d2l")}
        if sys.version_info >= (3, 12):
            assert native == {"time_eq (wrapper)": None, "time_eq": None, "d2l": None}
        else:
            assert native == {"time_eq (wrapper)": 1, "time_eq": 1, "d2l": 2}

    def test_trace_function_alone_reports_nothing(self):
        seen = []

        def trace(frame, event, arg):
            seen.append(frame.f_code.co_name)

        sys.settrace(trace)
        try:
            time_eq(1.0, 2.0)
        finally:
            sys.settrace(None)
        assert not [n for n in seen if n.startswith(("d2l", "time_"))]

    @pytest.mark.parametrize(
        "f, args, qualname, zero",
        [
            (d2l, (1.0,), "tarnu.timeconv.d2l", 0),
            (l2d, (1500,), "tarnu.timeconv.l2d", 0.0),
            (time_eq, (1.0, 1.0), "tarnu.timeconv.time_eq", False),
            (time_ge, (1.0, 1.0), "tarnu.timeconv.time_ge", False),
        ],
    )
    def test_failing_profiler_in_native_function_is_unraisable(self, f, args, qualname, zero, capsys, unraisable):
        recorder = Recorder(fail_on=f.__name__)
        with unraisable() as reports:
            result = recorder.run(f, *args)
        assert result == zero and type(result) is type(zero)
        assert [(t, str(v), o) for t, v, o in reports] == [(KeyError, repr(f.__name__), qualname)]
        assert type(reports[0][2]) is str
        # The report prints the traceback through the native frame.
        err = capsys.readouterr().err
        assert "Traceback (most recent call last)" in err
        assert f'File "tarnu/timeconv.cpp", line' in err and f"in {f.__name__}\n" in err
        assert "KeyError" in err

    def test_failing_profiler_in_nested_d2l(self, unraisable):
        # Only the inner conversion fails: its 0 ticks are compared.
        recorder = Recorder(fail_on="d2l")
        with unraisable() as reports:
            assert recorder.run(time_eq, 0.0, 0.0004) is True
        assert [o for _, _, o in reports] == ["tarnu.timeconv.d2l"]

    @pytest.mark.parametrize(
        "f, a, b, expected",
        [(time_eq, 1.0, 0.0, True), (time_lt, 1.0, 0.5, True), (time_ge, 0.5, 1.0, False), (time_gt, 2.0, 0.0, False)],
    )
    def test_a_is_converted_before_b(self, f, a, b, expected, unraisable):
        # Only the first conversion fails, so only `a` becomes 0 ticks.
        class FailFirst(Recorder):
            def __call__(self, frame, event, arg):
                super().__call__(frame, event, arg)
                if event == "call" and frame.f_code.co_name == "d2l" and self.fail_on:
                    self.fail_on = None
                    raise KeyError("first")

        with unraisable() as reports:
            assert FailFirst(fail_on="armed").run(f, a, b) is expected
        assert [o for _, _, o in reports] == ["tarnu.timeconv.d2l"]

    @pytest.mark.parametrize("f, args", [(d2l, (1.0,)), (l2d, (1,)), (time_lt, (1.0, 2.0))])
    def test_failing_profiler_in_python_function_raises(self, f, args, unraisable):
        recorder = Recorder(fail_on=f.__name__ + " (wrapper)")
        with unraisable() as reports:
            with pytest.raises(KeyError) as excinfo:
                recorder.run(f, *args)
        assert reports == []
        names = [name for name, _ in traceback_entries(excinfo)]
        assert "tarnu.timeconv." + f.__name__ in names

    def test_failing_profiler_on_return(self, unraisable):
        class FailOnReturn(Recorder):
            def __call__(self, frame, event, arg):
                if event == "return" and frame.f_code.co_name == self.fail_on:
                    raise KeyError(self.fail_on)

        # Native function: reported, the result stands.
        with unraisable() as reports:
            assert FailOnReturn("d2l").run(d2l, 1.0) == 1000
        assert [(t, o) for t, _, o in reports] == [(KeyError, "tarnu.timeconv.d2l")]
        # Python function: raises.
        with unraisable() as reports:
            with pytest.raises(KeyError) as excinfo:
                FailOnReturn("time_gt (wrapper)").run(time_gt, 2.0, 1.0)
        assert reports == []
        assert "tarnu.timeconv.time_gt" in [name for name, _ in traceback_entries(excinfo)]

    def test_arguments_are_converted_before_reporting(self):
        recorder = Recorder()
        with pytest.raises(TypeError):
            recorder.run(time_eq, "x", 1.0)
        assert [n for _, n, _ in recorder.events if n != "run"] == []


def test_module_namespace():
    public = {name for name in vars(timeconv) if not name.startswith("__")}
    assert public == {"d2l", "l2d", "time_eq", "time_le", "time_lt", "time_ge", "time_gt"}
    assert timeconv.__test__ == {}
    assert timeconv.__doc__ is None
    assert all(getattr(timeconv, name).__doc__ is None for name in public)
    assert not hasattr(timeconv, "_TIME_SCALE")


def native(name, restype, *argtypes):
    capsule = ctypes.py_object(timeconv.__pyx_capi__[name])
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    address = get_pointer(capsule, get_name(capsule))
    # Called with the global lock held, as the other modules call them.
    return ctypes.PYFUNCTYPE(restype, *argtypes, ctypes.c_int)(address)


def test_native_functions_through_capsules():
    native_d2l = native("d2l", ctypes.c_int64, ctypes.c_double)
    native_l2d = native("l2d", ctypes.c_double, ctypes.c_int64)
    native_eq = native("time_eq", ctypes.c_int, ctypes.c_double, ctypes.c_double)
    native_gt = native("time_gt", ctypes.c_int, ctypes.c_double, ctypes.c_double)
    # The scale is 1000 once the import has completed.
    assert native_d2l(1.0005, 0) == 1001
    assert native_d2l(math.nan, 0) == INT64_MIN
    assert native_l2d(1500, 0) == 1.5
    assert native_eq(1.0, 1.0004, 0) == 1
    assert native_gt(1.0005, 1.0, 0) == 1
    assert native_gt(1.0004, 1.0, 0) == 0


def test_native_interface_capsules():
    capi = timeconv.__pyx_capi__
    assert list(capi) == ["d2l", "l2d", "time_eq", "time_le", "time_lt", "time_ge", "time_gt"]
    names = {key: re.match(r'<capsule object "(.*)" at', repr(c)).group(1) for key, c in capi.items()}
    compare = "int (double, double, int __pyx_skip_dispatch)"
    assert names == {
        "d2l": "int64_t (double, int __pyx_skip_dispatch)",
        "l2d": "double (int64_t, int __pyx_skip_dispatch)",
        "time_eq": compare,
        "time_le": compare,
        "time_lt": compare,
        "time_ge": compare,
        "time_gt": compare,
    }


def test_no_reference_leaks():
    ticks = 10**12  # not a cached small int
    seconds = 12345.678

    class Ticks:
        def __int__(self):
            return ticks

    holder = Ticks()
    before = sys.getrefcount(ticks), sys.getrefcount(seconds), sys.getrefcount(holder)
    recorder = Recorder()
    for _ in range(1000):
        l2d(holder)
        d2l(seconds)
        time_le(a=seconds, b=seconds)
        recorder.run(l2d, ticks)
        recorder.events.clear()
        with pytest.raises(TypeError):
            time_eq(seconds, b=seconds, a=seconds)
    after = sys.getrefcount(ticks), sys.getrefcount(seconds), sys.getrefcount(holder)
    assert after == before
