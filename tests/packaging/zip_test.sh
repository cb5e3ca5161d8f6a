#!/bin/sh
# Builds the Windows ZIP with cpack, checks that it holds tally.exe, README.md and LICENSE and
# nothing else, unpacks it and runs the unpacked tally.exe under Wine on a small case.
# Usage: zip_test.sh <windows build dir> <project version>
set -u
build_dir=$1
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
export WINEDEBUG=-all

if ! (cd "$build_dir" && cpack -G ZIP -B "$work/pkg") >"$work/cpack.log" 2>&1; then
    echo "FAIL: cpack -G ZIP"
    cat "$work/cpack.log"
    exit 1
fi
zip="$work/pkg/tally-$version-win64.zip"
if [ ! -f "$zip" ]; then
    echo "FAIL: no $zip; cpack made:"
    ls -l "$work/pkg"
    exit 1
fi

top="tally-$version-win64"
files=$(unzip -Z1 "$zip" | grep -v '/$' | sort)
expected=$(printf '%s\n' "$top/LICENSE" "$top/README.md" "$top/tally.exe" | sort)
if [ "$files" != "$expected" ]; then
    echo "FAIL: the ZIP holds"
    echo "$files"
    echo "instead of"
    echo "$expected"
    exit 1
fi

unzip -q "$zip" -d "$work/unpacked"
dir="$work/unpacked/$top"
case "$(file -b "$dir/tally.exe")" in
    *PE32+*x86-64*) ;;
    *) echo "FAIL: tally.exe is not a 64-bit Windows program: $(file -b "$dir/tally.exe")"; exit 1 ;;
esac

# Three copies of one text, each damaged in other places: the vote restores the text, and the
# third copy, with two errors, agrees least often with the others.
cd "$work/unpacked" || exit 1
printf 'The quick brown fox jumps over the lazy dog.' >good
printf 'The_quick brown fox jumps over the lazy dog.' >copy1
printf 'The quick bro_n fox jumps over the lazy dog.' >copy2
printf 'The quick brown fox j_mps over the _azy dog.' >copy3
wine "$dir/tally.exe" copy1 copy2 copy3 -o restored.bin -sha1 >stdout.txt 2>stderr.txt
status=$?
if [ "$status" -ne 0 ]; then
    echo "FAIL: exit status $status"
    fail=1
fi
if ! cmp -s good restored.bin; then
    echo "FAIL: restored.bin is not the undamaged text: '$(cat restored.bin 2>/dev/null)'"
    fail=1
fi
tr -d '\r' <stdout.txt >stdout.lf
good_sha1=$(sha1sum <good | cut -d' ' -f1)
for line in "\[ *copy1\] +3 best\$" "\[ *copy2\] +3 best\$" "\[ *copy3\] +2\$" \
            "^$good_sha1 \[ *restored.bin\]\$" "errors: +0 KB = 4 bytes\$"; do
    if ! grep -Eq -- "$line" stdout.lf; then
        echo "FAIL: no line matching '$line' in the standard output"
        fail=1
    fi
done
if [ $fail -ne 0 ]; then
    echo "standard output:"
    cat stdout.lf
    echo "standard error:"
    cat stderr.txt
fi

[ $fail -eq 0 ] && echo "ZIP and unpacked tally.exe OK"
exit $fail
