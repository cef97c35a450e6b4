# Sourced by the window tests: skip (exit 77) without the X tools, re-run the calling script
# under a virtual X display when there is none, and quiet GTK's desktop services.

# require_x_tools TOOL...: exit 77 unless every tool is installed.
require_x_tools() {
  local tool
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null; then
      echo "SKIP: $tool is not installed (scripts/install-deps.sh installs it)"
      exit 77
    fi
  done
}

# run_in_x_display SCRIPT ARGS...: without a display, exec SCRIPT ARGS under xvfb-run; with one,
# return and go on; then set up the GTK environment.
run_in_x_display() {
  if [ -z "${DISPLAY:-}" ]; then
    if ! command -v xvfb-run >/dev/null; then
      echo "SKIP: no display and no xvfb-run (scripts/install-deps.sh installs xvfb)"
      exit 77
    fi
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$@"
  fi
  export NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory
  # GTK and fontconfig keep one-time allocations to the end; under the sanitizers that is not ours.
  export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"
}

# enter_scratch_dir: work in a new folder that goes, with the program started as $pid, when the
# script ends.
enter_scratch_dir() {
  work=$(mktemp -d)
  pid=""
  trap 'if [ -n "$pid" ]; then kill "$pid" 2>/dev/null; fi; rm -rf "$work"' EXIT
  cd "$work" || exit 1
}

# fail MESSAGE...: the test fails, with the program's log (log.txt) after the message.
fail() {
  echo "FAIL: $*"
  echo "--- log"; cat log.txt
  exit 1
}
logged() { grep -qF -- "$1" log.txt; }
# wait_log TEXT [TENTHS]: wait up to TENTHS tenths of a second (default 30) for TEXT in the log.
wait_log() {
  for _ in $(seq "${2:-30}"); do logged "$1" && return 0; sleep 0.1; done
  return 1
}

# quit_with_escape SECONDS: Escape must end the program ($pid) within SECONDS, with status 0.
quit_with_escape() {
  xdotool key Escape
  for _ in $(seq $(($1 * 10))); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then fail "still running $1 s after Escape"; fi
  wait "$pid"
  local status=$?
  pid=""
  [ "$status" = 0 ] || fail "exit status $status"
}
