#!/usr/bin/env python3
"""Writes examples/rounded_cube.kvx: a cube pushed out towards a sphere, 6 faces
of 8 x 8 quads (768 triangles) with smooth normals, and a lightmap layout that
packs the six faces into a 3 x 2 atlas with a gutter around each chart.

Usage: python3 examples/make_example.py [OUTPUT]
"""
import math
import struct
import sys

QUADS = 8            # quads along each face edge
GUTTER = 4 / 512     # space around each chart, in lightmap units

# (normal axis, u axis, v axis) for the six faces
FACES = [
    ((1, 0, 0), (0, 0, -1), (0, 1, 0)),
    ((-1, 0, 0), (0, 0, 1), (0, 1, 0)),
    ((0, 1, 0), (1, 0, 0), (0, 0, -1)),
    ((0, -1, 0), (1, 0, 0), (0, 0, 1)),
    ((0, 0, 1), (1, 0, 0), (0, 1, 0)),
    ((0, 0, -1), (-1, 0, 0), (0, 1, 0)),
]


def rounded(point, amount=0.6):
    """Blend a cube point towards the unit sphere."""
    length = math.sqrt(sum(c * c for c in point))
    return tuple(c * (1 - amount) + c / length * amount for c in point)


def face_mesh(face_index):
    normal_axis, u_axis, v_axis = FACES[face_index]
    cell_w, cell_h = 1 / 3, 1 / 2
    chart = min(cell_w, cell_h) - 2 * GUTTER
    origin_u = (face_index % 3) * cell_w + GUTTER
    origin_v = (face_index // 3) * cell_h + GUTTER
    vertices = []
    for j in range(QUADS + 1):
        for i in range(QUADS + 1):
            s, t = i / QUADS, j / QUADS
            cube = tuple(n + (2 * s - 1) * u + (2 * t - 1) * v for n, u, v in zip(normal_axis, u_axis, v_axis))
            position = rounded(cube)
            length = math.sqrt(sum(c * c for c in position))
            normal = tuple(c / length for c in position)
            vertices.append(position + normal + (s, t) + (origin_u + s * chart, origin_v + t * chart))
    indices = []
    for j in range(QUADS):
        for i in range(QUADS):
            a = j * (QUADS + 1) + i
            b, c, d = a + 1, a + QUADS + 1, a + QUADS + 2
            indices += [a, b, d, a, d, c]
    return vertices, indices


def mesh_bytes(name, vertices, indices):
    header = struct.pack("<i", len(name)) + name + bytes(16)
    header += struct.pack("<iiiii", 9233, 40, len(vertices), len(indices), 0)
    data = b"".join(struct.pack("<10f", *v) for v in vertices) + struct.pack(f"<{len(indices)}H", *indices)
    return header, data


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else "examples/rounded_cube.kvx"
    meshes = [mesh_bytes(f"face{f}".encode(), *face_mesh(f)) for f in range(6)]
    content = struct.pack("<i", 10) + bytes(29) + struct.pack("<i", 0)  # version 10, no opaque blocks
    content += struct.pack("<i", 1) + struct.pack("<i", len(meshes))       # one group of six meshes
    content += b"".join(h for h, _ in meshes) + b"".join(d for _, d in meshes)
    with open(output, "wb") as out:
        out.write(content)


if __name__ == "__main__":
    main()
