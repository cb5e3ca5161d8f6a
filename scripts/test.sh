#!/usr/bin/env bash
# Builds tally in every configuration and runs every test: the Linux build, the Linux build under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

export WINEDEBUG=-all
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-tally}"
if [ ! -d "$WINEPREFIX" ]; then
  echo "== preparing a Wine prefix"
  wineboot -i >/dev/null 2>&1 || true
fi

status=0
for preset in linux asan windows; do
  echo "== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset: tests"
  ctest --preset "$preset" || status=1
done

if [ -x scripts/fuzz.sh ]; then
  echo "== fuzzing"
  scripts/fuzz.sh || status=1
fi
exit $status
