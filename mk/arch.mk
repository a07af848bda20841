# Other Linux architectures (ARCH=<Debian architecture>, set in the Makefile):
# cross builds with the host's GNU cross compilers, tests with Debian's own
# CPython of that architecture under qemu-user, wheels with that
# architecture's lowest honest manylinux tag.
ARCHES := arm64 armhf i386 ppc64el s390x riscv64

# The wheel tag per architecture: the newest of the glibc floor's symbol
# versions (src/compat/glibc_floor.cpp), the loader the TLS model needs, and
# the first manylinux policy that exists for the architecture. x86 uses TLS
# descriptors, whose loader support came in 2.9 (first policy above: 2_12);
# aarch64 and ppc64le have no C library before 2.17, which is also the first
# policy for 32-bit ARM and s390x; riscv64's first policy is 2_31.
WHEEL_PLAT_amd64 := manylinux_2_12_x86_64
WHEEL_PLAT_i386 := manylinux_2_12_i686
WHEEL_PLAT_arm64 := manylinux_2_17_aarch64
WHEEL_PLAT_armhf := manylinux_2_17_armv7l
WHEEL_PLAT_ppc64el := manylinux_2_17_ppc64le
WHEEL_PLAT_s390x := manylinux_2_17_s390x
WHEEL_PLAT_riscv64 := manylinux_2_31_riscv64
WHEEL_PLAT := $(WHEEL_PLAT_$(or $(CROSS),amd64))

ifneq ($(CROSS),)
ifeq ($(filter $(CROSS),$(ARCHES)),)
$(error ARCH=$(ARCH) is not one of amd64 $(ARCHES))
endif
# The target's compiler prefix (provision-python's table).
CROSS_PREFIX = $(shell ARCH=$(CROSS) $(PYTHON_PATH_CMD) --arch-info | sed -n 2p)
# The filler library of the TLS test is built for the target, and pip builds
# inside the emulated interpreter cross-compile through the same toolchain
# file. mypy runs on the host only (the stub is the same on every target).
CROSS_ENV = CC=$(CROSS_PREFIX)-gcc \
	CMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchains/$(CROSS).cmake \
	ZORVALIND_EMULATED=$(CROSS)
# A run host-only targets would mix architectures in one folder.
ARCH_HOST_ONLY := build-debug test-debug build-asan test-asan build-tsan test-tsan test-faults% \
	build-fuzz fuzz% lint% format bench% %-windows %-pyodide demo-web
ifneq ($(filter $(ARCH_HOST_ONLY),$(MAKECMDGOALS)),)
$(error $(filter $(ARCH_HOST_ONLY),$(MAKECMDGOALS)) run on the host only; drop ARCH=$(ARCH))
endif
endif

# The emulated suites run the module that ships: the architecture's wheel,
# built by its CPython 3.14 (when dist/ has none newer than the sources) and
# installed by the interpreter under test with its own pip, so CPython 3.15
# takes the very wheel 3.14 built.
# pip offers manylinux tags on 32-bit ARM and x86 only after reading the ELF
# header of sys.executable (hard-float ABI, i686), which under emulation is the
# launcher script: there the wheel's platform is named, and pip checks the
# rest (implementation, stable ABI, Python version) as usual. pip's own
# configuration is left out (--isolated), as in the packaging tests.
ifneq ($(CROSS),)
WHEEL_INSTALL_ARGS_armhf = --platform $(WHEEL_PLAT) --implementation cp --python-version $(PYVER) --abi abi3 \
	--only-binary=:all:
WHEEL_INSTALL_ARGS_i386 = $(WHEEL_INSTALL_ARGS_armhf)
MODULE_DIR = $(BUILD_DIR)/wheel-installed
MODULE_PREPARE = whl=$$($(MAKE) --no-print-directory wheel PYVER=3.14 PYTHON=$(PYTHON_3_14)) && \
	rm -rf $(MODULE_DIR) && \
	$(STEP) "installing $$whl with CPython $(PYVER) for $(CROSS)" \
	  "$$py" -m pip --isolated install --no-index --no-deps --no-compile $(WHEEL_INSTALL_ARGS_$(CROSS)) \
	  --target $(MODULE_DIR) "$$whl" && \
	sha=$$("$$py" -c 'import hashlib, sys, zipfile; print(hashlib.sha256(zipfile.ZipFile(sys.argv[1]).read("_zorvalind.abi3.so")).hexdigest())' "$$whl")
endif

.PHONY: test-arch wheels

# The same suite as `make test`, with the target's interpreter (PYVER=3.15:
# its CPython 3.15).
test-arch:
	@[[ -n "$(CROSS)" ]] || { echo "make test-arch needs ARCH=<one of: $(ARCHES)>" >&2; exit 2; }
	@$(MAKE) --no-print-directory test ARCH=$(CROSS)

# Every wheel of the matrix into dist/.
wheels:
	@for arch in amd64 $(ARCHES); do $(MAKE) --no-print-directory wheel ARCH=$$arch || exit; done
