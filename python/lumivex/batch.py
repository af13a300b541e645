"""Batches of models: every model under a folder imported, laid out where asked, sampled and previewed.

    python3 -m lumivex.batch SRC_FOLDER OUT_FOLDER [--size N] [--generate-lightmap-uv] [--jobs N]
                             [--scheduler ADDRESS [--connect-timeout S]]

Each model SRC/a/b/duck.dae gives OUT/a/b/duck.dae.kvx (through lumivex-import, which reads the model in a
process of its own), .json (the layout report), .samples and -normal.png, -position.png, -coverage.png
(through lumivex-preview), and last OUT/a/b/duck.dae.record.json, the model's record. A model that fails
gets a record too and never stops the batch. A batch started again skips every model whose record is
there and still true: same source file, same settings, every output of the same size and SHA-256.

At the end: OUT/summary.json (the records, by model) and OUT/summary.txt (the same as a table, also
printed). --jobs N runs N models at once here; --scheduler hands the models to a Dask cluster
(python3-distributed) whose workers have this package installed and see SRC and OUT at the same paths.

Exit codes: 0 every model converted; 4 some were not (see the summary); 1 wrong arguments; 2 the batch
itself failed (OUT cannot be written, the scheduler cannot be reached); 130 interrupted (run it again
to go on).
"""

import argparse
import concurrent.futures
import ctypes
import functools
import hashlib
import importlib
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import lumivex

# Files that are parts of models (textures, materials, buffers) or not models at all.
SKIPPED_SUFFIXES = {".png", ".jpg", ".jpeg", ".tga", ".bmp", ".dds", ".txt", ".mtl", ".glsl", ".bin", ".xml",
                    ".md", ".html", ".pdf", ".ini", ".cfg", ".shader", ".json", ".kvx", ".samples"}
# lumivex-import's exit codes, as the records name them.
OUTCOMES = {0: "converted", 1: "wrong arguments", 2: "unreadable", 3: "no triangles", 4: "no lightmap UVs",
            5: "cannot write"}
PREVIEWS = ("-normal.png", "-position.png", "-coverage.png")
RECORD_VERSION = 1


def find_program(name):
    """A companion program: named by LUMIVEX_IMPORT_BINARY (LUMIVEX_PREVIEW_BINARY, ...), carried in this
    package's bin folder, on the PATH, or beside this package in a build or install tree."""
    named = os.environ.get("LUMIVEX_" + name.split("-", 1)[1].upper() + "_BINARY")
    package = Path(lumivex.__file__).resolve().parent
    candidates = [named, package / "bin" / name, shutil.which(name), package.parents[1] / name,
                  package.parents[3] / "bin" / name]
    for candidate in candidates:
        if candidate and Path(candidate).is_file() and os.access(candidate, os.X_OK):
            return str(candidate)
    raise FileNotFoundError(f"{name} not found: install the package with its programs, or set "
                            f"LUMIVEX_{name.split('-', 1)[1].upper()}_BINARY")


def models_under(source):
    """Every model file under `source`, relative, sorted; hidden files and folders left out."""
    found = []
    for folder, folders, files in os.walk(source):
        folders[:] = sorted(f for f in folders if not f.startswith("."))
        for name in files:
            path = Path(folder, name)
            if not name.startswith(".") and path.suffix.lower() not in SKIPPED_SUFFIXES:
                found.append(path.relative_to(source).as_posix())
    return sorted(found)


# ---------------------------------------------------------------- one model

_children = set()  # running child processes, ended when the batch is interrupted
_children_lock = threading.Lock()
_stopping = threading.Event()


def _die_with_parent(parent):
    """In a child, before it runs the program: killed when the thread that started it ends (this
    process killed included), so that no import outlives an interrupted batch. A batch killed
    between the fork and the line below left an orphan that no signal will reach: it ends here."""
    PR_SET_PDEATHSIG = 1
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    if os.getppid() != parent:
        os._exit(255)


