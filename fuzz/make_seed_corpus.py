#!/usr/bin/env python3
"""Writes the loader's seed corpus: small valid mesh files of every layout rule."""
import os
import struct
import sys

out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus", "mesh_loader")
os.makedirs(out_dir, exist_ok=True)


def preamble(version, blocks=()):
    head = struct.pack("<i", version) + bytes({10: 29, 9: 28}.get(version, 0))
    head += struct.pack("<i", len(blocks)) + b"".join(struct.pack("<i", n) + bytes(max(n, 0)) for n in blocks)
    return head


def mesh(fmt, size, vertices, indices, name=b"m"):
    records = b"".join(bytes(v)[:size].ljust(size, b"\0") for v in vertices)
    header = struct.pack("<i", len(name)) + name + bytes(16) + struct.pack("<iiiii", fmt, size, len(vertices), len(indices), 0)
    return header, records + struct.pack(f"<{len(indices)}H", *indices)


def vertex(u, v, x=0.0):
    return struct.pack("<10f", x, u, v, 0, 0, 1, 0, 0, u, v)


def group(*meshes):
    return struct.pack("<i", len(meshes)) + b"".join(h for h, _ in meshes) + b"".join(d for _, d in meshes)


tri = [vertex(0, 0), vertex(0.1, 0), vertex(0, 0.1, 1)]
seeds = {
    "v10_one_triangle": preamble(10) + struct.pack("<i", 1) + group(mesh(9233, 40, tri, [0, 1, 2])),
    "v9_blocks": preamble(9, (3, 0, -1)) + struct.pack("<i", 1) + group(mesh(9233, 40, tri, [0, 1, 2, 2, 1, 0, 1])),
    "v3_1041_short": preamble(3) + struct.pack("<i", 1) + group(mesh(1041, 36, tri, [0, 1, 2])),
    "v10_1041_long": preamble(10) + struct.pack("<i", 1) + group(mesh(1041, 44, tri, [2, 1, 0])),
    "v10_two_groups": preamble(10) + struct.pack("<i", 2)
    + group(mesh(9233, 40, tri, [0, 1, 2]), mesh(0, 36, tri, [0, 1, 2]))
    + group(mesh(9233, 40, [], []), mesh(9233, 40, tri, [0, 2, 1], name=b"")),
    "v10_empty": preamble(10) + struct.pack("<i", 0),
}
for name, content in seeds.items():
    with open(os.path.join(out_dir, name), "wb") as f:
        f.write(content)
