"""The Python module against the lumivex command, and every refusal by name."""

import os
import signal
import struct
import subprocess
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import lumivex

EXAMPLES = Path(os.environ.get("LUMIVEX_EXAMPLES", Path(__file__).resolve().parents[2] / "examples"))
# The command: named by the build, or the one an installed package carries.
COMMAND = os.environ.get("LUMIVEX_BINARY")
if COMMAND is None and (Path(lumivex.__file__).parent / "bin" / "lumivex").exists():
    COMMAND = str(Path(lumivex.__file__).parent / "bin" / "lumivex")


def command_samples(tmp_path, keyword, mesh=EXAMPLES / "rounded_cube.kvx"):
    """The bytes the lumivex command writes for `mesh`."""
    if COMMAND is None:
        pytest.skip("LUMIVEX_BINARY names the built command")
    subprocess.run([COMMAND, keyword, str(mesh)[: -len(".kvx")], str(tmp_path / "command")],
                   check=True, stdout=subprocess.DEVNULL)
    return (tmp_path / "command.samples").read_bytes()


def file_bytes(samples, tmp_path):
    samples.save(tmp_path / "module.samples")
    return (tmp_path / "module.samples").read_bytes()


def example_arrays():
    """The example's first group as one mesh of NumPy arrays, from read_mesh: the meshes one
    after the other, so that later triangles still win."""
    meshes = lumivex.read_mesh(EXAMPLES / "rounded_cube.kvx")[0]
    assert all(mesh["sampled"] and mesh["index_count"] % 3 == 0 for mesh in meshes)
    vertices = np.concatenate([mesh["vertices"] for mesh in meshes])
    starts = np.cumsum([0] + [mesh["vertex_count"] for mesh in meshes[:-1]])
    indices = np.concatenate([mesh["indices"].astype(np.int64) + start for mesh, start in zip(meshes, starts)])
    return vertices[:, 0:3], vertices[:, 3:6], vertices[:, 8:10], indices.reshape(-1, 3)


@pytest.mark.parametrize("keyword,size", [("small", 128), ("medium", 256), ("large", 512)])
def test_file_and_arrays_give_the_commands_bytes(tmp_path, keyword, size):
    expected = command_samples(tmp_path, keyword)
    assert file_bytes(lumivex.sample_file(EXAMPLES / "rounded_cube.kvx", size), tmp_path) == expected
    positions, normals, uvs, triangles = example_arrays()
    from_arrays = lumivex.sample(positions, normals, uvs, triangles.astype(np.int64), size)
    assert file_bytes(from_arrays, tmp_path) == expected
    assert file_bytes(lumivex.read_samples(tmp_path / "command.samples"), tmp_path) == expected


def test_a_quad_at_1024():
    # The quad covers u in [0.25, 0.5], v in [0.5, 0.75]: texel corners 256..512 by 512..768.
    positions = np.array([[10, -5, 3], [20, -5, 3], [10, 5, 3], [20, 5, 3]], np.float32)
    normals = np.tile(np.array([0, 0, 1], np.float32), (4, 1))
    uvs = np.array([[0.25, 0.5], [0.5, 0.5], [0.25, 0.75], [0.5, 0.75]], np.float32)
    samples = lumivex.sample(positions, normals, uvs, np.array([[0, 1, 3], [0, 3, 2]], np.uint8), 1024)
    assert samples.size == 1024
    assert samples.covered.sum() == 257 * 257
    assert samples.covered[512, 256] and samples.covered[768, 512] and not samples.covered[511, 300]
    assert samples.positions[640, 384].tolist() == pytest.approx([15.0, 0.0, 3.0], abs=1e-4)
    assert samples.normals[640, 384].tolist() == [0.0, 0.0, 1.0]
    assert not samples.positions.flags.owndata, "a view of the grid, not a copy"


QUAD = dict(
    positions=np.zeros((4, 3), np.float32),
    normals=np.zeros((4, 3), np.float32),
    lightmap_uv=np.zeros((4, 2), np.float32),
    triangles=np.array([[0, 1, 2]], np.int32),
    size=64,
)


