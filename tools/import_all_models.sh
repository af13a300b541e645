#!/usr/bin/env bash
# Runs lumivex-import over every model of Debian's assimp-testmodels (install
# the package first; the models stay out of this repository) and prints, per
# model, the exit code, the seconds, the peak memory in MB and the first
# warning or error, then a summary.
#
# Usage: bash tools/import_all_models.sh [LUMIVEX_IMPORT] [EXTRA IMPORT ARGUMENTS...]
set -uo pipefail
importer=$(realpath "${1:-build/release/lumivex-import}")
shift || true
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg -L assimp-testmodels | while read -r model; do
  [ -f "$model" ] || continue
  case "${model,,}" in
    *.png|*.jpg|*.jpeg|*.tga|*.bmp|*.dds|*.txt|*.mtl|*.glsl|*.bin|*.xml|*.md|*.html|*.pdf|*.ini|*.cfg|*.shader) continue ;;
  esac
  start=$(date +%s.%N)
  /usr/bin/time -f '%M' -o "$work/peak" timeout -k 5 90 "$importer" "$model" "$work/out" "$@" >"$work/stdout" 2>"$work/stderr"
  code=$?
  seconds=$(echo "$(date +%s.%N) - $start" | bc)
  peak=$(( $(tail -1 "$work/peak" 2>/dev/null | grep -E '^[0-9]+$' || echo 0) / 1024 ))
  message=$(grep -m1 -E 'Error|Warning' "$work/stderr" | cut -c1-100)
  printf '%3d %6.1f %6d  %s  %s\n' "$code" "$seconds" "$peak" "${model#/usr/share/assimp/models/}" "$message"
  rm -f "$work/out.kvx"
done | tee "$work/results"
echo "== summary: exit code, count"
awk '{print $1}' "$work/results" | sort -n | uniq -c
echo "== slowest, largest"
sort -k2 -rn "$work/results" | head -3
sort -k3 -rn "$work/results" | head -3
