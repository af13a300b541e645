"""lumivex.bake from Python: the light of a known scene, the same bytes at any
thread count, and arguments refused by name."""

import math

import numpy as np
import pytest

import lumivex

pytestmark = pytest.mark.skipif(not hasattr(lumivex, "bake"), reason="built without the baker")


def floor_and_wall():
    """A unit floor laid out over the whole lightmap, and a wall along x = 1
    facing it that takes no texels."""
    positions = np.array([[0, 0, 0], [0, 0, 1], [1, 0, 1], [1, 0, 0],
                          [1, 0, -2], [1, 0, 3], [1, 2, 3], [1, 2, -2]], np.float32)
    normals = np.array([[0, 1, 0]] * 4 + [[-1, 0, 0]] * 4, np.float32)
    uv = np.vstack([positions[:4, [0, 2]], np.full((4, 2), -1)]).astype(np.float32)
    triangles = np.array([[0, 1, 2], [0, 2, 3], [4, 5, 6], [4, 6, 7]])
    return positions, normals, uv, triangles


def test_sun_sky_and_occlusion_of_a_floor_beside_a_wall():
    positions, normals, uv, triangles = floor_and_wall()
    image, valid = lumivex.bake(positions, normals, uv, triangles, (24, 16), sun=(-1, 1, 0, 2.0), sky=(0, 0, 0))
    assert image.shape == (16, 24, 3) and image.dtype == np.float32
    assert valid.shape == (16, 24) and valid.dtype == np.bool_ and valid.all()
    # The sun leans away from the wall: nothing shadows the floor.
    np.testing.assert_allclose(image, 2.0 * math.sqrt(0.5), rtol=1e-5)

    occlusion, _ = lumivex.bake(positions, normals, uv, triangles, 16, ao=True, ao_distance=1.0, rays=512)
    along_x = occlusion[:, :, 0].mean(axis=0)
    assert along_x[0] > 0.95 and 0.45 < along_x[-1] < 0.6  # open far away, half open at the wall
    assert np.all(np.diff(along_x) < 0.02)  # falling toward it


def test_the_same_bytes_at_any_thread_count_and_a_seed_changes_them():
    positions, normals, uv, triangles = floor_and_wall()
    runs = [lumivex.bake(positions, normals, uv, triangles, 32, sun=(0.3, 1, 0.2), bounces=1, rays=8,
                         threads=threads)[0] for threads in (1, 2, 3)]
    assert runs[0].tobytes() == runs[1].tobytes() == runs[2].tobytes()
    other = lumivex.bake(positions, normals, uv, triangles, 32, sun=(0.3, 1, 0.2), bounces=1, rays=8, seed=1)[0]
    assert other.tobytes() != runs[0].tobytes()


@pytest.mark.parametrize("arguments, message", [
    (dict(sun=(1, 2)), "sun"),
    (dict(sky="white"), "sky"),
    (dict(rays=0), "rays"),
    (dict(albedo=2.0), "albedo"),
    (dict(size=0), "size"),
])
def test_arguments_are_refused_by_name(arguments, message):
    positions, normals, uv, triangles = floor_and_wall()
    size = arguments.pop("size", 8)
    with pytest.raises(ValueError, match=message):
        lumivex.bake(positions, normals, uv, triangles, size, **arguments)


def test_meshes_given_as_a_list_bake_as_one_mesh_holding_them_all():
    positions, normals, uv, triangles = floor_and_wall()
    floor = {"positions": positions[:4], "normals": normals[:4], "lightmap_uv": uv[:4], "triangles": triangles[:2]}
    wall = {"positions": positions[4:], "normals": normals[4:], "lightmap_uv": uv[4:], "triangles": triangles[2:] - 4}
    options = dict(sun=(1, 1, 0.3), bounces=1, rays=8)
    whole, whole_valid = lumivex.bake(positions, normals, uv, triangles, 24, **options)
    parts, parts_valid = lumivex.bake([floor, wall], 24, **options)
    assert whole.tobytes() == parts.tobytes() and (whole_valid == parts_valid).all()
    # The wall shadows the floor from the other mesh: the texels beside it are darker.
    assert whole[:, -1, 0].mean() < whole[:, 0, 0].mean()
