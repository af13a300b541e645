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
