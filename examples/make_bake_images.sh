#!/usr/bin/env bash
# Makes the README's baking pictures: the example mesh, and three models of
# assimp-testmodels (the STL one has no UVs at all) laid out, baked and shown
# in the viewer, in headless Chromium. Needs the release build with lumivex-import,
# lumivex-bake and the viewer:
#   cmake --preset release && cmake --build --preset release --target lumivex-import lumivex-bake viewer
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/release
models=/usr/share/assimp/models
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
light=(--sun -0.9,1,0.2,0.8 --sky 0.3,0.33,0.4 --horizon 0.12,0.12,0.12 --bounces 1)
for entry in example:examples/rounded_cube.kvx:512 house:IFC/AC14-FZK-Haus.ifc:1024 engine:glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb:1024 \
             wuson:STL/Wuson.stl:512; do
  IFS=: read -r name model size <<<"$entry"
  if [[ $model == *.kvx ]]; then
    cp "$model" "$work/$name.kvx"  # laid out already
  else
    "$build/lumivex-import" "$models/$model" "$work/$name" --generate-lightmap-uv --size "$size" >/dev/null
  fi
  "$build/lumivex-bake" "$work/$name.kvx" "$work/$name" --size "$size" "${light[@]}" | grep Rays
  python3 "$build/viewer/serve.py" "$work/$name.glb" --port 0 >"$work/address" &
  for _ in $(seq 50); do [ -s "$work/address" ] && break; sleep 0.1; done
  chromium --headless=new --no-sandbox --use-angle=swiftshader --enable-unsafe-swiftshader --hide-scrollbars \
    --window-size=560,420 --virtual-time-budget=20000 --screenshot="docs/images/bake-$name.png" \
    "$(cat "$work/address")?test" 2>/dev/null
  kill %1 && wait %1 2>/dev/null || true
  : >"$work/address"
done
