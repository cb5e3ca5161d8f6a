"""The demo data: five damaged copies of a CD-audio track, a majority right at every byte. The
byte vote must give back the original exactly, and the hit scores must rank the copies by how
few damaged bytes they have."""
import pathlib
import re
import subprocess
import sys

from tally_e2e import read

MAKE_DEMO = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "make_demo.py"
HIT_LINE = re.compile(r"^\[ *(\S+)\] +(\d+)( best)?$", re.M)
COPIES = ["copy%d.wav" % i for i in range(1, 6)]


def test_demo_restores_original_and_ranks_copies(tally):
    subprocess.run([sys.executable, str(MAKE_DEMO), "."], check=True, capture_output=True)
    r = tally.run(*COPIES, "-o", "restored.wav")
    assert r.status == 0
    original = read("original.wav")
    assert read("restored.wav") == original

    hits = {name: int(score) for name, score, _ in HIT_LINE.findall(r.stdout)}
    assert sorted(hits) == sorted(COPIES)
    damaged = {name: sum(a != b for a, b in zip(read(name), original)) for name in COPIES}
    assert len(set(damaged.values())) == len(COPIES), "the demo's error rates must differ"
    by_damage = sorted(COPIES, key=lambda name: damaged[name])
    by_hits = sorted(COPIES, key=lambda name: -hits[name])
    assert by_hits == by_damage
    assert "%s] %5d best" % (by_damage[0], hits[by_damage[0]]) in r.stdout
