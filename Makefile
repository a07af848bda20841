# Thin front for CMake. Every target provisions the interpreter itself, so a
# fresh clone needs nothing but `make test` or `make demo`.
#
# Each step prints one line and its output only when it fails (then whole);
# `make VERBOSE=1 ...` prints everything, the compiler's command lines included.
SHELL := /bin/bash
JOBS ?= 2
PYTHON_PATH_CMD := scripts/provision-python
STEP := scripts/step
# `make test PYTHON=/path/to/python3.14` uses that interpreter instead;
# `make test PYTEST_ARGS=...` passes arguments on to pytest.
export PYTHON
export VERBOSE
# `make build|test|demo|wheel PYVER=3.15`: that CPython, in a build folder of
# its own; the default 3.14 keeps build/.
PYVER ?= 3.14
export PYVER
# `make build|test|demo|wheel ARCH=arm64` (a Debian architecture): a cross
# build in build-<arch>/, tested with that architecture's CPython under
# qemu-user (mk/arch.mk).
ARCH ?=
export ARCH
CROSS := $(filter-out amd64,$(ARCH))
BUILD_DIR := $(if $(CROSS),build-$(CROSS),$(if $(filter 3.14,$(PYVER)),build,build-py$(PYVER)))
CROSS_CMAKE_ARGS := $(if $(CROSS),-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchains/$(CROSS).cmake)

# Sets $py. Only `build` shows it as a step: after it the root is complete and
# a second run only checks its stamps, silently.
PROVISION_STEP = py=$$($(STEP) --keep-stdout "provisioning CPython $(PYVER)$(if $(CROSS), for $(CROSS)) ($${PYTHON:-.toolchain/})" $(PYTHON_PATH_CMD))
PROVISIONED = py=$$($(PYTHON_PATH_CMD))

.PHONY: all build test demo clean

all: build

build:
	@$(PROVISION_STEP) && \
	$(STEP) "configuring $(BUILD_DIR)/" \
	  cmake -S . -B $(BUILD_DIR) -DPython_EXECUTABLE="$$py" -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CROSS_CMAKE_ARGS) && \
	$(STEP) "building $(BUILD_DIR)/" cmake --build $(BUILD_DIR) -j$(JOBS)

# pytest's own report follows the steps, its closing line last.
test: build
	@$(MAKE) --no-print-directory provision-packaging
	@$(PROVISIONED) && echo "-- running the test suite" >&2 && \
	$(CROSS_ENV) ZORVALIND_BUILD_DIR=$(CURDIR)/$(BUILD_DIR) "$$py" -m pytest tests -q -p no:cacheprovider $(PYTEST_ARGS)

demo: build
	@$(PROVISIONED) && echo "-- running examples/demo.py" >&2 && \
	PYTHONPATH=$(CURDIR)/$(BUILD_DIR) "$$py" examples/demo.py

clean:
	rm -rf build build-py3.* $(addprefix build-,$(ARCHES)) build-debug build-asan build-tsan build-lint build-fuzz build-wheel build-wheel-* dist

# Further targets (bench, lint, wheel, sdist, test-debug, test-asan, fuzz) live in mk/.
-include $(wildcard mk/*.mk)
