# Developer entry points: make demo, make test, make asan, make bench.
PYTHON ?= $(shell PYENV_VERSION=3.9 pyenv which python3.9 2>/dev/null || command -v python3.9)
VENV ?= .venv
ASAN_VENV ?= .venv-asan
PYTEST_ARGS ?=

SOURCES := $(shell find tarnu -name '*.cpp' -o -name '*.hpp' -o -name '*.py') CMakeLists.txt pyproject.toml

.PHONY: all venv install test demo asan bench clean

all: test

$(VENV)/.ready:
	@test -n "$(PYTHON)" || { echo "python3.9 not found: pass PYTHON=/path/to/python3.9"; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install -q --upgrade pip
	$(VENV)/bin/python -m pip install -q scikit-build-core cmake ninja pytest hypothesis
	touch $@

# The persistent build directory keeps rebuilds incremental.
$(VENV)/.installed: $(VENV)/.ready $(SOURCES)
	$(VENV)/bin/python -m pip install -q --no-build-isolation '.[test]'
	touch $@

install: $(VENV)/.installed

test: install
	$(VENV)/bin/pytest -q -p no:cacheprovider --import-mode=importlib $(PYTEST_ARGS) tests

demo: install
	$(VENV)/bin/python examples/queue_demo.py

bench: install
	$(VENV)/bin/python -m pip install -q '.[bench]' --no-build-isolation
	$(VENV)/bin/python benchmarks/run.py

# The tests against an AddressSanitizer + UndefinedBehaviorSanitizer build.
ASAN_LIBS := $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
$(ASAN_VENV)/.ready:
	@test -n "$(PYTHON)" || { echo "python3.9 not found: pass PYTHON=/path/to/python3.9"; exit 1; }
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install -q --upgrade pip
	$(ASAN_VENV)/bin/python -m pip install -q scikit-build-core cmake ninja pytest hypothesis
	touch $@

$(ASAN_VENV)/.installed: $(ASAN_VENV)/.ready $(SOURCES)
	$(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation \
		-Ccmake.define.TARNU_SANITIZE=ON -Ccmake.build-type=Debug \
		-Cbuild-dir=build/asan '.[test]'
	touch $@

asan: $(ASAN_VENV)/.installed
	LD_PRELOAD="$(ASAN_LIBS)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	$(ASAN_VENV)/bin/pytest -q -p no:cacheprovider --import-mode=importlib $(PYTEST_ARGS) tests

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
