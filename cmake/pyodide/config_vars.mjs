// Prints the build configuration of a Pyodide runtime as JSON, as the runtime
// itself reports it: sysconfig.get_config_vars() run inside it, the version of
// its CPython, and the "info" of its pyodide-lock.json (ABI, platform).
//
//   node config_vars.mjs RUNTIME_FOLDER
import { readFileSync } from "node:fs";
import path from "node:path";
import { pathToFileURL } from "node:url";

const runtime = path.resolve(process.argv[2]);
const { loadPyodide } = await import(pathToFileURL(path.join(runtime, "pyodide.mjs")).href);
const pyodide = await loadPyodide({ indexURL: runtime + "/", stdout: () => {}, stderr: () => {} });
const vars = JSON.parse(
  pyodide.runPython(`
import json, sys, sysconfig
values = {k: v for k, v in sysconfig.get_config_vars().items() if isinstance(v, (int, str))}
json.dumps({"config_vars": values, "version": "%d.%d.%d" % sys.version_info[:3], "platform": sys.platform})
`),
);
vars.lock_info = JSON.parse(readFileSync(path.join(runtime, "pyodide-lock.json"), "utf8")).info;
vars.runtime_version = JSON.parse(readFileSync(path.join(runtime, "package.json"), "utf8")).version;
process.stdout.write(JSON.stringify(vars, null, 1) + "\n");
