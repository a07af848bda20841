# Thin front for CMake. Every target provisions the interpreter itself, so a
# fresh clone needs nothing but `make test` or `make demo`.
#
# Each step prints one line and its output only when it fails (then whole);
# `make VERBOSE=1 ...` prints everything, the compiler's command lines included.
SHELL := /bin/bash
JOBS ?= 2
PYTHON_PATH_CMD := scripts/provision-python
STEP := scripts/step
# `make test PYTHON=/path/to/python3.14` uses that interpreter instead.
export PYTHON
export VERBOSE
# `make build|test|demo|wheel PYVER=3.15`: that CPython, in a build folder of
# its own; the default 3.14 keeps build/.
PYVER ?= 3.14
export PYVER
BUILD_DIR := $(if $(filter 3.14,$(PYVER)),build,build-py$(PYVER))

# Sets $py. Only `build` shows it as a step: after it the root is complete and
# a second run only checks its stamps, silently.
PROVISION_STEP = py=$$($(STEP) --keep-stdout "provisioning CPython $(PYVER) ($${PYTHON:-.toolchain/})" $(PYTHON_PATH_CMD))
PROVISIONED = py=$$($(PYTHON_PATH_CMD))

.PHONY: all build test demo clean

all: build

build:
	@$(PROVISION_STEP) && \
	$(STEP) "configuring $(BUILD_DIR)/" \
	  cmake -S . -B $(BUILD_DIR) -DPython_EXECUTABLE="$$py" -DCMAKE_BUILD_TYPE=RelWithDebInfo && \
	$(STEP) "building $(BUILD_DIR)/" cmake --build $(BUILD_DIR) -j$(JOBS)

# pytest's own report follows the steps, its closing line last.
test: build
	@$(MAKE) --no-print-directory provision-packaging
	@$(PROVISIONED) && echo "-- running the test suite" >&2 && \
	ZORVALIND_BUILD_DIR=$(CURDIR)/$(BUILD_DIR) "$$py" -m pytest tests -q -p no:cacheprovider

demo: build
	@$(PROVISIONED) && echo "-- running examples/demo.py" >&2 && \
	PYTHONPATH=$(CURDIR)/$(BUILD_DIR) "$$py" examples/demo.py

clean:
	rm -rf build build-py3.* build-debug build-asan build-lint build-fuzz build-wheel dist

# Further targets (bench, lint, wheel, sdist, test-debug, test-asan, fuzz) live in mk/.
-include $(wildcard mk/*.mk)
