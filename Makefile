# Developer entry points: make demo, make test, make docs, make asan,
# make bench, make fuzz, make valgrind.
# Another interpreter: make test PYTHON=/path/to/python3.9
PYTHON ?= $(shell PYENV_VERSION=3.9 pyenv which python3.9 2>/dev/null || command -v python3.9)
VENV ?= .venv
ASAN_VENV ?= .venv-asan
PYTEST_ARGS ?=

SOURCES := $(shell find tarnu -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name py.typed) CMakeLists.txt pyproject.toml
# Results must not depend on leftovers: no cache directory, no bytecode in
# the tree, and the installed package rather than the sources on sys.path.
PYTEST = PYTHONDONTWRITEBYTECODE=1 $(1)/bin/pytest -q -p no:cacheprovider --import-mode=importlib $(PYTEST_ARGS) tests
TOOLS = scikit-build-core cmake ninja pytest hypothesis

.PHONY: all install test demo docs asan bench fuzz valgrind clean FORCE

all: test

# Remembers which interpreter the virtual environments were made with, so
# that a different PYTHON makes them again.
build/python.stamp: FORCE
	@test -n "$(PYTHON)" || { echo "python3.9 not found: pass PYTHON=/path/to/python3.9"; exit 1; }
	@$(PYTHON) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 9))' || \
		{ echo "$(PYTHON) is not Python 3.9"; exit 1; }
	@mkdir -p build
	@echo '$(PYTHON)' | cmp -s - $@ || echo '$(PYTHON)' > $@

%/.ready: build/python.stamp
	$(PYTHON) -m venv --clear $*
	$*/bin/python -m pip install -q --upgrade pip
	$*/bin/python -m pip install -q $(TOOLS)
	touch $@

# The persistent build directory keeps rebuilds incremental.
$(VENV)/.installed: $(VENV)/.ready $(SOURCES)
	$(VENV)/bin/python -m pip install -q --no-build-isolation '.[test]'
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

bench: install
	$(VENV)/bin/python -m pip install -q 'simpy>=4'
	$(VENV)/bin/python benchmarks/run.py

# The tests against an AddressSanitizer + UndefinedBehaviorSanitizer build.
ASAN_LIBS := $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)

$(ASAN_VENV)/.installed: $(ASAN_VENV)/.ready $(SOURCES)
	$(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation \
		-Ccmake.define.TARNU_SANITIZE=ON -Ccmake.build-type=Debug \
		-Cbuild-dir=build/asan '.[test]'
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
# build/valgrind-logs; tools/valgrind_check.py judges them.
VALGRIND_VENV ?= .venv-valgrind
VALGRIND_ARGS ?=
VALGRIND_TESTS ?= tests
VALGRIND_LOGS := $(abspath build/valgrind-logs)

$(VALGRIND_VENV)/.installed: $(VALGRIND_VENV)/.ready $(SOURCES)
	$(VALGRIND_VENV)/bin/python -m pip install -q --no-build-isolation \
		-Ccmake.build-type=Debug '-Ccmake.define.CMAKE_CXX_FLAGS_DEBUG=-O1 -g' \
		-Cbuild-dir=build/valgrind '.[test]'
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
	rm -rf build $(VENV) $(ASAN_VENV) $(VALGRIND_VENV)
