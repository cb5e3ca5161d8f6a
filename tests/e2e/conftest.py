"""The --tally option and the fixtures of the end-to-end tests: every test runs the real program
in a fresh empty directory, with relative names, so that Wine maps them like Linux does."""
import os
import shutil
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
    if tally.wine and shutil.which("wineserver"):
        # A wineserver that outlives each process saves seconds per start; it ends by itself
        # a minute after the last one.
        subprocess.run(["wineserver", "-p60"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)
    return tally


@pytest.fixture
def tally(tally_command, tmp_path, monkeypatch):
    """The runner, with a fresh empty directory as the current directory."""
    monkeypatch.chdir(tmp_path)
    return tally_command