_libc = ctypes.CDLL(None, use_errno=True)


def run_program(arguments, timeout):
    """Runs a program to its end; (exit code, standard error). A program killed by a signal gives
    minus the signal's number."""
    process = subprocess.Popen(arguments, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                               preexec_fn=functools.partial(_die_with_parent, os.getpid()))
    with _children_lock:
        _children.add(process)
    try:
        _, error = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        _, error = process.communicate()
    finally:
        with _children_lock:
            _children.discard(process)
    return process.returncode, error.decode("utf-8", "replace")


def first_problem(text):
    """The first error (else warning) line of a program's standard error."""
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    for prefix in ("Error", "Warning"):
        for line in lines:
            if line.startswith(prefix):
                return line
    return lines[0] if lines else ""


def fingerprint(path):
    status = os.stat(path)
    return {"bytes": status.st_size, "modified_ns": status.st_mtime_ns}


def digest(path):
    sha = hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            sha.update(block)
    return sha.hexdigest()


def write_atomically(path, text):
    temporary = Path(f"{path}.{os.getpid()}.{threading.get_ident()}.tmp")
    temporary.write_text(text, encoding="utf-8")
    os.replace(temporary, path)


def settings_of(arguments):
    return {"size": arguments.size, "generate_lightmap_uv": arguments.generate_lightmap_uv,
            "version": lumivex.__version__}


def still_true(record, source_file, out_base, settings):
    """Whether an earlier record holds for the model as it is now."""
    if record.get("record_version") != RECORD_VERSION or record.get("settings") != settings:
        return False
    if record.get("source") != fingerprint(source_file):
        return False
    for name, (size, sha) in record.get("outputs", {}).items():
        path = out_base.parent / name
        if not path.is_file() or path.stat().st_size != size or digest(path) != sha:
            return False
    return True


def convert(source_file, out_base, settings, record):
    """Import, sample and preview one model into `record`."""
    arguments = [find_program("lumivex-import"), str(source_file), str(out_base), "--size", str(settings["size"]),
                 "--report", f"{out_base}.json"]
    if settings["generate_lightmap_uv"]:
        arguments.append("--generate-lightmap-uv")
    code, error = run_program(arguments, timeout=600)
    record.update(exit_code=code, outcome=OUTCOMES.get(code, "failed"), reason=first_problem(error))
    if code != 0:
        return
    report = json.loads(Path(f"{out_base}.json").read_text(encoding="utf-8"))
    record["figures"] = {key: report.get(key) for key in ("triangles", "outside", "zeroArea", "unsampled",
                                                          "overlappedTexels", "sizeSamplingAll")}
    record["figures"]["meshes"] = len(report.get("meshes", []))
    samples = lumivex.sample_file(f"{out_base}.kvx", settings["size"])
    samples.save(f"{out_base}.samples")
    covered = samples.stats["covered_texels"]
    record["figures"].update(covered_texels=covered, covered_share=round(covered / samples.width / samples.height, 4))
    code, error = run_program([find_program("lumivex-preview"), f"{out_base}.samples", str(out_base)], timeout=600)
    if code != 0:
        record.update(exit_code=code, outcome="preview failed", reason=first_problem(error))


