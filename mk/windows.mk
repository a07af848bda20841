# Windows x86-64: the module cross-built with the mingw-w64 toolchain for the
# Universal C Runtime (provisioned into .toolchain/mingw/), its checks, and its
# wheel. No Windows interpreter is involved: the build reads the provisioned
# CPython's headers with the project's pyconfig.h for Windows x86-64 and makes
# the interpreter's import library itself (cmake/windows/).
#
#   make build-windows   build-windows/_zorvalind.pyd (the stable ABI's) and the
#                        platform check (build-windows/platform-check/)
#   make wheel-windows   dist/zorvalind-<version>-cp314-abi3-win_amd64.whl
#   make test-windows    the checks of the built module, the platform check
#                        under Wine, and pip installing the wheel for win_amd64
WINDOWS_BUILD := build-windows
WINDOWS_PYD := $(WINDOWS_BUILD)/_zorvalind.pyd
WINDOWS_TARGET := x86_64-w64-mingw32ucrt
# Sets $mingw, the toolchain's bin folder (and $py).
WINDOWS_PROVISIONED = $(PROVISIONED) && mingw=$$($(PYTHON_PATH_CMD) --mingw)

.PHONY: build-windows wheel-windows test-windows

# The Windows build, its pyconfig.h and its checks are CPython 3.14's.
ifneq ($(PYVER),3.14)
ifneq ($(filter %-windows,$(MAKECMDGOALS)),)
$(error $(filter %-windows,$(MAKECMDGOALS)) run on CPython 3.14 only; drop PYVER=$(PYVER))
endif
endif

build-windows:
	@$(PROVISION_STEP) && \
	mingw=$$($(STEP) --keep-stdout "provisioning the Windows toolchain (.toolchain/mingw/)" $(PYTHON_PATH_CMD) --mingw) && \
	$(STEP) "configuring $(WINDOWS_BUILD)/" \
	  cmake -S . -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/windows-x86_64.cmake \
	  -DMINGW_BIN="$$mingw" -DPython_EXECUTABLE="$$py" -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(OWN_CMAKE_ARGS) \
	  -DZORVALIND_TESTING_MODULE=OFF -DZORVALIND_WINDOWS_CHECKS=ON && \
	$(STEP) "building $(WINDOWS_BUILD)/" cmake --build $(WINDOWS_BUILD) -j$(JOBS)

wheel-windows: build-windows provision-packaging
	@$(WINDOWS_PROVISIONED) && \
	whl=$$($(STEP) --keep-stdout "writing the win_amd64 wheel" \
	  "$$py" scripts/module-wheel $(WINDOWS_PYD) cp314-abi3-win_amd64 dist "$$mingw/$(WINDOWS_TARGET)-strip") && \
	{ $(call TWINE_CHECK,$$whl); } && echo "$$whl"

# Wine runs in a prefix of its own that the tests make and remove, never in ~/.wine.
test-windows: wheel-windows
	@$(WINDOWS_PROVISIONED) && echo "-- running the Windows checks" >&2 && \
	ZORVALIND_WINDOWS_BUILD_DIR=$(CURDIR)/$(WINDOWS_BUILD) MINGW_BIN="$$mingw" \
	  ZORVALIND_WINDOWS_WHEEL="$$(ls -t dist/*-cp314-abi3-win_amd64.whl | head -n 1)" \
	  "$$py" -m pytest tests/windows -q -p no:cacheprovider

.PHONY: clean-windows
clean: clean-windows
clean-windows:
	rm -rf $(WINDOWS_BUILD)
