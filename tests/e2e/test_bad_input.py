"""Bad input, end to end: what tally refuses and why, what it reports, its exit status, the
output file, and that every input is unchanged afterwards (bytes and modification time).

The >4 GiB case reads 12 GiB of sparse inputs and writes a 4 GiB output, in well under a minute
here; it is skipped where less than 9 GiB of disk are free, or with TALLY_E2E_LARGE=0."""
import fcntl
import os
import random
import shutil
import threading

import pytest

from tally_e2e import (assert_unchanged, hit_table, listing, progress, read, snapshot, summary,
                       write)

ABC = ["a.bin", "b.bin", "c.bin"]
DATA = b"restored data\n"
STATUS_FAILED = 255  # -1 as an exit code


def inputs(names, data=DATA):
    """Creates the inputs with `data` (bytes, or one per name); returns their snapshot."""
    contents = data if isinstance(data, list) else [data] * len(names)
    for name, content in zip(names, contents):
        write(name, content)
    return snapshot(names)


def entries():
    """Every name in the current directory, walked whole (symbolic links not followed)."""
    found = set()
    for root, dirs, files in os.walk("."):
        found.update(os.path.join(root, n) for n in dirs + files)
    return found


def clean_run(error_bytes, names, output="out.wav", passes=2):
    """stdout and stderr of a run whose blocks are clean except for `error_bytes` positions that
    do not show in the progress (callers with differences compare stdout only)."""
    return hit_table(names, [0] * len(names)) + summary(error_bytes), \
        listing(output, names) + progress(len(names), passes)


def damaged(data, *positions):
    """`data` with the byte at every position changed."""
    copy = bytearray(data)
    for p in positions:
        copy[p] ^= 0x5A
    return bytes(copy)


def random_bytes(length, seed):
    return random.Random(seed).randbytes(length)


# -- The output is one of the inputs --------------------------------------------------------------

def refused_output(output, input_name):
    return ('[%s]\n   ^ refused as the output: it is the input "%s", which would be emptied '
            "before it is read\n" % (output, input_name))


def hard_link(name):
    os.link("1.wav", name)


def symbolic_link(name):
    os.symlink("1.wav", name)


def directory_sub(name):
    os.mkdir("sub")


# Each spelling of 1.wav as the output: (output argument, how to prepare it, Wine only).
OUTPUT_SPELLINGS = {
    "same-name": ("1.wav", None, False),
    "dot-segment": ("./1.wav", None, False),
    "parent-segment": ("sub/../1.wav", directory_sub, False),
    "hard-link": ("hard.wav", hard_link, False),
    "symbolic-link": ("soft.wav", symbolic_link, False),
    # Windows names ignore letter case and take backslashes; Linux names do neither.
    "letter-case": ("1.WAV", None, True),
    "backslashes": ("sub\\..\\1.wav", directory_sub, True),
}


@pytest.mark.parametrize("spelling", OUTPUT_SPELLINGS, ids=list(OUTPUT_SPELLINGS))
def test_output_that_is_an_input_is_refused_before_anything_is_created(tally, spelling):
    output, prepare, wine_only = OUTPUT_SPELLINGS[spelling]
    if wine_only and not tally.wine:
        pytest.skip("a Windows spelling")
    names = ["1.wav", "2.wav", "3.wav"]
    taken = inputs(names)
    if prepare:
        prepare(output)
    before = entries()
    r = tally.run(*names, "-o", output)
    assert r.stdout == refused_output(output, "1.wav")
    assert r.stderr == ""
    assert r.status == STATUS_FAILED
    assert_unchanged(taken)
    assert entries() == before


def test_default_output_among_shell_expanded_inputs_is_refused(tally):
    # `tally *.wav` in a folder that holds out.wav from an earlier run: the shell makes out.wav
    # an input, and the default output is out.wav too.
    names = ["1.wav", "2.wav", "3.wav", "out.wav"]
    taken = inputs(names)
    r = tally.run(*names)
    assert r.stdout == refused_output("out.wav", "out.wav")
    assert r.status == STATUS_FAILED
    assert_unchanged(taken)


