#!/usr/bin/env python3
"""Generates large benchmark scenes as .kvx files.

  packed   1,000,000 triangles: quads of two triangles, each quad in its own cell
           of a non-overlapping lightmap layout, in meshes of at most 65,535 vertices
  many     the same layout in about 8,000 meshes
  overlap  20,000 triangles whose lightmap quads are 5-30 % of the map wide and
           overlap heavily
  big      a few hundred triangles each covering a large part of the map
  sphere   a UV sphere of 1,002,528 triangles (1,416 segments, 354 bands, the
           bands at the poles with one point each) without a lightmap layout
           (all lightmap UVs 0), to lay out; in meshes of at most 65,535 vertices

Usage: python3 tools/make_scene.py KIND OUTPUT.kvx [TRIANGLES]
"""
import array
import math
import random
import struct
import sys


def write_kvx(path, meshes):
    """meshes: list of (vertex floats as array('f'), indices as array('H'))."""
    with open(path, "wb") as out:
        out.write(struct.pack("<i", 10) + bytes(29) + struct.pack("<ii", 0, 1))
        out.write(struct.pack("<i", len(meshes)))
        for number, (vertices, indices) in enumerate(meshes):
            name = f"mesh{number}".encode()
            out.write(struct.pack("<i", len(name)) + name + bytes(16))
            out.write(struct.pack("<iiiii", 9233, 40, len(vertices) // 10, len(indices), 0))
        for vertices, indices in meshes:
            if sys.byteorder != "little":
                vertices.byteswap()
                indices.byteswap()
            out.write(vertices.tobytes())
            out.write(indices.tobytes())


def quad_mesh(quads, rng):
    """quads: list of (u0, v0, width, height); returns one mesh of them."""
    vertices = array.array("f")
    indices = array.array("H")
    for u0, v0, w, h in quads:
        base = len(vertices) // 10
        height = rng.uniform(-1.0, 1.0)
        for corner in range(4):
            u = u0 + w * (corner & 1)
            v = v0 + h * (corner >> 1)
            nx, ny = rng.uniform(-0.3, 0.3), rng.uniform(-0.3, 0.3)
            vertices.extend((u * 100.0, v * 100.0, height, nx, ny, 1.0, u, v, u, v))
        indices.extend((base, base + 1, base + 3, base, base + 3, base + 2))
    return vertices, indices


def split_into_meshes(quads, rng, quads_per_mesh=16383):
    return [quad_mesh(quads[i:i + quads_per_mesh], rng) for i in range(0, len(quads), quads_per_mesh)]


def packed_quads(triangles):
    quad_count = triangles // 2
    cells = math.ceil(math.sqrt(quad_count))
    cell = 1.0 / cells
    quads = []
    for k in range(quad_count):
        cx, cy = k % cells, k // cells
        quads.append((cx * cell + cell * 0.1, cy * cell + cell * 0.1, cell * 0.8, cell * 0.8))
    return quads


def packed(triangles, rng):
    return split_into_meshes(packed_quads(triangles), rng)


def many(triangles, rng):
    """The packed layout in about 8,000 meshes, as a scene of many small objects."""
    return split_into_meshes(packed_quads(triangles), rng, quads_per_mesh=max(1, triangles // 2 // 8000))


def random_quads(triangles, rng, smallest, largest):
    """Quads of random size (a share of the map from smallest to largest), anywhere on it."""
    quads = []
    for _ in range(triangles // 2):
        w = rng.uniform(smallest, largest)
        h = rng.uniform(smallest, largest)
        quads.append((rng.uniform(0.0, 1.0 - w), rng.uniform(0.0, 1.0 - h), w, h))
    return split_into_meshes(quads, rng)


def overlap(triangles, rng):
    return random_quads(triangles, rng, 0.05, 0.30)


def big(triangles, rng):
    return random_quads(triangles, rng, 0.5, 1.0)


def sphere(triangles, rng):
    """A UV sphere with four times as many segments as bands; `triangles` sets the bands."""
    bands = max(2, round(math.sqrt(triangles / 8)))
    segments = 4 * bands
    # The last column repeats the first exactly, and each pole is one point:
    # positions welded by their bits, as a modeller writes them.
    def ring(j):
        if j in (0, bands):
            return [(0.0, 0.0, 1.0 if j == 0 else -1.0)] * (segments + 1)
        radius, height = math.sin(math.pi * j / bands), math.cos(math.pi * j / bands)
        return [(radius * math.cos(2 * math.pi * (i % segments) / segments),
                 radius * math.sin(2 * math.pi * (i % segments) / segments), height) for i in range(segments + 1)]
    meshes = []
    bands_per_mesh = 65535 // (segments + 1) - 1
    for first in range(0, bands, bands_per_mesh):
        last = min(bands, first + bands_per_mesh)
        vertices = array.array("f")
        for j in range(first, last + 1):
            for x, y, z in ring(j):
                vertices.extend((x, y, z, x, y, z, 0.0, 0.0, 0.0, 0.0))
        indices = array.array("H")
        for j in range(last - first):
            for i in range(segments):
                a = j * (segments + 1) + i
                b, c, d = a + 1, a + segments + 2, a + segments + 1
                indices.extend((a, d, c, a, c, b))
        meshes.append((vertices, indices))
    return meshes


KINDS = {"packed": (packed, 1_000_000), "many": (many, 1_000_000), "overlap": (overlap, 20_000), "big": (big, 300),
         "sphere": (sphere, 1_002_528)}


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in KINDS:
        sys.exit(__doc__)
    make, default_triangles = KINDS[sys.argv[1]]
    triangles = int(sys.argv[3]) if len(sys.argv) > 3 else default_triangles
    write_kvx(sys.argv[2], make(triangles, random.Random(1)))


if __name__ == "__main__":
    main()
