"""The --tally option and the fixtures of the end-to-end tests: every test runs the real program
in a fresh empty directory, with relative names, so that Wine maps them like Linux does."""
import os
import subprocess

import pytest

from tally_e2e import Tally


def pytest_addoption(parser):
    parser.addoption("--tally", required=True,
                     help="command that starts tally, e.g. build/linux/tally or "
                          "'wine build/windows/tally.exe'")


@pytest.fixture(scope="session")
def tally_command(request):
    tally = Tally(request.config.getoption("--tally"))
    # The command is used from other directories: make a relative program path absolute.
    for i, part in enumerate(tally.command):
        if os.path.sep in part and os.path.exists(part):
            tally.command[i] = os.path.abspath(part)
    keeper = None
    if tally.wine:
        # Wine boots its server and services on the first start and tears them down after the
        # last process ends, seconds each time. An idle cmd.exe kept open for the session holds
        # them up; it ends when its standard input closes.
        env = dict(os.environ, WINEDEBUG="-all")
        quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        # Boot first, with nothing inherited that a service could hold open.
        subprocess.run(tally.command[:-1] + ["cmd", "/c", "exit"], stdin=subprocess.DEVNULL,
                       check=False, timeout=300, **quiet)
        keeper = subprocess.Popen(tally.command[:-1] + ["cmd"], stdin=subprocess.PIPE, **quiet)
    yield tally
    if keeper is not None:
        keeper.stdin.close()
        try:
            keeper.wait(timeout=30)
        except subprocess.TimeoutExpired:
            keeper.kill()
            keeper.wait()


@pytest.fixture
def tally(tally_command, tmp_path, monkeypatch):
    """The runner, with a fresh empty directory as the current directory."""
    monkeypatch.chdir(tmp_path)
    return tally_command
