"""Writes the interpreter double's definition file: each name of the import
definitions (--imports, the probe DLL's and the module's) that the double's
objects define is exported as itself, every other one as `unmodelled`
(functions) or `unmodelled_data` (data)."""

import argparse
import pathlib
import subprocess

parser = argparse.ArgumentParser()
parser.add_argument("--nm", required=True)
parser.add_argument("--imports", action="append", required=True)
parser.add_argument("--def", dest="def_path", required=True)
parser.add_argument("objects", nargs="+")
args = parser.parse_args()

out = subprocess.run([args.nm, "--defined-only", "--extern-only", "--format=posix", *args.objects],
                     check=True, capture_output=True, text=True).stdout
defined = {line.split()[0] for line in out.splitlines() if len(line.split()) >= 2}

kinds, library = {}, None
for path in args.imports:
    lines = pathlib.Path(path).read_text().splitlines()
    library = lines[0]
    for line in lines[2:]:
        name, *kind = line.split()
        kinds[name] = kind
exports = []
for name, kind in sorted(kinds.items()):
    if name in defined:
        exports.append(f"    {name}")
    elif kind == ["DATA"]:
        exports.append(f"    {name} = unmodelled_data DATA")
    else:
        exports.append(f"    {name} = unmodelled")
exports.append("    double_lock_held")
pathlib.Path(args.def_path).write_text("\n".join([library, "EXPORTS", *exports]) + "\n")