# -- Exit status ----------------------------------------------------------------------------------

def test_output_that_cannot_be_written_ends_with_failure(tally):
    # /dev/full takes the open and refuses every byte: disk full. Whole sectors, so that both
    # builds fail the first write itself.
    data = b"x" * 4096
    taken = inputs(ABC, data)
    r = tally.run(*ABC, "-o", "/dev/full")
    assert r.stdout == ("h_out.write()\n   ^ERROR: 112, <text>\n" + hit_table(ABC, [0, 0, 0])
                        + summary(0))
    assert r.stderr == listing("/dev/full", ABC) + "processing:\n...\n"
    assert r.status == STATUS_FAILED
    assert_unchanged(taken)


def test_output_that_is_a_directory_fails_and_stays_as_it_is(tally):
    # A directory cannot be created over; the retry opens it. Linux cannot empty it, so the open
    # fails; Wine opens it as empty, and then the first write fails. Either way the failure is
    # reported, nothing is written, and the run ends with -1.
    taken = inputs(ABC)
    os.mkdir("d")
    write("d/keep.txt", "kept\n")
    r = tally.run(*ABC, "-o", "d")
    lines = r.stdout.splitlines()
    assert lines[0] in ("open(d)", "h_out.write()")
    assert lines[1].startswith("   ^ERROR: ")
    assert r.status == STATUS_FAILED
    assert os.listdir("d") == ["keep.txt"]
    assert read("d/keep.txt") == b"kept\n"
    assert_unchanged(taken)


def test_disagreeing_inputs_are_no_failure(tally):
    taken = inputs(ABC, [b"abcdefgh", b"abXdefgh", b"abcdefgh"])
    r = tally.run(*ABC)
    assert r.status == 0
    assert r.stdout == hit_table(ABC, [1, 0, 1]) + summary(1)
    assert read("out.wav") == b"abcdefgh"
    assert_unchanged(taken)


# -- No stale tail --------------------------------------------------------------------------------

def test_output_that_cannot_be_emptied_is_not_written(tally):
    # A memory file sealed against shrinking, named through /proc: creating over it fails (or,
    # under Wine, succeeds without emptying it), an open of it for writing succeeds. Written in
    # place, the old bytes beyond the new end would remain; it is refused instead.
    old = b"OLD CONTENT, LONGER THAN THE NEW\n"
    fd = os.memfd_create("sealed", os.MFD_ALLOW_SEALING)
    try:
        os.write(fd, old)
        fcntl.fcntl(fd, fcntl.F_ADD_SEALS, fcntl.F_SEAL_SHRINK)
        output = "/proc/%d/fd/%d" % (os.getpid(), fd)
        taken = inputs(ABC)
        r = tally.run(*ABC, "-o", output)
        assert r.stdout == "open(%s)\n   ^ERROR: 5, <text>\n" % output
        assert r.stderr == "[%24s] FAIL\n" % output + listing(output, ABC)[len("[%24s] OK\n"
                                                                              % output):]
        assert r.status == STATUS_FAILED
        assert os.pread(fd, 100, 0) == old
        assert_unchanged(taken)
    finally:
        os.close(fd)


def test_longer_existing_output_is_replaced_whole(tally):
    write("r.bin", b"an old result, much longer than the new one\n")
    taken = inputs(ABC)
    r = tally.run(*ABC, "-o", "r.bin")
    assert r.status == 0
    assert read("r.bin") == DATA
    assert_unchanged(taken)


# -- Pipes and the standard input -----------------------------------------------------------------

def feed(fd, data, piece):
    """Writes `data` to the pipe `fd` in pieces from a thread, then closes it."""
    def run():
        try:
            for at in range(0, len(data), piece):
                os.write(fd, data[at:at + piece])
        except BrokenPipeError:
            pass
        finally:
            os.close(fd)
    thread = threading.Thread(target=run)
    thread.start()
    return thread


