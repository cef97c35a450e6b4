#!/usr/bin/env bash
# The demo as `make demo` runs it, in a virtual X display: demo.rom as the system ROM and the
# demo disc on the command line, the sound going to SDL's "disk" audio driver. Once the ROM says
# the disc's picture is up, the screen grab (as `make demo` takes it) and the F12 screenshot must
# show that picture pixel for pixel, and the sound file must hold the disc's tune
# (demo_check.py works both out from the disc's bytes).
#   demo_test.sh VESTREL ROM DISC
# Exits 77 (skipped) when the X tools are not there.
set -uo pipefail

vestrel=$(realpath "$1")
rom=$(realpath "$2")
disc=$(realpath "$3")
here=$(dirname "$(realpath "$0")")

. "$here/x_session.sh"
require_x_tools xdotool import convert identify python3
run_in_x_display "$0" "$vestrel" "$rom" "$disc"
enter_scratch_dir
mkdir -p bios
cp "$rom" bios/cdi220b.rom
cp "$disc" demo_disc.bin

fail() {
  echo "FAIL: $*"
  echo "--- uart"; cat uart.txt
  echo "--- log"; tail -n 40 log.txt
  exit 1
}
check() { python3 "$here/demo_check.py" "$@"; }

SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$work/sound.raw" "$vestrel" demo_disc.bin 2>log.txt >uart.txt &
pid=$!
wid=$(timeout 15 xdotool search --sync --onlyvisible --name '^Vestrel' | head -1)
[ -n "$wid" ] || fail "no window"
xdotool windowfocus --sync "$wid" || fail "cannot focus the window"

for _ in $(seq 200); do grep -q "picture shown" uart.txt && break; sleep 0.1; done
grep -q "^Vestrel demo: playing the disc$" uart.txt || fail "the ROM did not start the disc"
grep -q "^Vestrel demo: picture shown$" uart.txt || fail "the picture never came in"
# Some frames to draw it, and a few seconds of the tune.
sleep 3

import -window root screen.png || fail "cannot grab the screen"
xdotool key F12
for _ in $(seq 30); do ls screenshots_*/*.bmp >/dev/null 2>&1 && break; sleep 0.1; done
sleep 0.3
bmp=$(ls screenshots_*/*.bmp 2>/dev/null | head -1)
[ -n "$bmp" ] || fail "no screenshot"

quit_with_escape 5
if grep -E "Error| ERROR | WARN +vestrel::audio|silent mode" log.txt; then fail "error or audio warning in the log"; fi

check bmp demo_disc.bin "$bmp" || fail "the screenshot is not the disc's picture"
size=$(identify -format "%w %h" screen.png) || fail "cannot read the screen grab"
convert screen.png -depth 8 rgb:screen.rgb || fail "cannot convert the screen grab"
# shellcheck disable=SC2086
check grab demo_disc.bin screen.rgb $size || fail "the screen grab does not show the disc's picture"
[ -s sound.raw ] || fail "the disk audio driver wrote nothing"
check sound log.txt sound.raw || fail "the sound is not the disc's tune"
echo "PASS"
