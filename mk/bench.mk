# Benchmark of mysum against a hand-written C floor, nanobind, pybind11, Cython
# and plain Python (bench/), with operator.add as a reference for the call
# itself. The peers come from Debian packages unpacked into the provisioned
# root and are built in their own folder, never with the module.
#
#   make bench          full run, writes bench/RESULTS.md and the chart
#                       bench/instructions.svg (a few minutes)
#   make bench-quick    smoke run, results to build-bench/RESULTS-quick.md
#   make bench-profile  callgrind_annotate reports of mysum in build-bench/profile/
#   make bench-clean    removes build-bench/
#
# Like `make demo`, each step prints one line, and its output only when it
# fails.
BENCH_PACKAGES := python3-nanobind nanobind-dev robin-map-dev pybind11-dev cython3
# matplotlib for the chart, with Debian unstable's builds of its compiled
# dependencies (numpy, kiwisolver, contourpy, pillow) for the provisioned 3.14.
# provision-python resolves no dependencies: every library they load is listed.
BENCH_CHART_PACKAGES := \
	python3-matplotlib python-matplotlib-data fonts-dejavu-core \
	python3-numpy python3-numpy-dev libblas3 liblapack3 libgfortran5 \
	python3-kiwisolver python3-contourpy libqhull-r8.0 \
	python3-fonttools python3-dateutil python3-cycler python3-pyparsing \
	python3-pil libjpeg62-turbo libopenjp2-7 libtiff6 libxcb1 libxau6 libxdmcp6 \
	libimagequant0 liblcms2-2 libraqm0 libwebp7 libwebpdemux2 libwebpmux3 libsharpyuv0 \
	libfreetype6 libpng16-16t64 libbrotli1 libdeflate0 libjbig0 liblerc4 \
	libfribidi0 libharfbuzz0b libgraphite2-3 libglib2.0-0t64 libpcre2-8-0 libmd0 libbsd0
BENCH_BUILD := build-bench
# The module built for CPython 3.14 alone (not shipped), measured beside the
# stable ABI's: a folder of the peers', whose modules the driver imports.
BENCH_VERSION_SPECIFIC := $(BENCH_BUILD)/modules/version-specific
BENCH_CHART := bench/instructions.svg
BENCH_ARGS ?=
# The interpreter of the provisioned root that holds the peers' packages.
BENCH_PYTHON_CMD = EXTRA_PACKAGES="$(BENCH_PACKAGES)" $(PYTHON_PATH_CMD)
BENCH_PROVISION_STEP = py=$$($(STEP) --keep-stdout "provisioning the benchmark peers' packages" \
	env EXTRA_PACKAGES="$(BENCH_PACKAGES)" $(PYTHON_PATH_CMD))

.PHONY: bench bench-quick bench-peers bench-chart-tools bench-profile bench-clean

# After `build`: both provision the same root, and must not do it at once.
bench-peers: build
	@command -v valgrind >/dev/null || { echo "bench: valgrind is needed (apt-get install valgrind)" >&2; exit 1; }
	@$(BENCH_PROVISION_STEP) && root=$$(cd "$$(dirname "$$py")/../.." && pwd) && \
	$(STEP) "configuring $(BENCH_BUILD)/" \
	  cmake -S bench -B $(BENCH_BUILD) -DPython_EXECUTABLE="$$py" -DBENCH_ROOT="$$root" \
	  -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) && \
	$(STEP) "building the peers ($(BENCH_BUILD)/)" cmake --build $(BENCH_BUILD) -j$(JOBS) && \
	$(STEP) "configuring $(BENCH_VERSION_SPECIFIC)/" \
	  cmake -S . -B $(BENCH_VERSION_SPECIFIC) -DPython_EXECUTABLE="$$py" -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  $(OWN_CMAKE_ARGS) -DZORVALIND_STABLE_ABI=OFF -DZORVALIND_TESTING_MODULE=OFF && \
	$(STEP) "building the module for CPython 3.14 alone ($(BENCH_VERSION_SPECIFIC)/)" \
	  cmake --build $(BENCH_VERSION_SPECIFIC) -j$(JOBS)

# Unpacked packages miss what their installation scripts would have set up:
# the alternatives that name the BLAS and LAPACK libraries, and the data path
# the distribution's matplotlib looks for under /usr (a link beside the
# package instead). matplotlib reads its configuration from the root's /etc.
bench-chart-tools: bench-peers
	@py=$$($(STEP) --keep-stdout "provisioning matplotlib" \
	  env EXTRA_PACKAGES="$(strip $(BENCH_CHART_PACKAGES))" $(PYTHON_PATH_CMD)) && \
	root=$$(cd "$$(dirname "$$py")/../.." && pwd) && lib=$$root/usr/lib/x86_64-linux-gnu && \
	ln -sfn blas/libblas.so.3 "$$lib/libblas.so.3" && ln -sfn lapack/liblapack.so.3 "$$lib/liblapack.so.3" && \
	ln -sfn ../../../../share/matplotlib/mpl-data "$$root/usr/lib/python3/dist-packages/matplotlib/mpl-data"

bench: bench-chart-tools
	@py=$$($(BENCH_PYTHON_CMD)) && root=$$(cd "$$(dirname "$$py")/../.." && pwd) && \
	"$$py" bench/run.py --zorvalind-dir build --peer-dir $(BENCH_BUILD)/modules --out bench/RESULTS.md \
		--json $(BENCH_BUILD)/results.json $(BENCH_ARGS) && \
	MATPLOTLIBRC="$$root/etc/matplotlibrc" \
	  $(STEP) "drawing $(BENCH_CHART)" "$$py" bench/chart.py $(BENCH_BUILD)/results.json $(BENCH_CHART)

bench-quick: bench-chart-tools
	@py=$$($(BENCH_PYTHON_CMD)) && root=$$(cd "$$(dirname "$$py")/../.." && pwd) && \
	"$$py" bench/run.py --quick --zorvalind-dir build --peer-dir $(BENCH_BUILD)/modules \
		--out $(BENCH_BUILD)/RESULTS-quick.md --json $(BENCH_BUILD)/results-quick.json $(BENCH_ARGS) && \
	MATPLOTLIBRC="$$root/etc/matplotlibrc" \
	  $(STEP) "drawing $(BENCH_BUILD)/instructions-quick.svg" \
	  "$$py" bench/chart.py $(BENCH_BUILD)/results-quick.json $(BENCH_BUILD)/instructions-quick.svg

bench-profile: bench-peers
	@py=$$($(BENCH_PYTHON_CMD)) && \
	"$$py" bench/profile.py --zorvalind-dir build --peer-dir $(BENCH_BUILD)/modules --out $(BENCH_BUILD)/profile

bench-clean:
	rm -rf $(BENCH_BUILD)