# Three copies of 5,000,000 bytes (two full blocks and a short one), each damaged in its own
# places: the output is right only when every pass sees the same offsets of all three.
LOCKSTEP_DATA = random_bytes(5000000, 7)
LOCKSTEP_COPIES = [damaged(LOCKSTEP_DATA, 100, 3000000), damaged(LOCKSTEP_DATA, 4500000),
                   LOCKSTEP_DATA]


def check_lockstep_run(r, first_name):
    names = [first_name, "b.bin", "c.bin"]
    assert r.status == 0
    # Position 100 and 3,000,000: b and c agree; 4,500,000: the first and c agree.
    assert r.stdout == hit_table(names, [1, 2, 3]) + summary(3)
    assert read("r.bin") == LOCKSTEP_DATA


@pytest.mark.parametrize("source", ["pipe", "file"])
def test_standard_input_as_an_input_stays_in_lockstep(tally, source):
    # A pipe delivers a block in pieces (its buffer holds 64 KiB) and ends with a broken pipe;
    # redirected from a file, the standard input is read like a file.
    taken = inputs(["b.bin", "c.bin"], LOCKSTEP_COPIES[1:])
    if source == "pipe":
        read_end, write_end = os.pipe()
        writer = feed(write_end, LOCKSTEP_COPIES[0], 10000)
        try:
            r = tally.run("-", "b.bin", "c.bin", "-o", "r.bin", stdin=read_end)
        finally:
            os.close(read_end)
            writer.join()
    else:
        write("stdin.bin", LOCKSTEP_COPIES[0])
        with open("stdin.bin", "rb") as stdin:
            r = tally.run("-", "b.bin", "c.bin", "-o", "r.bin", stdin=stdin)
    check_lockstep_run(r, "-")
    assert_unchanged(taken)


@pytest.mark.parametrize("switches", [[], ["-b"]], ids=["cached", "unbuffered-inputs"])
def test_named_pipe_as_an_input_stays_in_lockstep(tally, switches):
    # With -b too: unbuffered reading binds files on disk only, a pipe gives any length.
    if tally.wine:
        pytest.skip("Wine opens a FIFO without waiting for its writer and reads it as ended")
    taken = inputs(["b.bin", "c.bin"], LOCKSTEP_COPIES[1:])
    os.mkfifo("fifo")

    def open_and_feed():
        # Blocks until tally opens the FIFO for reading.
        feed(os.open("fifo", os.O_WRONLY), LOCKSTEP_COPIES[0], 10000).join()
    writer = threading.Thread(target=open_and_feed)
    writer.start()
    r = tally.run("fifo", "b.bin", "c.bin", "-o", "r.bin", *switches)
    if writer.is_alive():
        # tally never opened the FIFO: open it here, so that the writer is released.
        os.close(os.open("fifo", os.O_RDONLY | os.O_NONBLOCK))
    writer.join()
    check_lockstep_run(r, "fifo")
    assert_unchanged(taken)


@pytest.mark.parametrize("names", [["-", "b.bin", "-"], ["CON", "b.bin", "con"]],
                         ids=["dash-twice", "con-and-CON"])
def test_standard_input_named_twice_is_refused(tally, names):
    taken = inputs(["b.bin"])
    r = tally.run(*names)
    assert r.stdout == ('[%s]\n   ^ refused: the standard input is an input already, as "%s"; '
                        "it can be read only once\n" % (names[2], names[0]))
    assert r.stderr == ""
    assert r.status == STATUS_FAILED
    assert not os.path.exists("out.wav")
    assert_unchanged(taken)


# -- Restoring to standard output -----------------------------------------------------------------

