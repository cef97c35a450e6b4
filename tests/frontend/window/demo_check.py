#!/usr/bin/env python3
"""Checks for demo_test.sh, worked out from the demo disc's own bytes.
  demo_check.py expect DISC OUT.ppm         the 768 x 560 picture the disc's image must show
  demo_check.py bmp DISC SHOT.bmp           the F12 screenshot equals it, pixel for pixel
  demo_check.py grab DISC GRAB.rgb W H      the picture appears 1:1 somewhere in a W x H screen grab
  demo_check.py sound LOG RAW               the disk audio driver's file holds the disc's tune

The picture: the file-1 channel-0 data sectors from LBA 16 on, in disc order; the first holds the
256-entry palette (R, G, B), the rest 384 x 280 CLUT8 pixels. The video decoder keeps the top six
bits of each component, shows each pixel twice across and each line twice down, and mixes plane A
at weight 63: a = (c - 16) x 63 >> 6 (0 below 16), limited to 239, then (a x 298 + 128) >> 8."""
import array
import math
import re
import sys

SECTOR = 2352
W, H = 384, 280


def picture_sectors(disc):
    data = open(disc, "rb").read()
    out = []
    for lba in range(16, len(data) // SECTOR):
        s = data[lba * SECTOR:(lba + 1) * SECTOR]
        file, chan, submode = s[20], s[21], s[22]
        if s[15] == 2 and file == 1 and chan == 0 and submode & 0x20 == 0 and submode & 0x08:
            out.append(s[24:24 + 2048])
    return out


def expected(disc):
    """Rows of 768 (r, g, b) tuples, 560 of them."""
    sectors = picture_sectors(disc)
    pal = sectors[0]
    pixels = b"".join(sectors[1:])[: W * H]
    assert len(pixels) == W * H, f"the disc holds {len(pixels)} of {W * H} pixels"

    def level(c):
        a = min(max((c & 0xFC) - 16, 0) * 63 >> 6, 239)
        return min((a * 298 + 128) >> 8, 255)

    colour = [tuple(level(pal[3 * i + k]) for k in range(3)) for i in range(256)]
    rows = []
    for y in range(H):
        row = []
        for x in range(W):
            c = colour[pixels[y * W + x]]
            row += [c, c]
        rows += [row, row]
    return rows


def check_bmp(rows, path):
    d = open(path, "rb").read()
    offset = int.from_bytes(d[10:14], "little")
    width = int.from_bytes(d[18:22], "little", signed=True)
    height = int.from_bytes(d[22:26], "little", signed=True)
    bpp = int.from_bytes(d[28:30], "little")
    assert (width, abs(height)) == (768, 560), f"screenshot is {width} x {height}"
    step = bpp // 8
    stride = (width * step + 3) // 4 * 4
    bad = 0
    for y in range(560):
        r = y if height < 0 else 559 - y
        base = offset + r * stride
        for x in range(768):
            o = base + x * step
            got = (d[o + 2], d[o + 1], d[o])
            if got != rows[y][x]:
                if bad < 5:
                    print(f"screenshot pixel ({x}, {y}) is {got}, expected {rows[y][x]}")
                bad += 1
    assert bad == 0, f"{bad} screenshot pixels differ from the disc's picture"


def check_grab(rows, path, w, h):
    d = open(path, "rb").read()
    assert len(d) == w * h * 3, "grab size"

    def at(x, y):
        o = 3 * (y * w + x)
        return (d[o], d[o + 1], d[o + 2])

    # A few telling points first (the letters, the sun, the glitter), then every pixel.
    probes = [(x, y) for x in (0, 250, 384, 500, 767) for y in (0, 70, 100, 300, 340, 420, 559)]
    for oy in range(h - 560 + 1):
        for ox in range(w - 768 + 1):
            if all(at(ox + x, oy + y) == rows[y][x] for x, y in probes):
                bad = sum(at(ox + x, oy + y) != rows[y][x] for y in range(560) for x in range(768))
                if bad == 0:
                    print(f"picture found at ({ox}, {oy}) in the {w} x {h} grab")
                    return
                print(f"near match at ({ox}, {oy}): {bad} pixels differ")
    raise AssertionError("the disc's picture is not in the screen grab")


# The tune's notes (MIDI numbers; A4 = 69 = 440 Hz): arpeggios of C, A minor, F and G.
NOTES = [72, 76, 79, 84, 69, 72, 76, 81, 65, 69, 72, 77, 67, 71, 74, 79]


def check_sound(log, raw):
    m = re.search(r"Host audio initialized: (\d+) Hz, (\d+) channels, format F32", open(log).read())
    assert m, "no F32 host audio line in the log"
    rate, channels = int(m.group(1)), int(m.group(2))
    data = open(raw, "rb").read()
    samples = array.array("f")
    samples.frombytes(data[: len(data) // (4 * channels) * 4 * channels])
    left = samples[0::channels]
    assert all(math.isfinite(v) and abs(v) <= 1.0 for v in left), "samples out of range"
    loud = [i for i, v in enumerate(left) if abs(v) > 1e-3]
    peak = max((abs(v) for v in left), default=0.0)
    print(f"{len(left)} frames at {rate} Hz, {len(loud)} above 1e-3, peak {peak:.4f}")
    assert len(loud) >= rate and peak > 0.05, "the output is nearly silent"
    # Two seconds from the first sound, brought down to about 12 kHz by averaging.
    step = max(1, rate // 12000)
    start = loud[0]
    chunk = left[start:start + 2 * rate]
    x = [sum(chunk[i:i + step]) / step for i in range(0, len(chunk) - step + 1, step)]
    fs = rate / step
    assert len(x) >= fs, "less than a second of sound after its start"

    def power(f):  # Goertzel
        k = 2 * math.cos(2 * math.pi * f / fs)
        s1 = s2 = 0.0
        for v in x:
            s1, s2 = v + k * s1 - s2, s1
        return s1 * s1 + s2 * s2 - k * s1 * s2

    notes = sorted({440 * 2 ** ((n - 69) / 12) for n in NOTES})
    freqs = list(range(250, 1500, 5))
    spectrum = {f: power(f) for f in freqs}
    total = sum(spectrum.values())
    # The host's resampler bends the pitch by up to 5 % to keep its queue level.
    near = sum(p for f, p in spectrum.items() if any(abs(f - n) <= 0.06 * n for n in notes))
    top = max(spectrum, key=spectrum.get)
    print(f"loudest {top} Hz; {100 * near / total:.0f} % of 250-1500 Hz within 6 % of the notes")
    assert any(abs(top - n) <= 0.06 * n for n in notes), f"loudest frequency {top} Hz is not a note of the tune"
    assert near >= 0.7 * total, "the sound is not the disc's tune"


def main():
    cmd = sys.argv[1]
    if cmd == "expect":
        rows = expected(sys.argv[2])
        with open(sys.argv[3], "wb") as f:
            f.write(b"P6 768 560 255\n" + bytes(v for row in rows for px in row for v in px))
    elif cmd == "bmp":
        check_bmp(expected(sys.argv[2]), sys.argv[3])
    elif cmd == "grab":
        check_grab(expected(sys.argv[2]), sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))
    elif cmd == "sound":
        check_sound(sys.argv[2], sys.argv[3])
    else:
        sys.exit(f"unknown check {cmd}")


if __name__ == "__main__":
    try:
        main()
    except AssertionError as e:
        print(f"FAIL: {e}")
        sys.exit(1)
