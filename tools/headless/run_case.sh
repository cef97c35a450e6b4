#!/usr/bin/env bash
# run_case.sh PATTERN [--bmp-size FILE BYTES] [--bmp-pixel X Y RRGGBB]... [--wav FILE] -- COMMAND...
# Runs one vestrel-headless case and checks its standard output against PATTERN (an extended
# regular expression over the whole output; "\n" stands for a line break) and the files it
# wrote (--bmp-pixel: the pixel at column X, row Y from the top of the --bmp-size file, a
# top-down 32-bit BMP, has colour RRGGBB). While the CPU core still lacks an instruction the ROM uses, the run stops at the core's
# stub message; the case is then skipped (exit 77) rather than failed.
set -u
pattern=${1//\\n/$'\n'}
shift
bmp_file="" bmp_size="" wav_file="" bmp_pixels=()
while [[ $# -gt 0 && $1 != "--" ]]; do
    case $1 in
        --bmp-size) bmp_file=$2; bmp_size=$3; shift 3 ;;
        --bmp-pixel) bmp_pixels+=("$2 $3 $4"); shift 4 ;;
        --wav) wav_file=$2; shift 2 ;;
        *) echo "run_case.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
shift
err=$(mktemp)
trap 'rm -f "$err"' EXIT
[[ -n $bmp_file ]] && rm -f "$bmp_file"
[[ -n $wav_file ]] && rm -f "$wav_file"
# The sentinel keeps the output's final line break, which $(...) would strip.
out=$("$@" 2>"$err"; rc=$?; echo x; exit $rc)
rc=$?
out=${out%x}
if grep -q "is not implemented" "$err"; then
    echo "skipped: $(grep -m1 'is not implemented' "$err")"
    exit 77
fi
cat "$err" >&2
printf '%s' "$out"
if [[ $rc -ne 0 ]]; then
    echo "run_case.sh: exit status $rc" >&2
    exit 1
fi
if ! [[ $out =~ $pattern ]]; then
    echo "run_case.sh: output does not match: $pattern" >&2
    exit 1
fi
if [[ -n $bmp_file ]]; then
    size=$(stat -c %s "$bmp_file" 2>/dev/null || echo 0)
    if [[ $size -ne $bmp_size ]]; then
        echo "run_case.sh: $bmp_file has $size bytes, expected $bmp_size" >&2
        exit 1
    fi
    width=$(od -An -t u4 -j 18 -N 4 "$bmp_file" | tr -d ' ')
    for pixel in "${bmp_pixels[@]}"; do
        read -r x y want <<<"$pixel"
        # Stored as B, G, R, A.
        got=$(od -An -t x1 -j $((54 + (y * width + x) * 4)) -N 3 "$bmp_file" | awk '{print toupper($3 $2 $1)}')
        if [[ $got != "${want^^}" ]]; then
            echo "run_case.sh: $bmp_file pixel ($x, $y) is $got, expected $want" >&2
            exit 1
        fi
    done
fi
if [[ -n $wav_file ]]; then
    if [[ $(head -c 4 "$wav_file" 2>/dev/null) != "RIFF" || $(stat -c %s "$wav_file") -lt 44 ]]; then
        echo "run_case.sh: $wav_file is not a WAV file" >&2
        exit 1
    fi
fi
exit 0