def process_model(model, source, out, settings):
    """Converts one model (a path relative to `source`) unless its record still holds; returns its record.
    Runs on any machine that has the package and sees `source` and `out` at these paths."""
    source_file, out_base = Path(source, model), Path(out, model)
    record_path = Path(f"{out_base}.record.json")
    if record_path.is_file():
        try:
            earlier = json.loads(record_path.read_text(encoding="utf-8"))
            if still_true(earlier, source_file, out_base, settings):
                return dict(earlier, reused=True)
        except (OSError, ValueError):
            pass  # unreadable or not a record: convert again
    if _stopping.is_set():
        return None
    out_base.parent.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    record = {"model": model, "record_version": RECORD_VERSION, "settings": settings,
              "source": fingerprint(source_file), "outcome": "failed", "exit_code": None, "reason": ""}
    try:
        convert(source_file, out_base, settings, record)
    except Exception as error:  # noqa: BLE001 (a model that fails never stops the batch)
        record.update(outcome="failed", reason=f"{type(error).__name__}: {error}")
    if _stopping.is_set():
        return None  # stopped part-way: no record, so that the next run does it again
    record["seconds"] = round(time.monotonic() - started, 2)
    names = [f"{out_base.name}{suffix}" for suffix in (".kvx", ".json", ".samples", *PREVIEWS)]
    record["outputs"] = {name: [(out_base.parent / name).stat().st_size, digest(out_base.parent / name)]
                         for name in names if record["outcome"] == "converted"}
    write_atomically(record_path, json.dumps(record, indent=1))
    return dict(record, reused=False)


# ---------------------------------------------------------------- the batch

class Progress:
    """A line on standard error, rewritten in place, only on a terminal."""

    def __init__(self, total):
        self.total, self.done, self.failed, self.started = total, 0, 0, time.monotonic()
        self.shown = sys.stderr.isatty()

    def advance(self, record):
        self.done += 1
        self.failed += record["outcome"] != "converted"
        if self.shown:
            filled = int(30 * self.done / max(self.total, 1))
            elapsed = int(time.monotonic() - self.started)
            sys.stderr.write(f"\r[{'#' * filled}{'.' * (30 - filled)}] {self.done}/{self.total} models, "
                             f"{self.failed} not converted, {elapsed // 60}:{elapsed % 60:02d}")
            sys.stderr.flush()

    def end(self):
        if self.shown:
            sys.stderr.write("\n")


def run_here(models, source, out, settings, jobs, progress):
    """The models on `jobs` threads here (the work is in child processes and in the library)."""
    records = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        pending = {pool.submit(process_model, model, source, out, settings) for model in models}
        try:
            while pending:
                done, pending = concurrent.futures.wait(pending, timeout=0.2,
                                                        return_when=concurrent.futures.FIRST_COMPLETED)
                for future in done:
                    records.append(future.result())
                    progress.advance(records[-1])
        except KeyboardInterrupt:
            _stopping.set()
            for future in pending:
                future.cancel()
            with _children_lock:
                for child in _children:
                    child.kill()
            raise
    return records


class ClusterCannotRun(Exception):
    """The cluster was reached but cannot run the batch's tasks."""


def run_on_cluster(models, source, out, settings, address, connect_timeout, progress):
    """The models as tasks of a Dask cluster."""
    try:
        from distributed import Client, as_completed
    except ImportError as missing:
        raise SystemExit(f"Error : --scheduler needs Dask's distributed package (python3-distributed): {missing}")
    # The task by its module's name (run as python3 -m, this module is __main__, which workers lack).
    task = importlib.import_module("lumivex.batch").process_model
    records = []
    with Client(address, timeout=f"{connect_timeout}s") as client:
        # A worker that cannot import this package fails each task as it unpickles it, and the
        # batch would wait for ever: ask the workers first.
        try:
            client.run(importlib.import_module, "lumivex.batch")
        except ImportError as missing:
            raise ClusterCannotRun(f"--scheduler: the cluster's workers cannot import lumivex (install it where "
                                   f"they run): {missing}") from None
        futures = client.map(task, models, source=source, out=out, settings=settings, pure=False)
        try:
            for future in as_completed(futures):
                records.append(future.result())
                progress.advance(records[-1])
        except KeyboardInterrupt:
            client.cancel(futures)
            raise
    return records


