"""Module start-up as seen from Python, each case in a fresh interpreter."""
import pytest


def check(run_py, code):
    result = run_py(code)
    assert result.returncode == 0, result.stderr
    return result


def test_package_import_loads_no_extension_module(run_py):
    check(
        run_py,
        """
        import sys
        import tarnu
        assert [m for m in sys.modules if m.startswith("tarnu")] == ["tarnu"]
        assert tarnu.d2l(0.5) == 500
        assert "tarnu.timeconv" in sys.modules
        assert "tarnu.sim" not in sys.modules and "tarnu.process" not in sys.modules
        """,
    )


def test_module_attributes(run_py):
    check(
        run_py,
        """
        import builtins, os, sys
        import tarnu.timeconv as m
        assert m.__name__ == "tarnu.timeconv" and m.__package__ == "tarnu"
        assert m.__spec__.name == "tarnu.timeconv"
        assert m.__loader__ is m.__spec__.loader
        assert m.__file__ == m.__spec__.origin and os.path.basename(m.__file__).startswith("timeconv.")
        assert not hasattr(m, "__path__")
        assert m.__builtins__ is builtins
        assert type(m.__test__) is dict and m.__test__ == {}
        assert sys.modules["tarnu.timeconv"] is m
        """,
    )


def test_reimport_returns_the_same_module(run_py):
    check(
        run_py,
        """
        import gc, importlib, sys, weakref
        import tarnu, tarnu.timeconv
        first = tarnu.timeconv
        capi = first.__pyx_capi__
        del sys.modules["tarnu.timeconv"]
        assert importlib.import_module("tarnu.timeconv") is first
        assert importlib.reload(first) is first and first.__pyx_capi__ is capi

        # Even with every reference dropped, the module stays alive and is
        # handed out again.
        ref = weakref.ref(first)
        del sys.modules["tarnu.timeconv"], tarnu.timeconv, first, capi
        gc.collect()
        assert ref() is not None
        import tarnu.timeconv
        assert tarnu.timeconv is ref()
        assert tarnu.timeconv.time_eq(1.0, 1.0004)
        """,
    )


def test_executing_the_definition_on_another_module(run_py):
    result = check(
        run_py,
        """
        import ctypes, types
        import tarnu.timeconv as m

        api = ctypes.pythonapi
        api.PyModule_GetDef.restype, api.PyModule_GetDef.argtypes = ctypes.c_void_p, [ctypes.py_object]
        api.PyModule_ExecDef.restype = ctypes.c_int
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        definition = api.PyModule_GetDef(m)
        other = types.ModuleType("other")
        try:
            api.PyModule_ExecDef(other, definition)
        except RuntimeError as e:
            print(e)
        assert not hasattr(other, "d2l") and not hasattr(other, "__pyx_capi__")
        # With its own module object the execute step is a no-op.
        assert api.PyModule_ExecDef(m, definition) == 0
        assert list(m.__pyx_capi__) == ["d2l", "l2d", "time_eq", "time_le", "time_lt", "time_ge", "time_gt"]
        """,
    )
    assert result.stdout == (
        "Module 'timeconv' has already been imported. Re-initialisation is not supported.\n"
    )


def test_execute_step_reports_one_profiler_call(run_py):
    result = check(
        run_py,
        """
        import sys
        events = []

        def profile(frame, event, arg):
            if frame.f_code.co_filename == "tarnu/timeconv.cpp":
                events.append((event, frame.f_code.co_name, arg))

        sys.setprofile(profile)
        import tarnu.timeconv
        sys.setprofile(None)
        print(events)
        """,
    )
    assert result.stdout == "[('call', '<module>', None), ('return', '<module>', None)]\n"


def test_failed_execute_step_is_unwound(run_py):
    result = check(
        run_py,
        """
        import sys, traceback

        def profile(frame, event, arg):
            if frame.f_code.co_filename == "tarnu/timeconv.cpp":
                raise LookupError("refused")

        sys.setprofile(profile)
        try:
            import tarnu.timeconv
        except LookupError as e:
            entries = traceback.extract_tb(e.__traceback__)
            print([(t.name, t.filename) for t in entries if t.name.startswith("init")])
        assert "tarnu.timeconv" not in sys.modules
        # The profile function is gone after its failure; the next import
        # starts again from the beginning and succeeds.
        import tarnu.timeconv as m
        assert m.d2l(1.0005) == 1001
        assert sys.modules["tarnu.timeconv"] is m and m.__test__ == {}
        """,
    )
    assert result.stdout == "[('init tarnu.timeconv', 'tarnu/timeconv.cpp')]\n"


def test_one_interpreter_per_process(run_py):
    result = check(
        run_py,
        """
        import _testcapi
        import tarnu.timeconv
        assert _testcapi.run_in_subinterp("import tarnu.timeconv") == -1
        """,
    )
    assert result.stderr.rstrip().endswith(
        "ImportError: Interpreter change detected - this module can only be loaded into one "
        "interpreter per process."
    )


def test_unraisable_report(run_py):
    # The default hook prints as well: the traceback appears twice.
    result = check(
        run_py,
        """
        import sys
        import tarnu.timeconv as m
        seen = []
        default_hook = sys.unraisablehook

        def hook(info):
            seen.append((info.exc_type.__name__, type(info.object).__name__, info.object))
            default_hook(info)

        def profile(frame, event, arg):
            if event == "call" and frame.f_code.co_name == "l2d":
                raise OSError("profiler broke")

        sys.unraisablehook = hook
        sys.setprofile(profile)
        value = m.l2d(1500)
        sys.setprofile(None)
        print(value, seen)
        """,
    )
    assert result.stdout == "0.0 [('OSError', 'str', 'tarnu.timeconv.l2d')]\n"
    err = result.stderr
    assert err.count("Traceback (most recent call last):") == 2
    assert 'File "tarnu/timeconv.cpp"' in err and ", in l2d\n" in err
    assert "Exception ignored in: 'tarnu.timeconv.l2d'" in err
    assert err.count("OSError: profiler broke") == 2


@pytest.mark.parametrize("hook_fails", [False, True])
def test_unraisable_report_survives_a_failing_hook(run_py, hook_fails):
    check(
        run_py,
        f"""
        import sys
        import tarnu.timeconv as m

        def hook(info):
            if {hook_fails}:
                raise RuntimeError("hook")

        def profile(frame, event, arg):
            if event == "call" and frame.f_code.co_name == "d2l":
                raise SystemExit(3)  # reported, never ends the process

        sys.unraisablehook = hook
        sys.setprofile(profile)
        assert m.d2l(2.0) == 0
        sys.setprofile(None)
        assert m.d2l(2.0) == 2000
        """,
    )
