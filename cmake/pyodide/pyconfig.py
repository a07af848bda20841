"""Derives the pyconfig.h of a Pyodide runtime from its own build configuration.

    python pyconfig.py CONFIG.json OUT/pyconfig.h

CONFIG.json is what config_vars.mjs printed: sysconfig.get_config_vars() as the
runtime reports them. The interpreter running this script lends its own
pyconfig.h (the distribution's, of the same CPython version) as the list of
names: every line of it that defines or leaves out a name sysconfig reports
(those that begin with a capital letter) takes the runtime's value, so the
integer digits, the sizes, pymalloc and every HAVE_ are Pyodide's. A new
Pyodide release means running this again, never editing the result.

What sysconfig does not report is taken as follows: the feature-test macros
(_GNU_SOURCE, _XOPEN_SOURCE, ...), which configure sets alike for every POSIX
target, stay as the template has them; CPython's own underscored facts
(_Py_..., _PY...) describe the template's machine and are left out, so the
headers' own defaults apply. The -D definitions of the runtime's CFLAGS
(PY_CALL_TRAMPOLINE) are added, except NDEBUG, which the build type decides.
"""

import json
import pathlib
import re
import shlex
import sys
import sysconfig

GUARD = "Py_PYCONFIG_H"
REPORTED = re.compile(r"[A-Z][A-Za-z0-9_]+$")
DEFINE = re.compile(r"^(\s*#\s*define\s+)(\w+)(?:\s+(.*?))?\s*$")
UNDEF = re.compile(r"^/\*\s*#\s*undef\s+(\w+)\s*\*/\s*$")


def template_path():
    """The interpreter's own pyconfig.h; Debian's multiarch wrapper is followed
    to the file of this interpreter's architecture."""
    path = pathlib.Path(sysconfig.get_config_h_filename())
    multiarch = sysconfig.get_config_var("MULTIARCH")
    if multiarch and re.search(r"#\s*include\s*<", path.read_text()):
        path = path.parent.parent / multiarch / path.parent.name / "pyconfig.h"
    return path


def derive(template, values, cflags):
    out = []
    left_out = []
    for line in template.splitlines():
        define, undef = DEFINE.match(line), UNDEF.match(line)
        name = define.group(2) if define else undef.group(1) if undef else None
        if name is None or name == GUARD:
            out.append(line)
        elif REPORTED.match(name):
            value = values.get(name, 0)
            if value == 0 and name.startswith("HAVE_DECL_"):
                # autoconf defines each declaration check as 0 or 1.
                out.append(f"#define {name} 0")
            elif value in (0, None):
                out.append(f"/* #undef {name} */")
            else:
                out.append(f"#define {name} {value}")
        elif name.startswith(("_Py", "_PY")):
            left_out.append(name)
        else:
            out.append(line)
    flags = [f[2:] for f in shlex.split(cflags) if f.startswith("-D") and f != "-DNDEBUG"]
    added = ["/* From the runtime's CFLAGS. */"]
    for flag in flags:
        name, _, value = flag.partition("=")
        added.append(f"#define {name} {value or 1}")
    # Inside the include guard: before its closing #endif.
    end = max(i for i, line in enumerate(out) if line.startswith("#endif") and GUARD in line)
    out[end:end] = added + [""]
    return out, sorted(set(left_out))


def main():
    config = json.loads(pathlib.Path(sys.argv[1]).read_text())
    values = config["config_vars"]
    version = "%d.%d" % sys.version_info[:2]
    if values.get("VERSION") != version:
        sys.exit(f"the runtime is CPython {values.get('VERSION')}, the headers are {version}")
    source = template_path()
    lines, left_out = derive(source.read_text(), values, values.get("CFLAGS", ""))
    header = [
        f"/* pyconfig.h of the Pyodide {config['runtime_version']} runtime (CPython {config['version']},",
        f"   {values.get('HOST_GNU_TYPE')}), derived by cmake/pyodide/pyconfig.py from the",
        "   runtime's sysconfig.get_config_vars() over the names of",
        f"   {source}. Do not edit: derive again.",
        f"   Left out (not reported by sysconfig): {', '.join(left_out) or 'nothing'}. */",
        "",
    ]
    out = pathlib.Path(sys.argv[2])
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text("\n".join(header + lines) + "\n")


if __name__ == "__main__":
    main()
