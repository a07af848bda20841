# Coverage-guided fuzzing of the argument binder (fuzz/): libFuzzer with
# AddressSanitizer and UndefinedBehaviorSanitizer, built with clang in its own
# folder, never in build/.
#
#   make fuzz          fuzzes FUZZ_SECONDS (default 300) from the seed corpus
#   make fuzz-replay   runs every seed once
#   make fuzz-ci       the replay, then FUZZ_CI_SECONDS (default 60) of fuzzing
#   make fuzz-coverage line and branch coverage of the binder and of mysum's
#                      wrapper by the seeds and the inputs found so far (a
#                      build of its own in build-fuzz/coverage/)
#   make fuzz-clean    removes build-fuzz/
#
# Inputs that a run finds go to build-fuzz/corpus/; the seeds in fuzz/corpus/
# only change by hand. A crash leaves its input in build-fuzz/ as crash-*;
# `build-fuzz/binder_fuzzer FILE` replays it.
FUZZ_BUILD := build-fuzz
FUZZ_SECONDS ?= 300
FUZZ_CI_SECONDS ?= 60
FUZZ_ARGS ?=
FUZZ_CXX ?= $(firstword $(shell command -v clang++-14 clang++ 2>/dev/null))
FUZZ_SEEDS = $(sort $(wildcard fuzz/corpus/*))
# libFuzzer looks for leaks after any input whose allocations and frees do
# not balance; the interpreter's lasting heap stays reachable, so only memory
# really lost is reported. Python objects kept alive by a reference too many
# are the harness's reference-count check's. A failed check aborts: a crash.
FUZZ_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
FUZZ_RUN = env $(FUZZ_ENV) $(FUZZ_BUILD)/binder_fuzzer -artifact_prefix=$(FUZZ_BUILD)/ -print_funcs=0

.PHONY: build-fuzz fuzz fuzz-replay fuzz-ci fuzz-coverage fuzz-clean

build-fuzz:
	@test -n "$(FUZZ_CXX)" || { echo "fuzz: clang++ is needed (apt-get install clang-14)" >&2; exit 1; }
	@py=$$($(PYTHON_PATH_CMD)) && \
	cmake -S fuzz -B $(FUZZ_BUILD) -DPython_EXECUTABLE="$$py" -DCMAKE_CXX_COMPILER="$(FUZZ_CXX)" >/dev/null && \
	cmake --build $(FUZZ_BUILD) -j$(JOBS)

fuzz: build-fuzz
	@mkdir -p $(FUZZ_BUILD)/corpus
	$(FUZZ_RUN) -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 $(FUZZ_ARGS) $(FUZZ_BUILD)/corpus fuzz/corpus

fuzz-replay: build-fuzz
	$(FUZZ_RUN) $(FUZZ_SEEDS)

fuzz-ci: fuzz-replay
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(FUZZ_CI_SECONDS)

FUZZ_COVERAGE := $(FUZZ_BUILD)/coverage
FUZZ_LLVM_TOOL = $(firstword $(shell command -v $(1)-14 $(1) 2>/dev/null))

fuzz-coverage:
	@test -n "$(FUZZ_CXX)" || { echo "fuzz: clang++ is needed (apt-get install clang-14)" >&2; exit 1; }
	@py=$$($(PYTHON_PATH_CMD)) && \
	cmake -S fuzz -B $(FUZZ_COVERAGE) -DPython_EXECUTABLE="$$py" -DCMAKE_CXX_COMPILER="$(FUZZ_CXX)" \
	  -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
	  -DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate >/dev/null && \
	cmake --build $(FUZZ_COVERAGE) -j$(JOBS) >/dev/null
	@mkdir -p $(FUZZ_BUILD)/corpus && rm -f $(FUZZ_COVERAGE)/*.profraw && \
	env $(FUZZ_ENV) LLVM_PROFILE_FILE=$(CURDIR)/$(FUZZ_COVERAGE)/replay.profraw \
	  $(FUZZ_COVERAGE)/binder_fuzzer -runs=0 $(FUZZ_BUILD)/corpus fuzz/corpus 2>&1 | grep -E "INITED|ERROR" ; \
	$(call FUZZ_LLVM_TOOL,llvm-profdata) merge -o $(FUZZ_COVERAGE)/replay.profdata $(FUZZ_COVERAGE)/replay.profraw && \
	$(call FUZZ_LLVM_TOOL,llvm-cov) report $(FUZZ_COVERAGE)/binder_fuzzer -instr-profile=$(FUZZ_COVERAGE)/replay.profdata \
	  $(addprefix $(CURDIR)/src/,args/binding.hpp args/binding.cpp args/messages.cpp module/mysum.cpp)

fuzz-clean:
	rm -rf $(FUZZ_BUILD)
