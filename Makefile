# Developer entry points: make demo, make test, make docs, make asan,
# make bench, make bench-counts, make fuzz, make valgrind, make matrix.
#
# Every target runs on one interpreter, CPython 3.9 unless PYTHON names
# another of the supported versions:
#     make test PYTHON=$(PYENV_VERSION=3.12 pyenv which python3.12)
# Each interpreter has its own virtual environments (.venv-3.12,
# .venv-asan-3.12, ...) and build trees (build/3.12/...), so switching
# between interpreters never rebuilds another one's tree. A new target only
# needs $(VENV) (and `install` as a prerequisite) to work on every version.
SUPPORTED := 3.9 3.10 3.11 3.12 3.13
python_for = $(shell PYENV_VERSION=$(1) pyenv which python$(1) 2>/dev/null || command -v python$(1))
PYTHON ?= $(call python_for,3.9)
# "3.12", or "3.13t" for a free-threaded build: names the trees of this interpreter.
PYVER := $(if $(PYTHON),$(shell $(PYTHON) -c 'import sys; print("%d.%d%s" % (*sys.version_info[:2], sys.abiflags))' 2>/dev/null))
BUILD := build/$(PYVER)
VENV ?= .venv-$(PYVER)
ASAN_VENV ?= .venv-asan-$(PYVER)
VALGRIND_VENV ?= .venv-valgrind-$(PYVER)
PYTEST_ARGS ?=

SOURCES := $(shell find tarnu -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name py.typed) CMakeLists.txt pyproject.toml
# Results must not depend on leftovers: no cache directory, no bytecode in
# the tree, and the installed package rather than the sources on sys.path.
PYTEST = PYTHONDONTWRITEBYTECODE=1 $(1)/bin/pytest -q -p no:cacheprovider --import-mode=importlib $(PYTEST_ARGS) tests
TOOLS = scikit-build-core cmake ninja pytest hypothesis
# Installs the package into the venv $(1) from the build tree $(2), with
# further scikit-build-core settings $(3).
PIP_INSTALL = $(1)/bin/python -m pip install -q --no-build-isolation -Cbuild-dir=$(2) $(3) '.[test]'

.PHONY: all install test demo docs asan bench bench-counts fuzz valgrind matrix clean FORCE

all: test

# Remembers which interpreter this version's virtual environments were made
# with, so that another installation of the same version makes them again.
$(BUILD)/python.stamp: FORCE
	@test -n "$(PYTHON)" || { echo "python3.9 not found: pass PYTHON=/path/to/python3.X ($(SUPPORTED))"; exit 1; }
	@test -n "$(PYVER)" || { echo "$(PYTHON) does not run"; exit 1; }
	@case " $(SUPPORTED) " in *" $(patsubst %t,%,$(PYVER)) "*) ;; \
		*) echo "$(PYTHON) is Python $(PYVER); tarnu supports CPython $(SUPPORTED)"; exit 1;; esac
	@mkdir -p $(BUILD)
	@echo '$(PYTHON)' | cmp -s - $@ || echo '$(PYTHON)' > $@

%/.ready: $(BUILD)/python.stamp
	$(PYTHON) -m venv --clear $*
	$*/bin/python -m pip install -q --upgrade pip
	$*/bin/python -m pip install -q $(TOOLS)
	touch $@

# The persistent build directory keeps rebuilds incremental.
$(VENV)/.installed: $(VENV)/.ready $(SOURCES)
	$(call PIP_INSTALL,$(VENV),$(BUILD)/release)
	touch $@

install: $(VENV)/.installed

test: install
	$(call PYTEST,$(VENV))

demo: install
	cd examples && $(abspath $(VENV))/bin/python queue_demo.py

# The documentation site in build/docs/html, built against the installed
# package; any Sphinx warning is an error. The code in the pages is checked
# by the test suite (tests/test_docs.py).
DOCS_TOOLS = 'sphinx>=7'

$(VENV)/.docs-ready: $(VENV)/.ready
	$(VENV)/bin/python -m pip install -q $(DOCS_TOOLS)
	touch $@

docs: install $(VENV)/.docs-ready
	rm -rf build/docs
	$(VENV)/bin/sphinx-build -W --keep-going -q -b html -d build/docs/doctrees docs build/docs/html

# The steady-state table against the floor, the shuffled floor and SimPy,
# then memory and set-up; bench-counts: valgrind instruction counts per
# event. FLOOR=dir names the floor's directory (the module built for this
# interpreter, or floor.c to build into a temporary directory); by default
# $TARNU_FLOOR_DIR or the shared bench directory beside the repository, and
# without one the floor is left out. BENCH_ARGS adds options (--sizes,
# --repeats, --models; see each script's --help).
FLOOR ?=
BENCH_ARGS ?=
BENCH_FLOOR = $(if $(FLOOR),--floor $(abspath $(FLOOR)))

