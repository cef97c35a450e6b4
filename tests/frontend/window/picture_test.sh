#!/usr/bin/env bash
# The picture a ROM draws, as the window shows it and as F12 saves it, in a virtual X display.
#   picture_test.sh VESTREL ROM COLUMN:RRGGBB...
# Every listed frame-buffer column must have that colour in the F12 screenshot (rows 0, 280 and
# 559) and in the window's picture (shown 1:1 below the menu bar, sampled 300 rows into the
# window). Exits 77 (skipped) when the X tools are not there.
set -uo pipefail

vestrel=$(realpath "$1")
rom=$(realpath "$2")
shift 2

. "$(dirname "$(realpath "$0")")/x_session.sh"
require_x_tools xdotool import convert python3
run_in_x_display "$0" "$vestrel" "$rom" "$@"
enter_scratch_dir
mkdir -p bios
cp "$rom" bios/cdi220b.rom


"$vestrel" --bios 2>log.txt >uart.txt &
pid=$!
wid=$(timeout 15 xdotool search --sync --onlyvisible --name '^Vestrel' | head -1)
[ -n "$wid" ] || fail "no window"
xdotool windowfocus --sync "$wid" || fail "cannot focus the window"
sleep 2

import -window "$wid" window.png || fail "cannot grab the window"
xdotool key F12
for _ in $(seq 30); do ls screenshots_hotel_mario/*.bmp >/dev/null 2>&1 && break; sleep 0.1; done
sleep 0.3
bmp=$(ls screenshots_hotel_mario/*.bmp 2>/dev/null | head -1)
[ -n "$bmp" ] || fail "no screenshot"

for sample in "$@"; do
  x=${sample%%:*}
  want=${sample#*:}
  for y in 0 280 559; do
    got=$(python3 -c '
import sys
d = open(sys.argv[1], "rb").read()
o = 54 + 4 * (int(sys.argv[3]) * 768 + int(sys.argv[2]))
print("%02X%02X%02X" % (d[o + 2], d[o + 1], d[o]))' "$bmp" "$x" "$y")
    [ "$got" = "${want^^}" ] || fail "screenshot pixel ($x, $y) is $got, expected $want"
  done
  got=$(convert window.png -crop "1x1+$x+300" -depth 8 txt:- | grep -o '#[0-9A-Fa-f]\{6\}' | head -1)
  [ "${got#\#}" = "${want^^}" ] || fail "window pixel ($x, 300) is $got, expected $want"
done
xdotool key Escape
wait "$pid"
pid=""
echo "PASS"
