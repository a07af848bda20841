# Reliability runs: the whole suite under the debug interpreter plus a
# reference-leak pass (test-debug), and under AddressSanitizer and
# UndefinedBehaviorSanitizer (test-asan). Both build the module as it ships,
# against the limited API of CPython 3.14 (the stable ABI). The debug
# interpreter (python3.14d: Py_DEBUG and Py_REF_DEBUG, not Py_TRACE_REFS,
# whose builds CPython leaves out of the stable ABI's) imports .abi3.so
# modules, and the limited API makes every reference count change a call into
# it, so its totals count the module's references as its own.

.PHONY: build-debug test-debug build-asan test-asan provision-parallel test-parallel

PYTEST_FLAGS ?= -q -p no:cacheprovider
# The packaging tests pip-build their own release wheel: they check nothing
# about this interpreter's or this build's memory, expect the release ABI tag,
# and under the preloaded sanitizers every compiler they start runs slowly.
RELIABILITY_SKIP ?= --ignore=tests/test_packaging.py
SANITIZER_REPORTS := $(CURDIR)/build-asan/sanitizer-reports
LEAK_REPORT := $(CURDIR)/build-debug/leak-report.txt

# Debian's include/python3.14d holds symlinks into include/python3.14. GCC
# canonicalises system header paths, so Python.h's own `#include "pyconfig.h"`
# would find the release configuration: no Py_DEBUG, no reference totals.
DEBUG_CXX_FLAGS_CMD = cxx=$${CXX:-c++}; \
	if echo | "$$cxx" -fno-canonical-system-headers -x c++ -E - >/dev/null 2>&1; then \
	  echo -fno-canonical-system-headers; fi

build-debug:
	@py=$$($(PYTHON_PATH_CMD)) && pyd="$${py}d" && \
	{ [[ -x $$pyd ]] || { echo "test-debug: no debug interpreter at $$pyd" >&2; exit 1; }; } && \
	flags=$$($(DEBUG_CXX_FLAGS_CMD)) && \
	cmake -S . -B build-debug -DPython_EXECUTABLE="$$pyd" -DCMAKE_BUILD_TYPE=Debug \
	  $(OWN_CMAKE_ARGS) -DCMAKE_CXX_FLAGS="$$flags" >/dev/null && \
	cmake --build build-debug -j$(JOBS) && \
	"$$pyd" -c 'import sysconfig; assert not sysconfig.get_config_var("Py_TRACE_REFS")' || \
	  { echo "test-debug: $$pyd traces references, which the stable ABI excludes" >&2; exit 1; } && \
	for so in build-debug/_zorvalind*.so; do \
	  nm -D --undefined-only "$$so" | grep -qw _Py_DecRef || \
	  { echo "test-debug: $$so leaves reference counts to inline code the debug interpreter does not count" >&2; exit 1; }; \
	done && [[ -f build-debug/_zorvalind.abi3.so ]]

test-debug: build-debug
	@py=$$($(PYTHON_PATH_CMD)) && pyd="$${py}d" && \
	echo "test-debug: whole suite under $$pyd" && \
	ZORVALIND_BUILD_DIR=$(CURDIR)/build-debug "$$pyd" -X faulthandler -m pytest tests $(PYTEST_FLAGS) \
	  $(RELIABILITY_SKIP) --ignore=tests/test_leaks.py && \
	echo "test-debug: reference-leak pass" && rm -f $(LEAK_REPORT) && \
	ZORVALIND_BUILD_DIR=$(CURDIR)/build-debug ZORVALIND_LEAK_REPORT=$(LEAK_REPORT) \
	  "$$pyd" -X faulthandler -m pytest tests/test_leaks.py $(PYTEST_FLAGS); rc=$$?; \
	[[ -f $(LEAK_REPORT) ]] && cat $(LEAK_REPORT); exit $$rc

build-asan:
	@py=$$($(PYTHON_PATH_CMD)) && \
	cmake -S . -B build-asan -DPython_EXECUTABLE="$$py" -DZORVALIND_SANITIZE=ON \
	  -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(OWN_CMAKE_ARGS) >/dev/null && \
	cmake --build build-asan -j$(JOBS)

# The interpreter is not instrumented, so the runtimes are preloaded; the
# host's libasan works against the provisioned C library (the preflight proves
# its allocator is live and that reports of both kinds reach the report folder).
# PYTHONMALLOC=malloc hands every object allocation to the sanitizer.
# detect_leaks=0: the interpreter keeps its heap (interned strings, static
# types, module state) until exit on purpose, and every allocation, ours
# included, passes through interpreter frames, so no suppression can separate
# a leak of ours from that noise. Reference leaks are the debug leak pass's job.
# Reports go to files, one per process, so subprocesses are counted too.
SANITIZER_SOURCES := $(CURDIR)/tests/sanitizers
ASAN_RUN_OPTIONS = detect_leaks=0:abort_on_error=0:exitcode=86:log_path=$(SANITIZER_REPORTS)/asan
UBSAN_RUN_OPTIONS = print_stacktrace=1:halt_on_error=1:exitcode=87

