#!/bin/sh
# Builds the Debian package with cpack, checks its control fields and its file list, and, when
# run as root, installs it with dpkg, runs the installed tally by its name on a small case, finds
# its manual page with man, and removes the package again.
# Usage: deb_test.sh <build dir> <project version>
set -u
build_dir=$1
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0

expect_equal() {
    if [ "$2" != "$3" ]; then
        echo "FAIL: $1: expected '$3', got '$2'"
        fail=1
    fi
}

# -B keeps the package and cpack's staging tree out of the build directory, so parallel runs
# from several build directories do not meet.
if ! (cd "$build_dir" && cpack -G DEB -B "$work/pkg") >"$work/cpack.log" 2>&1; then
    echo "FAIL: cpack -G DEB"
    cat "$work/cpack.log"
    exit 1
fi
arch=$(dpkg --print-architecture)
deb="$work/pkg/tally_${version}_${arch}.deb"
if [ ! -f "$deb" ]; then
    echo "FAIL: no $deb; cpack made:"
    ls -l "$work/pkg"
    exit 1
fi

expect_equal "Package" "$(dpkg-deb -f "$deb" Package)" "tally"
expect_equal "Version" "$(dpkg-deb -f "$deb" Version)" "$version"
expect_equal "Architecture" "$(dpkg-deb -f "$deb" Architecture)" "$arch"
expect_equal "Maintainer" "$(dpkg-deb -f "$deb" Maintainer)" "tally developers"
expect_equal "Section" "$(dpkg-deb -f "$deb" Section)" "utils"
expect_equal "Description synopsis" "$(dpkg-deb -f "$deb" Description | head -n 1)" \
    "statistical data restore utility"
depends=$(dpkg-deb -f "$deb" Depends)
case ", $depends," in
    *", libnettle8"[,\ ]*) ;;
    *) echo "FAIL: Depends lacks libnettle8: $depends"; fail=1 ;;
esac

# Exactly these files, nothing from the test builds.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
expected=$(printf '%s\n' ./usr/bin/tally ./usr/share/doc/tally/LICENSE \
    ./usr/share/doc/tally/README.md ./usr/share/man/man1/tally.1.gz | sort)
expect_equal "file list" "$files" "$expected"

dpkg-deb -x "$deb" "$work/root"
case "$(file -b "$work/root/usr/bin/tally")" in
    *ELF*executable*stripped*) case "$(file -b "$work/root/usr/bin/tally")" in
        *"not stripped"*) echo "FAIL: the packaged program is not stripped"; fail=1 ;;
    esac ;;
    *) echo "FAIL: the packaged program is not an executable: $(file -b "$work/root/usr/bin/tally")"
       fail=1 ;;
esac
if ! gzip -dc "$work/root/usr/share/man/man1/tally.1.gz" | grep -q "^\.TH TALLY 1 .*tally $version"; then
    echo "FAIL: the packaged manual page is not the configured tally.1"
    fail=1
fi
[ $fail -eq 0 ] || exit 1

if [ "$(id -u)" -ne 0 ]; then
    echo "package OK; SKIP the install check: it needs root"
    exit 0
fi
if dpkg-query -W -f='${Status}' tally 2>/dev/null | grep -q "install ok installed"; then
    echo "package OK; SKIP the install check: a tally package is installed already and stays"
    exit 0
fi

# One install check at a time on this machine, whichever build directory it runs from.
exec 9>/tmp/tally-packaging-dpkg.lock
flock -w 50 9 || { echo "FAIL: waited 50 s for another install check"; exit 1; }

# The man-db trigger rebuilds the whole manual index, twice 10 s or more on a busy machine; it
# runs once, after the removal, and only when nothing else had left it pending before.
man_db_was_pending=0
if dpkg-query -W -f='${Status}' man-db 2>/dev/null | grep -q "triggers-pending"; then
    man_db_was_pending=1
fi
installed=0
remove_package() {
    [ $installed -eq 1 ] || return 0
    dpkg -r --no-triggers tally >"$work/remove.log" 2>&1 ||
        { echo "FAIL: dpkg -r tally"; cat "$work/remove.log"; fail=1; }
    installed=0
    if [ $man_db_was_pending -eq 0 ] &&
        dpkg-query -W -f='${Status}' man-db 2>/dev/null | grep -q "triggers-pending"; then
        dpkg --triggers-only man-db >/dev/null 2>&1
    fi
}
trap 'remove_package; rm -rf "$work"' EXIT

# A package manager that runs elsewhere holds dpkg's lock for a while; wait for it. The path
# option keeps the manual page where a minimal image's dpkg configuration drops manual pages.
tries=0
until dpkg -i --no-triggers --path-include=/usr/share/man/man1/tally.1.gz "$deb" \
        >"$work/install.log" 2>&1; do
    tries=$((tries + 1))
    if [ $tries -ge 10 ] || ! grep -q "lock" "$work/install.log"; then
        echo "FAIL: dpkg -i"
        cat "$work/install.log"
        exit 1
    fi
    sleep 3
done
installed=1

expect_equal "tally on PATH" "$(command -v tally)" "/usr/bin/tally"
expect_equal "man -w tally" "$(man -w tally 2>&1)" "/usr/share/man/man1/tally.1.gz"

# Three copies of one text, each damaged in other places: the vote restores the text, and the
# third copy, with two errors, agrees least often with the others.
mkdir "$work/run"
cd "$work/run" || exit 1
printf 'The quick brown fox jumps over the lazy dog.' >good
printf 'The_quick brown fox jumps over the lazy dog.' >copy1
printf 'The quick bro_n fox jumps over the lazy dog.' >copy2
printf 'The quick brown fox j_mps over the _azy dog.' >copy3
tally copy1 copy2 copy3 -md5 >stdout.txt 2>stderr.txt
status=$?
expect_equal "exit status" "$status" "0"
if ! cmp -s good out.wav; then
    echo "FAIL: out.wav is not the undamaged text: '$(cat out.wav 2>/dev/null)'"
    fail=1
fi
tr -d '\r' <stdout.txt >stdout.lf
good_md5=$(md5sum <good | cut -d' ' -f1)
for line in "\[ *copy1\] +3 best\$" "\[ *copy2\] +3 best\$" "\[ *copy3\] +2\$" \
            "^$good_md5 \[ *out.wav\]\$" "errors: +0 KB = 4 bytes\$"; do
    if ! grep -Eq -- "$line" stdout.lf; then
        echo "FAIL: no line matching '$line' in the standard output:"
        cat stdout.lf
        fail=1
    fi
done
if [ $fail -ne 0 ]; then
    echo "standard error:"
    cat stderr.txt
fi

cd / || exit 1
remove_package
if [ -e /usr/bin/tally ] || dpkg-query -W -f='${Status}' tally 2>/dev/null | grep -q "installed"; then
    echo "FAIL: tally is still installed after dpkg -r"
    fail=1
fi

[ $fail -eq 0 ] && echo "package, install, run and removal OK"
exit $fail