def table(records):
    rows = [("exit", "outcome", "triangles", "covered", "seconds", "model", "reason")]
    for r in records:
        figures = r.get("figures") or {}
        covered = f"{100 * figures['covered_share']:.1f} %" if "covered_share" in figures else ""
        rows.append((str(r["exit_code"]), r["outcome"], str(figures.get("triangles", "")), covered,
                     f"{r.get('seconds', 0):.2f}", r["model"], r["reason"][:80]))
    widths = [max(len(row[c]) for row in rows) for c in range(len(rows[0]) - 1)]
    lines = ["  ".join(cell.ljust(width) for cell, width in zip(row, widths)) + "  " + row[-1] for row in rows]
    counts = {}
    for r in records:
        counts[r["outcome"]] = counts.get(r["outcome"], 0) + 1
    lines.append("")
    lines.append(", ".join(f"{count} {outcome}" for outcome, count in sorted(counts.items())) +
                 f" ({len(records)} models, {sum(r.get('reused', False) for r in records)} done before)")
    return "\n".join(line.rstrip() for line in lines) + "\n"


def parse(argv):
    parser = argparse.ArgumentParser(prog="python3 -m lumivex.batch",
                                     description="Imports, lays out where asked, samples and previews every model "
                                                 "under SRC_FOLDER into OUT_FOLDER.")
    parser.add_argument("source", metavar="SRC_FOLDER")
    parser.add_argument("out", metavar="OUT_FOLDER")
    parser.add_argument("--size", type=int, default=512, help="lightmap size, 1 to 16384 (512)")
    parser.add_argument("--generate-lightmap-uv", action="store_true", help="make lightmap UVs for every mesh")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="models at once on this machine (the processors)")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="a Dask scheduler (tcp://host:8786) to run them on")
    parser.add_argument("--connect-timeout", type=float, default=20, metavar="SECONDS",
                        help="how long to try reaching the scheduler (20)")
    parser.add_argument("--version", action="version", version=f"lumivex.batch {lumivex.__version__}")
    arguments = parser.parse_args(argv)
    if not 1 <= arguments.size <= 16384:
        parser.error("--size: must be from 1 to 16384")
    if arguments.jobs < 1:
        parser.error("--jobs: must be 1 or more")
    if not Path(arguments.source).is_dir():
        parser.error(f"SRC_FOLDER: {arguments.source} is not a folder")
    return arguments


def main(argv=None):
    arguments = parse(argv)
    source, out = str(Path(arguments.source).resolve()), str(Path(arguments.out).resolve())
    settings = settings_of(arguments)
    models = [m for m in models_under(source) if not Path(source, m).resolve().is_relative_to(out)]
    try:
        Path(out).mkdir(parents=True, exist_ok=True)
        if arguments.scheduler is None:
            find_program("lumivex-import"), find_program("lumivex-preview")  # before any work
    except (OSError, FileNotFoundError) as error:
        print(f"Error : {error}", file=sys.stderr)
        return 2
    progress = Progress(len(models))
    try:
        if arguments.scheduler:
            records = run_on_cluster(models, source, out, settings, arguments.scheduler, arguments.connect_timeout,
                                     progress)
        else:
            records = run_here(models, source, out, settings, arguments.jobs, progress)
    except KeyboardInterrupt:
        progress.end()
        print("Interrupted: run the same command again to go on where it stopped.", file=sys.stderr)
        return 130
    except ValueError as error:
        if not arguments.scheduler:
            raise
        progress.end()  # an address Dask cannot read
        print(f"Error : --scheduler: {error}", file=sys.stderr)
        return 1
    except (OSError, TimeoutError, ClusterCannotRun) as error:
        progress.end()
        print(f"Error : {error}", file=sys.stderr)
        return 2
    progress.end()
    records = sorted((r for r in records if r is not None), key=lambda r: r["model"])
    summary = [{key: r.get(key) for key in ("model", "outcome", "exit_code", "reason", "figures", "seconds", "reused")}
               for r in records]
    write_atomically(Path(out, "summary.json"), json.dumps(summary, indent=1))
    text = table(records)
    write_atomically(Path(out, "summary.txt"), text)
    sys.stdout.write(text)
    return 0 if all(r["outcome"] == "converted" for r in records) else 4


if __name__ == "__main__":
    sys.exit(main())
