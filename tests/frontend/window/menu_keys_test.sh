#!/usr/bin/env bash
# The menu and the dialogs from the keyboard, as a user meets them in a virtual X display:
# F10 and Alt with a menu's letter open the menu (a console key does not); the wait-state mark
# is true again after F5; a 10 ms Ctrl+I opens the disc chooser; closing a dialog leaves no
# speed warning behind; the editor item warns when no editor starts.
#   menu_keys_test.sh VESTREL OUT_DIR
# Exits 77 (skipped) when the X tools are not there.
set -uo pipefail

vestrel=$(realpath "$1")
out=$(realpath -m "$2")

. "$(dirname "$(realpath "$0")")/x_session.sh"
require_x_tools xdotool xprop import convert compare
run_in_x_display "$0" "$@"
mkdir -p "$out"
enter_scratch_dir
mkdir -p bios
# Reset vectors and one line-F opcode: the CPU loops through line-F exceptions for good.
printf '\x00\x00\x00\x30\x00\x40\x00\x08\xf0\x00' > bios/cdi220b.rom

grab() { import -window root "$out/$1.png" || fail "cannot grab the screen"; }
# brightness NAME X Y: 0-255 red level of a pixel of a grab, in window coordinates.
brightness() {
  convert "$out/$1.png" -format "%[fx:int(255*p{$((X + $2)),$((Y + $3))}.r)]" info:
}
# same_box NAME Y1 Y2: the check boxes of two menu rows (their tops at window y Y1 and Y2) look
# alike, pixel for pixel.
same_box() {
  convert "$out/$1.png" -crop "20x18+$((X + 170))+$((Y + $2 - 1))" +repage box1.png
  convert "$out/$1.png" -crop "20x18+$((X + 170))+$((Y + $3 - 1))" +repage box2.png
  local diff
  diff=$(compare -metric AE box1.png box2.png null: 2>&1)
  [ "${diff%% *}" = 0 ]
}
# The tops of the Video menu's check boxes: PAL (checked at start), NTSC (unchecked), the
# wait-state switch.
pal_row=80; ntsc_row=105; wait_row=131
video_menu() {  # opens the Video menu with a click and grabs it as NAME
  xdotool mousemove --window "$wid" 192 12 click 1
  sleep 0.6
  grab "$1"
  xdotool key Escape
  sleep 0.3
}

# The editor item tries the desktop's openers, xdg-open then gio open: here the desktop has no
# handler (both fail as the real ones do).
mkdir -p bin
printf '#!/bin/sh\nexit 3\n' > bin/xdg-open
printf '#!/bin/sh\nexit 2\n' > bin/gio
chmod +x bin/xdg-open bin/gio
PATH="$work/bin:$PATH" "$vestrel" --bios 2>log.txt >uart.txt &
pid=$!

wid=$(timeout 15 xdotool search --sync --onlyvisible --name '^Vestrel' | head -1)
[ -n "$wid" ] || fail "no window"
xdotool windowfocus --sync "$wid" || fail "cannot focus the window"
sleep 1
eval "$(xdotool getwindowgeometry --shell "$wid")"
# Free the mouse, so the pointer may reach the menu bar.
xdotool mousemove --window "$wid" 400 300 click 2
wait_log "Controllo mouse: LIBERO" || fail "middle button did not free the mouse"

# F10 opens the first menu (File): its popup covers the black picture below the title (a point
# away from the first row, which the keyboard may have selected, and from the labels).
xdotool key F10
sleep 0.6
grab f10
[ "$(brightness f10 300 87)" -gt 128 ] || fail "F10 did not open the File menu"
xdotool key Escape
sleep 0.3

# Alt and the underlined letter: Alt+T opens Aiuto.
xdotool key alt+t
sleep 0.6
grab alt_t
[ "$(brightness alt_t 430 62)" -gt 128 ] || fail "Alt+T did not open the Aiuto menu"
xdotool key Escape
sleep 0.3

