#!/usr/bin/env python3
"""The viewer in a headless browser: bakes the example under a sun from +z
(its +x side facing away), serves the page and the model with the viewer's
own serve.py, loads it, and checks what was drawn: the model is there, lit
(neither all black nor all background), and its side facing the sun is
brighter than the side facing away. Keeps the screenshot beside the outputs.

    viewer_check.py BAKE_PROGRAM EXAMPLE.kvx VIEWER_FOLDER WORK_FOLDER
"""

import json
import os
import re
import subprocess
import sys

CHROMIUM_FLAGS = ["--headless=new", "--no-sandbox", "--use-angle=swiftshader", "--enable-unsafe-swiftshader",
                  "--window-size=800,600", "--virtual-time-budget=20000", "--hide-scrollbars"]


def serve(viewer, model):
    """The viewer's own server (serve.py) on a free port: the process and the page's address."""
    server = subprocess.Popen([sys.executable, os.path.join(viewer, "serve.py"), model, "--port", "0"],
                              stdout=subprocess.PIPE, text=True)
    address = server.stdout.readline().strip()
    if not address.startswith("http://"):
        server.kill()
        sys.exit(f"serve.py gave no address: {address!r}")
    return server, address


def chromium(arguments, work):
    profile = os.path.join(work, "chromium-profile")  # the test's own, not the user's
    return subprocess.run(["chromium", *CHROMIUM_FLAGS, f"--user-data-dir={profile}", *arguments],
                          capture_output=True, text=True, timeout=120)


def page_report(url, work):
    """The page's report, and the last page dumped. The browser's first start on
    a fresh machine (fonts and profile set up) has been seen to spend the page's
    virtual time before the model was shown: up to three tries."""
    for _ in range(3):
        page = chromium(["--dump-dom", url], work)
        found = re.search(r'<pre id="report">([^<]*)</pre>', page.stdout)
        if found and found.group(1):
            return found.group(1), page
    return None, page


def main():
    bake, example, viewer, work = sys.argv[1:5]
    os.makedirs(work, exist_ok=True)
    subprocess.run([bake, example, os.path.join(work, "example"), "--size", "128", "--sun", "0,0.3,1,1",
                    "--sky", "0.1,0.1,0.1", "--rays", "16"], check=True, stdout=subprocess.DEVNULL)
    server, address = serve(viewer, os.path.join(work, "example.glb"))
    try:
        # Probes in the model's bounding box: the middle of its +z side (toward the sun) and of its +x side.
        url = address + "?test&probe=0.5,0.5,1;1,0.5,0.5"
        report, page = page_report(url, work)
        chromium([f"--screenshot={os.path.join(work, 'viewer.png')}", url], work)
    finally:
        server.kill()
        server.wait()
    if report is None:
        status = re.search(r'<[^>]*id="status"[^>]*>([^<]*)<', page.stdout)
        sys.exit(f"the page reported nothing (status: {status.group(1) if status else 'none'}):\n"
                 + page.stdout[-2000:] + page.stderr[-2000:])
    report = json.loads(report)
    print(json.dumps(report, indent=1))
    failures = []
    if not report.get("loaded"):
        failures.append("the model did not load")
    else:
        if not 0.05 < report["modelShare"] < 0.95:
            failures.append(f"the model covers {report['modelShare']:.3f} of the picture")
        if report["maxLuma"] < 0.5:
            failures.append("the model is drawn dark: no light shows")
        lit, away = report["probes"]
        if not lit["luma"] > away["luma"] + 0.2:
            failures.append(f"the side toward the sun ({lit['luma']:.2f}) is not brighter than the side away "
                            f"({away['luma']:.2f})")
    if not os.path.getsize(os.path.join(work, "viewer.png")):
        failures.append("no screenshot")
    if failures:
        sys.exit("; ".join(failures))


if __name__ == "__main__":
    main()
