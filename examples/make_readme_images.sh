#!/usr/bin/env bash
# Regenerates the README's preview images: the example glTF model through
# lumivex-import, lumivex (medium, 256 x 256) and lumivex-preview; and the
# orientation pictures: a letter F laid out in a UV editor's square, drawn as
# lumivex-preview draws it by default and with --rows-down.
# Usage: bash examples/make_readme_images.sh [BUILD_FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/release}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 examples/make_gltf_example.py "$work/rounded_cube.gltf"
(cd "$work" && "$build/lumivex-import" rounded_cube.gltf rounded_cube > /dev/null &&
  "$build/lumivex" medium rounded_cube > /dev/null &&
  "$build/lumivex-preview" rounded_cube.samples rounded_cube > /dev/null)
mkdir -p docs/images
cp "$work"/rounded_cube-{normal,position,coverage}.png docs/images/

# The letter F as three rectangles of an OBJ model's UV set (OBJ measures v
# from the bottom, as UV editors show it): the stem at u 0.25..0.4, v 0.15..0.85,
# the top bar at v 0.7..0.85 and the middle bar at v 0.45..0.58.
python3 - "$work/letter_f.obj" <<'PY'
import sys
rectangles = [(0.25, 0.15, 0.40, 0.85), (0.40, 0.70, 0.75, 0.85), (0.40, 0.45, 0.65, 0.58)]
lines = []
for n, (u0, v0, u1, v1) in enumerate(rectangles):
    for u, v in ((u0, v0), (u1, v0), (u1, v1), (u0, v1)):
        lines.append(f"v {u} {v} 0\nvt {u} {v}")
    b = 4 * n + 1
    lines.append(f"f {b}/{b} {b+1}/{b+1} {b+2}/{b+2}\nf {b}/{b} {b+2}/{b+2} {b+3}/{b+3}")
open(sys.argv[1], "w").write("\n".join(lines) + "\n")
PY
(cd "$work" && "$build/lumivex-import" letter_f.obj letter_f --lightmap-uv 0 > /dev/null &&
  "$build/lumivex" small letter_f > /dev/null &&
  "$build/lumivex-preview" letter_f.samples letter_f > /dev/null &&
  "$build/lumivex-preview" letter_f.samples letter_f_down --rows-down > /dev/null)
cp "$work/letter_f-coverage.png" docs/images/orientation-default.png
cp "$work/letter_f_down-coverage.png" docs/images/orientation-rows-down.png

# A torus without UVs: before, its top view used as the layout (the lower
# half lands on the upper half, and the sides get almost no room); after,
# the generated layout.
python3 - "$work" <<'PY'
import math, sys
folder = sys.argv[1]
rings, sides = 48, 24
points = []
for i in range(rings):
    a = 2 * math.pi * i / rings
    for j in range(sides):
        b = 2 * math.pi * j / sides
        r = 1 + 0.4 * math.cos(b)
        points.append((r * math.cos(a), r * math.sin(a), 0.4 * math.sin(b)))
faces = []
for i in range(rings):
    for j in range(sides):
        a, b = i * sides + j, i * sides + (j + 1) % sides
        c, d = ((i + 1) % rings) * sides + (j + 1) % sides, ((i + 1) % rings) * sides + j
        faces += [(a, b, c), (a, c, d)]
with open(f"{folder}/torus.obj", "w") as plain, open(f"{folder}/torus_top_view.obj", "w") as top:
    for x, y, z in points:
        plain.write(f"v {x:.6f} {y:.6f} {z:.6f}\n")
        top.write(f"v {x:.6f} {y:.6f} {z:.6f}\nvt {(x + 1.5) / 3:.6f} {(y + 1.5) / 3:.6f}\n")
    for f in faces:
        plain.write("f %d %d %d\n" % tuple(k + 1 for k in f))
        top.write("f %d/%d %d/%d %d/%d\n" % tuple(k + 1 for k in f for _ in range(2)))
PY
(cd "$work" && "$build/lumivex-import" torus_top_view.obj before --lightmap-uv 0 > /dev/null 2>&1 &&
  "$build/lumivex" medium before > /dev/null && "$build/lumivex-preview" before.samples before > /dev/null &&
  "$build/lumivex-import" torus.obj after --generate-lightmap-uv --size 256 > /dev/null &&
  "$build/lumivex" medium after > /dev/null && "$build/lumivex-preview" after.samples after > /dev/null)
cp "$work/before-normal.png" docs/images/generated-before-normal.png
cp "$work/after-normal.png" docs/images/generated-after-normal.png