@pytest.mark.parametrize(
    "change,named",
    [
        (dict(positions=np.zeros((4, 2), np.float32)), "positions: shape"),
        (dict(normals=np.zeros((3, 3), np.float32)), "normals: must have as many rows"),
        (dict(lightmap_uv=np.zeros((4, 3), np.float32)), "lightmap_uv: shape"),
        (dict(positions=np.zeros((4, 3), np.int32)), "positions: dtype"),
        (dict(normals=np.zeros((4, 3), np.complex64)), "normals: dtype"),
        (dict(triangles=np.array([[0, 1, 2.0]])), "triangles: dtype"),
        (dict(triangles=np.array([0, 1, 2])), "triangles: shape"),
        (dict(triangles=np.array([[0, 1, 4]])), "triangles: entry 2 (4) names no vertex of 4"),
        (dict(triangles=np.array([[0, -1, 2]])), "triangles: entry 1 (-1) names no vertex"),
        (dict(triangles=np.array([[0, 1, 2**63]], np.uint64)), "triangles: entry 2"),
        (dict(size=0), "size: must be from 1 to 16384"),
        (dict(size=16385), "size: must be from 1 to 16384"),
        (dict(threads=-1), "threads"),
    ],
)
def test_bad_arguments_are_refused_by_name(change, named):
    with pytest.raises(ValueError, match=named.replace("(", r"\(").replace(")", r"\)")):
        lumivex.sample(**{**QUAD, **change})


def test_damaged_and_missing_files(tmp_path):
    good = (EXAMPLES / "rounded_cube.kvx").read_bytes()
    (tmp_path / "cut.kvx").write_bytes(good[:-1])
    with pytest.raises(lumivex.DamagedFile) as damaged:
        lumivex.sample_file(tmp_path / "cut.kvx", 128)
    assert damaged.value.reason.startswith("index array cut short at byte ")
    assert damaged.value.offset == int(damaged.value.reason.split()[-1])
    # The same reason as the command prints.
    if COMMAND is not None:
        run = subprocess.run([COMMAND, "small", str(tmp_path / "cut")], capture_output=True, cwd=tmp_path)
        assert run.returncode == 102
        assert f"({damaged.value.reason})".encode() in run.stdout
    hostile = struct.pack("<i", 10) + bytes(29) + struct.pack("<iii", 0, 1, -5)
    with pytest.raises(lumivex.DamagedFile, match="negative mesh count at byte 41"):
        lumivex.read_mesh_buffer(hostile)
    with pytest.raises(FileNotFoundError):
        lumivex.sample_file(tmp_path / "missing.kvx", 128)
    with pytest.raises(OSError):
        lumivex.read_samples(tmp_path)
    (tmp_path / "short.samples").write_bytes(struct.pack("<ii", 4, 4) + bytes(10))
    with pytest.raises(lumivex.DamagedFile, match="samples cut short at byte 18"):
        lumivex.read_samples(tmp_path / "short.samples")


def test_read_mesh_gives_views_and_keeps_them_alive():
    data = (EXAMPLES / "rounded_cube.kvx").read_bytes()
    mesh = lumivex.read_mesh_buffer(data)[0][0]
    vertices = mesh["vertices"]
    del mesh
    assert vertices.dtype == np.float32 and vertices.shape[1] == 10 and not vertices.flags.owndata
    assert np.isfinite(vertices).all()


