# Benchmark of mysum against a hand-written C floor, nanobind, pybind11, Cython
# and plain Python (bench/). The peers come from Debian packages unpacked into
# the provisioned root and are built in their own folder, never with the module.
#
#   make bench          full run, writes bench/RESULTS.md (a few minutes)
#   make bench-quick    smoke run, results to build-bench/RESULTS-quick.md
#   make bench-profile  callgrind_annotate reports of mysum in build-bench/profile/
#   make bench-clean    removes build-bench/
BENCH_PACKAGES := python3-nanobind nanobind-dev robin-map-dev pybind11-dev cython3
BENCH_BUILD := build-bench
BENCH_ARGS ?=
# The interpreter of the provisioned root that holds the peers' packages.
BENCH_PYTHON_CMD = EXTRA_PACKAGES="$(BENCH_PACKAGES)" $(PYTHON_PATH_CMD)

.PHONY: bench bench-quick bench-peers bench-profile bench-clean

# After `build`: both provision the same root, and must not do it at once.
bench-peers: build
	@command -v valgrind >/dev/null || { echo "bench: valgrind is needed (apt-get install valgrind)" >&2; exit 1; }
	@py=$$($(BENCH_PYTHON_CMD)) && root=$$(cd "$$(dirname "$$py")/../.." && pwd) && \
	cmake -S bench -B $(BENCH_BUILD) -DPython_EXECUTABLE="$$py" -DBENCH_ROOT="$$root" >/dev/null && \
	cmake --build $(BENCH_BUILD) -j$(JOBS)

bench: bench-peers
	@py=$$($(BENCH_PYTHON_CMD)) && \
	"$$py" bench/run.py --zorvalind-dir build --peer-dir $(BENCH_BUILD)/modules --out bench/RESULTS.md $(BENCH_ARGS)

bench-quick: bench-peers
	@py=$$($(BENCH_PYTHON_CMD)) && \
	"$$py" bench/run.py --quick --zorvalind-dir build --peer-dir $(BENCH_BUILD)/modules \
		--out $(BENCH_BUILD)/RESULTS-quick.md $(BENCH_ARGS)

bench-profile: bench-peers
	@py=$$($(BENCH_PYTHON_CMD)) && \
	"$$py" bench/profile.py --zorvalind-dir build --peer-dir $(BENCH_BUILD)/modules --out $(BENCH_BUILD)/profile

bench-clean:
	rm -rf $(BENCH_BUILD)
