# Packaging tools in the provisioned root: the build backend and pip for
# tests/test_packaging.py and `make wheel`, auditwheel for the manylinux tag,
# mypy for the stub check, and the interpreter's own test suite, whose list of
# the stable ABI's names the shipped library is checked against. Debian
# unstable's names; provision-python does no dependency resolution, so every
# dependency outside the base set is listed.
PACKAGING_PACKAGES := \
	python3-scikit-build-core python3-pathspec python3-pyproject-metadata \
	python3-pip python3-wheel \
	python3-mypy python3-mypy-extensions python3-typing-extensions \
	python3-librt python3-ast-serialize python3-psutil \
	python3-auditwheel python3-pyelftools \
	libpython$(PYVER)-testsuite

# twine checks every source distribution and wheel the targets write (the
# metadata's fields, the long description): Debian unstable's twine and what
# `twine check` imports beyond the base set, in the host's CPython 3.14 root
# whatever the target's ARCH and PYVER. With PYTHON=..., that interpreter's
# twine, or no check when it has none.
TWINE_PACKAGES := twine python3-readme-renderer python3-docutils python3-roman-numerals python3-nh3 \
	python3-rich python3-requests python3-urllib3 python3-idna python3-certifi python3-charset-normalizer \
	python3-chardet
# $(call TWINE_CHECK,FILE): one step, quiet unless it fails; prints nothing on standard output.
TWINE_CHECK = if [[ -n "$${PYTHON:-}" ]]; then twine_py=$$PYTHON; \
	  "$$twine_py" -c 'import twine' 2>/dev/null || { echo "-- no twine in $$PYTHON: $(1) not checked" >&2; twine_py=; }; \
	else twine_py=$$($(STEP) --keep-stdout "provisioning twine" \
	  env ARCH= PYVER=3.14 PYTHON= EXTRA_PACKAGES="$(strip $(TWINE_PACKAGES))" $(PYTHON_PATH_CMD)) || exit; fi; \
	[[ -z $$twine_py ]] || $(STEP) "checking $(1) with twine" "$$twine_py" -m twine --no-color check --strict $(1)

# Under emulation the tools that run there only: mypy (compiled for each
# architecture) checks the stub, and the stable ABI's list the library, on
# the host.
ifneq ($(CROSS),)
PACKAGING_PACKAGES := $(filter-out python3-mypy python3-mypy-extensions python3-librt python3-ast-serialize python3-psutil \
	libpython$(PYVER)-testsuite,$(PACKAGING_PACKAGES))
endif

# The tag `make wheel` gives: the stable ABI of CPython 3.14, and mk/arch.mk's
# WHEEL_PLAT for the architecture.
WHEEL_TMP := build-wheel$(if $(CROSS),-$(CROSS))
WHEEL_GLOB = dist/zorvalind-*-cp314-abi3-*$(WHEEL_PLAT)*.whl
# What the wheel is built from (the source distribution's files): a wheel in
# dist/ newer than all of them is kept.
WHEEL_INPUTS := CMakeLists.txt pyproject.toml README.md LICENSE src cmake python

.PHONY: provision-packaging wheel sdist

# With PYTHON=... the tests use that interpreter's own tools (or skip), so the
# private root is not built just for them.
provision-packaging:
	@if [[ -z "$${PYTHON:-}" ]]; then \
	  EXTRA_PACKAGES="$(strip $(PACKAGING_PACKAGES))" \
	    $(STEP) --keep-stdout "provisioning the packaging tools" $(PYTHON_PATH_CMD) >/dev/null; fi

# pip builds into build-wheel/ (the CMake build runs in a temporary folder),
# auditwheel checks the module against the policy and writes the tagged wheel
# to dist/. CPython 3.14 builds it (mk/pyver.mk), for every later version too.
wheel: provision-packaging
	@whl=$$(ls -t $(WHEEL_GLOB) 2>/dev/null | head -n 1); \
	if [[ -n $$whl && -z $$(find $(WHEEL_INPUTS) -newer "$$whl" -print -quit) ]]; then \
	  echo "-- $$whl is up to date" >&2; echo "$$whl"; exit 0; fi; \
	$(PROVISIONED) && rm -rf $(WHEEL_TMP) && \
	$(STEP) "building the wheel" env CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(CROSS_ENV) \
	  "$$py" -m pip wheel --no-build-isolation --no-index --no-deps $(OWN_PIP_ARGS) --wheel-dir $(WHEEL_TMP) . && \
	$(STEP) "auditing it for $(WHEEL_PLAT)" \
	  "$$py" -m auditwheel repair --plat $(WHEEL_PLAT) --only-plat --wheel-dir dist $(WHEEL_TMP)/*.whl && \
	rm -rf $(WHEEL_TMP) && whl=$$(ls -t $(WHEEL_GLOB) | head -n 1) && \
	{ $(call TWINE_CHECK,$$whl); } && echo "$$whl"

# The backend's own sdist hook: no frontend package needed.
sdist: provision-packaging
	@$(PROVISIONED) && \
	sdist=$$($(STEP) --keep-stdout "writing the source distribution" \
	  "$$py" -c 'import sys, scikit_build_core.build as b; print("dist/" + b.build_sdist(sys.argv[1]))' dist) && \
	sdist=$$(tail -n 1 <<<"$$sdist") && \
	{ $(call TWINE_CHECK,$$sdist); } && echo "$$sdist"
