#!/usr/bin/env bash
# A disc's ADPCM sound, played by the program through SDL's "disk" audio driver: the ROM reads
# sectors through the CDIC (some of them real-time ADPCM), the program runs ~3 seconds in a
# virtual X display, Escape ends it, and the file the driver wrote must hold non-silent samples.
#   audio_test.sh VESTREL ROM
# Exits 77 (skipped) when the X tools are not there.
set -uo pipefail

vestrel=$(realpath "$1")
rom=$(realpath "$2")
here=$(dirname "$(realpath "$0")")

. "$(dirname "$(realpath "$0")")/x_session.sh"
require_x_tools xdotool python3
run_in_x_display "$0" "$@"
enter_scratch_dir
mkdir -p bios
cp "$rom" bios/cdi220b.rom
python3 "$here/make_adpcm_disc.py" disc.bin || { echo "FAIL: cannot write the disc image"; exit 1; }


SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$work/sound.raw" "$vestrel" disc.bin 2>log.txt >uart.txt &
pid=$!

wid=$(timeout 15 xdotool search --sync --onlyvisible --name '^Vestrel' | head -1)
[ -n "$wid" ] || fail "no window"
xdotool windowfocus --sync "$wid" || fail "cannot focus the window"
sleep 3
quit_with_escape 5

grep -q "Initializing audio on default output device" log.txt || fail "the audio output did not start"
if grep -E "Error| WARN +vestrel::audio|silent mode" log.txt; then fail "error or audio warning in the log"; fi
# The ROM saw its first read's sectors, the ADPCM ones in the audio buffer.
grep -q "^[0-9A-F]\{8\} A [0-9A-F]\{4\}$" uart.txt || fail "no sector reached the audio buffer: $(head -c 300 uart.txt)"
[ -s sound.raw ] || fail "the disk audio driver wrote nothing"

python3 - sound.raw <<'PY' || fail "disk audio samples"
import array, math, sys
samples = array.array("f")
with open(sys.argv[1], "rb") as f:
    data = f.read()
samples.frombytes(data[: len(data) // 4 * 4])
assert all(math.isfinite(v) and abs(v) <= 1.0 for v in samples), "samples out of range"
loud = sum(1 for v in samples if abs(v) > 1e-3)
peak = max((abs(v) for v in samples), default=0.0)
print(f"{len(samples)} samples, {loud} above 1e-3, peak {peak:.4f}")
assert loud >= 1000 and peak > 0.01, "the output is silent"
PY
echo "PASS"
