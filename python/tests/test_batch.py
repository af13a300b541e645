"""Batches: a folder of models through lumivex-import, the sampler and lumivex-preview, here on two
threads and on a two-worker Dask cluster, killed half-way and started again."""

import functools
import json
import math
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import lumivex
from lumivex import batch

try:
    batch.find_program("lumivex-import")
    batch.find_program("lumivex-preview")
except FileNotFoundError:
    pytest.skip("lumivex-import and lumivex-preview are not built here", allow_module_level=True)


def sphere_obj(rings, segments):
    """A UV sphere as OBJ text, with texture coordinates (set 0 only: no lightmap UVs)."""
    lines = []
    for r in range(rings + 1):
        for s in range(segments + 1):
            theta, phi = math.pi * r / rings, 2 * math.pi * s / segments
            lines.append(f"v {math.sin(theta) * math.cos(phi):.6f} {math.cos(theta):.6f} {math.sin(theta) * math.sin(phi):.6f}")
            lines.append(f"vt {s / segments:.6f} {r / rings:.6f}")
    for r in range(rings):
        for s in range(segments):
            a, b = r * (segments + 1) + s + 1, (r + 1) * (segments + 1) + s + 1
            lines.append(f"f {a}/{a} {b}/{b} {b + 1}/{b + 1}")
            lines.append(f"f {a}/{a} {b + 1}/{b + 1} {a + 1}/{a + 1}")
    return "\n".join(lines) + "\n"


def model_folder(root, spheres=0):
    """Models of every outcome, nested, with files that are not models beside them."""
    source = root / "models"
    (source / "nested" / "deeper").mkdir(parents=True)
    (source / ".hidden").mkdir()
    (source / "cube.obj").write_text(sphere_obj(2, 4))
    (source / "nested" / "ball.obj").write_text(sphere_obj(12, 24))
    (source / "nested" / "deeper" / "ball.OBJ").write_text(sphere_obj(6, 8))
    (source / "points.obj").write_text("v 0 0 0\nv 1 0 0\nv 0 1 0\np 1 2 3\n")
    (source / "broken.obj").write_text("f 1 2 3 4 5 6 7 8 9\nthis is no model\n")
    (source / "texture.png").write_bytes(b"\x89PNG not read")
    (source / ".hidden" / "skipped.obj").write_text(sphere_obj(2, 4))
    for k in range(spheres):
        (source / "many" / f"sphere{k:02d}.obj").parent.mkdir(exist_ok=True)
        (source / "many" / f"sphere{k:02d}.obj").write_text(sphere_obj(60 + k, 120))
    return source


def run_batch(source, out, *options, wait=True, timeout=None):
    command = [sys.executable, "-m", "lumivex.batch", str(source), str(out), "--size", "128", *options]
    if not wait:
        return subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout)


def outcomes(out):
    return {r["model"]: (r["outcome"], r["exit_code"], r["figures"]) for r in json.loads((out / "summary.json").read_text())}


def test_a_batch_agrees_with_the_tools_run_one_by_one(tmp_path):
    source = model_folder(tmp_path)
    run = run_batch(source, tmp_path / "out", "--generate-lightmap-uv", "--jobs", "2")
    assert run.returncode == 4, run.stderr  # some models are not convertible
    records = outcomes(tmp_path / "out")
    assert sorted(records) == ["broken.obj", "cube.obj", "nested/ball.obj", "nested/deeper/ball.OBJ", "points.obj"]
    for model, (outcome, code, _) in records.items():
        alone = subprocess.run([batch.find_program("lumivex-import"), str(source / model), str(tmp_path / "alone"),
                                "--size", "128", "--generate-lightmap-uv"], capture_output=True)
        assert code == alone.returncode and outcome == batch.OUTCOMES[code], model
    assert records["points.obj"][0] == "no triangles" and records["cube.obj"][0] == "converted"
    base = tmp_path / "out" / "nested" / "ball.obj"
    for suffix in (".kvx", ".json", ".samples", "-normal.png", "-position.png", "-coverage.png", ".record.json"):
        assert Path(f"{base}{suffix}").is_file(), suffix
    samples = lumivex.read_samples(f"{base}.samples")
    assert samples.stats["covered_texels"] == records["nested/ball.obj"][2]["covered_texels"] > 0
    assert "converted" in run.stdout and "nested/ball.obj" in run.stdout
    # Without layouts, OBJ models have no lightmap UVs: every one says so, none stops the batch.
    plain = run_batch(source, tmp_path / "plain", "--jobs", "2")
    assert {o for o, _, _ in outcomes(tmp_path / "plain").values()} == {"no lightmap UVs", "no triangles", "unreadable"}
    assert plain.returncode == 4


