# make test-faults: the allocation-failure sweep (tests/faults/). Every
# allocation of every scenario fails in turn, only that one ("one") and every
# one from it on ("from"), each run in a fresh child with a timeout: the release
# build at every N, the debug interpreter at every FAULTS_DEBUG_STEP-th N with
# the reference and block growth check, the sanitizer build at every
# FAULTS_ASAN_STEP-th N with no report allowed. set_nomemory comes from the
# interpreter's own C-API test module, which the provisioned release and
# debug interpreters ship in their standard library packages. Then the same
# sweep again with the modules' own C-heap calls failing instead: the library
# tests/native/heap_faults.cpp, built into each build folder, rewrites the
# modules' entries for the allocation functions they import.
#
#   make test-faults                  all three sweeps, then "N passed, N failed"
#   make test-faults-release          one sweep (also -debug, -asan)
#   make test-faults FAULTS_ARGS='--only mysum(1.5'    a subset of scenarios
FAULTS_ARGS ?=
FAULTS_JOBS ?= $(JOBS)
FAULTS_DEBUG_STEP ?= 2
FAULTS_ASAN_STEP ?= 3
FAULTS_REPEATS ?= 3
FAULTS_COUNTS := $(CURDIR)/build/fault-sweep-counts
FAULTS_REPORTS := $(CURDIR)/build-asan/fault-sweep-reports
FAULTS_SWEEP = tests/faults/sweep.py --jobs $(FAULTS_JOBS) --counts-file $(FAULTS_COUNTS) $(FAULTS_ARGS)
# $(call FAULTS_HEAP_LIBRARY,<build folder>): builds the library, names it.
FAULTS_HEAP_LIBRARY = "$${CXX:-c++}" -std=c++20 -O2 -shared -fPIC tests/native/heap_faults.cpp -o $(1)/heap_faults.so && \
	heap="--heap-library $(1)/heap_faults.so"

.PHONY: test-faults test-faults-release test-faults-debug test-faults-asan

# Every sweep runs even when an earlier one found a defect; the closing line
# adds up the runs of all of them.
test-faults: build build-debug build-asan
	@rm -f $(FAULTS_COUNTS); rc=0; \
	for sweep in release debug asan; do \
	  $(MAKE) --no-print-directory test-faults-$$sweep FAULTS_KEEP_COUNTS=1 || rc=1; \
	done; \
	awk '{ p += $$2; f += $$3 } END { printf "\ntest-faults: %s\n%d passed, %d failed\n", \
	  (f ? "defects found" : "no defect"), p, f }' $(FAULTS_COUNTS); \
	exit $$rc

test-faults-release: build
	@[[ -n "$(FAULTS_KEEP_COUNTS)" ]] || rm -f $(FAULTS_COUNTS); \
	py=$$($(PYTHON_PATH_CMD)) && $(call FAULTS_HEAP_LIBRARY,build) && \
	"$$py" $(FAULTS_SWEEP) --build-dir build --label release --timeout 20 $$heap

test-faults-debug: build-debug
	@[[ -n "$(FAULTS_KEEP_COUNTS)" ]] || rm -f $(FAULTS_COUNTS); \
	py=$$($(PYTHON_PATH_CMD)) && $(call FAULTS_HEAP_LIBRARY,build-debug) && \
	"$${py}d" $(FAULTS_SWEEP) --build-dir build-debug --label debug --timeout 60 \
	  --step $(FAULTS_DEBUG_STEP) --repeats $(FAULTS_REPEATS) $$heap

# The runtimes are preloaded into the driver and every child as test-asan
# does; each child's reports land in files named after its process ID.
test-faults-asan: build-asan
	@[[ -n "$(FAULTS_KEEP_COUNTS)" ]] || rm -f $(FAULTS_COUNTS); \
	py=$$($(PYTHON_PATH_CMD)) && cxx=$${CXX:-c++} && cc=$${CC:-cc} && \
	asan=$$("$$cxx" -print-file-name=libasan.so) && ubsan=$$("$$cxx" -print-file-name=libubsan.so) && \
	{ [[ -f $$asan && -f $$ubsan ]] || { echo "test-faults: $$cxx has no sanitizer runtimes" >&2; exit 1; }; } && \
	"$$cc" -O2 -shared -fPIC $(SANITIZER_SOURCES)/ubsan_report_path.c -o build-asan/ubsan_report_path.so && \
	$(call FAULTS_HEAP_LIBRARY,build-asan) && \
	rm -rf $(FAULTS_REPORTS) && mkdir -p $(FAULTS_REPORTS) && \
	env LD_PRELOAD="$$asan:$$ubsan:$(CURDIR)/build-asan/ubsan_report_path.so" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:exitcode=86:log_path=$(FAULTS_REPORTS)/asan \
	  UBSAN_OPTIONS=$(UBSAN_RUN_OPTIONS) ZORVALIND_UBSAN_LOG_PATH=$(FAULTS_REPORTS)/ubsan \
	  "$$py" $(FAULTS_SWEEP) --build-dir build-asan --label sanitizer --timeout 90 \
	  --step $(FAULTS_ASAN_STEP) --sanitizer-reports $(FAULTS_REPORTS) $$heap
