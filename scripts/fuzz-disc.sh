#!/usr/bin/env bash
# Builds the disc-image fuzz targets with clang and libFuzzer (ASan + UBSan) and runs each for
# a bounded time. Usage: scripts/fuzz-disc.sh [SECONDS_PER_TARGET] (default 60; 0 = build only).
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET="${1:-60}"
OUT="${FUZZ_BUILD:-build-fuzz}"
CXX="${FUZZ_CXX:-clang++-14}"
mkdir -p "$OUT/corpus/chd" "$OUT/corpus/cue"

FLAGS=(-std=c++2b -O1 -g -fno-omit-frame-pointer -Isrc -Itests/machine)
SAN=(-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
LIBS=(-lfmt -lz -llzma -lzstd -lFLAC)

"$CXX" "${FLAGS[@]}" "${SAN[@]}" tests/machine/fuzz/chd_fuzz.cpp src/machine/chd.cpp "${LIBS[@]}" -o "$OUT/chd_fuzz"
"$CXX" "${FLAGS[@]}" "${SAN[@]}" tests/machine/fuzz/cue_fuzz.cpp src/machine/cue_sheet.cpp -o "$OUT/cue_fuzz"
"$CXX" "${FLAGS[@]}" -O2 tests/machine/fuzz/make_seeds.cpp tests/machine/chd_writer.cpp "${LIBS[@]}" -o "$OUT/make_seeds"
"$OUT/make_seeds" "$OUT/corpus/chd" "$OUT/corpus/cue"

if [ "$SECONDS_PER_TARGET" -gt 0 ]; then
  for target in chd cue; do
    echo "== ${target}_fuzz for ${SECONDS_PER_TARGET}s"
    "$OUT/${target}_fuzz" -max_total_time="$SECONDS_PER_TARGET" -max_len=65536 -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$OUT/" "$OUT/corpus/$target"
  done
fi
