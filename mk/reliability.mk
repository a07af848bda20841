# Reliability runs: the whole suite under the debug interpreter plus a
# reference-leak pass (test-debug), and under AddressSanitizer and
# UndefinedBehaviorSanitizer (test-asan).

.PHONY: build-debug test-debug build-asan test-asan

PYTEST_FLAGS ?= -q -p no:cacheprovider
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
	  -DCMAKE_CXX_FLAGS="$$flags" >/dev/null && \
	cmake --build build-debug -j$(JOBS) && \
	for so in build-debug/_zorvalind*.so; do \
	  nm -D --undefined-only "$$so" | grep -q _Py_INCREF_IncRefTotal || \
	  { echo "test-debug: $$so was compiled without the debug interpreter's configuration" >&2; exit 1; }; \
	done

test-debug: build-debug
	@py=$$($(PYTHON_PATH_CMD)) && pyd="$${py}d" && \
	echo "test-debug: whole suite under $$pyd" && \
	ZORVALIND_BUILD_DIR=$(CURDIR)/build-debug "$$pyd" -X faulthandler -m pytest tests $(PYTEST_FLAGS) \
	  --ignore=tests/test_leaks.py && \
	echo "test-debug: reference-leak pass" && rm -f $(LEAK_REPORT) && \
	ZORVALIND_BUILD_DIR=$(CURDIR)/build-debug ZORVALIND_LEAK_REPORT=$(LEAK_REPORT) \
	  "$$pyd" -X faulthandler -m pytest tests/test_leaks.py $(PYTEST_FLAGS); rc=$$?; \
	[[ -f $(LEAK_REPORT) ]] && cat $(LEAK_REPORT); exit $$rc

build-asan:
	@py=$$($(PYTHON_PATH_CMD)) && \
	cmake -S . -B build-asan -DPython_EXECUTABLE="$$py" -DZORVALIND_SANITIZE=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null && \
	cmake --build build-asan -j$(JOBS)

# The interpreter is not instrumented, so the runtimes are preloaded; the
# host's libasan works against the provisioned C library (the preflight below
# proves its allocator is live and that reports reach the report folder).
# PYTHONMALLOC=malloc hands every object allocation to the sanitizer.
# detect_leaks=0: the interpreter keeps its heap (interned strings, static
# types, module state) until exit on purpose, and every allocation, ours
# included, passes through interpreter frames, so no suppression can separate
# a leak of ours from that noise. Reference leaks are the debug leak pass's job.
# Reports go to files, one per process, so subprocesses are counted too.
ASAN_RUN_OPTIONS = detect_leaks=0:abort_on_error=0:exitcode=86:log_path=$(SANITIZER_REPORTS)/asan
UBSAN_RUN_OPTIONS = print_stacktrace=1:halt_on_error=1:exitcode=87:log_path=$(SANITIZER_REPORTS)/ubsan

test-asan: build-asan
	@py=$$($(PYTHON_PATH_CMD)) && cxx=$${CXX:-c++} && \
	asan=$$("$$cxx" -print-file-name=libasan.so) && ubsan=$$("$$cxx" -print-file-name=libubsan.so) && \
	{ [[ -f $$asan && -f $$ubsan ]] || { echo "test-asan: $$cxx has no sanitizer runtimes" >&2; exit 1; }; } && \
	rm -rf $(SANITIZER_REPORTS) && mkdir -p $(SANITIZER_REPORTS)/preflight && \
	preload="LD_PRELOAD=$$asan:$$ubsan" && \
	env "$$preload" PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:log_path=$(SANITIZER_REPORTS)/preflight/asan \
	  "$$py" -c 'if 1: \
	  import ctypes, sys; libc = ctypes.CDLL(None); \
	  live = libc.__sanitizer_get_current_allocated_bytes; live.restype = ctypes.c_size_t; \
	  assert live() > 0, "the sanitizer allocator is not in use"; \
	  libc.malloc.restype = ctypes.c_void_p; libc.free.argtypes = [ctypes.c_void_p]; \
	  p = libc.malloc(8); libc.free(p); libc.free(p)' >/dev/null 2>&1; \
	grep -qs "double-free" $(SANITIZER_REPORTS)/preflight/asan.* || \
	  { echo "test-asan: preflight found no working sanitizer report" >&2; exit 1; }; \
	rm -rf $(SANITIZER_REPORTS)/preflight && \
	echo "test-asan: whole suite under $$py with $$asan and $$ubsan preloaded" && \
	env "$$preload" PYTHONMALLOC=malloc ASAN_OPTIONS=$(ASAN_RUN_OPTIONS) UBSAN_OPTIONS=$(UBSAN_RUN_OPTIONS) \
	  ZORVALIND_BUILD_DIR=$(CURDIR)/build-asan "$$py" -m pytest tests $(PYTEST_FLAGS); rc=$$?; \
	reports=$$(find $(SANITIZER_REPORTS) -type f | wc -l); \
	echo "test-asan: $$reports sanitizer report(s)"; \
	find $(SANITIZER_REPORTS) -type f -exec cat {} +; \
	[[ $$rc -eq 0 && $$reports -eq 0 ]]
