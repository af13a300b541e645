"""Samples a baker uses directly: interleaved vertex buffers read in place, any grid, texel centres,
coverage, ids and barycentric weights, down to a small bake through them."""

import tracemalloc
from pathlib import Path

import numpy as np
import pytest

import lumivex


def sheet(columns=40, rows=30):
    """A bent sheet of quads as one interleaved 32-byte vertex buffer: position, normal, lightmap UV.
    Its second UV set (for textures) is position.xy / 4, so that any bake through it can be checked
    against the sampled positions."""
    u, v = np.meshgrid(np.linspace(0.02, 0.98, columns + 1), np.linspace(0.03, 0.97, rows + 1))
    u, v = u.ravel().astype(np.float32), v.ravel().astype(np.float32)
    buffer = np.zeros((len(u), 8), np.float32)
    buffer[:, 0:3] = np.stack([u * 4, v * 4, np.sin(u * 3) * 0.5], axis=1)
    buffer[:, 3:6] = np.stack([-np.cos(u * 3) * 1.5, np.zeros_like(u), np.ones_like(u)], axis=1)
    buffer[:, 6:8] = np.stack([u, v], axis=1)
    k = np.arange((rows + 1) * (columns + 1)).reshape(rows + 1, columns + 1)[:-1, :-1].ravel()
    triangles = np.concatenate([np.stack([k, k + 1, k + columns + 1], 1), np.stack([k + 1, k + columns + 2, k + columns + 1], 1)])
    return buffer, triangles


def test_an_interleaved_buffer_is_sampled_in_place_into_any_grid():
    buffer, triangles = sheet()
    views = buffer[:, 0:3], buffer[:, 3:6], buffer[:, 6:8]
    assert all(view.strides == (32, 4) for view in views)
    options = dict(sample_point="centre", ids=True, barycentrics=True)
    strided = lumivex.sample(*views, triangles, (1024, 512), **options)
    packed = lumivex.sample(*(np.ascontiguousarray(view) for view in views), triangles, (1024, 512), **options)
    assert (strided.width, strided.height, strided.size) == (1024, 512, (1024, 512))
    assert strided.positions.shape == (512, 1024, 3) and strided.barycentrics.shape == (512, 1024, 2)
    for channel in ("positions", "normals", "covered", "triangle_ids", "mesh_ids", "barycentrics"):
        assert np.array_equal(getattr(strided, channel), getattr(packed, channel)), channel

    # Read where it lies: a buffer of 400,000 vertices (12.8 MB) costs no copy of its columns.
    large = np.tile(buffer, (400_000 // len(buffer) + 1, 1))[:400_000]
    tracemalloc.start()
    lumivex.sample(large[:, 0:3], large[:, 3:6], large[:, 6:8], triangles.astype(np.int64), 16)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < 1_000_000, f"{peak} bytes allocated through NumPy"


def test_a_bake_through_ids_and_weights():
    """An 'albedo' read through the second UV set at every texel centre, interpolated with the ids and
    weights the sampler returns, equals the albedo at the sampled position."""
    buffer, triangles = sheet()
    samples = lumivex.sample(buffer[:, 0:3], buffer[:, 3:6], buffer[:, 6:8], triangles, (256, 128),
                             sample_point="centre", ids=True, barycentrics=True)
    albedo = lambda uv: np.stack([uv[..., 0], uv[..., 1], uv[..., 0] * uv[..., 1]], axis=-1)  # noqa: E731
    covered = samples.covered
    ids = samples.triangle_ids[covered]
    w = samples.barycentrics[covered]
    texture_uv = buffer[:, 0:2] / 4
    corners = texture_uv[triangles[ids]]  # (texels, 3 corners, 2)
    uv = (1 - w[:, 0:1] - w[:, 1:2]) * corners[:, 0] + w[:, 0:1] * corners[:, 1] + w[:, 1:2] * corners[:, 2]
    baked = np.zeros((128, 256, 3), np.float32)
    baked[covered] = albedo(uv)
    assert covered.sum() > 0.8 * 256 * 128
    assert np.abs(baked[covered] - albedo(samples.positions[covered][:, 0:2] / 4)).max() < 1e-5
    assert (samples.mesh_ids[covered] == 0).all() and (samples.mesh_ids[~covered] == 0xFFFFFFFF).all()
    assert (samples.triangle_ids[~covered] == 0xFFFFFFFF).all()


@pytest.mark.parametrize("point,columns,rows", [("corner", 3, 5), ("centre", 2, 4), ("center", 2, 4)])
def test_texel_centres_move_the_sample_points_half_a_texel(point, columns, rows):
    # A quad over u in [0.25, 0.5], v in [0.25, 0.75] of an 8 x 8 grid: x 2..4, y 2..6.
    positions = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0]], np.float32)
    uvs = np.array([[0.25, 0.25], [0.5, 0.25], [0.25, 0.75], [0.5, 0.75]], np.float32)
    normals = np.tile(np.array([0, 0, 1], np.float32), (4, 1))
    samples = lumivex.sample(positions, normals, uvs, [[0, 1, 3], [0, 3, 2]], 8, sample_point=point)
    assert samples.covered.sum() == columns * rows
    assert samples.stats == dict(covered_texels=columns * rows, zero_normals=0, non_finite_normals=0,
                                 small_triangles_placed=0)
    assert samples.triangle_ids is None and samples.barycentrics is None


