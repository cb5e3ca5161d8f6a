#!/bin/sh
# Builds tally for Linux, makes a CD-audio track and five damaged copies of it, restores the
# track from the copies and checks the result against the original, byte for byte.
#
# usage: scripts/demo.sh            (from anywhere; BUILD_DIR overrides build/linux)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-build/linux}
case $build_dir in /*) ;; *) build_dir=$root/$build_dir ;; esac
demo_dir=$root/build/demo

# Only what is missing is installed; a package counts as present when dpkg says so.
missing=""
for package in cmake ninja-build g++ pkg-config nettle-dev googletest python3; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
if [ -n "$missing" ]; then
    echo "installing:$missing"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
    $sudo_cmd apt-get update
    # shellcheck disable=SC2086
    $sudo_cmd apt-get install -y $missing
fi

cd "$root"
cmake --preset linux -B "$build_dir"
cmake --build "$build_dir" --target tally

rm -rf "$demo_dir"
/usr/bin/python3 "$root/scripts/make_demo.py" "$demo_dir"

echo
echo "restoring out.wav from five damaged copies, in $demo_dir:"
cd "$demo_dir"
if ! "$build_dir/tally" copy1.wav copy2.wav copy3.wav copy4.wav copy5.wav -sha256; then
    echo "DEMO FAILED: tally ended with a failure."
    exit 1
fi

echo
sha256sum original.wav
if cmp out.wav original.wav; then
    echo "DEMO PASSED: out.wav equals original.wav, bit for bit."
else
    echo "DEMO FAILED: out.wav differs from original.wav."
    exit 1
fi
