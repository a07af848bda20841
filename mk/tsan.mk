# make test-tsan: the module and the test-only module built with
# ThreadSanitizer into build-tsan/, and the suite run with its runtime
# preloaded into the uninstrumented interpreter: every test that uses threads
# (the stress runs, once-cells with waiters, deferred releases from other
# threads, records normalised from several threads, the first import and the
# PanicException type raced, calls during shutdown) and the rest along with
# them. Any report fails the run; the suppressions (tests/sanitizers/tsan.supp)
# may name functions of the interpreter only.
#
# Left out: the packaging tests (RELIABILITY_SKIP) and the provisioning tests,
# which run the host's shell tools and nothing of the module; under the
# preloaded runtime those tools crash before they start.

.PHONY: build-tsan test-tsan

# build-tsan/ holds CPython 3.14's build only.
ifneq ($(filter build-tsan test-tsan,$(MAKECMDGOALS)),)
ifneq ($(or $(PYVER),3.14),3.14)
$(error $(filter build-tsan test-tsan,$(MAKECMDGOALS)) run on CPython 3.14 only; drop PYVER=$(PYVER))
endif
endif

TSAN_REPORTS := $(CURDIR)/build-tsan/sanitizer-reports
TSAN_SKIP ?= $(RELIABILITY_SKIP) --ignore=tests/test_provisioning.py
# Reports go to files, one per process, so subprocesses are counted too.
TSAN_RUN_OPTIONS = exitcode=66:second_deadlock_stack=1:log_path=$(TSAN_REPORTS)/tsan:suppressions=$(SANITIZER_SOURCES)/tsan.supp

build-tsan:
	@py=$$($(PYTHON_PATH_CMD)) && \
	cmake -S . -B build-tsan -DPython_EXECUTABLE="$$py" -DZORVALIND_SANITIZE_THREAD=ON \
	  -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(OWN_CMAKE_ARGS) >/dev/null && \
	cmake --build build-tsan -j$(JOBS)

# The preflight proves that a race in instrumented code is reported into the
# report folder. PYTHONMALLOC=malloc hands every object to the runtime's
# allocator, so memory the interpreter reuses starts with a clean history.
test-tsan: build-tsan
	@py=$$($(PYTHON_PATH_CMD)) && cxx=$${CXX:-c++} && cc=$${CC:-cc} && \
	tsan=$$("$$cxx" -print-file-name=libtsan.so) && \
	{ [[ -f $$tsan ]] || { echo "test-tsan: $$cxx has no ThreadSanitizer runtime" >&2; exit 1; }; } && \
	"$$cc" -O1 -shared -fPIC -fsanitize=thread $(SANITIZER_SOURCES)/tsan_preflight_probe.c \
	  -o build-tsan/tsan_preflight_probe.so && \
	run() { env LD_PRELOAD="$$tsan" PYTHONMALLOC=malloc TSAN_OPTIONS=$(TSAN_RUN_OPTIONS) "$$@"; } && \
	rm -rf $(TSAN_REPORTS) && mkdir -p $(TSAN_REPORTS) && \
	run "$$py" $(SANITIZER_SOURCES)/preflight.py tsan build-tsan/tsan_preflight_probe.so >/dev/null 2>&1; rc=$$?; \
	found=$$(cat $(TSAN_REPORTS)/* 2>/dev/null); \
	[[ $$rc -eq 66 && $$found == *"data race"* ]] || \
	  { echo "test-tsan: preflight failed (exit $$rc)" >&2; exit 1; }; \
	rm -rf $(TSAN_REPORTS) && mkdir -p $(TSAN_REPORTS) && \
	echo "test-tsan: suite under $$py with $$tsan preloaded" && \
	start=$$(date +%s) && \
	run env ZORVALIND_BUILD_DIR=$(CURDIR)/build-tsan "$$py" -m pytest tests $(PYTEST_FLAGS) $(TSAN_SKIP); rc=$$?; \
	reports=$$(find $(TSAN_REPORTS) -type f | wc -l); \
	echo "test-tsan: $$reports ThreadSanitizer report(s), $$(( $$(date +%s) - start )) s"; \
	find $(TSAN_REPORTS) -type f -exec cat {} +; \
	[[ $$rc -eq 0 && $$reports -eq 0 ]]
