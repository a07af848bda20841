"""Writes the definition file and import library of the interpreter's DLL for
one target: the interpreter names that the target's objects and archives
reference (declared by the headers with PyAPI_FUNC or PyAPI_DATA; data marked
DATA), then dlltool. Other imported names (the C runtime's, the system's) are
left to the toolchain's own import libraries.
"""

import argparse
import pathlib
import re
import subprocess
import sys

# PyAPI_FUNC(type) name(  and  PyAPI_DATA(type) name; the type may hold one
# level of parentheses, the name may be parenthesised against a macro.
_DECL = re.compile(r"\bPyAPI_(FUNC|DATA)\s*\(((?:[^()]|\([^()]*\))*)\)\s*\(?\s*([A-Za-z_]\w*)")


def declared_names(headers):
    """{name: 'FUNC' or 'DATA'} for every interpreter name the headers declare."""
    kinds = {}
    for header in sorted(pathlib.Path(headers).rglob("*.h")):
        text = header.read_text(encoding="utf-8", errors="replace")
        for kind, _type, name in _DECL.findall(text):
            kinds.setdefault(name, kind)
    return kinds


def referenced_imports(nm, inputs):
    """Names referenced through an import slot (__imp_NAME) by the inputs."""
    out = subprocess.run([nm, "--undefined-only", "--format=posix", *inputs],
                         check=True, capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines():
        fields = line.split()
        if len(fields) >= 2 and fields[1] == "U" and fields[0].startswith("__imp_"):
            names.add(fields[0][len("__imp_"):])
    return names


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nm", required=True)
    parser.add_argument("--dlltool", required=True)
    parser.add_argument("--headers", required=True)
    parser.add_argument("--dll", required=True)
    parser.add_argument("--def", dest="def_path", required=True)
    parser.add_argument("--lib", required=True)
    parser.add_argument("inputs", nargs="+")
    args = parser.parse_args()

    kinds = declared_names(args.headers)
    names = sorted(n for n in referenced_imports(args.nm, args.inputs) if n in kinds)
    if not names:
        sys.exit("import_library: the inputs reference no interpreter name")
    lines = [f"LIBRARY {args.dll}", "EXPORTS"]
    lines += [f"    {n} DATA" if kinds[n] == "DATA" else f"    {n}" for n in names]
    pathlib.Path(args.def_path).write_text("\n".join(lines) + "\n")
    subprocess.run([args.dlltool, "--input-def", args.def_path, "--dllname", args.dll,
                    "--output-lib", args.lib], check=True)


if __name__ == "__main__":
    main()
