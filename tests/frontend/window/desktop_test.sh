#!/usr/bin/env bash
# The program with a person's files and desktop, in a virtual X display, one fresh run per case:
#   window_destroyed  the X window destroyed from outside, right after a key press (GDK sets the
#                     window's user time on it, a request that then meets a window already gone):
#                     the loop ends as on a close, status 0, the shutdown line, no GTK criticals
#   dialog_destroyed  the disc chooser and the about box destroyed from outside the same way: the
#                     program goes on, Escape then ends it with status 0, no GTK criticals
#   controls_file     a misspelt profile keeps the file; picking the custom profile takes the
#                     keys the person wrote and leaves the file as written
#   editor            the editor item opens the file with the desktop's opener (gio open when
#                     xdg-open fails), never with $EDITOR or $VISUAL
#   disc_dialog       the disc chooser opens in the working directory, then in the folder of the
#                     disc last chosen; after a start with a disc, in that disc's folder
#   terminated        SIGTERM ends the program while sound plays
#   desktop_test.sh VESTREL [CASE...]
# Exits 77 (skipped) when the X tools are not there.
set -uo pipefail

vestrel=$(realpath "$1")
shift

. "$(dirname "$(realpath "$0")")/x_session.sh"
require_x_tools xdotool
run_in_x_display "$0" "$vestrel" "$@"
enter_scratch_dir
top=$work

# start [ARGS...]: the program in the current folder (a line-F loop as its ROM) with ARGS (else
# --bios), its window as $wid.
start() {
  mkdir -p bios
  printf '\x00\x00\x00\x30\x00\x40\x00\x08\xf0\x00' > bios/cdi220b.rom
  "$vestrel" "${@:---bios}" 2>log.txt >uart.txt &
  pid=$!
  wid=$(timeout 15 xdotool search --sync --onlyvisible --pid "$pid" --name '^Vestrel' | head -1)
  [ -n "$wid" ] || fail "no window"
  xdotool windowfocus --sync "$wid" || fail "cannot focus the window"
  sleep 1
  # Free the mouse, so the keyboard reaches the menus and dialogs.
  xdotool mousemove --window "$wid" 400 300 click 2
  wait_log "Controllo mouse: LIBERO" || fail "middle button did not free the mouse"
}

# comandi_item DOWNS: the Comandi menu from the keyboard, DOWNS rows down from its first, Enter.
comandi_item() {
  xdotool windowfocus --sync "$wid"
  xdotool key alt+c
  sleep 0.5
  local i
  for ((i = 0; i < $1; ++i)); do xdotool key Down; done
  xdotool key Return
}

# same_file FILE TEXT: the file holds exactly TEXT (printf escapes).
same_file() {
  printf "$2" > expected.txt
  cmp -s "$1" expected.txt
}

# press_and_destroy WINDOW: a key press, then the window destroyed, from one xdotool run: both
# reach the program before it reads either, so it still sends requests on the window.
press_and_destroy() {
  xdotool windowfocus --sync "$1"
  xdotool key --delay 0 shift windowclose "$1"
}

# running_after WHAT: the program still runs a second later.
running_after() {
  sleep 1
  kill -0 "$pid" 2>/dev/null && return
  wait "$pid"
  local status=$?
  pid=""
  fail "ended with status $status after $1"
}

case_window_destroyed() {
  start
  press_and_destroy "$wid"
  for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    kill "$pid"
    fail "still running 3 s after the window was destroyed ($(grep -c CRITICAL log.txt) GTK criticals)"
  fi
  wait "$pid"
  local status=$?
  pid=""
  [ "$status" = 0 ] || fail "exit status $status"
  tail -1 log.txt | grep -q "Emulazione arrestata. PC finale: 0x[0-9A-F]\{8\}$" ||
    fail "last log line: $(tail -1 log.txt)"
  ! grep -q CRITICAL log.txt || fail "GTK criticals"
}

# destroy_dialog TITLE WHAT KEY...: KEY... on the main window open the dialog titled TITLE
# (WHAT in messages), which is then destroyed from outside; the program must go on.
destroy_dialog() {
  local title=$1 what=$2 dialog
  shift 2
  xdotool windowfocus --sync "$wid"
  local key
  # shellcheck disable=SC2086 # a KEY may be several keys
  for key in "$@"; do xdotool key $key; sleep 0.5; done
  dialog=$(timeout 5 xdotool search --sync --onlyvisible --name "^$title" | head -1)
  [ -n "$dialog" ] || fail "$* did not open $what"
  sleep 0.5
  press_and_destroy "$dialog"
  running_after "$what was destroyed"
}

case_dialog_destroyed() {
  start
  destroy_dialog 'Seleziona Gioco CD-i' "the disc chooser" ctrl+o
  # The about box is the last item of the Aiuto menu.
  destroy_dialog 'Informazioni su Vestrel' "the about box" alt+t "Down Return"
  # The main window takes keys again.
  xdotool windowfocus --sync "$wid"
  quit_with_escape 2
  ! grep -q CRITICAL log.txt || fail "GTK criticals"
}

