#!/usr/bin/env bash
# Real time as a person meets it: runs the program on the demo disc (as `make demo` does) in a
# virtual X display for a while and reports
#   - its CPU time (utime + stime from /proc/PID/stat) as a share of one core, over the window
#     from 2 s after the window appears to the end of the run;
#   - the frame rate in the window title, sampled every second, and any speed warning logged;
#   - with --audio pulse or disk, the pitch of every cycle of the tune (scripts/measure_pitch.py).
#
#   scripts/measure-realtime.sh [options] [BUILD_DIR]      (BUILD_DIR defaults to build)
#     --seconds N     length of the measured window (30)
#     --audio KIND    pulse: a private PulseAudio server with a null sink (clocked like a sound
#                     card), recorded from its monitor; disk: SDL's disk driver; dummy: SDL's
#                     dummy driver; none: no audio driver at all (silent mode) (default dummy)
#     --load N        N busy processes (`yes`) beside the program, for a busy host (0)
#     --ntsc          run the disc as an NTSC title (60 Hz)
#     --vestrel PATH  the program to measure (default BUILD_DIR/src/vestrel)
#     --keep DIR      keep the log, titles and recording in DIR
# Needs xvfb-run, xdotool and python3; --audio pulse needs pulseaudio and pulseaudio-utils.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
seconds=30
audio=dummy
load=0
ntsc=0
vestrel=""
keep=""
build=""
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --audio) audio=$2; shift 2 ;;
    --load) load=$2; shift 2 ;;
    --ntsc) ntsc=1; shift ;;
    --vestrel) vestrel=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    -h|--help) sed -n '2,19p' "$0"; exit 0 ;;
    *) build=$1; shift ;;
  esac
done
build=$(realpath "${build:-$here/../build}")
vestrel=$(realpath "${vestrel:-$build/src/vestrel}")
rom=$build/roms/demo.rom
disc=$build/roms/demo_disc.bin
for f in "$vestrel" "$rom" "$disc"; do
  [ -f "$f" ] || { echo "measure-realtime: $f is missing (build first)"; exit 2; }
done

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" --seconds "$seconds" --audio "$audio" \
    --load "$load" $([ "$ntsc" = 1 ] && echo --ntsc) --vestrel "$vestrel" \
    ${keep:+--keep "$keep"} "$build"
fi
export NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory

work=$(mktemp -d)
pids=()
pa_pid=""
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  if [ -n "$pa_pid" ]; then kill "$pa_pid" 2>/dev/null; fi
  if [ -n "$keep" ]; then mkdir -p "$keep" && cp -r "$work"/. "$keep"/; fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1
mkdir -p bios
cp "$rom" bios/cdi220b.rom
name=demo_disc.bin
[ "$ntsc" = 1 ] && name=demo_disc_NTSC.bin
cp "$disc" "$name"

rate=48000
case "$audio" in
  pulse)
    command -v pulseaudio >/dev/null && command -v parec >/dev/null ||
      { echo "measure-realtime: --audio pulse needs pulseaudio and pulseaudio-utils"; exit 2; }
    mkdir -p pa
    export XDG_RUNTIME_DIR=$work/pa HOME=$work/pa PULSE_SERVER=unix:$work/pa/native
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --system=no --log-target=file:"$work/pa/log" \
      -L "module-null-sink sink_name=measure rate=$rate channels=2" \
      -L "module-native-protocol-unix socket=$work/pa/native auth-anonymous=1" &
    pa_pid=$!
    for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
    pactl set-default-sink measure || { echo "measure-realtime: the sound server did not start"; exit 1; }
    parec -d measure.monitor --format=float32le --rate=$rate --channels=2 --raw >sound.raw &
    pids+=($!)
    export SDL_AUDIODRIVER=pulseaudio
    ;;
  disk) export SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=$work/sound.raw ;;
  dummy) export SDL_AUDIODRIVER=dummy ;;
  none) export SDL_AUDIODRIVER=none_at_all ;;
  *) echo "measure-realtime: unknown --audio $audio"; exit 2 ;;
esac

for _ in $(seq "$load"); do
  yes >/dev/null &
  pids+=($!)
done

export RUST_LOG="${RUST_LOG:-info,vestrel::cdic=warn}"
"$vestrel" "$name" 2>log.txt >uart.txt &
pid=$!
pids+=($pid)
wid=$(timeout 15 xdotool search --sync --onlyvisible --name '^Vestrel' | head -1)
[ -n "$wid" ] || { echo "measure-realtime: no window"; cat log.txt; exit 1; }
sleep 2

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
c0=$(cpu_ticks "$pid")
t0=$(date +%s.%N)
for _ in $(seq "$seconds"); do
  sleep 1
  xdotool getwindowname "$wid" >>titles.txt 2>/dev/null
done
c1=$(cpu_ticks "$pid")
t1=$(date +%s.%N)

# The sound up to this moment is measured (not the shutdown).
recorded=$(stat -c %s sound.raw 2>/dev/null || echo 0)
# Escape ends the program; one still there after 5 s is terminated.
xdotool windowfocus --sync "$wid" key Escape 2>/dev/null
for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -TERM "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
pids=()

echo "program: $vestrel"
echo "audio: $audio; load: $load busy processes; $( [ "$ntsc" = 1 ] && echo NTSC || echo PAL )"
grep -E "Host audio initialized|silent" log.txt | sed 's/^/log: /'
awk -v c0="$c0" -v c1="$c1" -v t0="$t0" -v t1="$t1" -v hz="$ticks" \
  'BEGIN { printf "cpu: %.2f s of CPU in %.2f s = %.1f %% of one core\n", (c1 - c0) / hz, t1 - t0, 100 * (c1 - c0) / hz / (t1 - t0) }'
sed -n 's/.*(\([0-9.]*\) FPS .*/\1/p' titles.txt | sort -n | uniq -c | awk '{ printf "fps in the title: %s x %s\n", $1, $2 }'
warnings=$(grep -c "TELEMETRIA ANOMALIA VELOCIT" log.txt)
echo "speed warnings: $warnings"
grep "TELEMETRIA ANOMALIA VELOCIT" log.txt | head -3 | sed 's/^/  /'

if [ -s sound.raw ]; then
  fmt=f32
  if [ "$audio" = disk ]; then
    line=$(grep -o "Host audio initialized: [0-9]* Hz, [0-9]* channels" log.txt | head -1)
    rate=$(echo "$line" | awk '{ print $4 }')
    channels=$(echo "$line" | awk '{ print $6 }')
  else
    channels=2
  fi
  head -c "$recorded" sound.raw >measured.raw
  python3 "$here/measure_pitch.py" measured.raw "$rate" "$channels" "$fmt" --skip 3 --clicks
fi
