#!/usr/bin/env bash
# End-to-end benchmark: times `lumivex large` on the generated scenes and the
# I/O floor (reading the input with cat plus writing a file of the output's
# size), all in one run on this machine, and prints the ratios.
#
# Usage: bash bench/run_end_to_end.sh [LUMIVEX_BINARY] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

binary=${1:-build/release/lumivex}
runs=${2:-7}
if [ ! -x "$binary" ]; then
  cmake --preset release >/dev/null && cmake --build --preset release -j2 >/dev/null
fi
binary=$(realpath "$binary")

scenes=build/bench-scenes
mkdir -p "$scenes"
for kind in packed overlap big; do
  [ -f "$scenes/$kind.kvx" ] || python3 tools/make_scene.py "$kind" "$scenes/$kind.kvx"
done

# median wall time, in seconds, of `runs` runs of a command
median() {
  python3 - "$runs" "$@" <<'PY'
import subprocess, sys, time
runs, command = int(sys.argv[1]), sys.argv[2:]
times = []
for _ in range(runs):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    times.append(time.perf_counter() - start)
times.sort()
print(f"{times[len(times) // 2]:.4f}")
PY
}

cd "$scenes"
printf '%-8s %10s %10s %10s %8s %12s\n' scene "input MB" "lumivex s" "floor s" ratio "peak MB"
for kind in packed overlap big; do
  cat "$kind.kvx" > /dev/null  # into the page cache
  floor=$(median bash -c "cat $kind.kvx > /dev/null && head -c 6291464 /dev/zero > floor.out")
  tool=$(median "$binary" large "$kind")
  peak=$( { /usr/bin/time -f '%M' "$binary" large "$kind" > /dev/null; } 2>&1 | tail -1)
  size=$(stat -c %s "$kind.kvx")
  python3 -c "print(f'{\"$kind\":<8} {$size/1e6:10.1f} {$tool:10.4f} {$floor:10.4f} {$tool/$floor:8.2f} {$peak/1024:12.1f}')"
done
rm -f floor.out

# The loader alone on a file of over 100 MB in the page cache, against cat.
cd "$root"
if [ ! -x build/bench/lumivex_benchmarks ]; then
  cmake --preset bench >/dev/null && cmake --build --preset bench -j2 >/dev/null
fi
[ -f "$scenes/load.kvx" ] || python3 tools/make_scene.py packed "$scenes/load.kvx" 1400000
cat "$scenes/load.kvx" > /dev/null
loader=$(LUMIVEX_BENCH_KVX="$scenes/load.kvx" build/bench/lumivex_benchmarks --benchmark_filter=LoadMeshFile \
  --benchmark_repetitions=5 --benchmark_format=csv 2>/dev/null | grep '_median' | cut -d, -f3)
catTime=$(cd "$scenes" && median cat load.kvx)
python3 -c "
size = $(stat -c %s "$scenes/load.kvx") / 1e9
loader, cat = $loader / 1e3, $catTime
print(f'loader   {size * 1e3:10.1f} MB: {size / loader:5.2f} GB/s; cat {size / cat:5.2f} GB/s; ratio {cat / loader:.2f}')"
