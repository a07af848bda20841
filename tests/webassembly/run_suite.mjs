// Runs the project's pytest suite inside Pyodide under Node.
//
//   node run_suite.mjs RUNTIME BUILD SITE [PYTEST_ARG...]
//
// RUNTIME is the Pyodide runtime's folder, BUILD the folder of the modules
// built for it, SITE a folder of pure-Python packages that provides pytest and
// hypothesis (the provisioned root's dist-packages). The source tree, BUILD
// and SITE are mounted into the runtime's file system; the suite runs from a
// scratch folder of the runtime's own memory, so nothing is written back.
// Exits with pytest's exit status.
import path from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

const [runtime, build, site, ...pytestArgs] = process.argv.slice(2).map((arg, i) => (i < 3 ? path.resolve(arg) : arg));
const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "..", "..");

const { loadPyodide } = await import(pathToFileURL(path.join(runtime, "pyodide.mjs")).href);
const write = (stream) => ({ write: (bytes) => (stream.write(bytes), bytes.length) });
const pyodide = await loadPyodide({ indexURL: runtime + "/" });
pyodide.setStdout(write(process.stdout));
pyodide.setStderr(write(process.stderr));

for (const [host, mountpoint] of [
  [root, "/zorvalind"],
  [build, "/build"],
  [site, "/site"],
]) {
  pyodide.FS.mkdirTree(mountpoint);
  pyodide.FS.mount(pyodide.FS.filesystems.NODEFS, { root: host }, mountpoint);
}
pyodide.FS.mkdirTree("/tmp/suite");

pyodide.globals.set("pytest_args", pyodide.toPy(pytestArgs));
const status = pyodide.runPython(`
import os, sys
sys.dont_write_bytecode = True
sys.path.append("/site")
os.environ["ZORVALIND_BUILD_DIR"] = "/build"
os.chdir("/tmp/suite")
import pytest
int(pytest.main(["/zorvalind/tests", "-p", "no:cacheprovider", "-q", *pytest_args]))
`);
process.exit(status);
