#!/usr/bin/env bash
# Builds the disc-image fuzz targets with clang and libFuzzer (ASan + UBSan) and runs them on
# the seeds make_seeds writes plus every input they have stopped on before
# (tests/machine/fuzz/regressions/<target>/).
# Usage: scripts/fuzz-disc.sh [SECONDS_PER_TARGET]  explore for that long (default 60; 0 = build only)
#        scripts/fuzz-disc.sh ci                    the fixed runs CI makes (scripts/fuzz-common.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/fuzz-common.sh
fuzz_mode "${1:-60}"
OUT="${FUZZ_BUILD:-build-fuzz}"
CXX="${FUZZ_CXX:-clang++-14}"
REGRESSIONS=tests/machine/fuzz/regressions

FLAGS=(-std=c++2b -O1 -g -fno-omit-frame-pointer -Isrc -Itests/machine)
SAN=(-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
LIBS=(-lfmt -lz -llzma -lzstd -lFLAC)

mkdir -p "$OUT"
"$CXX" "${FLAGS[@]}" "${SAN[@]}" tests/machine/fuzz/chd_fuzz.cpp src/machine/chd.cpp "${LIBS[@]}" -o "$OUT/chd_fuzz"
"$CXX" "${FLAGS[@]}" "${SAN[@]}" tests/machine/fuzz/cue_fuzz.cpp src/machine/cue_sheet.cpp -o "$OUT/cue_fuzz"
"$CXX" "${FLAGS[@]}" -O2 tests/machine/fuzz/make_seeds.cpp tests/machine/chd_writer.cpp "${LIBS[@]}" -o "$OUT/make_seeds"
rm -rf "$OUT/seeds/chd" "$OUT/seeds/cue"
mkdir -p "$OUT/seeds/chd" "$OUT/seeds/cue"
"$OUT/make_seeds" "$OUT/seeds/chd" "$OUT/seeds/cue"

# Runs in CI: each about 30 s on one core of the CI machine.
fuzz_target chd 65536 85000 "$OUT/seeds/chd" "$REGRESSIONS/chd"
fuzz_target cue 65536 1000000 "$OUT/seeds/cue" "$REGRESSIONS/cue"
