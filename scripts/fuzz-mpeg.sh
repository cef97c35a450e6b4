#!/usr/bin/env bash
# Builds the MPEG fuzz targets with clang and libFuzzer (ASan + UBSan) and runs them on seeds
# made from the MPEG fixtures plus every input they have stopped on before
# (tests/dvc/fuzz/regressions/<target>/):
#   mpeg_demux_fuzz         the system-stream demultiplexer with the video decoder behind it
#   mpeg_video_fuzz         the video decoder alone
#   mpeg_audio_header_fuzz  the layer II header check and the audio framing loop
# Usage: scripts/fuzz-mpeg.sh [SECONDS_PER_TARGET]  explore for that long (default 60; 0 = build only)
#        scripts/fuzz-mpeg.sh ci                    the fixed runs CI makes (scripts/fuzz-common.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/fuzz-common.sh
fuzz_mode "${1:-60}"
OUT="${FUZZ_BUILD:-build-fuzz}"
CXX="${FUZZ_CXX:-clang++-14}"
FIXTURES=tests/fixtures/mpeg
REGRESSIONS=tests/dvc/fuzz/regressions

FLAGS=(-std=c++2b -O1 -g -fno-omit-frame-pointer -Isrc -Itests/dvc/fuzz)
SAN=(-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
VIDEO=(src/dvc/mpeg/video.cpp src/dvc/mpeg/buffer.cpp src/dvc/mpeg/block.cpp)

mkdir -p "$OUT"
"$CXX" "${FLAGS[@]}" "${SAN[@]}" tests/dvc/fuzz/mpeg_demux_fuzz.cpp src/dvc/demux.cpp "${VIDEO[@]}" -o "$OUT/mpeg_demux_fuzz"
"$CXX" "${FLAGS[@]}" "${SAN[@]}" tests/dvc/fuzz/mpeg_video_fuzz.cpp "${VIDEO[@]}" -o "$OUT/mpeg_video_fuzz"
"$CXX" "${FLAGS[@]}" "${SAN[@]}" tests/dvc/fuzz/mpeg_audio_header_fuzz.cpp src/dvc/mpeg_audio.cpp src/dvc/demux.cpp \
  -lmpg123 -o "$OUT/mpeg_audio_header_fuzz"

# Seeds: each target's first bytes choose how the input is cut, so the fixtures go in behind
# a few choices of piece size.
seed() {  # seed DIR PREFIX_BYTES... -- FILES...
  local dir="$1"; shift
  local prefixes=()
  while [ "$1" != "--" ]; do prefixes+=("$1"); shift; done
  shift
  mkdir -p "$dir"
  for f in "$@"; do
    for p in "${prefixes[@]}"; do
      { printf "$p"; cat "$f"; } > "$dir/$(basename "$f").$(printf '%s' "$p" | tr -dc '0-9a-fx')"
    done
  done
}
rm -rf "$OUT/seeds/mpeg_demux" "$OUT/seeds/mpeg_video" "$OUT/seeds/mpeg_audio_header"
seed "$OUT/seeds/mpeg_demux" '\x00\x00' '\x07\x00' '\xff\x00' '\x03\xc0' -- "$FIXTURES"/*.mpg
# (The 63 KB CIF stream would make each run of the video targets take a tenth of a second.)
seed "$OUT/seeds/mpeg_video" '\x01' '\x05' '\xff' -- $(ls "$FIXTURES"/*.m1v | grep -v cif_bench)
seed "$OUT/seeds/mpeg_audio_header" '' -- "$FIXTURES"/*.mp2

# Runs in CI: each about 30 s on one core of the CI machine.
fuzz_target mpeg_demux 16384 12000 "$OUT/seeds/mpeg_demux" "$REGRESSIONS/mpeg_demux"
fuzz_target mpeg_video 16384 11000 "$OUT/seeds/mpeg_video" "$REGRESSIONS/mpeg_video"
fuzz_target mpeg_audio_header 16384 40000 "$OUT/seeds/mpeg_audio_header" "$REGRESSIONS/mpeg_audio_header"
