#!/usr/bin/env python3
"""Writes examples/rounded_cube.gltf: the example rounded cube as a glTF 2.0
model with two UV sets (TEXCOORD_0 for textures, TEXCOORD_1 the lightmap
layout), the buffer embedded as a data URI. It shows the path from a model an
artist exports to lumivex: lumivex-import reads it, lumivex samples it.

Usage: python3 examples/make_gltf_example.py [OUTPUT]
"""
import base64
import json
import struct
import sys

sys.path.insert(0, __file__.rsplit("/", 1)[0] if "/" in __file__ else ".")
from make_example import face_mesh  # noqa: E402


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else "examples/rounded_cube.gltf"
    positions, normals, uv0, uv1, indices = [], [], [], [], []
    for face in range(6):
        vertices, face_indices = face_mesh(face)
        base = len(positions)
        for v in vertices:
            positions.append(v[0:3])
            normals.append(v[3:6])
            uv0.append(v[6:8])
            # glTF puts the UV origin at the top left; the importer turns it
            # into the bottom-left origin lumivex works in.
            uv1.append((v[8], 1.0 - v[9]))
        indices += [base + i for i in face_indices]

    def floats(rows):
        return b"".join(struct.pack(f"<{len(r)}f", *r) for r in rows)

    chunks = [floats(positions), floats(normals), floats(uv0), floats(uv1), struct.pack(f"<{len(indices)}H", *indices)]
    views, offset = [], 0
    for chunk in chunks:
        views.append({"buffer": 0, "byteOffset": offset, "byteLength": len(chunk)})
        offset += len(chunk)
        offset += (-offset) % 4
    data = b"".join(c + bytes((-len(c)) % 4) for c in chunks)
    count = len(positions)
    lows = [min(p[k] for p in positions) for k in range(3)]
    highs = [max(p[k] for p in positions) for k in range(3)]
    gltf = {
        "asset": {"version": "2.0", "generator": "examples/make_gltf_example.py"},
        "scene": 0,
        "scenes": [{"nodes": [0]}],
        "nodes": [{"mesh": 0, "name": "rounded_cube"}],
        "meshes": [{"name": "rounded_cube", "primitives": [{
            "attributes": {"POSITION": 0, "NORMAL": 1, "TEXCOORD_0": 2, "TEXCOORD_1": 3},
            "indices": 4, "mode": 4}]}],
        "buffers": [{"byteLength": len(data),
                     "uri": "data:application/octet-stream;base64," + base64.b64encode(data).decode()}],
        "bufferViews": views,
        "accessors": [
            {"bufferView": 0, "componentType": 5126, "count": count, "type": "VEC3", "min": lows, "max": highs},
            {"bufferView": 1, "componentType": 5126, "count": count, "type": "VEC3"},
            {"bufferView": 2, "componentType": 5126, "count": count, "type": "VEC2"},
            {"bufferView": 3, "componentType": 5126, "count": count, "type": "VEC2"},
            {"bufferView": 4, "componentType": 5123, "count": len(indices), "type": "SCALAR"},
        ],
    }
    with open(output, "w") as out:
        json.dump(gltf, out)


if __name__ == "__main__":
    main()
