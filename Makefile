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
# `make build|test|demo PYVER=3.15`: the suite under that CPython. The shipped
# module is the stable ABI's, built once by CPython 3.14 (build/); another
# version gets only its own test-only module, in a build folder of its own
# (build-py3.15/), and runs the 3.14 build's module, checked byte for byte.
PYVER ?= 3.14
export PYVER
# `make build|test|demo|wheel ARCH=arm64` (a Debian architecture): a cross
# build in build-<arch>/, tested with that architecture's CPython under
# qemu-user (mk/arch.mk).
ARCH ?=
export ARCH
CROSS := $(filter-out amd64,$(ARCH))
# The build of CPython 3.14, whose module ships; another version's build folder
# holds its test-only module only.
SHIPPED_BUILD_DIR := $(if $(CROSS),build-$(CROSS),build)
OTHER_PYVER := $(filter-out 3.14,$(PYVER))
BUILD_DIR := $(SHIPPED_BUILD_DIR)$(if $(OTHER_PYVER),-py$(PYVER))
BUILD_TARGETS := $(if $(OTHER_PYVER),--target _zorvalind_testing)
CROSS_CMAKE_ARGS := $(if $(CROSS),-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchains/$(CROSS).cmake)
# The run of 3.14's build that another version's build and suite start with:
# the provisioned 3.14 (PYTHON_3_14=... names another), not $PYTHON.
PYTHON_3_14 ?=
SHIPPED_BUILD = $(MAKE) --no-print-directory build PYVER=3.14 PYTHON=$(PYTHON_3_14)
# The build type of the module as it ships, chosen once: pyproject.toml's
# cmake.build-type, which the wheel's build reads too. Every build of the
# shipped module's flags takes it (the debug builds stay Debug).
BUILD_TYPE := $(shell sed -n 's/^cmake\.build-type *= *"\([^"]*\)".*/\1/p' pyproject.toml)
ifeq ($(BUILD_TYPE),)
$(error pyproject.toml names no cmake.build-type)
endif
# The project's own builds stop at a warning (CMakeLists.txt's ZORVALIND_WERROR);
# one from the source distribution on a user's machine does not. Every
# configure here passes OWN_CMAKE_ARGS, every pip build here OWN_PIP_ARGS.
OWN_BUILD_DEFINES := ZORVALIND_WERROR=ON
OWN_CMAKE_ARGS := $(addprefix -D,$(OWN_BUILD_DEFINES))
OWN_PIP_ARGS := $(addprefix -Ccmake.define.,$(OWN_BUILD_DEFINES))

# Sets $py. Only `build` shows it as a step: after it the root is complete and
# a second run only checks its stamps, silently.
PROVISION_STEP = py=$$($(STEP) --keep-stdout "provisioning CPython $(PYVER)$(if $(CROSS), for $(CROSS)) ($${PYTHON:-.toolchain/})" $(PYTHON_PATH_CMD))
PROVISIONED = py=$$($(PYTHON_PATH_CMD))

.PHONY: all build test demo clean

all: build

build:
	@$(if $(OTHER_PYVER),$(SHIPPED_BUILD) && )$(PROVISION_STEP) && \
	$(STEP) "configuring $(BUILD_DIR)/" \
	  cmake -S . -B $(BUILD_DIR) -DPython_EXECUTABLE="$$py" -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(OWN_CMAKE_ARGS) \
	  $(CROSS_CMAKE_ARGS) && \
	$(STEP) "building $(BUILD_DIR)/$(if $(OTHER_PYVER), (the test-only module for CPython $(PYVER)))" \
	  cmake --build $(BUILD_DIR) -j$(JOBS) $(BUILD_TARGETS)

# Where the suite imports the shipped module from (ZORVALIND_MODULE_DIR),
# and the SHA-256 its file must have. Natively: 3.14's build folder. Under
# emulation (mk/arch.mk): that architecture's wheel, installed by the
# interpreter under test.
MODULE_DIR = $(SHIPPED_BUILD_DIR)
MODULE_PREPARE = sha=$$(sha256sum $(MODULE_DIR)/_zorvalind.abi3.so | cut -d' ' -f1)
MODULE_ENV = ZORVALIND_MODULE_DIR=$(CURDIR)/$(MODULE_DIR) ZORVALIND_MODULE_SHA256=$$sha

# pytest's own report follows the steps, its closing line last.
test: build
	@$(MAKE) --no-print-directory provision-packaging
	@$(PROVISIONED) && $(MODULE_PREPARE) && echo "-- running the test suite" >&2 && \
	$(CROSS_ENV) ZORVALIND_BUILD_DIR=$(CURDIR)/$(BUILD_DIR) $(MODULE_ENV) \
	  "$$py" -m pytest tests -q -p no:cacheprovider $(PYTEST_ARGS)

demo: build
	@$(PROVISIONED) && echo "-- running examples/demo.py" >&2 && \
	PYTHONPATH=$(CURDIR)/$(SHIPPED_BUILD_DIR) "$$py" examples/demo.py

clean:
	rm -rf build build-py3.* $(addprefix build-,$(ARCHES)) $(foreach a,$(ARCHES),build-$(a)-py3.*) build-debug build-asan build-tsan build-lint build-fuzz build-wheel build-wheel-* dist

# Further targets (bench, lint, wheel, sdist, test-debug, test-asan, fuzz) live in mk/.
-include $(wildcard mk/*.mk)