case_controls_file() {
  local mine='# i miei tasti\nprofile=Custon\nup=W\ndown=S\nleft=A\nright=D\nbtn1=Space\nbtn2=Enter\n'
  printf "$mine" > vestrel_controls.ini
  start
  logged 'vestrel_controls.ini: profilo "Custon" sconosciuto' || fail "no warning naming the file and the value"
  same_file vestrel_controls.ini "$mine" || fail "the file was rewritten: $(cat vestrel_controls.ini)"

  # The person fixes the file while the program runs, then picks the custom profile.
  local fixed='# i miei tasti\nprofile=Custom\nup=I\ndown=K\nleft=J\nright=L\nbtn1=Space\nbtn2=Enter\n'
  printf "$fixed" > vestrel_controls.ini
  comandi_item 4
  wait_log "Profilo comandi aggiornato a: Custom" || fail "the custom profile was not selected"
  logged "Comandi personalizzati caricati da vestrel_controls.ini: up=I, down=K, left=J, right=L, btn1=Space, btn2=Enter" ||
    fail "the keys were not taken from the file"
  same_file vestrel_controls.ini "$fixed" || fail "the file was rewritten: $(cat vestrel_controls.ini)"

  # A fixed profile still writes its own file.
  comandi_item 2
  wait_log "Profilo comandi aggiornato a: Wasd" || fail "WASD was not selected"
  grep -qx "profile=WASD" vestrel_controls.ini || fail "WASD did not rewrite the file"
  xdotool windowfocus --sync "$wid"
  quit_with_escape 2
}

case_editor() {
  mkdir -p bin
  # xdg-open finds no handler; gio open does and notes what it was given. A terminal editor
  # started from $EDITOR or $VISUAL would leave its mark.
  printf '#!/bin/sh\nexit 4\n' > bin/xdg-open
  printf '#!/bin/sh\necho "$@" > "%s/gio_args.txt"\n' "$PWD" > bin/gio
  printf '#!/bin/sh\ntouch "%s/terminal_editor_started"\n' "$PWD" > bin/term-editor
  chmod +x bin/*
  local -x PATH="$PWD/bin:$PATH" EDITOR=term-editor VISUAL=term-editor
  start
  comandi_item 5
  for _ in $(seq 30); do [ -f gio_args.txt ] && break; sleep 0.1; done
  [ -f gio_args.txt ] || fail "gio open was not tried after xdg-open failed"
  [ "$(cat gio_args.txt)" = "open $PWD/vestrel_controls.ini" ] || fail "gio was given: $(cat gio_args.txt)"
  sleep 0.5
  [ ! -e terminal_editor_started ] || fail "a terminal editor was started"
  ! logged "Nessun editor avviato" || fail "warned although gio opened the file"
  xdotool windowfocus --sync "$wid"
  quit_with_escape 2
}

# choose_disc TEXT: Ctrl+O, then TEXT typed into the chooser's location field, then Enter.
choose_disc() {
  xdotool windowfocus --sync "$wid"
  xdotool key ctrl+o
  local dialog
  dialog=$(timeout 5 xdotool search --sync --onlyvisible --name '^Seleziona Gioco CD-i' | head -1)
  [ -n "$dialog" ] || fail "Ctrl+O did not open the disc chooser"
  sleep 0.5
  xdotool windowfocus --sync "$dialog" 2>/dev/null
  xdotool key ctrl+l
  sleep 0.3
  xdotool type --delay 20 "$1"
  sleep 0.3
  xdotool key Return
  for _ in $(seq 30); do
    xdotool search --onlyvisible --name '^Seleziona Gioco CD-i' >/dev/null 2>&1 || return 0
    sleep 0.1
  done
  fail "the chooser did not close after $1"
}

case_disc_dialog() {
  mkdir -p games
  : > here.bin
  : > games/first.bin
  : > games/second.bin
  start
  # A bare name is looked up in the folder the chooser shows.
  choose_disc here.bin
  wait_log "Caricamento disco di gioco: $PWD/here.bin" || fail "the chooser did not open in the working directory"
  choose_disc "$PWD/games/first.bin"
  wait_log "Caricamento disco di gioco: $PWD/games/first.bin" || fail "the full path was not taken"
  choose_disc second.bin
  wait_log "Caricamento disco di gioco: $PWD/games/second.bin" ||
    fail "the chooser did not open in the folder of the last disc"
  xdotool windowfocus --sync "$wid"
  quit_with_escape 2

  # The disc the program was started with counts as the last one chosen.
  start games/first.bin
  choose_disc second.bin
  wait_log "Caricamento disco di gioco: $PWD/games/second.bin" ||
    fail "the chooser did not open in the folder of the disc on the command line"
  xdotool windowfocus --sync "$wid"
  quit_with_escape 2
}

case_terminated() {
  # SDL's dummy driver is an audio device that every machine has. (SIGINT cannot be tried the
  # same way: a script's background job starts with it ignored.)
  SDL_AUDIODRIVER=dummy start
  logged "Initializing audio on default output device" || fail "no audio device opened"
  kill -TERM "$pid"
  for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    kill -9 "$pid"
    fail "still running 3 s after SIGTERM"
  fi
  wait "$pid" 2>/dev/null
  pid=""
}

cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(window_destroyed dialog_destroyed controls_file editor disc_dialog terminated)
for name in "${cases[@]}"; do
  echo "case $name"
  mkdir -p "$top/$name"
  cd "$top/$name" || exit 1
  "case_$name"
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; pid=""; fi
done
echo "PASS"
