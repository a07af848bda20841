"""The side modules against the pinned runtime's main module: what the
dynamic linker of Pyodide needs of them, read from the wasm files themselves.
Emscripten and the runtime are pinned separately, so these catch their drift.
"""

import functools
import re
import subprocess

import pytest

import wasm

# The dynamic linker gives each side module its own memory and table bases;
# everything else a side module imports must be an export of the main module.
PER_MODULE_BASES = {("env", "__memory_base"), ("env", "__table_base")}
# What an import of each module names in the main module's exports: GOT.mem
# entries are the addresses of data (exported as globals), GOT.func entries
# those of functions; env imports by kind, the memory and table under the
# main module's names for them. Anything else has nothing to resolve it.
MAIN_EXPORT = {
    ("GOT.mem", "global"): lambda name: (name, "global"),
    ("GOT.func", "global"): lambda name: (name, "func"),
    ("env", "func"): lambda name: (name, "func"),
    ("env", "global"): lambda name: (name, "global"),
    ("env", "tag"): lambda name: (name, "tag"),
    ("env", "memory"): lambda name: ("memory", "memory"),
    ("env", "table"): lambda name: ("__indirect_function_table", "table"),
}
MODULES = ["_zorvalind", "_zorvalind_testing"]
LEGACY = {"try", "catch", "catch_all", "rethrow", "delegate"}
NEW = {"try_table", "throw_ref"}
EXCEPTION_INSTRUCTION = re.compile(r"^\s*[0-9a-f]+:[0-9a-f ]*\t(" + "|".join(sorted(LEGACY | NEW)) + r")\b", re.M)


@pytest.fixture(scope="module")
def main_module(runtime):
    return runtime / "pyodide.asm.wasm"


def module_file(build_dir, name):
    (path,) = build_dir.glob(f"{name}.cpython-*-wasm32-emscripten.so")
    return path


@functools.cache
def exception_instructions(objdump, path):
    code = subprocess.run([objdump, "-d", path], check=True, capture_output=True, text=True).stdout
    return set(EXCEPTION_INSTRUCTION.findall(code))


@pytest.mark.parametrize("name", MODULES)
def test_every_import_is_an_export_of_the_runtimes_main_module(build_dir, main_module, name):
    side = wasm.read(module_file(build_dir, name))
    exports = set(wasm.read(main_module).exports)
    assert not wasm.needed_libraries(side), "the module needs no shared library but the main module"
    unresolved = [
        (module, field, kind)
        for module, field, kind in side.imports
        if (module, field) not in PER_MODULE_BASES
        and MAIN_EXPORT.get((module, kind), lambda _: None)(field) not in exports
    ]
    assert not unresolved, f"{name} imports what the runtime's main module does not export: {unresolved}"


@pytest.mark.parametrize("name", MODULES)
def test_module_uses_the_runtimes_exception_model(build_dir, main_module, objdump, name):
    runtime_model = exception_instructions(objdump, main_module)
    assert runtime_model & LEGACY and not runtime_model & NEW, (
        f"the runtime's main module now uses {sorted(runtime_model)}: "
        "build with the exception model it has (cmake/toolchains/pyodide.cmake)"
    )
    used = exception_instructions(objdump, module_file(build_dir, name))
    # The fault boundary catches, so the module has exception code at all.
    assert "try" in used and not used & NEW, sorted(used)


def test_module_exports_only_its_entry_point_and_the_linkers_own(build_dir):
    exports = wasm.read(module_file(build_dir, "_zorvalind")).exports
    assert ("PyInit__zorvalind", "func") in exports
    others = [(name, kind) for name, kind in exports if name != "PyInit__zorvalind"]
    # __wasm_call_ctors and __wasm_apply_data_relocs, which the dynamic linker calls.
    assert all(name.startswith("__wasm_") and kind == "func" for name, kind in others), others