def test_output_to_standard_output_equals_the_output_to_a_file(tally):
    # Several blocks, differences, and a short last block: standard output carries the very
    # bytes that -o writes to a file, and nothing else; every text goes to standard error.
    taken = inputs(ABC, LOCKSTEP_COPIES)
    to_file = tally.run(*ABC, "-o", "y.bin")
    to_stdout = tally.run(*ABC, "-o", "-")
    assert to_file.status == 0 and to_stdout.status == 0
    assert read("y.bin") == LOCKSTEP_DATA
    assert to_stdout.raw_stdout == read("y.bin")
    assert to_stdout.stderr == (to_file.stderr.replace("[%24s]" % "y.bin", "[%24s]" % "-")
                                + to_file.stdout)
    assert not os.path.exists("-")
    assert_unchanged(taken)


# -- Long names -----------------------------------------------------------------------------------

def test_input_name_too_long_is_left_out_whole(tally):
    too_long = "n" * 1024
    taken = inputs(ABC)
    r = tally.run("a.bin", too_long, "b.bin", "c.bin")
    stdout, stderr = clean_run(0, ABC)
    assert r.stdout == ("[%s]\n   ^ skipped: an input name must be shorter than 1024 "
                        "characters\n" % too_long) + stdout
    assert r.stderr == stderr
    assert r.status == 0
    assert read("out.wav") == DATA
    assert_unchanged(taken)


LONG_OUTPUT = "o" * 1024
# A first input whose directory part ("./" repeated: the current directory) leaves no room for
# "out.wav" within 1023 characters.
DEEP_DIRECTORY = "./" * 509


@pytest.mark.parametrize("args,shown", [
    (ABC + ["-o", LONG_OUTPUT], LONG_OUTPUT),
    ([DEEP_DIRECTORY + "a.bin", "b.bin", "c.bin"], DEEP_DIRECTORY + "out.wav"),
], ids=["given", "default"])
def test_output_name_too_long_is_refused(tally, args, shown):
    taken = inputs(ABC)
    before = entries()
    r = tally.run(*args)
    assert r.stdout == ("[%s]\n   ^ not used: an output name must be shorter than 1024 "
                        "characters\n" % shown)
    assert r.stderr == ""
    assert r.status == STATUS_FAILED
    assert entries() == before
    assert_unchanged(taken)


def test_long_name_that_fails_to_open_is_reported_whole(tally):
    # Longer than the 505 characters that fit the open report's own buffer.
    missing = "./" * 300 + "missing.bin"
    taken = inputs(["a.bin", "c.bin"])
    r = tally.run("a.bin", missing, "c.bin")
    assert r.stdout.startswith("open(%s)\n   ^ERROR: " % missing)
    assert r.stderr == listing("out.wav", ["a.bin", missing], failed=missing)
    assert r.status == STATUS_FAILED
    assert_unchanged(taken)


# -- Patterns with a directory part ---------------------------------------------------------------

@pytest.mark.parametrize("separator", ["/", "\\"], ids=["slash", "backslash"])
def test_pattern_matches_open_from_the_pattern_directory(tally, separator):
    if separator == "\\" and not tally.wine:
        pytest.skip("a backslash is no separator on Linux")
    os.mkdir("rips")
    taken = inputs(["rips/1.wav", "rips/2.wav", "rips/3.wav"])
    write("rips/out.wav", "an old result, longer than the new one\n")
    r = tally.run("rips%s*.wav" % separator)
    names = ["rips%s%d.wav" % (separator, i) for i in (1, 2, 3)]
    output = "rips%sout.wav" % separator
    stdout, stderr = clean_run(0, names, output)
    # The matches come in the directory's order: compare the lines as sets, the output first.
    assert r.stderr.splitlines()[0] == "[%24s] OK" % output
    assert sorted(r.stderr.splitlines()) == sorted(stderr.splitlines())
    assert sorted(r.stdout.splitlines()) == sorted(stdout.splitlines())
    assert r.status == 0
    assert read("rips/out.wav") == DATA
    assert not os.path.exists("out.wav")
    assert_unchanged(taken)


