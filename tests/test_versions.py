"""What differs between the supported interpreters, CPython 3.9 to 3.13: the
build refuses any other, the modules warn when loaded into an interpreter
other than the one they were built for, and declare that they need the GIL
where an interpreter lets them."""
import ctypes
import importlib
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import tarnu

ROOT = pathlib.Path(__file__).resolve().parents[1]
SUPPORTED = "3.9, 3.10, 3.11, 3.12, 3.13"


def extension_modules():
    """Every extension module of the installed package, by full name."""
    here = pathlib.Path(tarnu.__file__).parent
    return sorted({"tarnu." + p.name.split(".")[0] for p in here.glob("*.so")})


def unsupported_python():
    """An interpreter outside 3.9 to 3.13 on this machine, or None."""
    for version in ("3.8", "3.14", "3.7"):
        if shutil.which("pyenv"):
            found = subprocess.run(["pyenv", "which", f"python{version}"], capture_output=True, text=True,
                                   env={**os.environ, "PYENV_VERSION": version})
            if found.returncode == 0:
                return found.stdout.strip()
        if shutil.which(f"python{version}"):
            return shutil.which(f"python{version}")
    return None


def test_the_build_refuses_another_python_before_compiling(tmp_path):
    python = unsupported_python()
    cmake = shutil.which("cmake", path=str(pathlib.Path(sys.executable).parent)) or shutil.which("cmake")
    if not python or not cmake:
        pytest.skip("needs cmake and an interpreter outside 3.9 to 3.13")
    result = subprocess.run([cmake, "-S", str(ROOT), "-B", str(tmp_path), f"-DPython_EXECUTABLE={python}"],
                            capture_output=True, text=True)
    assert result.returncode != 0
    message = " ".join(result.stderr.split())
    assert f"tarnu supports CPython {SUPPORTED}; this build is for Python" in message
    assert not list(tmp_path.rglob("*.o"))


def test_supported_versions_agree():
    pyproject = (ROOT / "pyproject.toml").read_text()
    assert 'requires-python = ">=3.9,<3.14"' in pyproject
    cmake = (ROOT / "CMakeLists.txt").read_text()
    assert "set(TARNU_PYTHON_VERSIONS " + SUPPORTED.replace(",", "") + ")" in cmake
    assert (3, 9) <= sys.version_info[:2] <= (3, 13)


# A library that takes the place of the interpreter's Py_GetVersion, so that
# the modules see another running version.
FAKE_VERSION = r"""
#include <stdlib.h>
const char *Py_GetVersion(void) { return getenv("TARNU_FAKE_VERSION"); }
"""


@pytest.fixture(scope="module")
def fake_version_library(tmp_path_factory):
    cc = shutil.which("cc") or shutil.which("gcc")
    if not cc:
        pytest.skip("needs a C compiler")
    where = tmp_path_factory.mktemp("fake_version")
    (where / "fake.c").write_text(FAKE_VERSION)
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(where / "fake.so"), str(where / "fake.c")], check=True)
    return str(where / "fake.so")


def import_with_version(run_py, library, version, warnings_as_errors=False):
    code = f"""
        import ctypes, sys, warnings
        get = ctypes.pythonapi.Py_GetVersion
        get.restype = ctypes.c_char_p
        if get() != {version!r}.encode():
            print("not interposed")
            sys.exit(0)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter({'"error"' if warnings_as_errors else '"always"'}, RuntimeWarning)
            try:
                import tarnu.timeconv, tarnu.minqueue
            except RuntimeWarning as e:
                print("failed:", e)
        print([str(w.message) for w in caught if w.category is RuntimeWarning])
    """
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), library]))
    result = run_py(code, env={"LD_PRELOAD": preload, "TARNU_FAKE_VERSION": version})
    assert result.returncode == 0, result.stderr
    if result.stdout == "not interposed\n":
        pytest.skip("the interpreter's own Py_GetVersion cannot be replaced (a static build)")
    return result.stdout


def test_version_check_warns_exactly_on_another_version(run_py, fake_version_library):
    major, minor = sys.version_info[:2]
    built = f"{major}.{minor}"

    def message(module, running):
        return f"compiletime version {built} of module '{module}' does not match runtime version {running}"

    # Another patch level is the same interpreter.
    assert import_with_version(run_py, fake_version_library, f"{built}.99 (fake)") == "[]\n"
    # Any other major or minor version warns once per module, naming it in
    # full, including those that share the first and third characters.
    for running in (f"{major}.{minor + 1}", f"{major}.{minor}0", f"{major + 1}.{minor}"):
        out = import_with_version(run_py, fake_version_library, f"{running}.0 (fake)")
        assert out == repr([message("tarnu.timeconv", running), message("tarnu.minqueue", running)]) + "\n"
    # With the warning an error, the import fails.
    out = import_with_version(run_py, fake_version_library, f"{major}.{minor + 1}.0 (fake)", warnings_as_errors=True)
    assert out.startswith("failed: " + message("tarnu.timeconv", f"{major}.{minor + 1}") + "\n")


def module_slots(module):
    """The (slot, value) pairs of a module's definition."""

    class Slot(ctypes.Structure):
        _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]

    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.restype, get_def.argtypes = ctypes.c_void_p, [ctypes.py_object]
    definition = get_def(module)
    # m_base (the object header, m_init, m_index, m_copy), then m_name,
    # m_doc, m_size, m_methods and m_slots.
    pointer = ctypes.sizeof(ctypes.c_void_p)
    offset = object.__basicsize__ + 3 * pointer + 4 * pointer
    slots = ctypes.cast(ctypes.c_void_p.from_address(definition + offset).value, ctypes.POINTER(Slot))
    pairs = []
    while slots[len(pairs)].slot:
        pairs.append((slots[len(pairs)].slot, slots[len(pairs)].value))
    return pairs


@pytest.mark.parametrize("name", extension_modules())
def test_modules_declare_they_need_the_gil(name):
    module = importlib.import_module(name)
    pairs = module_slots(module)
    create, execute, gil = 1, 2, 4
    assert [slot for slot, _ in pairs[:2]] == [create, execute]
    if sys.version_info >= (3, 13):
        assert pairs[2:] == [(gil, None)]  # Py_MOD_GIL_USED
        assert sys._is_gil_enabled()
    else:
        assert pairs[2:] == []
