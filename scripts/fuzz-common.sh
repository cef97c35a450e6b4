# Sourced by scripts/fuzz-disc.sh and scripts/fuzz-mpeg.sh: how one libFuzzer target is run.
#
# fuzz_mode MODE: "ci" for the reproducible run, or a number of seconds per target for an
# exploratory one (0 = build only). Sets FUZZ_MODE.
fuzz_mode() {
  case "$1" in
    ci) FUZZ_MODE=ci ;;
    '' | *[!0-9]*) echo "usage: $0 [SECONDS_PER_TARGET | ci]" >&2; exit 2 ;;
    *) FUZZ_MODE="$1" ;;
  esac
}

# fuzz_target NAME MAX_LEN RUNS SEED_DIR [REGRESSION_DIR]
#   ci:        a fixed number of runs (RUNS) with a fixed seed, single process, from the seeds
#              and the committed regression inputs alone, so the same commit always gives the
#              same result. New inputs go to a folder emptied first; the files are given in a
#              sorted list, since libFuzzer keeps the given order among inputs of equal size;
#              and address randomisation is off, since compared pointer values steer mutations.
#   exploring: for FUZZ_MODE seconds with a random seed, growing $OUT/corpus/NAME over runs.
# A failing input is left as $OUT/NAME-crash-... (or -timeout-, -oom-, -leak-); commit it to
# the target's regressions folder with the fix.
fuzz_target() {
  local name="$1" max_len="$2" runs="$3" seeds="$4" regressions="${5:-}"
  local bin="$OUT/${name}_fuzz"
  local dirs=("$seeds")
  [ -n "$regressions" ] && [ -d "$regressions" ] && dirs+=("$regressions")
  local common=(-max_len="$max_len" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
                -artifact_prefix="$OUT/${name}-")
  if [ "$FUZZ_MODE" = ci ]; then
    local work="$OUT/ci/$name"
    rm -rf "$work"
    mkdir -p "$work"
    # (No newline at the end: libFuzzer would take it as part of the last name.)
    find "${dirs[@]}" -type f | LC_ALL=C sort | paste -sd, - | tr -d '\n' > "$OUT/ci/$name.inputs"
    local start=$SECONDS
    if ! setarch "$(uname -m)" -R "$bin" -seed="${FUZZ_SEED:-1}" -runs="$runs" -reload=0 "${common[@]}" \
         -seed_inputs=@"$OUT/ci/$name.inputs" "$work" > "$OUT/ci/$name.log" 2>&1; then
      tail -n 60 "$OUT/ci/$name.log"
      echo "== ${name}_fuzz failed; the input is in $OUT/${name}-*" >&2
      return 1
    fi
    # The final state without the time- and memory-dependent figures: equal on every run.
    echo "== ${name}_fuzz: $(grep -a 'DONE' "$OUT/ci/$name.log" | tail -n 1 | sed 's/ exec\/s:.*//') ($((SECONDS - start)) s)"
  elif [ "$FUZZ_MODE" -gt 0 ]; then
    mkdir -p "$OUT/corpus/$name"
    echo "== ${name}_fuzz for ${FUZZ_MODE}s"
    "$bin" -max_total_time="$FUZZ_MODE" "${common[@]}" "$OUT/corpus/$name" "${dirs[@]}"
  fi
}
