#!/usr/bin/env bash
# Benchmarks tally against its I/O floor, in one command, on Debian as root:
#
#   bench/run.sh            the full set (about 17 GiB of inputs under bench/work, reused later)
#   bench/run.sh --quick    reduced sizes and 3 repetitions, to try the harness out
#
# Further options go to bench/bench.py: --only 3x512M (cases whose name contains the text),
# --reps 7, --budget SECONDS (per case, before repetitions are cut), --note TEXT (a remark for
# RESULTS.md), --report-only (redraw RESULTS.md and the plot from bench/work/results.json). Installs what is
# missing, builds tally (linux preset, without its tests) and the floor in their own build
# directories, generates the inputs, times every case and writes bench/RESULTS.md and
# bench/throughput.png.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

"$root/scripts/install-deps.sh" --build-only
missing=()
for p in python3-numpy python3-matplotlib util-linux time; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Own build directories, so that a benchmark never races a developer's build.
cmake --preset linux -B build/bench-tally -DTALLY_TESTS=OFF >/dev/null
cmake --build build/bench-tally --target tally
cmake -S bench -B build/bench -G Ninja >/dev/null
cmake --build build/bench

# Debian's python3, which has numpy and matplotlib (the first python3 on PATH may not).
exec /usr/bin/python3 "$root/bench/bench.py" \
  --tally "$root/build/bench-tally/tally" --floor "$root/build/bench/floor" "$@"
