#!/usr/bin/env python3
"""Serves the viewer and one baked model on this machine:

    python3 viewer/serve.py OUT.glb [--port N]

then open the address it prints. The page is this folder (three.js from its
node_modules: run `npm ci` here once); the model is served as /model.glb."""

import argparse
import functools
import http.server
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


class ViewerHandler(http.server.SimpleHTTPRequestHandler):
    model_path = ""

    def translate_path(self, path):
        if path.split("?", 1)[0] == "/model.glb":
            return self.model_path
        return super().translate_path(path)

    def log_message(self, *arguments):  # quiet: only what goes wrong is worth a line
        pass


def main():
    parser = argparse.ArgumentParser(description="Serves the viewer and one baked model.")
    parser.add_argument("model", help="a .glb written by lumivex-bake")
    parser.add_argument("--port", type=int, default=8000, help="port on 127.0.0.1 (default 8000; 0: any free one)")
    arguments = parser.parse_args()
    if not os.path.isfile(arguments.model):
        sys.exit(f"serve.py: no such file {arguments.model}")
    if not os.path.isfile(os.path.join(HERE, "node_modules", "three", "build", "three.module.js")):
        sys.exit(f"serve.py: three.js is not installed: run npm ci in {HERE}")
    ViewerHandler.model_path = os.path.abspath(arguments.model)
    handler = functools.partial(ViewerHandler, directory=HERE)
    with http.server.ThreadingHTTPServer(("127.0.0.1", arguments.port), handler) as server:
        print(f"http://127.0.0.1:{server.server_address[1]}/index.html", flush=True)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass


if __name__ == "__main__":
    main()
