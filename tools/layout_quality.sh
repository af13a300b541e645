#!/usr/bin/env bash
# Generated layouts over every model of Debian's assimp-testmodels (install the
# package; the models stay out of this repository) and over the 1,002,528-
# triangle sphere of tools/make_scene.py: each model is imported once with
# lumivex-import (keeping every mesh), then laid out afresh by
# build/bench/layout_quality and judged by the layout check at the same size.
# Prints a line per model (triangles, charts, covered share of the square's
# texel corners, unsampled share of the surface, that of the worst mesh,
# overlapped texels, triangles outside, seconds) and the means.
#
# Usage: bash tools/layout_quality.sh [--size N] [--padding P] [--threads T]
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -x build/release/lumivex-import ] || [ ! -x build/bench/layout_quality ]; then
  cmake --preset release >/dev/null && cmake --build --preset release >/dev/null
  cmake --preset bench >/dev/null && cmake --build --preset bench --target layout_quality >/dev/null
fi
models=build/layout-models
mkdir -p "$models"
if [ -z "$(ls -A "$models")" ]; then
  dpkg -L assimp-testmodels | sort | while read -r model; do
    [ -f "$model" ] || continue
    case "${model,,}" in
      *.png|*.jpg|*.jpeg|*.tga|*.bmp|*.dds|*.txt|*.mtl|*.glsl|*.bin|*.xml|*.md|*.html|*.pdf|*.ini|*.cfg|*.shader) continue ;;
    esac
    name=$(echo "${model#/usr/share/assimp/models/}" | tr '/ ' '__')
    timeout 120 build/release/lumivex-import "$model" "$models/$name" --generate-lightmap-uv >/dev/null 2>&1 ||
      rm -f "$models/$name.kvx"
  done
fi
[ -f build/bench-scenes/sphere.kvx ] || { mkdir -p build/bench-scenes && python3 tools/make_scene.py sphere build/bench-scenes/sphere.kvx; }
build/bench/layout_quality "$@" "$models"/*.kvx
echo "== the sphere"
build/bench/layout_quality "$@" build/bench-scenes/sphere.kvx | tail -2
