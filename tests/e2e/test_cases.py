"""Golden cases: each file in cases/ sets up small input files, runs tally once with its
arguments and compares standard output, standard error, the exit status and the output file
exactly (after the normalisation of tally_e2e). With TALLY_E2E_UPDATE=1 the expectations are
rewritten from the actual run instead; review the diff before committing it.

A case file is a list of sections, each starting with a line "@@ <kind> [name]":
  args            the arguments, split like a shell does (no wildcard expansion)
  file NAME       an input file to create, with the section's text as its content
  dir NAME        a directory to create
  stdout, stderr  the expected text
  status          the expected exit status (255 stands for -1)
  output NAME     the expected content of a file after the run
  absent NAME     a file that must not exist after the run
Lines before the first section are comments. A section's text runs up to the next section.
Every file that a case creates and does not name in an output section is an input, and must be
unchanged after the run: its bytes and its modification time.
"""
import os
import pathlib
import shlex

import pytest

from tally_e2e import assert_unchanged, read, snapshot, write

CASES = pathlib.Path(__file__).parent / "cases"
UPDATE = os.environ.get("TALLY_E2E_UPDATE") == "1"


def parse_case(text):
    """Returns the comment and the sections as [kind, name, text] in file order."""
    comment, sections = "", []
    for line in text.splitlines(keepends=True):
        if line.startswith("@@ "):
            words = line[3:].split(None, 1)
            sections.append([words[0], words[1].strip() if len(words) > 1 else "", ""])
        elif sections:
            sections[-1][2] += line
        else:
            comment += line
    return comment, sections


def format_case(comment, sections):
    text = comment
    for kind, name, body in sections:
        text += "@@ %s%s\n%s" % (kind, " " + name if name else "", body)
    return text


@pytest.mark.parametrize("case", sorted(CASES.glob("*.case")), ids=lambda p: p.stem)
def test_case(tally, case):
    comment, sections = parse_case(case.read_text(encoding="utf-8"))
    args = []
    for kind, name, body in sections:
        if kind == "args":
            args = shlex.split(body)
        elif kind == "file":
            write(name, body)
        elif kind == "dir":
            os.makedirs(name, exist_ok=True)

    outputs = {name for kind, name, _ in sections if kind == "output"}
    inputs = snapshot(name for kind, name, _ in sections if kind == "file" and name not in outputs)

    result = tally.run(*args)

    actual = {"stdout": result.stdout, "stderr": result.stderr, "status": "%d\n" % result.status}
    mismatches = []
    for section in sections:
        kind, name, body = section
        if kind in actual:
            got = actual[kind]
        elif kind == "output":
            got = read(name).decode("utf-8", errors="replace") if os.path.exists(name) else None
        elif kind == "absent":
            got = "" if not os.path.exists(name) else "exists\n"
        else:
            continue
        if got != body:
            mismatches.append((kind, name, body, got))
            if UPDATE and got is not None:
                section[2] = got
    if UPDATE and mismatches:
        case.write_text(format_case(comment, sections), encoding="utf-8")
        return
    for kind, name, body, got in mismatches:
        assert got == body, "%s %s differs" % (kind, name)
    assert_unchanged(inputs)
