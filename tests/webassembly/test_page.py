"""The page of examples/web/, served as `make demo-web` serves it and driven
in headless Chromium as a person would (page_driver.mjs): the module loads
from its wheel in the browser, and what the page shows for each call is the
module's result or its exact error text. The server and the browser end with
the test.
"""

import json
import os
import re
import signal
import subprocess
import sys
import time

import pytest

# (what the person does, the call line, the result line, its kind)
CASES = [
    ({"a": "2", "b": "3"}, "mysum(2, 3)", "5", "value"),
    ({"a": "2**63 - 1", "b": "1"}, "mysum(2**63 - 1, 1)", "-9223372036854775808", "value"),
    ({"example": "mysum(-2**63, -1)"}, "mysum(-2**63, -1)", "9223372036854775807", "value"),
    ({"a": "True", "b": "-5"}, "mysum(True, -5)", "-4", "value"),
    (
        {"a": "1.5", "b": "2"},
        "mysum(1.5, 2)",
        "TypeError: argument 'a': 'float' object cannot be interpreted as an integer",
        "error",
    ),
    (
        {"example": 'mysum(1, "2")'},
        'mysum(1, "2")',
        "TypeError: argument 'b': 'str' object cannot be interpreted as an integer",
        "error",
    ),
    ({"example": "mysum(2**64, 1)"}, "mysum(2**64, 1)", "OverflowError: int too big to convert", "error"),
    (
        {"a": "2 +", "b": "1"},
        "mysum(2 +, 1)",
        "a is not a Python expression: SyntaxError: invalid syntax (<string>, line 1)",
        "input",
    ),
    # Last, so the screenshot shows the attributed TypeError.
    (
        {"example": "mysum(1.5, 2)"},
        "mysum(1.5, 2)",
        "TypeError: argument 'a': 'float' object cannot be interpreted as an integer",
        "error",
    ),
]


def end_group(process):
    """Ends the process and everything it started (its own process group)."""
    try:
        os.killpg(process.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()


def group_alive(pgid):
    try:
        os.killpg(pgid, 0)
    except ProcessLookupError:
        return False
    return True


@pytest.fixture(scope="module")
def page_url(source_root, runtime, web_tools):
    server = subprocess.Popen(
        [sys.executable, source_root / "examples" / "web" / "serve.py", "--runtime", runtime,
         "--wheel", web_tools["wheel"], "--port", "0"],
        stdout=subprocess.PIPE, text=True, start_new_session=True,
    )
    try:
        line = server.stdout.readline()
        match = re.search(r"http://127\.0\.0\.1:\d+/", line)
        assert match, f"the server printed {line!r}"
        yield match.group(0)
    finally:
        end_group(server)
    assert not group_alive(server.pid), "the page's server outlived the test"


@pytest.fixture(scope="module")
def session(source_root, page_url, build_dir, web_tools):
    cases = [action for action, *_ in CASES]
    driver = subprocess.Popen(
        ["node", source_root / "tests" / "webassembly" / "page_driver.mjs", web_tools["npm_modules"],
         web_tools["chromium"], page_url, build_dir / "page.png"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        start_new_session=True,
    )
    try:
        out, err = driver.communicate(json.dumps(cases), timeout=240)
    finally:
        end_group(driver)
    assert driver.returncode == 0, err
    # The browser is the driver's child: it must be gone with the driver.
    deadline = time.monotonic() + 10
    while group_alive(driver.pid) and time.monotonic() < deadline:
        time.sleep(0.2)
    browser_left = group_alive(driver.pid)
    if browser_left:
        os.killpg(driver.pid, signal.SIGKILL)
    assert not browser_left, "the browser outlived its driver"
    return json.loads(out)


def test_page_loads_the_module_from_its_wheel(session):
    assert re.fullmatch(
        r"Ready: Pyodide \d+\.\d+\.\d+, CPython 3\.14\.\d+, zorvalind-[\w.]+-cp314-cp314-pyodide_\w+_wasm32\.whl",
        session["status"],
    ), session["status"]
    assert session["console_errors"] == []


@pytest.mark.parametrize("index", range(len(CASES)), ids=[call for _, call, *_ in CASES])
def test_page_shows_the_result_or_the_exact_error(session, index):
    action, call, result, kind = CASES[index]
    shown = session["cases"][index]
    assert (shown["call"], shown["result"], shown["kind"]) == (call, result, kind)
    if "example" in action:
        # An example fills the fields with its arguments.
        assert "mysum(%s, %s)" % tuple(shown["fields"]) == call
