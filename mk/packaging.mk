# Packaging tools in the provisioned root: the build backend and pip for
# tests/test_packaging.py and `make wheel`, mypy for the stub check. Debian
# unstable's names; provision-python does no dependency resolution, so every
# dependency outside the base set is listed.
PACKAGING_PACKAGES := \
	python3-scikit-build-core python3-pathspec python3-pyproject-metadata \
	python3-pip python3-wheel \
	python3-mypy python3-mypy-extensions python3-typing-extensions \
	python3-librt python3-ast-serialize python3-psutil \
	python3-auditwheel python3-pyelftools

.PHONY: provision-packaging wheel

# With PYTHON=... the tests use that interpreter's own tools (or skip), so the
# private root is not built just for them.
provision-packaging:
	@if [[ -z "$${PYTHON:-}" ]]; then \
	  EXTRA_PACKAGES="$(strip $(PACKAGING_PACKAGES))" $(PYTHON_PATH_CMD) >/dev/null; fi

# The wheel lands in dist/; the CMake build runs in a temporary folder.
wheel: provision-packaging
	@py=$$($(PYTHON_PATH_CMD)) && \
	"$$py" -m pip wheel --no-build-isolation --no-index --no-deps --wheel-dir dist .
