# make lint: clang-format in check mode and clang-tidy over src/ and testing/,
# zero findings required. clang-tidy reads the compile commands of a configure
# of its own in build-lint/, so build/ is never touched.
LINT_BUILD_DIR ?= build-lint
CLANG_FORMAT ?= $(firstword $(shell command -v clang-format-14 clang-format 2>/dev/null))
CLANG_TIDY ?= $(firstword $(shell command -v clang-tidy-14 clang-tidy 2>/dev/null))
LINT_SOURCES = $(sort $(wildcard src/*.[ch]pp src/*/*.[ch]pp testing/*.[ch]pp))
# Headers are checked through the translation units that include them
# (HeaderFilterRegex in .clang-tidy).
LINT_TIDY_SOURCES = $(filter %.cpp,$(LINT_SOURCES))
# Python 3.14's pyatomic.h picks its atomics by __GNUC__ or
# __has_builtin(__atomic_load); clang 14 reports neither although it has them.
LINT_TIDY_ARGS ?= --extra-arg=-D_Py_USE_GCC_BUILTIN_ATOMICS=1

.PHONY: lint lint-format lint-tidy lint-configure format

# Both halves run even when the first one fails, so one run lists everything.
lint:
	@$(MAKE) --no-print-directory -k lint-format lint-tidy

lint-format:
	@test -n "$(CLANG_FORMAT)" || { echo "lint: clang-format not found" >&2; exit 1; }
	@$(CLANG_FORMAT) --dry-run --Werror $(LINT_SOURCES) && echo "clang-format: clean"

# Rewrites the sources in place to the project style.
format:
	@test -n "$(CLANG_FORMAT)" || { echo "format: clang-format not found" >&2; exit 1; }
	@$(CLANG_FORMAT) -i $(LINT_SOURCES)

# Only the compile commands are needed: nothing is compiled. clang 14 does not
# know -mtls-dialect, which changes code generation only, not the sources.
lint-configure:
	@py=$$($(PYTHON_PATH_CMD)) && \
	cmake -S . -B $(LINT_BUILD_DIR) -DPython_EXECUTABLE="$$py" -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  $(OWN_CMAKE_ARGS) -DZORVALIND_TESTING_MODULE=ON -DZORVALIND_TLS_DESCRIPTORS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

# One clang-tidy per file, JOBS at a time; each file's report is printed whole
# so parallel runs do not interleave.
lint-tidy: lint-configure
	@test -n "$(CLANG_TIDY)" || { echo "lint: clang-tidy not found" >&2; exit 1; }
	@printf '%s\n' $(LINT_TIDY_SOURCES) | xargs -P $(JOBS) -I{} bash -c \
	  'out=$$("$$0" -p $(LINT_BUILD_DIR) --quiet $(LINT_TIDY_ARGS) "$$1" 2>&1); rc=$$?; \
	   out=$$(printf "%s\n" "$$out" | grep -Ev "^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$$"); \
	   if [ -n "$$out" ]; then printf "%s\n" "$$out"; fi; exit $$((rc != 0))' \
	  "$(CLANG_TIDY)" {} && echo "clang-tidy: clean"
