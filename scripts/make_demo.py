#!/usr/bin/python3
"""Writes a demo for tally into a directory: original.wav, a CD-audio track (16-bit stereo
PCM at 44.1 kHz, a few mixed tones), and copy1.wav .. copy5.wav, five copies damaged the way
scratched-disc rips are: random byte errors, short bursts of garbage, and samples that the
drive replaced by the average of their neighbours. Each copy has its own error rate. At every
byte at most two of the five copies are damaged, so a byte vote restores the original exactly.
The damage is seeded: the same arguments always give the same files.

usage: make_demo.py DIRECTORY [--seconds N] [--seed N]
"""
import argparse
import math
import os
import random
import struct
import sys

RATE = 44100
CHANNELS = 2
HEADER_BYTES = 44
# Share of damaged bytes per copy: different enough that the copies rank clearly, and not in
# file order, so a correct ranking cannot come from the order of the names.
COPY_DAMAGE = [0.0020, 0.0005, 0.0080, 0.0010, 0.0040]
MAX_DAMAGED_COPIES = 2  # of 5: the three others always hold the right byte


def wav_header(data_bytes):
    """The 44-byte RIFF header of 16-bit stereo PCM at 44.1 kHz."""
    block_align = CHANNELS * 2
    return (b"RIFF" + struct.pack("<I", 36 + data_bytes) + b"WAVE"
            + b"fmt " + struct.pack("<IHHIIHH", 16, 1, CHANNELS, RATE, RATE * block_align,
                                    block_align, 16)
            + b"data" + struct.pack("<I", data_bytes))


def tones(seconds):
    """Interleaved samples of a chord with a slow tremolo, a different mix on each channel."""
    frames = int(seconds * RATE)
    left_tones = [(220.0, 0.30), (277.18, 0.20), (329.63, 0.15)]
    right_tones = [(164.81, 0.30), (246.94, 0.20), (440.0, 0.10)]
    pcm = bytearray(frames * CHANNELS * 2)
    two_pi = 2.0 * math.pi
    for n in range(frames):
        t = n / RATE
        swell = 0.75 + 0.25 * math.sin(two_pi * 0.5 * t)
        left = swell * sum(a * math.sin(two_pi * f * t) for f, a in left_tones)
        right = swell * sum(a * math.sin(two_pi * f * t) for f, a in right_tones)
        struct.pack_into("<hh", pcm, n * 4, int(left * 32767), int(right * 32767))
    return pcm


class Damage:
    """Damages copies of the audio data while keeping a majority right at every byte."""

    def __init__(self, original, rng):
        self.original = original
        self.rng = rng
        self.damaged_copies = bytearray(len(original))  # per byte: copies damaged there

    def free(self, start, end):
        return all(self.damaged_copies[i] < MAX_DAMAGED_COPIES for i in range(start, end))

    def put(self, copy, offset, values):
        """Writes `values` at `offset` where the byte still has room for one more damaged
        copy; a value equal to the original is no damage and uses no room."""
        for i, value in enumerate(values):
            p = offset + i
            if value != self.original[p] and copy[p] == self.original[p] \
                    and self.damaged_copies[p] < MAX_DAMAGED_COPIES:
                copy[p] = value
                self.damaged_copies[p] += 1

    def make_copy(self, share):
        copy = bytearray(self.original)
        size = len(copy)
        budget = int(size * share)
        rng = self.rng
        # Roughly half the damage as single bytes, a third as bursts, the rest as interpolation.
        for _ in range(budget // 2):
            p = rng.randrange(size)
            self.put(copy, p, [rng.randrange(256)])
        for _ in range(budget // 3 // 16):
            length = rng.randrange(2, 31)
            p = rng.randrange(size - length)
            self.put(copy, p, [rng.randrange(256) for _ in range(length)])
        for _ in range(budget // 6 // 2):
            # One channel's sample replaced by the average of its neighbours in that channel.
            p = rng.randrange(1, size // 4 - 1) * 4 + rng.choice((0, 2))
            prev, = struct.unpack_from("<h", self.original, p - 4)
            nxt, = struct.unpack_from("<h", self.original, p + 4)
            if self.free(p, p + 2):
                self.put(copy, p, struct.pack("<h", (prev + nxt) // 2))
        return copy


def make_demo(directory, seconds, seed):
    os.makedirs(directory, exist_ok=True)
    pcm = tones(seconds)
    header = wav_header(len(pcm))
    with open(os.path.join(directory, "original.wav"), "wb") as f:
        f.write(header + pcm)
    damage = Damage(pcm, random.Random(seed))
    for number, share in enumerate(COPY_DAMAGE, 1):
        copy = damage.make_copy(share)
        wrong = sum(1 for a, b in zip(copy, pcm) if a != b)
        name = "copy%d.wav" % number
        with open(os.path.join(directory, name), "wb") as f:
            f.write(header + copy)
        print("%s: %7d damaged bytes of %d" % (name, wrong, len(pcm)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("directory")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args()
    make_demo(args.directory, args.seconds, args.seed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