test-asan: build-asan
	@py=$$($(PYTHON_PATH_CMD)) && cxx=$${CXX:-c++} && cc=$${CC:-cc} && \
	asan=$$("$$cxx" -print-file-name=libasan.so) && ubsan=$$("$$cxx" -print-file-name=libubsan.so) && \
	{ [[ -f $$asan && -f $$ubsan ]] || { echo "test-asan: $$cxx has no sanitizer runtimes" >&2; exit 1; }; } && \
	"$$cc" -O2 -shared -fPIC $(SANITIZER_SOURCES)/ubsan_report_path.c -o build-asan/ubsan_report_path.so && \
	"$$cc" -O1 -shared -fPIC -fsanitize=address,undefined -fno-sanitize-recover=all \
	  $(SANITIZER_SOURCES)/preflight_probe.c -o build-asan/preflight_probe.so && \
	run() { env LD_PRELOAD="$$asan:$$ubsan:$(CURDIR)/build-asan/ubsan_report_path.so" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=$(ASAN_RUN_OPTIONS) UBSAN_OPTIONS=$(UBSAN_RUN_OPTIONS) \
	  ZORVALIND_UBSAN_LOG_PATH=$(SANITIZER_REPORTS)/ubsan "$$@"; } && \
	for mode in allocator asan ubsan; do \
	  rm -rf $(SANITIZER_REPORTS) && mkdir -p $(SANITIZER_REPORTS) && \
	  run "$$py" $(SANITIZER_SOURCES)/preflight.py $$mode build-asan/preflight_probe.so >/dev/null 2>&1; rc=$$?; \
	  found=$$(cat $(SANITIZER_REPORTS)/* 2>/dev/null); \
	  case $$mode in \
	    allocator) ok=$$([[ $$rc -eq 0 ]] && echo 1);; \
	    asan) ok=$$([[ $$rc -eq 86 && $$found == *double-free* ]] && echo 1);; \
	    ubsan) ok=$$([[ $$rc -eq 87 && $$found == *"runtime error"* ]] && echo 1);; \
	  esac; \
	  [[ -n $$ok ]] || { echo "test-asan: preflight '$$mode' failed (exit $$rc)" >&2; exit 1; }; \
	done && rm -rf $(SANITIZER_REPORTS) && mkdir -p $(SANITIZER_REPORTS) && \
	echo "test-asan: whole suite under $$py with $$asan and $$ubsan preloaded" && \
	run env ZORVALIND_BUILD_DIR=$(CURDIR)/build-asan "$$py" -m pytest tests $(PYTEST_FLAGS) $(RELIABILITY_SKIP); rc=$$?; \
	reports=$$(find $(SANITIZER_REPORTS) -type f | wc -l); \
	echo "test-asan: $$reports sanitizer report(s)"; \
	find $(SANITIZER_REPORTS) -type f -exec cat {} +; \
	[[ $$rc -eq 0 && $$reports -eq 0 ]]

# The whole suite with every test run by PARALLEL_THREADS threads at once
# (pytest-run-parallel), under the release build, then under the debug
# interpreter with its reference checks and the leak pass. A test that cannot
# run so carries the plugin's thread_unsafe mark with the reason, and runs on
# one thread.
PARALLEL_THREADS ?= 4
PARALLEL_PACKAGES := python3-pytest-run-parallel

provision-parallel:
	@EXTRA_PACKAGES="$(PARALLEL_PACKAGES)" $(STEP) --keep-stdout "provisioning pytest-run-parallel" $(PYTHON_PATH_CMD) >/dev/null

test-parallel: build build-debug provision-parallel
	@$(MAKE) --no-print-directory provision-packaging
	@$(PROVISIONED) && pyd="$${py}d" && $(MODULE_PREPARE) && \
	echo "test-parallel: whole suite in $(PARALLEL_THREADS) threads under $$py" && \
	ZORVALIND_BUILD_DIR=$(CURDIR)/$(BUILD_DIR) $(MODULE_ENV) \
	  "$$py" -m pytest tests $(PYTEST_FLAGS) --parallel-threads=$(PARALLEL_THREADS) $(PYTEST_ARGS) && \
	echo "test-parallel: whole suite in $(PARALLEL_THREADS) threads under $$pyd" && \
	ZORVALIND_BUILD_DIR=$(CURDIR)/build-debug "$$pyd" -X faulthandler -m pytest tests $(PYTEST_FLAGS) \
	  $(RELIABILITY_SKIP) --parallel-threads=$(PARALLEL_THREADS) $(PYTEST_ARGS)
