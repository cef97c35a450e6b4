#!/usr/bin/env bash
# Builds the test programs under ThreadSanitizer and runs the tests that share state between
# threads: the audio queue against its consumer, the host audio callback against a producer,
# and the cycle-model tables built on first use from several threads.
set -euo pipefail
cd "$(dirname "$0")/.."
OUT="${TSAN_BUILD:-build-tsan}"
cmake -S . -B "$OUT" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
  -DVESTREL_BUILD_GUI=OFF -DVESTREL_BUILD_BENCH=OFF >/dev/null
cmake --build "$OUT" -j "$(nproc)" --target m68k_tests machine_tests frontend_tests
export TSAN_OPTIONS=halt_on_error=1
"$OUT/m68k/m68k_tests" --gtest_filter='OpcodeClass.*'
"$OUT/tests/machine_tests" --gtest_filter='AudioQueue.*'
# (The resampler's and the pitch's simulations run on one thread: nothing for TSan to see.)
"$OUT/tests/frontend_tests" --gtest_filter='HostAudio.*:OutputResampler*.*'
