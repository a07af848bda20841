"""Serves the page of examples/web/ on 127.0.0.1, with the Pyodide runtime and
the module's Pyodide wheel beside it.

    python serve.py --runtime RUNTIME --wheel WHEEL [--port PORT]

  /                  this folder (index.html, page.mjs, page.css)
  /pyodide/          the runtime's folder (pyodide.mjs, pyodide.asm.wasm, ...)
  /wheels/NAME.whl   the wheel, under its own file name
  /wheel.json        {"wheel": "wheels/NAME.whl"}: what the page installs

Modules and WebAssembly are served with the types a browser insists on
(text/javascript for .mjs, application/wasm for .wasm). --port 0 takes a free
port. Prints the address on one line once it listens, then serves until
interrupted (Ctrl-C), terminated, or left by the process that started it
(`make demo-web` killed), so no server outlives its make.
"""

import argparse
import functools
import http.server
import json
import os
import pathlib
import posixpath
import signal
import sys
import threading
import time
import urllib.parse

HERE = pathlib.Path(__file__).resolve().parent
TYPES = {
    ".html": "text/html; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".js": "text/javascript",
    ".mjs": "text/javascript",
    ".json": "application/json",
    ".wasm": "application/wasm",
    ".zip": "application/zip",
    ".whl": "application/zip",
    ".map": "application/json",
}


class Handler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *args, runtime, wheel, **kwargs):
        self.runtime = runtime
        self.wheel = wheel
        super().__init__(*args, directory=str(HERE), **kwargs)

    def translate_path(self, path):
        path = posixpath.normpath(urllib.parse.unquote(urllib.parse.urlsplit(path).path))
        if path.startswith("/pyodide/"):
            return str(self.runtime / path.removeprefix("/pyodide/"))
        if path == f"/wheels/{self.wheel.name}":
            return str(self.wheel)
        return super().translate_path(path)

    def guess_type(self, path):
        return TYPES.get(pathlib.PurePath(path).suffix, "application/octet-stream")

    def do_GET(self):
        if urllib.parse.urlsplit(self.path).path == "/wheel.json":
            body = json.dumps({"wheel": f"wheels/{self.wheel.name}"}).encode()
            self.send_response(200)
            self.send_header("Content-Type", TYPES[".json"])
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        super().do_GET()

    def end_headers(self):
        self.send_header("Cache-Control", "no-store")
        super().end_headers()

    def log_message(self, format, *args):
        if "--verbose" in sys.argv:
            super().log_message(format, *args)


def stop_when_orphaned(server):
    parent = os.getppid()
    while os.getppid() == parent:
        time.sleep(0.5)
    server.shutdown()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runtime", type=pathlib.Path, required=True)
    parser.add_argument("--wheel", type=pathlib.Path, required=True)
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--verbose", action="store_true", help="log every request")
    args = parser.parse_args()
    for path in (args.runtime / "pyodide.mjs", args.wheel):
        if not path.is_file():
            sys.exit(f"serve.py: {path} is missing")
    # Ctrl-C and termination end the server the same way, even when the
    # process was started with either signal ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    handler = functools.partial(Handler, runtime=args.runtime.resolve(), wheel=args.wheel.resolve())
    with http.server.ThreadingHTTPServer(("127.0.0.1", args.port), handler) as server:
        threading.Thread(target=stop_when_orphaned, args=(server,), daemon=True).start()
        print(f"serving the page at http://127.0.0.1:{server.server_address[1]}/ (Ctrl-C stops)", flush=True)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass


if __name__ == "__main__":
    main()
