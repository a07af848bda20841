// Loads Pyodide from ./pyodide/, installs the module's wheel (named by
// ./wheel.json) with pyodide.loadPackage(), and calls mysum with what the
// two fields evaluate to. serve.py serves all three.
const $ = (id) => document.getElementById(id);
const status = $("status");
const buttons = [$("run"), ...document.querySelectorAll(".examples button")];

// Each field is evaluated as a Python expression; the call's outcome comes
// back as JSON: the result's repr, or the exception as Python prints it.
const CALL = `
import json
import _zorvalind


def call_mysum(a_text, b_text):
    values = []
    for name, text in (("a", a_text), ("b", b_text)):
        try:
            values.append(eval(text, {}))
        except BaseException as error:
            return json.dumps({"kind": "input", "text": f"{name} is not a Python expression: {type(error).__name__}: {error}"})
    try:
        return json.dumps({"kind": "value", "text": repr(_zorvalind.mysum(*values))})
    except BaseException as error:
        return json.dumps({"kind": "error", "text": f"{type(error).__name__}: {error}"})
`;

async function start() {
  const { loadPyodide } = await import("./pyodide/pyodide.mjs");
  const pyodide = await loadPyodide({ indexURL: new URL("./pyodide/", location.href).href });
  status.textContent = "Installing the zorvalind wheel…";
  const { wheel } = await (await fetch("./wheel.json")).json();
  await pyodide.loadPackage(new URL(wheel, location.href).href, { messageCallback: () => {} });
  pyodide.runPython(CALL);
  const callMysum = pyodide.globals.get("call_mysum");
  const python = pyodide.runPython("import sys; '%d.%d.%d' % sys.version_info[:3]");
  status.textContent = `Ready: Pyodide ${pyodide.version}, CPython ${python}, ${wheel.split("/").pop()}`;
  status.className = "status ready";

  const run = () => {
    const a = $("a").value;
    const b = $("b").value;
    const outcome = JSON.parse(callMysum(a, b));
    $("call").textContent = `mysum(${a}, ${b})`;
    $("call").dataset.count = Number($("call").dataset.count) + 1;
    $("result").textContent = outcome.text;
    $("result").className = outcome.kind;
  };
  $("call-form").addEventListener("submit", (event) => {
    event.preventDefault();
    run();
  });
  for (const button of document.querySelectorAll(".examples button")) {
    button.addEventListener("click", () => {
      $("a").value = button.dataset.a;
      $("b").value = button.dataset.b;
      run();
    });
  }
  for (const button of buttons) button.disabled = false;
  document.body.dataset.ready = "true";
}

start().catch((error) => {
  status.textContent = `Could not start: ${error}`;
  status.className = "status failed";
});
