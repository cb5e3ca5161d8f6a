#!/bin/sh
# tally.exe carries a version resource whose names and versions are those of the project:
# Explorer shows them under the file's properties.
# Usage: version_resource_test.sh <tally.exe> <project version>
set -u
exe=$1
version=$2
fail=0

# objdump lists the resource types at the top level of the resource tree, three blanks in:
# 0x10 is RT_VERSION, 0x18 the manifest (RT_MANIFEST).
resources=$(x86_64-w64-mingw32-objdump -p "$exe")
for type in 000010 000018; do
    if ! printf '%s\n' "$resources" | grep -Eq "^[0-9a-f]+   Entry: ID: 0x$type,"; then
        echo "FAIL: no resource of type 0x$type in $exe"
        fail=1
    fi
done

# The version block stores its keys and values as UTF-16 strings, one after the other.
strings_le=$(strings -el "$exe")
expect_value() {
    if ! printf '%s\n' "$strings_le" | grep -A1 -x "$1" | tail -n 1 | grep -qx "$2"; then
        echo "FAIL: $1 is not '$2':"
        printf '%s\n' "$strings_le" | grep -A1 -x "$1"
        fail=1
    fi
}
expect_value ProductName "tally"
expect_value FileDescription "statistical data restore utility"
expect_value FileVersion "$version"
expect_value ProductVersion "$version"
expect_value OriginalFilename "tally.exe"

[ $fail -eq 0 ] && echo "version resource OK"
exit $fail
