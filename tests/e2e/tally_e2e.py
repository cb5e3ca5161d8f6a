"""Helpers of the end-to-end tests: the runner, the normalisation that makes runs comparable
across Linux and Wine, and the expected texts built from the program's own formats."""
import os
import re
import shlex
import subprocess
import tempfile
from dataclasses import dataclass

BLOCK = 2097152  # bytes per block where the system reports no large-page minimum


@dataclass
class Result:
    status: int
    stdout: str
    stderr: str
    raw_stdout: bytes
    raw_stderr: bytes


SUMMARY_CPU = re.compile(
    r"^CPU  : *\S+ MHz   CPU TIME: *\S+ s   errors: *(\d+) KB = (\d+) bytes$", re.M)
SUMMARY_TIMER = re.compile(r"^timer: *\S+ MHz       disk: *\S+ s   total : *\S+ s$", re.M)
# The code after ^ERROR is compared exactly; the system's text for it is not, since Wine and
# the Linux layer word their messages differently from Windows.
ERROR_TEXT = re.compile(r"^(   \^ERROR: \d+, )[^\n]*\n", re.M)
# The usage text names the program as invoked, which differs between the two builds.
USAGE_PROGRAM = re.compile(r"^\t\S+ (?=<file1>|1\.wav|r:\\01|\*\.wav)", re.M)
# The title names the version, which a release changes.
USAGE_VERSION = re.compile(r"^(:: statistical data restore utility  .*)\b\d+\.\d+\.\d+\b", re.M)


def normalise(text):
    """The text with LF line ends and every run-dependent figure replaced by a placeholder."""
    text = text.replace("\r\n", "\n")
    text = SUMMARY_CPU.sub(
        lambda m: "CPU  :<MHz> MHz   CPU TIME:<s> s   errors:%6s KB = %s bytes"
        % (m.group(1), m.group(2)), text)
    text = SUMMARY_TIMER.sub("timer:<MHz> MHz       disk:<s> s   total :<s> s", text)
    text = ERROR_TEXT.sub(lambda m: m.group(1) + "<text>\n", text)
    text = USAGE_PROGRAM.sub("\t<program> ", text)
    text = USAGE_VERSION.sub(lambda m: m.group(1) + "<version>", text)
    return text


class Tally:
    """Starts tally in the current directory and captures everything it prints."""

    def __init__(self, command):
        self.command = shlex.split(command)
        self.wine = os.path.basename(self.command[0]).startswith("wine")

    def run(self, *args, stdin=None):
        env = dict(os.environ)
        env["WINEDEBUG"] = "-all"
        # Files, not pipes: a Wine service started by this run inherits the standard handles
        # and would hold a pipe open long after tally has ended.
        with tempfile.TemporaryFile() as out_file, tempfile.TemporaryFile() as err_file:
            # Bytes pass as they are: names that are no valid UTF-8 (Linux).
            proc = subprocess.run(self.command + [a if isinstance(a, bytes) else str(a)
                                                  for a in args],
                                  stdin=stdin if stdin is not None else subprocess.DEVNULL,
                                  stdout=out_file, stderr=err_file, env=env, timeout=900)
            out_file.seek(0)
            err_file.seek(0)
            raw_out, raw_err = out_file.read(), err_file.read()
        out = raw_out.decode("utf-8", errors="replace")
        err = raw_err.decode("utf-8", errors="replace")
        return Result(proc.returncode, normalise(out), normalise(err), raw_out, raw_err)


def write(name, data):
    """Creates `name` (and its directories) with `data` (bytes or text)."""
    if isinstance(data, str):
        data = data.encode("utf-8")
    directory = os.path.dirname(name)
    if directory:
        os.makedirs(directory, exist_ok=True)
    with open(name, "wb") as f:
        f.write(data)


def read(name):
    with open(name, "rb") as f:
        return f.read()


# Inputs get this modification time before a run, long past, so that any write by the run
# shows in the time even where the clock's granularity is coarse.
INPUT_MTIME_NS = 978307200 * 10**9  # 2001-01-01


def snapshot(names):
    """Gives every named file the fixed past modification time; returns their bytes and times
    for assert_unchanged."""
    taken = {}
    for name in names:
        os.utime(name, ns=(INPUT_MTIME_NS, INPUT_MTIME_NS), follow_symlinks=False)
        taken[name] = (read(name), os.lstat(name).st_mtime_ns)
    return taken


def assert_unchanged(taken):
    """Every file of the snapshot still has its bytes and its modification time."""
    for name, (data, mtime_ns) in taken.items():
        assert os.path.lexists(name), "input %s is gone" % name
        assert read(name) == data, "input %s was changed" % name
        assert os.lstat(name).st_mtime_ns == mtime_ns, "input %s was written to" % name


def listing(output, inputs, failed=None):
    """The open listing on standard error: the output "OK", the inputs "OK" up to `failed`,
    which is "FAIL"; the empty line follows only when every input opened."""
    text = "[%24s] OK\n" % output
    for name in inputs:
        if name == failed:
            return text + "[%24s] FAIL\n" % name
        text += "[%24s] OK\n" % name
    return text + "\n"


def hit_table(names, hits, digests=None, output=None):
    """The hit table; with digests, each line starts with the input's digest and the output's
    digest line follows."""
    best = max(hits)
    text = ""
    for i, (name, score) in enumerate(zip(names, hits)):
        if digests:
            text += digests[i + 1] + " "
        text += "[%24s] %5d%s\n" % (name, score, " best" if score == best else "")
    if digests:
        text += "%s [%24s]\n" % (digests[0], output)
    return text


def summary(error_bytes):
    """The timing summary with its figures normalised, as normalise() leaves it."""
    return ("\nCPU  :<MHz> MHz   CPU TIME:<s> s   errors:%6d KB = %d bytes\n"
            "timer:<MHz> MHz       disk:<s> s   total :<s> s\n" % (error_bytes >> 10, error_bytes))


def progress(input_count, passes):
    """The progress of a run whose blocks are all clean: one dot per input and one bar per pass,
    80 / (inputs + 1) blocks to a line."""
    per_line = 80 // (input_count + 1)
    text = "processing:\n"
    column = 0
    for _ in range(passes):
        text += "." * input_count + "|"
        column += 1
        if column >= per_line:
            column = 0
            text += "\n"
    return text + "\n"