# A is the console's left key: Alt+A stays with the console and opens nothing.
xdotool key alt+a
sleep 0.6
grab alt_a
for point in "300 87" "430 62" "200 62"; do
  [ "$(brightness alt_a $point)" -lt 64 ] || fail "Alt+A opened a menu"
done

# The wait-state mark: set at start, cleared by the item, set again by F5's reset.
video_menu marks_start
same_box marks_start $wait_row $pal_row || fail "wait-state mark not set at start"
xdotool mousemove --window "$wid" 192 12 click 1
sleep 0.6
xdotool mousemove --window "$wid" 230 $((wait_row + 8)) click 1
wait_log "Velocità Hardware Reale CD-i (Wait-States): DISABILITATA" || fail "wait-state item"
sleep 0.3
video_menu marks_off
same_box marks_off $wait_row $ntsc_row || fail "wait-state mark still set after switching them off"
xdotool windowfocus --sync "$wid"
xdotool key F5
wait_log "Riavvio dell'emulatore (Reset)" || fail "F5 did not reset"
sleep 0.3
video_menu marks_reset
same_box marks_reset $wait_row $pal_row || fail "wait-state mark not set again after F5"

# Past the first 100 frames after the reset, so a slow interval would be warned about.
sleep 3
# A dialog counted as emulation time shows as a fraction of the speed (a second of it in a
# half-second interval gives about a third); a busy host alone slows the loop far less, so
# only speeds below half count. Every title from here on is recorded.
slow_warnings() { grep -c 'ANOMALIA VELOCITÀ\] Velocità: [0-4]\?[0-9]\.' log.txt; }
warnings_before=$(slow_warnings)
xprop -id "$wid" -spy _NET_WM_NAME > titles.txt &
spy=$!

# Ctrl+I held for 10 ms opens the disc chooser.
xdotool windowfocus --sync "$wid"
xdotool keydown ctrl keydown i; sleep 0.01; xdotool keyup i keyup ctrl
dialog=$(timeout 5 xdotool search --sync --onlyvisible --name '^Seleziona Gioco CD-i' | head -1)
[ -n "$dialog" ] || fail "a 10 ms Ctrl+I did not open the disc chooser"
sleep 0.5
xdotool windowfocus --sync "$dialog" 2>/dev/null
xdotool key Escape
for _ in $(seq 30); do
  xdotool search --onlyvisible --name '^Seleziona Gioco CD-i' >/dev/null 2>&1 || break
  sleep 0.1
done
xdotool search --onlyvisible --name '^Seleziona Gioco CD-i' >/dev/null 2>&1 && fail "the chooser did not close"
xdotool windowfocus --sync "$wid"
sleep 1.5  # three statistics intervals
kill "$spy" 2>/dev/null

[ "$(slow_warnings)" = "$warnings_before" ] || fail "speed warning after the dialog"
cp titles.txt "$out/titles.txt"
speeds=$(sed -n 's/^[^|]*| \([0-9]*\)% .*/\1/p' titles.txt)
[ "$(wc -w <<<"$speeds")" -ge 3 ] || fail "too few titles recorded: $(cat titles.txt)"
for speed in $speeds; do
  [ "$speed" -ge 50 ] || fail "title after the dialog shows $speed%: $(cat titles.txt)"
done

# "Modifica Comandi in un Editor di Testo..." from the keyboard: Alt+C, five rows down, Enter. With no
# editor to start, a warning names the file.
xdotool key alt+c
sleep 0.5
xdotool key Down Down Down Down Down Return
wait_log "Nessun editor avviato per $work/vestrel_controls.ini" || fail "no warning naming the file"
wait_log "Profilo comandi aggiornato a: Custom" || fail "the editor item did not select the custom profile"

xdotool windowfocus --sync "$wid"
quit_with_escape 2
cp log.txt "$out/log.txt"
echo "PASS"
