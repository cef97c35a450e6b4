#!/usr/bin/env bash
# The program's start-up failures, no display needed; then, in a virtual X display, a start
# with standard output and error closed:
#   startup_exit_test.sh VESTREL
# Exits 77 (skipped) after the first part when the X tools are not there.
set -uo pipefail
vestrel=$(realpath "$1")
self=$(realpath "$0")

# Run by the script itself, in the virtual display: started with a disc and descriptors 1 and 2
# closed, as some launchers start programs, the window appears and Escape ends the program with
# status 0. (Left closed, 1 and 2 would go to the disc image and the display connection, and
# the log would be written into the X protocol stream.)
if [ "${2:-}" = closed_streams ]; then
  . "$(dirname "$self")/x_session.sh"
  require_x_tools xdotool
  run_in_x_display "$self" "$@"
  enter_scratch_dir
  mkdir bios
  printf '\x00\x00\x00\x30\x00\x40\x00\x08\xf0\x00' > bios/cdi220b.rom
  head -c 2352 /dev/zero > disc.bin
  : > log.txt  # (the program has no standard error to log to)
  "$vestrel" disc.bin >&- 2>&- &
  pid=$!
  wid=$(timeout 15 xdotool search --sync --onlyvisible --pid "$pid" --name '^Vestrel' | head -1)
  [ -n "$wid" ] || fail "no window with standard output and error closed"
  for fd in 1 2; do
    [ "$(readlink "/proc/$pid/fd/$fd")" = /dev/null ] || fail "descriptor $fd is $(readlink "/proc/$pid/fd/$fd")"
  done
  xdotool windowfocus --sync "$wid" || fail "cannot focus the window"
  quit_with_escape 5
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*"; cat err.txt; exit 1; }

# No system ROM: fatal, status 101, the message on standard error.
env -u DISPLAY -u WAYLAND_DISPLAY "$vestrel" --bios 2>err.txt
status=$?
[ "$status" = 101 ] || fail "missing ROM gave status $status"
grep -qx "BIOS cdi220b.rom non trovato" err.txt || fail "missing ROM message"
# ... after one line naming where it was looked for, from the working directory up.
grep -B1 -x "BIOS cdi220b.rom non trovato" err.txt | head -1 | grep "ERROR" | grep -F "$work/bios/cdi220b.rom" \
  | grep -F "$(dirname "$work")/file utili/bios/cdi220b.rom" -q || fail "no line naming the places searched"

# An empty ROM and one shorter than its reset vectors: refused like an unreadable one, the
# file named, status 1, before any window.
for size in 0 7; do
  rm -rf short && mkdir -p short/bios
  head -c "$size" /dev/zero > short/bios/cdi220b.rom
  (cd short && env -u DISPLAY -u WAYLAND_DISPLAY "$vestrel" --bios 2>../err.txt)
  status=$?
  [ "$status" = 1 ] || fail "a $size-byte ROM gave status $status"
  grep -q "^Error: bios/cdi220b.rom: .*$size byte" err.txt || fail "$size-byte ROM message"
  grep -q "CPU SCC68070" err.txt && fail "a $size-byte ROM started the CPU"
done

# A ROM that is a folder: its path and the system's text, status 1, before any window.
mkdir -p folder/bios/cdi220b.rom
(cd folder && env -u DISPLAY -u WAYLAND_DISPLAY "$vestrel" --bios 2>../err.txt)
status=$?
[ "$status" = 1 ] || fail "a ROM folder gave status $status"
grep -qx "Error: bios/cdi220b.rom: Is a directory (os error 21)" err.txt || fail "ROM folder message"

# A ROM but no display: "Error: ..." and status 1, after the start-up lines.
mkdir bios
printf '\x00\x00\x10\x00\x00\x40\x00\x08\x60\xfe' > bios/cdi220b.rom
# (GTK's one-time allocations are not leaks of ours.)
ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" env -u DISPLAY -u WAYLAND_DISPLAY "$vestrel" 2>err.txt
status=$?
[ "$status" = 1 ] || fail "no display gave status $status"
grep -q "^Error: " err.txt || fail "no Error line"
grep -q "CPU SCC68070 reimpostata - PC: 0x00400008" err.txt || fail "start-up lines missing"

# A disc named with a terminal title, a screen clear and a forged log line, and a display name
# that sets the title: both are written with their control characters escaped, and none reaches
# standard error raw.
name=$'t\e]0;preso\a\e[2J\n[2026-12-10T08:30:36Z ERROR vestrel] falso'
head -c 2352 /dev/zero > "$name.bin"
ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" env -u WAYLAND_DISPLAY DISPLAY=$'\e]0;schermo\a' \
  "$vestrel" "$name.bin" 2>err.txt
grep -qF 't\x1b]0;preso\x07\x1b[2J\n[2026-12-10T08:30:36Z ERROR vestrel] falso' err.txt ||
  fail "the disc name is not logged escaped"
grep -qxF 'Error: cannot open display: \x1b]0;schermo\x07' err.txt || fail "the display name is not escaped"
! grep -q "^\[2026-12-10T08:30:36Z ERROR vestrel\] falso" err.txt || fail "a forged log line"
! LC_ALL=C grep -q $'[\x01-\x09\x0b-\x1f\x7f]' err.txt || fail "a control character reached standard error"

"$self" "$vestrel" closed_streams || exit
echo PASS