def buffer_views():
    """Views of a mesh file's bytes in every layout a buffer can have."""
    data = (EXAMPLES / "rounded_cube.kvx").read_bytes()
    doubled = bytes(b for byte in data for b in (byte, 0x55))
    return {
        "bytes": data,
        "bytearray": bytearray(data),
        "read-only view": memoryview(data),
        "reversed": memoryview(data)[::-1],
        "strided": memoryview(doubled)[::2],
        "two-dimensional": np.frombuffer(data[: len(data) // 2 * 2], np.uint8).reshape(-1, 2),
        "columns": np.frombuffer(data[: len(data) // 2 * 2], np.uint8).reshape(-1, 2)[:, 0],
        "words": np.frombuffer(data[: len(data) // 4 * 4], np.uint32),
    }


@pytest.mark.parametrize("layout", list(buffer_views()))
def test_buffers_are_read_in_their_logical_order(layout):
    view = buffer_views()[layout]
    try:
        expected = lumivex.read_mesh_buffer(bytes(view))
    except lumivex.DamagedFile as damaged:
        with pytest.raises(lumivex.DamagedFile, match=damaged.reason):
            lumivex.read_mesh_buffer(view)
        return
    groups = lumivex.read_mesh_buffer(view)
    assert [[mesh["records"].tobytes() for mesh in group] for group in groups] == \
        [[mesh["records"].tobytes() for mesh in group] for group in expected]
    assert [[mesh["indices"].tolist() for mesh in group] for group in groups] == \
        [[mesh["indices"].tolist() for mesh in group] for group in expected]


def test_paths_are_paths_everywhere(tmp_path):
    data = (EXAMPLES / "rounded_cube.kvx").read_bytes()
    odd = os.fsencode(str(tmp_path)) + b"/m\xff\xfe.kvx"  # not UTF-8
    with open(odd, "wb") as file:
        file.write(data)
    for path in (odd, os.fsdecode(odd), Path(os.fsdecode(odd))):
        assert len(lumivex.read_mesh(path)[0]) == len(lumivex.read_mesh_buffer(data)[0])
        assert lumivex.sample_file(path, 16).size == 16
    samples = lumivex.sample_file(odd, 16)
    samples.save(odd + b".samples")
    assert lumivex.read_samples(odd + b".samples").size == 16
    # A NUL byte is refused, as open() refuses it, never cut short.
    for call in (lambda: lumivex.sample_file(str(tmp_path / "m.kvx") + "\0x", 16),
                 lambda: lumivex.read_mesh(os.fsencode(tmp_path / "m.kvx") + b"\0"),
                 lambda: lumivex.read_samples("a\0b"),
                 lambda: samples.save(str(tmp_path / "a.samples") + "\0.txt")):
        with pytest.raises(ValueError, match="null byte"):
            call()
    assert not (tmp_path / "a.samples").exists()
    # What the system cannot examine is an OSError of the system's kind.
    with pytest.raises(NotADirectoryError):
        lumivex.read_mesh(odd + b"/inside.kvx")
    with pytest.raises(IsADirectoryError):
        lumivex.read_mesh(tmp_path)
    with pytest.raises(OSError):
        lumivex.sample_file("x" * 5000, 16)


def test_progress_and_the_gil_released_while_sampling():
    rng = np.random.default_rng(3)
    n = 300_000
    corners = rng.random((n, 2), np.float32)
    uvs = np.repeat(corners, 3, axis=0) + rng.random((3 * n, 2), np.float32) * 0.01
    positions = rng.random((3 * n, 3), np.float32)
    triangles = np.arange(3 * n).reshape(n, 3)
    results = [None, None]

    def work(slot):
        results[slot] = lumivex.sample(positions, positions, uvs, triangles, 512, threads=1)

    threads = [threading.Thread(target=work, args=(slot,)) for slot in (0, 1)]
    for thread in threads:
        thread.start()
    # While both sample, this thread keeps running Python code: only
    # possible with the GIL released.
    ticks = 0
    while any(thread.is_alive() for thread in threads):
        ticks += 1
    for thread in threads:
        thread.join()
    assert ticks > 1000
    assert np.array_equal(results[0].positions, results[1].positions)

    reports = []
    lumivex.sample(positions, positions, uvs, triangles, 512, progress=reports.append)
    assert reports and reports == sorted(reports) and reports[-1] == 1.0

    def stop(fraction):
        raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        lumivex.sample(positions, positions, uvs, triangles, 512, threads=1, progress=stop)


def test_version_and_docs():
    assert lumivex.__version__ == "1.2.0"
    assert "lightmap" in lumivex.__doc__
    assert lumivex.sample.__doc__ and lumivex.Samples.positions.__doc__


def test_the_type_stubs_declare_every_function_as_the_module_takes_it():
    # Each function's parameters as the module states them (pybind11's signature lines), against the
    # stub's: every public name declared, every overload with the same names, defaults and keyword-only marks.
    import ast
    import re
    stub = ast.parse((Path(lumivex.__file__).parent / "__init__.pyi").read_text())
    declared = {}
    for node in stub.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            declared.setdefault(node.name, []).append(node)
        elif isinstance(node, ast.AnnAssign):
            declared[node.target.id] = []

    def stub_parameters(node):
        a = node.args
        plain = [p.arg for p in a.args]
        defaults = [None] * (len(plain) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
        keyword = [(p.arg, ast.literal_eval(d) if d else None) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
        return list(zip(plain, defaults)) + ([("*", None)] if keyword else []) + keyword

    def module_parameters(line):
        inside = re.match(r"\w+\((.*)\) ->", line).group(1)
        parameters = []
        for part in re.split(r", (?![^\[]*\])", inside):
            name, _, default = part.partition(" = ")
            parameters.append((name.split(":")[0], ast.literal_eval(default) if default else None))
        return parameters

    for name in lumivex.__all__:
        assert name in declared, f"{name} is not in the type stubs"
        function = getattr(lumivex, name)
        if isinstance(function, type) or not callable(function):
            continue
        lines = function.__doc__.splitlines()
        forms = [line.split(". ", 1)[1] for line in lines if re.match(rf"\d+\. {name}\(", line)] or [lines[0]]
        stated = {tuple(module_parameters(form)) for form in forms}
        assert {tuple(stub_parameters(node)) for node in declared[name]} == stated, name


def tube(columns=24, rows=6):
    """A tube of quads without lightmap UVs."""
    angles = np.linspace(0, 2 * np.pi, columns, endpoint=False)
    positions = np.array([[np.cos(a), np.sin(a), 0.5 * j] for j in range(rows + 1) for a in angles], np.float32)
    quads = [(j * columns + i, j * columns + (i + 1) % columns, (j + 1) * columns + (i + 1) % columns,
              (j + 1) * columns + i) for j in range(rows) for i in range(columns)]
    return positions, np.array([t for a, b, c, d in quads for t in ((a, b, c), (a, c, d))])


def test_a_generated_layout_checks_clean_and_samples_every_face(tmp_path):
    positions, triangles = tube()
    layout = lumivex.generate_lightmap_uvs(positions, triangles, size=128, padding=2)
    assert layout["triangles"].shape == triangles.shape and layout["chart_ids"].shape == (len(triangles),)
    new_positions = positions[layout["xref"]]
    assert np.array_equal(new_positions[layout["triangles"]], positions[triangles]), "every triangle kept"
    report = lumivex.check_layout(new_positions, layout["triangles"], layout["uvs"], 128)
    assert (report["overlap"], report["outside"], report["unsampled_triangles"]) == (0, 0, 0)
    assert report["smallest_sampling_size"] == 128 and len(report["meshes"]) == 1
    # Sampled at the layout's size, then written and sampled by the command's rules.
    normals = new_positions * np.array([1, 1, 0], np.float32)
    samples = lumivex.sample(new_positions, normals, layout["uvs"], layout["triangles"], 128)
    assert samples.covered.sum() == report["covered_texels"]
    lumivex.write_mesh(tmp_path / "tube.kvx", [{"name": "tube", "positions": new_positions, "normals": normals,
                                                "lightmap_uv": layout["uvs"], "triangles": layout["triangles"]}])
    assert file_bytes(lumivex.sample_file(tmp_path / "tube.kvx", 128), tmp_path) == file_bytes(samples, tmp_path)
    with pytest.raises(ValueError, match="do not fit"):
        lumivex.generate_lightmap_uvs(positions, triangles, size=128, texels_per_unit=1000.0)
    with pytest.raises(ValueError, match="padding"):
        lumivex.generate_lightmap_uvs(positions, triangles, padding=65)


def test_several_meshes_share_one_square():
    positions, triangles = tube()
    parts = [positions, positions * 0.5 + [3, 0, 0]]
    layouts = lumivex.generate_lightmap_uvs(parts, [triangles, triangles], size=128)
    meshes = layouts["meshes"]
    laid = [part[mesh["xref"]] for part, mesh in zip(parts, meshes)]
    report = lumivex.check_layout(laid, [m["triangles"] for m in meshes], [m["uvs"] for m in meshes], 128)
    assert (report["overlap"], report["outside"], report["unsampled_triangles"]) == (0, 0, 0)
    assert len(report["meshes"]) == 2 and report["covered_texels"] > 0
    assert all(m["texels_per_unit"] == layouts["texels_per_unit"] for m in meshes)
    # A list of one mesh is laid out as the mesh alone; one mesh's rows given as lists are one mesh.
    one = lumivex.generate_lightmap_uvs([positions], [triangles], size=128)["meshes"][0]
    alone = lumivex.generate_lightmap_uvs(positions.tolist(), triangles.tolist(), size=128)
    assert np.array_equal(one["uvs"], alone["uvs"]) and np.array_equal(one["triangles"], alone["triangles"])
    with pytest.raises(ValueError, match="as many"):
        lumivex.generate_lightmap_uvs(parts, [triangles])
    # A second mesh laid out beside the first one kept: the two share the square with no texel shared,
    # where laid out alone they would land on the same texels.
    first = lumivex.generate_lightmap_uvs(positions, triangles, size=128)
    first_laid = positions[first["xref"]]
    kept = [{"positions": first_laid, "triangles": first["triangles"], "lightmap_uv": first["uvs"]}]
    second = lumivex.generate_lightmap_uvs(parts[1], triangles, size=128, kept=kept)
    both = lambda layout: lumivex.check_layout([first_laid, parts[1][layout["xref"]]],
                                               [first["triangles"], layout["triangles"]],
                                               [first["uvs"], layout["uvs"]], 128)
    assert both(second)["overlap"] == 0 and both(lumivex.generate_lightmap_uvs(parts[1], triangles, size=128))["overlap"] > 0
    with pytest.raises(ValueError, match="kept"):
        lumivex.generate_lightmap_uvs(positions, triangles, kept=[{"positions": first_laid}])


def interrupted_after(seconds, call):
    """Runs call() with a Ctrl-C (SIGINT) sent `seconds` in; returns how long after the signal the call
    ended with KeyboardInterrupt. A call that ends by itself first is run again with the signal sent
    sooner (a fast machine); one that ends by itself after the signal lost the interrupt. Python's own
    Ctrl-C handler is put in place for the test: a process started in the background by a shell
    without job control starts with SIGINT ignored, and Python then keeps it so."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        for delay in (seconds, seconds / 4, seconds / 16):
            sent = []
            timer = threading.Timer(delay, lambda: (sent.append(time.monotonic()), os.kill(os.getpid(), signal.SIGINT)))
            timer.start()
            try:
                call()
            except KeyboardInterrupt:
                return time.monotonic() - sent[0]
            finally:
                timer.cancel()
            assert not sent, "the call went on to its end after Ctrl-C"
        pytest.fail("the call always ended before the signal could be sent")
    finally:
        signal.signal(signal.SIGINT, previous)


def test_ctrl_c_stops_long_calls_within_a_second(tmp_path):
    # Two triangles over an 8192 x 8192 grid on one thread: seconds of work with no triangle to count.
    positions = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0]], np.float32)
    uvs = positions[:, :2].copy()
    assert interrupted_after(0.3, lambda: lumivex.sample(positions, positions + [0, 0, 1], uvs, [[0, 1, 3], [0, 3, 2]],
                                                         8192, threads=1)) < 1.0
    # A pipe whose writer has sent a few bytes and then nothing: the read waits on it.
    fifo = tmp_path / "slow.kvx"
    os.mkfifo(fifo)
    done = threading.Event()

    def writer():
        with open(fifo, "wb") as pipe:
            pipe.write(struct.pack("<i", 10))
            pipe.flush()
            done.wait(10)
    feeding = threading.Thread(target=writer)
    feeding.start()
    try:
        assert interrupted_after(0.3, lambda: lumivex.read_mesh(fifo)) < 1.0
    finally:
        done.set()
        feeding.join()
