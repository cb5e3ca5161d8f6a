#!/bin/sh
# The configured manual page renders without a single warning, both through groff directly and
# through man, and carries the project version in its title line.
# Usage: man_page_test.sh <configured tally.1> <project version>
set -u
page=$1
version=$2
fail=0

check_quiet() {
    what=$1
    shift
    messages=$("$@" 2>&1 >/dev/null)
    status=$?
    if [ $status -ne 0 ] || [ -n "$messages" ]; then
        echo "FAIL: $what (exit status $status):"
        echo "$messages"
        fail=1
    fi
}

check_quiet "groff -man -ww -z" groff -man -ww -z "$page"
# man passes --warnings on to groff; a fixed width and locale keep the line breaking stable.
check_quiet "man --warnings -l" env LC_ALL=C.UTF-8 MANWIDTH=80 MAN_KEEP_FORMATTING= \
    man --warnings=w -l "$page"

if ! head -n 5 "$page" | grep -q "^\.TH TALLY 1 .*\"tally $version\""; then
    echo "FAIL: the title line does not carry version $version:"
    head -n 5 "$page"
    fail=1
fi
if grep -q '@[A-Z_]*@' "$page"; then
    echo "FAIL: unconfigured placeholders left:"
    grep -n '@[A-Z_]*@' "$page"
    fail=1
fi

# Every section that a reader looks for is there, in the rendered text.
rendered=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null)
for section in NAME SYNOPSIS DESCRIPTION OPTIONS OUTPUT "EXIT STATUS" LIMITS EXAMPLES "SEE ALSO"; do
    if ! printf '%s\n' "$rendered" | grep -q "^$section\$"; then
        echo "FAIL: section $section missing"
        fail=1
    fi
done
for switch in -o -a -b -md2 -md4 -md5 -sha1 -sha256 -sha384 -sha512; do
    if ! printf '%s\n' "$rendered" | grep -q -- "$switch"; then
        echo "FAIL: switch $switch not documented"
        fail=1
    fi
done

[ $fail -eq 0 ] && echo "manual page OK"
exit $fail
