# Thin front for CMake. Every target provisions the interpreter itself, so a
# fresh clone needs nothing but `make test` or `make demo`.
SHELL := /bin/bash
JOBS ?= 2
PYTHON_PATH_CMD := scripts/provision-python
# `make test PYTHON=/path/to/python3.14` uses that interpreter instead.
export PYTHON

.PHONY: all build test demo clean

all: build

build:
	@py=$$($(PYTHON_PATH_CMD)) && \
	cmake -S . -B build -DPython_EXECUTABLE="$$py" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null && \
	cmake --build build -j$(JOBS)

test: build
	@$(MAKE) --no-print-directory provision-packaging
	@py=$$($(PYTHON_PATH_CMD)) && \
	ZORVALIND_BUILD_DIR=$(CURDIR)/build "$$py" -m pytest tests -q -p no:cacheprovider

demo: build
	@py=$$($(PYTHON_PATH_CMD)) && PYTHONPATH=$(CURDIR)/build "$$py" examples/demo.py

clean:
	rm -rf build build-debug build-asan build-lint build-fuzz dist

# Further targets (bench, lint, test-debug, test-asan) live in mk/.
-include $(wildcard mk/*.mk)
