# PYVER (set in the Makefile) picks the CPython that build, test, demo and
# sdist use. The wheels are the stable ABI's, built by CPython 3.14 for every
# later version. The other runs build into folders of their own that hold one
# interpreter's build only, and their references (debug interpreter, sweep
# counts, fuzzing and benchmark builds) are 3.14's: they refuse another
# version instead of mixing two interpreters' builds in one folder.
PYVER_DEFAULT_ONLY := build-debug test-debug build-asan test-asan test-faults% \
	build-fuzz fuzz% lint% format bench% wheel wheels

ifneq ($(PYVER),3.14)
ifneq ($(filter $(PYVER_DEFAULT_ONLY),$(MAKECMDGOALS)),)
$(error $(filter $(PYVER_DEFAULT_ONLY),$(MAKECMDGOALS)) run on CPython 3.14 only; drop PYVER=$(PYVER))
endif
endif