def test_coverage_is_computed_once_and_small_triangles_are_placed():
    # Three triangles, each far inside one texel of a 64 x 32 grid.
    centres = np.array([[0.1, 0.1], [0.52, 0.47], [0.9, 0.2]], np.float32)
    offsets = np.array([[0, 0], [0.001, 0], [0, 0.001]], np.float32)
    uvs = (centres[:, None, :] + offsets[None, :, :]).reshape(-1, 2)
    positions = np.concatenate([uvs, np.zeros((9, 1), np.float32)], axis=1)
    normals = np.tile(np.array([0, 0, 1], np.float32), (9, 1))
    triangles = np.arange(9).reshape(3, 3)
    plain = lumivex.sample(positions, normals, uvs, triangles, (64, 32))
    assert plain.covered.sum() == 0 and plain.stats["small_triangles_placed"] == 0
    covered = lumivex.sample(positions, normals, uvs, triangles, (64, 32), cover_small_triangles=True, ids=True)
    assert covered.stats["small_triangles_placed"] == 3 and covered.covered.sum() == 3
    assert sorted(covered.triangle_ids[covered.covered].tolist()) == [0, 1, 2]
    assert covered.covered is covered.covered and not covered.covered.flags.writeable


@pytest.mark.parametrize(
    "change,named",
    [
        (dict(sample_point="middle"), 'sample_point: must be "corner" or "centre"'),
        (dict(size=(0, 4)), "size: must be from 1 to 16384, not 0"),
        (dict(size=(4, 16385)), "size: must be from 1 to 16384, not 16385"),
        (dict(size=(4,)), r"size: must be an int or a \(width, height\) pair"),
        (dict(size="8"), "size: must be an int"),
    ],
)
def test_bad_options_are_refused_by_name(change, named):
    arguments = dict(positions=np.zeros((3, 3), np.float32), normals=np.zeros((3, 3), np.float32),
                     lightmap_uv=np.zeros((3, 2), np.float32), triangles=[[0, 1, 2]], size=8)
    with pytest.raises(ValueError, match=named):
        lumivex.sample(**{**arguments, **change})


def test_a_group_of_mesh_dicts_is_sampled_in_one_call(tmp_path):
    """read_mesh's group (its unsampled meshes keep their place) samples as the file does; mesh dicts of
    arrays do too."""
    path = Path(__file__).resolve().parents[2] / "examples" / "rounded_cube.kvx"
    group = lumivex.read_mesh(path)[0]
    options = dict(sample_point="centre", ids=True, barycentrics=True)
    from_file = lumivex.sample_file(path, (200, 150), **options)
    with_a_gap = group[:1] + [dict(group[0], vertices=None, sampled=False)] + group[1:]
    from_dicts = lumivex.sample(with_a_gap, (200, 150), **options)
    assert np.array_equal(from_dicts.positions, from_file.positions)
    assert np.array_equal(from_dicts.triangle_ids, from_file.triangle_ids)
    shifted = from_file.mesh_ids + (from_file.mesh_ids >= 1) * (from_file.mesh_ids != 0xFFFFFFFF)
    assert np.array_equal(from_dicts.mesh_ids, shifted), "the gap keeps its place"
    arrays = [dict(positions=m["vertices"][:, 0:3], normals=m["vertices"][:, 3:6], lightmap_uv=m["vertices"][:, 8:10],
                   triangles=m["indices"].reshape(-1, 3)) for m in group]
    assert np.array_equal(lumivex.sample(arrays, (200, 150), **options).barycentrics, from_file.barycentrics)
    with pytest.raises(ValueError, match=r"meshes\[1\]: mesh: needs triangles"):
        lumivex.sample([arrays[0], dict(positions=arrays[0]["positions"])], 64)