def test_pattern_with_a_drive_alone_keeps_the_drive(tally):
    # "z:*.wav" searches the current directory of drive Z:; the matches and the default output
    # keep the drive, so they are opened there whatever the current drive is.
    if not tally.wine:
        pytest.skip("drives are Windows names")
    names = ["1.wav", "2.wav", "3.wav"]
    taken = inputs(names)
    r = tally.run("z:*.wav")
    stdout, stderr = clean_run(0, ["z:" + n for n in names], "z:out.wav")
    assert r.stderr.splitlines()[0] == "[%24s] OK" % "z:out.wav"
    assert sorted(r.stderr.splitlines()) == sorted(stderr.splitlines())
    assert sorted(r.stdout.splitlines()) == sorted(stdout.splitlines())
    assert r.status == 0
    assert read("out.wav") == DATA
    assert_unchanged(taken)


# -- Names ----------------------------------------------------------------------------------------

def test_names_with_spaces_and_letters_beyond_ascii(tally):
    names = ["a copy.wav", "ünï cödé.wav", "日本語 コピー.wav"]
    taken = inputs(names)
    r = tally.run(*names)
    stdout, stderr = clean_run(0, names)
    assert (r.status, r.stdout, r.stderr) == (0, stdout, stderr)
    assert read("out.wav") == DATA
    assert_unchanged(taken)


def test_names_that_are_no_valid_utf8(tally):
    if tally.wine:
        pytest.skip("Windows names are UTF-16: no such names")
    # Raw bytes in names, and in the first input's directory: the output goes beside it.
    names = [b"d\xff/1\xfe.wav", b"2\xc3.wav", b"3\xed\xa0\x80.wav"]
    os.mkdir(b"d\xff")
    for name in names:
        write(name, DATA)
    taken = snapshot(names)
    r = tally.run(*names)
    assert r.status == 0
    for name in names:
        assert b"%s] OK\n" % name in r.raw_stderr
        assert b"%s]     0 best\n" % name in r.raw_stdout
    assert read(b"d\xff/out.wav") == DATA
    assert_unchanged(taken)


def test_385_names(tally):
    # The 385th is skipped with a message and never opened; the run goes on with 384.
    names = ["f%03d" % i for i in range(385)]
    taken = inputs(names)
    r = tally.run(*names)
    stdout, stderr = clean_run(0, names[:384])
    assert r.stdout == ("[f384]\n\t^ skipped: maximum input files allowed 384\n\n" + stdout)
    assert r.stderr == stderr
    assert r.status == 0
    assert read("out.wav") == DATA
    assert_unchanged(taken)


# -- Inputs larger than 4 GiB ---------------------------------------------------------------------

def test_inputs_larger_than_4_gib(tally):
    if os.environ.get("TALLY_E2E_LARGE") == "0":
        pytest.skip("TALLY_E2E_LARGE=0")
    if shutil.disk_usage(".").free < 9 * 1024 ** 3:
        pytest.skip("needs 9 GiB of free disk for the 4 GiB output")
    # Sparse copies of 4 GiB + 1,000,003 bytes: 32-bit lengths and offsets would wrap. Each
    # copy has one wrong byte beyond 4 GiB; the output must have the right ones and the length.
    size = 4 * 1024 ** 3 + 1000003
    marks = {4 * 1024 ** 3 + 10: b"A", 4 * 1024 ** 3 + 500000: b"B", size - 1: b"C"}
    for index, name in enumerate(ABC):
        with open(name, "wb") as f:
            f.truncate(size)
            for at, value in marks.items():
                f.seek(at)
                f.write(value)
            wrong = list(marks)[index]
            f.seek(wrong)
            f.write(b"?")
    taken = {name: (os.stat(name).st_size, os.stat(name).st_mtime_ns) for name in ABC}
    r = tally.run(*ABC, "-o", "big.bin")
    assert r.status == 0
    assert r.stdout == hit_table(ABC, [2, 2, 2]) + summary(3)
    assert os.path.getsize("big.bin") == size
    with open("big.bin", "rb") as f:
        for at, value in marks.items():
            f.seek(at)
            assert f.read(1) == value
    for name, (size_was, mtime_was) in taken.items():
        assert (os.stat(name).st_size, os.stat(name).st_mtime_ns) == (size_was, mtime_was)
