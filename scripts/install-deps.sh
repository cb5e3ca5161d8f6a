#!/usr/bin/env bash
# Installs, with apt-get, every Debian package that building and testing tally needs and that is
# not installed yet. Run as root on Debian; does nothing when everything is present.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config nettle-dev googletest   # the Linux build and its unit tests
  python3 python3-pytest coreutils                          # end-to-end tests
  mingw-w64 wine wine64                                     # the Windows build, tested under Wine
  clang libclang-rt-14-dev                                  # fuzzing with libFuzzer
  man-db groff-base                                         # rendering the manual page in the tests
  dpkg-dev file unzip                                       # packaging checks (.deb, Windows ZIP)
)
if [ "${1:-}" = "--build-only" ]; then
  packages=(cmake ninja-build g++ pkg-config nettle-dev googletest python3)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
