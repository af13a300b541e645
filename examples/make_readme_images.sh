#!/usr/bin/env bash
# Regenerates the README's preview images: the example glTF model through
# lumivex-import, lumivex (medium, 256 x 256) and lumivex-preview.
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
