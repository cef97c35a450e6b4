#!/usr/bin/env python3
"""Writes the 300-sector mode-2 test disc that cdic_read.rom reads, as a raw .bin image.
   make_adpcm_disc.py OUT.bin
Same layout as the scheduler test's disc, except that the data sectors of the ROM's first read
(LBA 102, 104 and 105; file 1, channel 0) all carry real-time 4-bit mono ADPCM, so the sound
lasts long enough to be heard in the output."""
import sys

SPECIAL = {
    101: (1, 1, 0x08, 0),  # channel 1: filtered out
    102: (1, 0, 0x64, 0),  # real-time ADPCM, 4-bit mono 37,800 Hz
    103: (2, 0, 0x08, 0),  # file 2: filtered out
    104: (1, 0, 0x64, 0),
    105: (1, 0, 0x64, 0),
    106: (1, 0, 0x89, 0),  # end of file (and of record): ends the read
    200: (5, 3, 0x08, 0),
    201: (5, 4, 0x08, 0),
}


def bcd(v):
    return (v // 10) << 4 | v % 10


def sector(lba):
    sub = SPECIAL.get(lba, (1, 0, 0x08, 0))
    frames = lba + 150  # the 2-second lead-in
    s = bytearray(2352)
    s[1:11] = b"\xff" * 10
    s[12:16] = bytes([bcd(frames // 4500), bcd(frames // 75 % 60), bcd(frames % 75), 2])
    s[16:20] = s[20:24] = bytes(sub)
    for i in range(24, 2352):
        s[i] = (i * 7 + lba) & 0xFF
    return bytes(s)


with open(sys.argv[1], "wb") as out:
    for lba in range(300):
        out.write(sector(lba))
