#!/usr/bin/env bash
# The program's start-up failures, no display needed:
#   startup_exit_test.sh VESTREL
set -uo pipefail
vestrel=$(realpath "$1")
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
echo PASS
