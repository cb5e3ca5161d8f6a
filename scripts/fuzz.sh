#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer and UndefinedBehaviorSanitizer
# and runs each for a bounded time (FUZZ_SECONDS, default 60) from its seed corpus in the repo.
# New inputs the fuzzer finds go to a scratch copy, so the repo's corpus changes only by hand.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-60}"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The command-line target expands patterns against the current directory: give it a few names.
mkdir -p "$scratch/cwd/sub.wav"
touch "$scratch/cwd/1.wav" "$scratch/cwd/2.WAV" "$scratch/cwd/out.wav" "$scratch/cwd/a b.wav"

status=0
for target in command_line vote_bytes vote_samples; do
  cp -r "tests/fuzz/corpus/$target" "$scratch/$target"
  echo "== fuzz_$target for ${seconds}s"
  if (cd "$scratch/cwd" && ASAN_OPTIONS=detect_leaks=1 "$OLDPWD/build/fuzz/tests/fuzz/fuzz_$target" \
        -max_total_time="$seconds" -print_final_stats=0 -artifact_prefix="$scratch/" \
        "$scratch/$target" > "$scratch/$target.log" 2>&1); then
    tail -n 1 "$scratch/$target.log"
  else
    echo "fuzz_$target FAILED:"; tail -n 40 "$scratch/$target.log"
    ls "$scratch"/crash-* "$scratch"/leak-* 2>/dev/null || true
    status=1
  fi
done
exit $status
