#!/usr/bin/env bash
# End to end, as a user runs it: the program in a virtual X display, driven with xdotool.
#   window_test.sh VESTREL OUT_DIR [ROM [UART_TEXT]]
# UART_TEXT (with \n escapes) is what the ROM must print through the UART by the end.
# Exits 77 (skipped) when the X tools are not there.
set -uo pipefail

vestrel=$(realpath "$1")
out=$(realpath -m "$2")
rom=${3:+$(realpath "$3")}
uart_text=${4:-}

. "$(dirname "$(realpath "$0")")/x_session.sh"
require_x_tools xdotool xprop xwininfo import convert python3
run_in_x_display "$0" "$@"
mkdir -p "$out"
enter_scratch_dir
mkdir -p bios
if [ -n "$rom" ]; then
  cp "$rom" bios/cdi220b.rom
else
  # Reset vectors and one line-F opcode: the CPU loops through line-F exceptions for good
  # (the stack starts just above the line-F vector, so the first frame points it back at the
  # opcode), needing no instruction beyond exception entry.
  printf '\x00\x00\x00\x30\x00\x40\x00\x08\xf0\x00' > bios/cdi220b.rom
fi


"$vestrel" --bios 2>log.txt >uart.txt &
pid=$!

wid=$(timeout 15 xdotool search --sync --onlyvisible --name '^Vestrel' | head -1)
[ -n "$wid" ] || fail "no window"
xdotool windowfocus --sync "$wid" || fail "cannot focus the window"
sleep 2

title=$(xprop -id "$wid" _NET_WM_NAME | sed -e 's/^[^"]*"//' -e 's/"$//')
echo "title: $title"
re='^Vestrel – Nessun disco \(BIOS Standalone\) \| [0-9]+% \([0-9]+\.[0-9] FPS 50Hz \(PAL\)\) \| CPU: [0-9]+\.[0-9]{2} MIPS \| CD: IDLE \| Render: [0-9]+ FPS \| WaitStates: (ON|TURBO)$'
[[ "$title" =~ $re ]] || fail "title does not match: $title"

# F12: the screenshot file with its exact size; the picture's pixels are stored B, G, R, 0xFF.
xdotool key F12
wait_log "Screenshot salvato in screenshots_hotel_mario/screenshot_frame_" || fail "no screenshot"
bmp=$(ls screenshots_hotel_mario/*.bmp | head -1)
[ "$(stat -c %s "$bmp")" = 1720374 ] || fail "screenshot size $(stat -c %s "$bmp")"
python3 - "$bmp" <<'PY' || fail "screenshot pixels"
import sys
data = open(sys.argv[1], "rb").read()
assert data[:2] == b"BM" and data[22:26] == bytes.fromhex("D0FDFFFF"), data[:26].hex()
for (x, y) in [(0, 0), (383, 279), (767, 559)]:
    px = data[54 + 4 * (y * 768 + x): 58 + 4 * (y * 768 + x)]
    assert px[3] == 0xFF, (x, y, px.hex())
PY
cp "$bmp" "$out/screenshot.bmp"

# The whole screen: the window with its menu bar.
import -window root "$out/screen.png" || fail "cannot grab the screen"

# Mouse capture: the middle button frees it, a left click takes it again.
eval "$(xdotool getwindowgeometry --shell "$wid")"
xdotool mousemove --window "$wid" 400 300 click 2
wait_log "Controllo mouse: LIBERO (puntatore desktop visibile" || fail "middle button did not free the mouse"
xdotool mousemove --window "$wid" 400 300 click 1
wait_log "Controllo mouse: CATTURATO (focus console" || fail "left click did not capture the mouse"
xdotool mousemove --window "$wid" 400 300 click 2  # free again, so the menu bar can be reached
sleep 0.2

# Held keys do not stick after the focus goes away: M goes down, the focus leaves, M comes up
# elsewhere; back in the window a new tap of M must toggle the sound again.
xdotool keydown m
wait_log "Audio: MUTED" || fail "M did not mute"
root=$(xwininfo -root | sed -n 's/.*Window id: \(0x[0-9a-f]*\).*/\1/p')
xdotool windowfocus --sync "$root" 2>/dev/null || true
sleep 0.3
xdotool keyup m
xdotool windowfocus --sync "$wid"
sleep 0.3
xdotool key m
wait_log "Audio: UNMUTED" || fail "M stuck after the focus loss"

# A check item picked from the menu: one command, carried out once (setting the mark back does
# not pick the item again).
xdotool mousemove --window "$wid" 192 12 click 1
sleep 0.5
xdotool mousemove --window "$wid" 230 139 click 1
wait_log "Velocità Hardware Reale CD-i (Wait-States): DISABILITATA (Turbo Zero-Wait)" || fail "wait-state item"
sleep 0.5
[ "$(grep -c 'Wait-States)' log.txt)" = 1 ] || fail "the wait-state item acted more than once"

# The "Aiuto" menu opens on a click: its popup covers the black picture below the title.
xdotool mousemove --window "$wid" 243 12 click 1
sleep 0.7
import -window root "$out/menu_open.png" || fail "cannot grab the screen"
pixel=$(convert "$out/menu_open.png" -format '%[fx:int(255*p{'$((X + 260))','$((Y + 45))'.r})]' info:)
[ "${pixel:-0}" -gt 128 ] || fail "the Aiuto menu did not open (pixel $pixel)"
xdotool key Escape  # closes the menu, which holds the keyboard
sleep 0.3

# Escape ends the program within 2 seconds, with status 0 and the final log line.
xdotool windowfocus --sync "$wid"
quit_with_escape 2
tail -1 log.txt | grep -q "Emulazione arrestata. PC finale: 0x[0-9A-F]\{8\}$" || fail "last log line: $(tail -1 log.txt)"
[ -f vestrel_controls.ini ] || fail "no controls file"
if [ -n "$uart_text" ]; then
  printf '%b' "$uart_text" > uart_expected.txt
  cmp -s uart.txt uart_expected.txt || fail "UART output: $(od -c uart.txt | head -5)"
fi
cp log.txt "$out/log.txt"
echo "PASS"
