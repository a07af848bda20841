# WebAssembly: the module in Pyodide (CPython built with Emscripten, run by
# Node or a browser). `scripts/provision-python --pyodide` unpacks Emscripten
# into .toolchain/emscripten/ and installs the pinned Pyodide runtime and the
# page test's browser driver from the npm registry into .toolchain/pyodide/;
# docs/webassembly.md tells the whole story.
#
#   make build-pyodide   both modules as side modules into build-pyodide/
#   make wheel-pyodide   dist/zorvalind-<version>-cp314-cp314-pyodide_<abi>_wasm32.whl
#   make test-pyodide    the suite inside Pyodide under Node, then the
#                        WebAssembly checks and the page driven in Chromium
#   make demo-web        serves examples/web/ on 127.0.0.1 (DEMO_PORT, default 8000)
PYODIDE_BUILD := build-pyodide
DEMO_PORT ?= 8000
# Sets $emscripten (Emscripten's folder) and $npm_modules (the npm packages)
# from $tools, what `provision-python --pyodide` printed.
PYODIDE_TOOLS_READ = emscripten=$$(sed -n 1p <<<"$$tools") && npm_modules=$$(sed -n 2p <<<"$$tools")
PYODIDE_TOOLS = tools=$$($(PYTHON_PATH_CMD) --pyodide) && $(PYODIDE_TOOLS_READ)
PYODIDE_RUNTIME = $$npm_modules/pyodide
PYODIDE_WHEEL = $$(ls -t dist/*-pyodide_*_wasm32.whl | head -n 1)

.PHONY: build-pyodide wheel-pyodide test-pyodide demo-web clean-pyodide

# The runtime is tied to one CPython, and its build to the host.
ifneq ($(filter %-pyodide demo-web,$(MAKECMDGOALS)),)
ifneq ($(PYVER),3.14)
$(error $(filter %-pyodide demo-web,$(MAKECMDGOALS)) use Pyodide's CPython 3.14; drop PYVER=$(PYVER))
endif
endif

build-pyodide:
	@$(PROVISION_STEP) && \
	tools=$$($(STEP) --keep-stdout "provisioning Emscripten and the Pyodide runtime (.toolchain/)" \
	  $(PYTHON_PATH_CMD) --pyodide) && $(PYODIDE_TOOLS_READ) && \
	$(STEP) "configuring $(PYODIDE_BUILD)/" \
	  cmake -S . -B $(PYODIDE_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchains/pyodide.cmake \
	  -DEMSCRIPTEN_DIR="$$emscripten" -DPYODIDE_RUNTIME="$(PYODIDE_RUNTIME)" \
	  -DPython_EXECUTABLE="$$py" -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(OWN_CMAKE_ARGS) && \
	$(STEP) "building $(PYODIDE_BUILD)/" cmake --build $(PYODIDE_BUILD) -j$(JOBS)

# The tag comes from the runtime (build-pyodide/wheel-tag, written at configure time).
wheel-pyodide: build-pyodide provision-packaging
	@$(PROVISIONED) && tag=$$(cat $(PYODIDE_BUILD)/wheel-tag) && \
	whl=$$($(STEP) --keep-stdout "writing the $$tag wheel" \
	  "$$py" scripts/module-wheel $(PYODIDE_BUILD)/_zorvalind.cpython-*-wasm32-emscripten.so "$$tag" dist) && \
	{ $(call TWINE_CHECK,$$whl); } && echo "$$whl"

# The suite runs inside the runtime with the root's pytest and hypothesis
# mounted; the host's pytest then runs tests/webassembly/ (the side module against
# the runtime's main module, and the page in Chromium).
test-pyodide: wheel-pyodide
	@$(PROVISIONED) && $(PYODIDE_TOOLS) && \
	chromium=$$($(STEP) --keep-stdout "provisioning Chromium (apt, when missing)" $(PYTHON_PATH_CMD) --chromium) && \
	site=$$("$$py" -c 'import pytest, pathlib; print(pathlib.Path(pytest.__file__).parent.parent)') && \
	echo "-- running the test suite inside Pyodide (Node)" >&2 && \
	node tests/webassembly/run_suite.mjs "$(PYODIDE_RUNTIME)" $(PYODIDE_BUILD) "$$site" $(PYTEST_ARGS) && \
	echo "-- running the WebAssembly checks and the page test (Chromium)" >&2 && \
	ZORVALIND_PYODIDE_BUILD_DIR=$(CURDIR)/$(PYODIDE_BUILD) ZORVALIND_PYODIDE_RUNTIME="$(PYODIDE_RUNTIME)" \
	  ZORVALIND_EMSCRIPTEN_DIR="$$emscripten" ZORVALIND_NPM_MODULES="$$npm_modules" \
	  ZORVALIND_PYODIDE_WHEEL=$(CURDIR)/$(PYODIDE_WHEEL) ZORVALIND_CHROMIUM="$$chromium" \
	  "$$py" -m pytest tests/webassembly -q -p no:cacheprovider

demo-web: wheel-pyodide
	@$(PROVISIONED) && $(PYODIDE_TOOLS) && \
	exec "$$py" examples/web/serve.py --runtime "$(PYODIDE_RUNTIME)" --wheel $(PYODIDE_WHEEL) --port $(DEMO_PORT)

clean: clean-pyodide
clean-pyodide:
	rm -rf $(PYODIDE_BUILD)
