#!/usr/bin/env bash
# End-to-end benchmark: `lumivex large` on generated scenes against the I/O
# floor (reading the input with cat, then writing a file of the output's
# size), run interleaved in one session on this machine; prints for each
# scene the median times, their ratio and the peak memory above the input's
# size, then how the time grows from 1 M to 4 M triangles.
#
# Usage: bash bench/run_end_to_end.sh [LUMIVEX_BINARY] [RUNS]
# Scenes (tools/make_scene.py) are made once under build/bench-scenes; any
# other build/bench-scenes/real-*.kvx (models converted with lumivex-import)
# is timed as well.
set -euo pipefail
cd "$(dirname "$0")/.."

binary=${1:-build/release/lumivex}
runs=${2:-15}
if [ ! -x "$binary" ]; then
  cmake --preset release >/dev/null && cmake --build --preset release -j2 >/dev/null
fi
binary=$(realpath "$binary")

scenes=build/bench-scenes
mkdir -p "$scenes"
make_scene() {  # name kind [triangles]
  [ -f "$scenes/$1.kvx" ] || python3 tools/make_scene.py "$2" "$scenes/$1.kvx" ${3:-}
}
make_scene packed packed
make_scene many many
make_scene overlap overlap
make_scene big big
make_scene packed4m packed 4000000

python3 - "$binary" "$runs" "$scenes" <<'PY'
import os, resource, statistics, subprocess, sys, time

binary, runs, scenes = sys.argv[1], int(sys.argv[2]), sys.argv[3]
names = ["packed", "many", "overlap", "big", "packed4m"]
names += sorted(f[:-4] for f in os.listdir(scenes) if f.startswith("real-") and f.endswith(".kvx"))
os.chdir(scenes)

def timed(command):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start

def peak_kb(command):
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss  # the largest child so far

tool_times = {}
print(f"{'scene':<14}{'input MB':>9}{'lumivex s':>11}{'floor s':>9}{'ratio':>7}{'peak - input MB':>17}")
for name in names:
    floor_command = ["bash", "-c", f"cat {name}.kvx > /dev/null && head -c 6291464 /dev/zero > floor.out"]
    tool_command = [binary, "large", name, "bench-out"]
    subprocess.run(["cat", f"{name}.kvx"], stdout=subprocess.DEVNULL)  # into the page cache
    tool, floor = [], []
    for _ in range(runs):  # interleaved, so that both see the same machine
        floor.append(timed(floor_command))
        tool.append(timed(tool_command))
    peak = subprocess.run(["/usr/bin/time", "-f", "%M", *tool_command], check=True, capture_output=True, text=True)
    peak_mb = int(peak.stderr.strip().splitlines()[-1]) / 1024
    size_mb = os.path.getsize(f"{name}.kvx") / 2**20
    t, f = statistics.median(tool), statistics.median(floor)
    tool_times[name] = t
    print(f"{name:<14}{size_mb:>9.1f}{t:>11.4f}{f:>9.4f}{t / f:>7.2f}{peak_mb - size_mb:>17.1f}")
for leftover in ("floor.out", "bench-out.samples"):
    if os.path.exists(leftover):
        os.remove(leftover)
print(f"4 M triangles take {tool_times['packed4m'] / tool_times['packed']:.2f} x the time of 1 M")
PY