def test_a_batch_killed_half_way_goes_on_where_it_stopped(tmp_path):
    source = model_folder(tmp_path, spheres=10)
    out = tmp_path / "out"
    running = run_batch(source, out, "--generate-lightmap-uv", "--jobs", "1", wait=False)
    deadline = time.monotonic() + 60
    while len(list(out.rglob("*.record.json"))) < 4 and time.monotonic() < deadline:
        time.sleep(0.05)
    running.send_signal(signal.SIGKILL)
    running.wait()
    done_before = len(list(out.rglob("*.record.json")))
    assert 4 <= done_before < 15, "killed half-way"
    time.sleep(0.5)  # the import it was running dies with it
    importing = [p for p in Path("/proc").glob("[0-9]*") if str(source).encode() in _cmdline(p)]
    assert not importing, "no child left behind"

    again = run_batch(source, out, "--generate-lightmap-uv", "--jobs", "2")
    assert again.returncode == 4, again.stderr
    summary = json.loads((out / "summary.json").read_text())
    assert len(summary) == 15 and sum(r["reused"] for r in summary) >= done_before
    fresh = tmp_path / "fresh"
    run_batch(source, fresh, "--generate-lightmap-uv")
    assert outcomes(out) == outcomes(fresh)
    # A changed model is converted again; an output that changed is made again.
    (source / "cube.obj").write_text(sphere_obj(3, 6))
    Path(f"{out}/nested/ball.obj.samples").write_bytes(b"not the samples")
    third = json.loads((run_batch(source, out, "--generate-lightmap-uv") and out / "summary.json").read_text())
    redone = {r["model"] for r in third if not r["reused"]}
    assert redone == {"cube.obj", "nested/ball.obj"}


def test_a_program_started_for_a_batch_that_is_already_gone_ends_at_once():
    """The batch killed between fork and the death signal's set-up: the child is an orphan (its
    parent is not the batch) and ends before running the program; with the batch alive, it runs."""
    orphan = subprocess.Popen(["sleep", "30"], preexec_fn=functools.partial(batch._die_with_parent, os.getpid() + 1))
    assert orphan.wait(timeout=5) == 255
    adopted = subprocess.Popen(["sleep", "30"], preexec_fn=functools.partial(batch._die_with_parent, os.getpid()))
    try:
        with pytest.raises(subprocess.TimeoutExpired):
            adopted.wait(timeout=0.3)
    finally:
        adopted.kill()
        adopted.wait()


def _cmdline(process):
    try:
        return (process / "cmdline").read_bytes()
    except OSError:
        return b""


def test_a_batch_on_a_two_worker_dask_cluster(tmp_path):
    distributed = pytest.importorskip("distributed")
    source = model_folder(tmp_path)
    run_batch(source, tmp_path / "here", "--generate-lightmap-uv", "--jobs", "2")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster:
        run = run_batch(source, tmp_path / "cluster", "--generate-lightmap-uv", "--scheduler", cluster.scheduler_address)
    assert run.returncode == 4, run.stderr
    assert outcomes(tmp_path / "cluster") == outcomes(tmp_path / "here")
    # Workers that cannot import lumivex: a clear error at once, not a batch waiting for ever.
    blocker = tmp_path / "without_lumivex.py"
    blocker.write_text("import sys\nsys.modules['lumivex'] = None\n")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=":0",
                                  preload=[str(blocker)]) as cluster:
        started = time.monotonic()
        lacking = run_batch(source, tmp_path / "lacking", "--scheduler", cluster.scheduler_address, timeout=60)
    assert lacking.returncode == 2 and "cannot import lumivex" in lacking.stderr, lacking.stderr
    assert time.monotonic() - started < 30
    unreachable = run_batch(source, tmp_path / "nowhere", "--scheduler", "tcp://127.0.0.1:9", "--connect-timeout", "1")
    assert unreachable.returncode == 2 and "Error" in unreachable.stderr
    unreadable = run_batch(source, tmp_path / "nowhere", "--scheduler", "nowhere")
    assert unreadable.returncode == 1 and "--scheduler" in unreadable.stderr
