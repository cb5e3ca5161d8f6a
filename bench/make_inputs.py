#!/usr/bin/env python3
"""Damaged copies of random files for the tally benchmark (standard library only).

Every set lives in its own directory under the work directory and is reused when a previous run
finished it (a ".done" marker is written last):

  <n>x<size>/base.bin                the undamaged file, and the expected output of every set here
  <n>x<size>/<scenario>/in_NNN.bin   n damaged copies; scenario is one of SCENARIOS
  worst/<n>x<size>/in_NNN.bin        n copies that differ from each other at every byte
  worst/<n>x<size>/expected_a.bin    what the -a vote makes of them (computed with numpy)

The damage of a set is placed so that in every 16-bit sample at most one copy is damaged: the
majority is always right, so tally's output must equal base.bin in byte mode and with -a.

The -a vote skips a sample that lies within 1 of the average of its neighbours. Uniform random
data would meet that test now and then and make the restored file differ from base.bin, which
would leave the benchmark nothing exact to check against. So the generated audio alternates in
sign: even samples lie in 0x0000-0x3FFF, odd samples in 0xC000-0xFFFF, and damage never touches
the top two bits of a sample. No sample is then ever near the average of its neighbours.

  make_inputs.py [--work DIR] [--quick]   generates every set the benchmark uses
"""

import argparse
import os
import random
import sys

MIB = 1 << 20
BLOCK = 2 * MIB  # tally's block on Linux

# Scenario name -> (kind, fraction of every copy's bytes that is damaged).
SCENARIOS = {
    "clean": ("clean", 0.0),
    "p0.1": ("scatter", 0.001),
    "p1": ("scatter", 0.01),
    "burst": ("burst", 0.001),
}
BURST_MIN, BURST_MAX = 16, 256  # bytes per burst: a few audio frames, as a scratch leaves them

FULL_SIZES = [(3, 512 * MIB), (10, 128 * MIB), (64, 16 * MIB)]
QUICK_SIZES = [(3, 32 * MIB), (10, 8 * MIB), (64, 1 * MIB)]
WORST_COUNTS = [3, 24, 96, 384]
FULL_WORST_SIZE = 1 * MIB
QUICK_WORST_SIZE = 128 * 1024

_AND_3F = bytes(b & 0x3F for b in range(256))
_OR_C0 = bytes(b | 0xC0 for b in range(256))
_ZERO_TO_ONE = bytes([1]) + bytes(range(1, 256))


def size_tag(size):
    return f"{size // MIB}M" if size % MIB == 0 else f"{size // 1024}K"


def set_dir(work, n, size, scenario):
    return os.path.join(work, f"{n}x{size_tag(size)}", scenario)


def base_path(work, n, size):
    return os.path.join(work, f"{n}x{size_tag(size)}", "base.bin")


def worst_dir(work, n, size):
    return os.path.join(work, "worst", f"{n}x{size_tag(size)}")


def input_paths(directory, n):
    return [os.path.join(directory, f"in_{i:03d}.bin") for i in range(n)]