bench: install
	$(VENV)/bin/python -m pip install -q 'simpy>=4'
	$(VENV)/bin/python benchmarks/run.py $(BENCH_FLOOR) $(BENCH_ARGS)

bench-counts: install
	$(VENV)/bin/python benchmarks/counts.py $(BENCH_FLOOR) $(BENCH_ARGS)

# The whole suite on every supported version, one after the other, each in
# its own venv and build tree; one summary line per version, and a failure
# of one version does not stop the others. MATRIX picks versions,
# MATRIX_TARGET another target to run on each (default test).
MATRIX ?= $(SUPPORTED)
MATRIX_TARGET ?= test
matrix:
	@MAKE="$(MAKE)" MATRIX_TARGET="$(MATRIX_TARGET)" tools/matrix $(foreach v,$(MATRIX),$(v)=$(call python_for,$(v)))

# The tests against an AddressSanitizer + UndefinedBehaviorSanitizer build.
ASAN_LIBS := $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)

$(ASAN_VENV)/.installed: $(ASAN_VENV)/.ready $(SOURCES)
	$(call PIP_INSTALL,$(ASAN_VENV),$(BUILD)/asan,-Ccmake.define.TARNU_SANITIZE=ON -Ccmake.build-type=Debug)
	touch $@

asan: $(ASAN_VENV)/.installed
	LD_PRELOAD="$(ASAN_LIBS)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	$(call PYTEST,$(ASAN_VENV))

# Many fuzzer sequences, the heap model with more examples and the long
# leak soak. FUZZ_SEEDS, FUZZ_FIRST and FUZZ_STEPS size the fuzzer run;
# FUZZ_ASAN=1 runs the fuzzer on the sanitizer build.
FUZZ_SEEDS ?= 20000
FUZZ_FIRST ?= 0
FUZZ_STEPS ?= 200
FUZZ_ASAN ?=
FUZZ_ENV = $(if $(FUZZ_ASAN),LD_PRELOAD="$(ASAN_LIBS)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)

fuzz: install $(if $(FUZZ_ASAN),$(ASAN_VENV)/.installed)
	cd tests/fuzz && $(FUZZ_ENV) $(abspath $(if $(FUZZ_ASAN),$(ASAN_VENV),$(VENV)))/bin/python run.py \
		--first $(FUZZ_FIRST) --seeds $(FUZZ_SEEDS) --steps $(FUZZ_STEPS)
	HYPOTHESIS_PROFILE=fuzz SOAK=1 PYTHONDONTWRITEBYTECODE=1 $(VENV)/bin/pytest -q -p no:cacheprovider \
		--import-mode=importlib tests/test_heap_model.py tests/test_soak.py

# The tests under valgrind memcheck, on a -O1 -g build with the interpreter's
# allocator off. Slow: VALGRIND_TESTS (default tests) and PYTEST_ARGS
# pick tests, for example VALGRIND_TESTS=tests/test_heap.py; the
# fresh-interpreter tests run under valgrind too. One log per process in
# $(BUILD)/valgrind-logs; tools/valgrind_check.py judges them.
VALGRIND_ARGS ?=
VALGRIND_TESTS ?= tests
VALGRIND_LOGS := $(abspath $(BUILD)/valgrind-logs)

$(VALGRIND_VENV)/.installed: $(VALGRIND_VENV)/.ready $(SOURCES)
	$(call PIP_INSTALL,$(VALGRIND_VENV),$(BUILD)/valgrind,-Ccmake.build-type=Debug '-Ccmake.define.CMAKE_CXX_FLAGS_DEBUG=-O1 -g')
	touch $@

valgrind: $(VALGRIND_VENV)/.installed
	rm -rf $(VALGRIND_LOGS) && mkdir -p $(VALGRIND_LOGS)
	PYTHONMALLOC=malloc PYTHONDONTWRITEBYTECODE=1 valgrind -q --tool=memcheck \
		--trace-children=yes --num-callers=40 --leak-check=full --show-leak-kinds=definite \
		--suppressions=$(abspath tools/valgrind.supp) --log-file=$(VALGRIND_LOGS)/%p.log $(VALGRIND_ARGS) \
		$(VALGRIND_VENV)/bin/pytest -q -p no:cacheprovider --import-mode=importlib \
		$(PYTEST_ARGS) $(VALGRIND_TESTS)
	$(VALGRIND_VENV)/bin/python tools/valgrind_check.py $(VALGRIND_LOGS)/*.log

clean:
	rm -rf build .venv-* .venv .venv-asan .venv-valgrind
