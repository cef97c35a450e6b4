#!/usr/bin/env python3
"""Pitch of every cycle of the demo disc's tune in a recording of the program's sound.

  measure_pitch.py RAW RATE CHANNELS FORMAT [--skip SECONDS] [--clicks]

RAW holds interleaved samples (FORMAT f32 or s16, little-endian) at RATE frames per second, as
SDL's disk driver or a sound server's monitor writes them. The left channel is read from the
first sound on (plus --skip seconds). Every upward zero crossing of a loud enough cycle is
located to a fraction of a sample; the period between two crossings gives that cycle's
frequency, which is compared with the nearest note written on the disc
(tests/demo/demo_disc_writer.cpp: the notes below, A4 = 440 Hz). The tune's tone is
sin x + 0.3 sin 2x = sin x (1 + 0.6 cos x), which crosses zero upward once a period and
steeply, so a crossing is an honest cycle mark.

Prints the count of cycles, the 5th, 50th and 95th percentiles of the deviation in cents, the
share beyond +-12 cents, and, with --clicks, the count of restarts (sound after at least 2 ms
of silence) whose first step is larger than the tune's own largest step."""
import array
import math
import sys

NOTES = [72, 76, 79, 84, 69, 72, 76, 81, 65, 69, 72, 77, 67, 71, 74, 79]
NOTE_HZ = sorted({440.0 * 2 ** ((n - 69) / 12) for n in NOTES})


def read_left(path, channels, fmt):
    data = open(path, "rb").read()
    if fmt == "f32":
        a = array.array("f")
        size = 4
    else:
        a = array.array("h")
        size = 2
    frame = size * channels
    a.frombytes(data[: len(data) // frame * frame])
    left = a[0::channels]
    if fmt == "s16":
        left = array.array("f", (v / 32768.0 for v in left))
    return left


def percentile(sorted_values, p):
    if not sorted_values:
        return float("nan")
    k = (len(sorted_values) - 1) * p / 100.0
    i = int(math.floor(k))
    j = min(i + 1, len(sorted_values) - 1)
    return sorted_values[i] + (sorted_values[j] - sorted_values[i]) * (k - i)


def cycle_cents(x, rate):
    """(time of the cycle in s, cents against the nearest note) for every clean cycle."""
    out = []
    # The envelope: a plucked note decays, so the gate follows a running peak.
    block = max(1, rate // 200)
    peaks = [max((abs(v) for v in x[i:i + block]), default=0.0) for i in range(0, len(x), block)]
    loudest = max(peaks, default=0.0)
    if loudest <= 0:
        return out
    gate = 0.05 * loudest
    armed = False
    last = None  # (crossing time in samples, peak of the cycle behind it)
    peak = 0.0
    for i in range(1, len(x)):
        v = x[i]
        peak = max(peak, abs(v))
        local = peaks[i // block]
        if v < -0.3 * local and local > gate:
            armed = True
        if armed and x[i - 1] < 0.0 <= v:
            t = (i - 1) + x[i - 1] / (x[i - 1] - v)
            if last is not None and peak > gate:
                period = t - last
                f = rate / period
                note = min(NOTE_HZ, key=lambda n: abs(math.log(f / n)))
                out.append((t / rate, 1200.0 * math.log2(f / note)))
            last = t
            armed = False
            peak = 0.0
        elif local <= gate:
            last = None
    return out


def count_clicks(x, rate):
    """Restarts after 2 ms or more of digital silence whose first step exceeds the signal's own."""
    own = 0.0
    for i in range(1, len(x)):
        own = max(own, abs(x[i] - x[i - 1]) if x[i - 1] != 0.0 and x[i] != 0.0 else 0.0)
    quiet = 0
    clicks = 0
    restarts = 0
    for i in range(1, len(x)):
        if x[i] == 0.0:
            quiet += 1
            continue
        if quiet >= rate // 500:
            restarts += 1
            # The largest step over the first millisecond of the restart.
            step = max(abs(x[k] - x[k - 1]) for k in range(i, min(len(x), i + rate // 1000)))
            if step > own * 1.01 or step > 0.05:
                clicks += 1
        quiet = 0
    return restarts, clicks, own


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    path, rate, channels, fmt = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    skip = 0.0
    clicks = "--clicks" in sys.argv
    if "--skip" in sys.argv:
        skip = float(sys.argv[sys.argv.index("--skip") + 1])
    left = read_left(path, channels, fmt)
    first = next((i for i, v in enumerate(left) if abs(v) > 1e-3), None)
    if first is None:
        print("pitch: the recording is silent")
        sys.exit(1)
    start = first + int(skip * rate)
    x = left[start:]
    cents = cycle_cents(x, rate)
    values = sorted(c for _, c in cents)
    inside = [c for c in values if abs(c) < 150.0]
    if not inside:
        print("pitch: no clean cycle")
        sys.exit(1)
    beyond = sum(1 for c in inside if abs(c) > 12.0)
    print(f"pitch: first sound at {first / rate:.3f} s; {len(x) / rate:.1f} s measured from "
          f"{start / rate:.3f} s; {len(inside)} cycles ({len(values) - len(inside)} off any note)")
    print(f"pitch: cents p5 {percentile(inside, 5):+.1f}  median {percentile(inside, 50):+.1f}  "
          f"p95 {percentile(inside, 95):+.1f}  min {inside[0]:+.1f}  max {inside[-1]:+.1f}  "
          f"beyond +-12: {100.0 * beyond / len(inside):.2f} %")
    # The median of each whole second, to see a drift or a start-up backlog.
    seconds = {}
    for t, c in cents:
        if abs(c) < 150.0:
            seconds.setdefault(int(t), []).append(c)
    per_second = " ".join(f"{percentile(sorted(v), 50):+.1f}" for _, v in sorted(seconds.items()))
    print(f"pitch: median per second: {per_second}")
    if clicks:
        restarts, n, own = count_clicks(left[first:], rate)
        print(f"clicks: {restarts} restarts after silence, {n} with a step above the signal's own "
              f"largest step ({own:.4f})")


if __name__ == "__main__":
    main()