def _write(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


# Written into each finished set's ".done"; a set generated under another layout is redone.
LAYOUT = "sample-disjoint damage 2\n"


def _is_done(directory):
    try:
        with open(os.path.join(directory, ".done")) as f:
            return f.read() == LAYOUT
    except OSError:
        return False


def _mark_done(directory):
    with open(os.path.join(directory, ".done"), "w") as f:
        f.write(LAYOUT)


def _audio_like(size, seed):
    """Random 16-bit little-endian samples alternating in sign, as the module docstring says."""
    data = bytearray(os.urandom(size)) if seed is None else bytearray(random.Random(seed).randbytes(size))
    data[1::4] = data[1::4].translate(_AND_3F)  # high byte of even samples: 0x00-0x3F
    data[3::4] = data[3::4].translate(_OR_C0)  # high byte of odd samples: 0xC0-0xFF
    return data


def _xor_pool(rnd, size):
    """XOR masks that change every byte and keep the top two bits of every high byte."""
    pool = bytearray(rnd.randbytes(size))
    pool[0::2] = pool[0::2].translate(_ZERO_TO_ONE)
    pool[1::2] = pool[1::2].translate(_AND_3F).translate(_ZERO_TO_ONE)
    return pool


def ensure_base(work, n, size):
    path = base_path(work, n, size)
    if not os.path.exists(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        _write(path, _audio_like(size, seed=None))
    return path


def _damage_scatter(copies, size, rate, rnd):
    """Damages `rate` of every copy's bytes at random places, never two copies in one sample.

    The place is a 16-bit sample, not a byte, so that the -a vote too always has a majority:
    one copy damaged in the low byte and another in the high byte of one sample would leave
    three different samples. Where the copies are too many to damage one byte each in samples
    of their own (64 copies at 1%), both bytes of half as many samples are damaged instead.
    """
    n = len(copies)
    window = round(1 / rate)  # bytes per damaged byte of one copy
    both = n > window // 2
    span = 2 * window if both else window  # bytes in which each copy gets one damaged sample
    pool = _xor_pool(rnd, 1 << 16)
    mask = len(pool) - 1
    sample = rnd.sample
    samples = range(span // 2)
    k = 0
    for start in range(0, size - span + 1, span):
        for i, s in enumerate(sample(samples, n)):
            p = start + 2 * s
            # The pool alternates low-byte and high-byte masks; the mask of p's parity keeps the
            # sign bits of a high byte. A spare pool bit picks the low or the high byte.
            m = (k << 1) & mask
            if both:
                copies[i][p] ^= pool[m]
                copies[i][p + 1] ^= pool[m + 1]
            else:
                p += pool[(m + 2) & mask] & 1
                copies[i][p] ^= pool[m | (p & 1)]
            k += 1


def _damage_bursts(copies, size, rate, rnd):
    """Damages `rate` of every copy's bytes in short bursts, never two copies at one place."""
    n = len(copies)
    mean = (BURST_MIN + BURST_MAX) // 2
    window = round(mean / rate)  # each copy gets one burst per window, in a slot of its own
    slot = (window // n) & ~1  # even: no 16-bit sample straddles two copies' slots
    pool = _xor_pool(rnd, 1 << 20)
    for start in range(0, size - window + 1, window):
        order = list(range(n))
        rnd.shuffle(order)
        for i, s in enumerate(order):
            length = rnd.randint(BURST_MIN, BURST_MAX)
            a = start + s * slot + rnd.randrange(slot - length + 1)
            m = (rnd.randrange((len(pool) - BURST_MAX) // 2) << 1) | (a & 1)
            damaged = int.from_bytes(copies[i][a:a + length], "little") ^ int.from_bytes(pool[m:m + length], "little")
            copies[i][a:a + length] = damaged.to_bytes(length, "little")


def ensure_set(work, n, size, scenario):
    """Paths of the n inputs of one damage scenario, generated if missing; and the expected output."""
    directory = set_dir(work, n, size, scenario)
    paths = input_paths(directory, n)
    base = ensure_base(work, n, size)
    if _is_done(directory):
        return paths, base
    os.makedirs(directory, exist_ok=True)
    with open(base, "rb") as f:
        original = f.read()
    kind, rate = SCENARIOS[scenario]
    if kind == "clean":
        for p in paths:
            _write(p, original)  # real copies: one shared file would be cached once, not n times
    else:
        copies = [bytearray(original) for _ in range(n)]
        rnd = random.Random(f"{scenario}/{n}/{size}")
        if kind == "scatter":
            _damage_scatter(copies, size, rate, rnd)
        else:
            _damage_bursts(copies, size, rate, rnd)
        for p, c in zip(paths, copies):
            _write(p, c)
    _mark_done(directory)
    return paths, base


def ensure_worst(work, n, size):
    """Paths of n inputs that differ at every byte, and the expected output (input 0).

    Input k is one random file with every 16-bit sample XORed with ((k % 253) + 1) << 8 |
    ((k % 255) + 1): each input differs from the others at every byte while n <= 253, and at every
    sample for all n up to 384. With no value held by two inputs the byte vote copies input 0
    (every hit score stays 0); with 384 inputs each byte value is held by at most two inputs and
    the lowest-numbered pair, which contains input 0, wins. Either way the output is input 0.
    The data is uniform random rather than audio-like: the masks here must use all 8 bits.
    """
    directory = worst_dir(work, n, size)
    paths = input_paths(directory, n)
    if _is_done(directory):
        return paths, paths[0]
    os.makedirs(directory, exist_ok=True)
    base = int.from_bytes(random.Random(f"worst/{size}").randbytes(size), "little")
    for k, p in enumerate(paths):
        word = ((k % 253) + 1) << 8 | ((k % 255) + 1)
        mask = int.from_bytes(word.to_bytes(2, "little") * (size // 2), "little")
        _write(p, (base ^ mask).to_bytes(size, "little"))
    _mark_done(directory)
    return paths, paths[0]


def ensure_worst_sample_vote(work, n, size):
    """The expected output of the -a vote over the n inputs of ensure_worst.

    No two inputs share a sample, so no input ever gains a hit and the -a vote copies input 0,
    except where every candidate (inputs 0 to n - 2) is skipped as a sample a drive made up:
    then the last candidate's sample, input n - 2's, is written. The data being uniform random,
    that happens now and then. A sample is tested unless it is the first of its block or lies
    at or beyond the block's length - 2 (blocks of BLOCK bytes). Uses numpy.
    """
    import numpy as np

    paths, _ = ensure_worst(work, n, size)
    expected = os.path.join(worst_dir(work, n, size), "expected_a.bin")
    if os.path.exists(expected):
        return expected
    offsets = np.arange(size // 2, dtype=np.int64) * 2
    local = offsets % BLOCK
    block_len = np.minimum(BLOCK, size - (offsets - local))
    tested = (local != 0) & (local < block_len - 2)
    every_candidate_skipped = tested.copy()
    for p in paths[: n - 1]:
        s = np.fromfile(p, dtype="<u2").astype(np.uint32)
        prev = np.roll(s, 1)
        nxt = np.roll(s, -1)
        avg = (prev + nxt) // 2
        corrected = ((avg - s + 1) & 0xFFFFFFFF) < 3
        every_candidate_skipped &= corrected
    out = np.fromfile(paths[0], dtype="<u2")
    last_candidate = np.fromfile(paths[n - 2], dtype="<u2")
    out[every_candidate_skipped] = last_candidate[every_candidate_skipped]
    _write(expected, out.tobytes())
    return expected


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--work", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "work"))
    parser.add_argument("--quick", action="store_true", help="the reduced sizes of a quick run")
    args = parser.parse_args()
    sizes = QUICK_SIZES if args.quick else FULL_SIZES
    for n, size in sizes:
        for scenario in SCENARIOS:
            print(f"{n}x{size_tag(size)} {scenario}", file=sys.stderr, flush=True)
            ensure_set(args.work, n, size, scenario)
    worst = QUICK_WORST_SIZE if args.quick else FULL_WORST_SIZE
    for n in WORST_COUNTS:
        print(f"worst {n}x{size_tag(worst)}", file=sys.stderr, flush=True)
        ensure_worst(args.work, n, worst)


if __name__ == "__main__":
    main()
