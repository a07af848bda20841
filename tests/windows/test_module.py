"""The cross-built module as a Windows DLL: what it exports, what it imports,
and that the interpreter names it imports are real ones."""

import pathlib
import re
import subprocess
import sys
import sysconfig

import pytest

from conftest import INTERPRETER_DLL, MODULE_FILE
from platforms import STABLE_ABI_MISSING, stable_abi_names

# The C runtime CPython on Windows uses (UCRT) and the system; nothing else may
# be needed at run time, since the interpreter does not search other folders.
ALLOWED_DLL = re.compile(r"^(python3\.dll|KERNEL32\.dll|api-ms-win-crt-[a-z]+-l1-1-0\.dll)$")


def pe_dump(binutil, path):
    return binutil("objdump", "-p", path)


def imported_names(dump):
    """{dll: [names]} from the import tables."""
    tables, current = {}, None
    for line in dump.splitlines():
        dll = re.match(r"^\tDLL Name: (\S+)$", line)
        entry = re.match(r"^\t[0-9a-f]+\s+(?:<none>|[0-9a-f]+)\s+[0-9a-f]+\s+(\S+)$", line)
        if dll:
            current = tables.setdefault(dll.group(1), [])
        elif entry and current is not None:
            current.append(entry.group(1))
        elif not line.strip():
            current = None
    return tables


def exported_names(dump):
    section = dump.split("[Ordinal/Name Pointer] Table", 1)
    if len(section) < 2:
        return []
    return re.findall(r"^\t\[\s*\d+\] \+base\[\s*\d+\]\s+[0-9a-f]+ (\S+)$", section[1], re.MULTILINE)


def libpython_symbols():
    """{name: nm type} of the dynamic symbols the interpreter's library defines."""
    # LIBDIR is where the interpreter was configured to live; a relocated one
    # (the provisioned root) has the library under its own prefix.
    soname, multiarch = sysconfig.get_config_var("INSTSONAME"), sysconfig.get_config_var("MULTIARCH") or ""
    candidates = [pathlib.Path(sys.base_prefix, "lib", multiarch, soname),
                  pathlib.Path(sysconfig.get_config_var("LIBDIR"), soname)]
    library = next(path for path in candidates if path.is_file())
    out = subprocess.run(["nm", "-D", "--defined-only", library], check=True, capture_output=True, text=True).stdout
    return {fields[2].split("@")[0]: fields[1] for fields in map(str.split, out.splitlines()) if len(fields) == 3}


def referenced_interpreter_names(binutil, objects):
    """Names the objects reach through an import slot, those of the C API only."""
    out = binutil("nm", "--undefined-only", "--format=posix", *objects)
    names = {fields[0].removeprefix("__imp_") for fields in map(str.split, out.splitlines()) if fields}
    return {name for name in names if name.startswith(("Py", "_Py"))}


def test_is_a_pe32_plus_x86_64_dll_named_as_cpython_looks_for(binutil, module_path):
    # CPython on Windows imports <name>.cp3XY-win_amd64.pyd or <name>.pyd; a .dll is never tried.
    assert module_path.name == MODULE_FILE
    header = binutil("objdump", "-f", module_path)
    assert "file format pei-x86-64" in header
    dump = pe_dump(binutil, module_path)
    assert re.search(r"^Magic\s+020b\s+\(PE32\+\)", dump, re.MULTILINE)
    characteristics = re.search(r"^Characteristics 0x([0-9a-f]+)", dump, re.MULTILINE)
    assert int(characteristics.group(1), 16) & 0x2000, "not a DLL"


def test_exports_exactly_the_entry_point(binutil, module_path):
    assert exported_names(pe_dump(binutil, module_path)) == ["PyInit__zorvalind"]


def test_imports_only_the_interpreter_the_c_runtime_and_the_system(binutil, module_path):
    tables = imported_names(pe_dump(binutil, module_path))
    assert INTERPRETER_DLL in tables and "KERNEL32.dll" in tables
    assert sorted(dll for dll in tables if not ALLOWED_DLL.match(dll)) == []


def test_interpreter_imports_are_names_the_module_calls(binutil, module_path, module_objects):
    imported = set(imported_names(pe_dump(binutil, module_path))[INTERPRETER_DLL])
    assert imported <= referenced_interpreter_names(binutil, module_objects)


def test_interpreter_imports_are_in_the_stable_abi(binutil, module_path):
    # python3.dll exports the stable ABI's names and no other: CPython's own
    # list of them, from the provisioned interpreter's test suite.
    names = stable_abi_names()
    if names is None:
        pytest.skip(STABLE_ABI_MISSING)
    imported = set(imported_names(pe_dump(binutil, module_path))[INTERPRETER_DLL])
    assert imported and imported <= names, sorted(imported - names)


@pytest.mark.parametrize("definition", ["_zorvalind-python.def", "zorvalind_platform_probes-python.def"])
def test_import_definitions_name_what_the_interpreter_exports(windows_build, definition):
    # The same C API on Linux: a name it does not export, or exports as the
    # other kind, was invented or misread from the headers.
    lines = (windows_build / definition).read_text().splitlines()
    assert lines[:2] == [f"LIBRARY {INTERPRETER_DLL}", "EXPORTS"]
    exported = libpython_symbols()
    wrong = []
    for line in lines[2:]:
        name, *data = line.split()
        kind = exported.get(name)
        is_data = kind is not None and kind in "DdBbRrVv"
        if kind is None or is_data != (data == ["DATA"]):
            wrong.append((name, kind, data))
    assert wrong == []
    assert len(lines) > 20


def test_per_thread_values_need_no_destructor_at_thread_exit(binutil, module_objects):
    # Emulated thread-locals with destructors are destroyed in the wrong order
    # at thread exit; the module's are trivially destructible, so its objects
    # register none.
    undefined = binutil("nm", "--undefined-only", "--format=posix", *module_objects).split()
    assert "__emutls_get_address" in undefined
    assert [s for s in undefined if "thread_atexit" in s or s == "_tlregdtor"] == []
