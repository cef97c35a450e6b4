#!/usr/bin/env bash
# write_failure_test.sh HEADLESS ROM DIR
# The --bmp and --wav files on a disk that takes no more bytes (a file size limit stands in for
# a full disk) and onto a FIFO: the run fails with the system's reason, an old file keeps every
# byte, a new name leaves no file, nothing is left beside them, and a FIFO is never opened.
set -u
headless=$1
rom=$2
dir=$3
rm -rf "$dir"
mkdir -p "$dir/out" || exit 1
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Over the limit a write fails with EFBIG instead of ending the program with SIGXFSZ; the
# ignored signal is inherited by the program.
trap '' XFSZ

# 20,000 bytes that are not a BMP, as the person's old file.
old=$dir/old.bin
for ((i = 0; i < 2000; ++i)); do printf 'vestr%04d\n' $i; done >"$old"
[[ $(stat -c %s "$old") -eq 20000 ]] || { echo "setup: old file is not 20000 bytes" >&2; exit 1; }

# run_case NAME LIMIT OPTION FILE: runs the program writing FILE (in $dir/out) under the limit
# and checks that it failed and said why.
run_case() {
    local name=$1 limit=$2 option=$3 file=$4
    local err status
    err=$(timeout 20 prlimit --fsize="$limit" -- "$headless" --rom "$rom" --frames 1 "$option" "$file" \
        2>&1 >/dev/null)
    status=$?
    if [[ $status -eq 124 ]]; then
        fail "$name: the program blocked"
        return
    fi
    [[ $status -eq 1 ]] || fail "$name: exit status $status, expected 1"
    local want="cannot write $file: File too large (os error 27)"
    [[ $err == *"$want"* ]] || fail "$name: message \"$err\" lacks \"$want\""
}

for option in --bmp --wav; do
    rm -rf "$dir/out" && mkdir "$dir/out"
    # The BMP is 1,720,374 bytes and the WAV 44 for a silent frame: both above these limits.
    limit=8192
    [[ $option == --wav ]] && limit=16
    target=$dir/out/kept.${option#--}
    cp "$old" "$target"
    run_case "$option over an old file" $limit $option "$target"
    cmp -s "$old" "$target" || fail "$option: the old file changed ($(stat -c %s "$target") bytes)"
    [[ $(ls -A "$dir/out") == "kept.${option#--}" ]] || fail "$option: left beside it: $(ls -A "$dir/out")"

    rm -rf "$dir/out" && mkdir "$dir/out"
    run_case "$option to a new name" $limit $option "$dir/out/new.${option#--}"
    [[ -z $(ls -A "$dir/out") ]] || fail "$option to a new name: left: $(ls -A "$dir/out")"
done

# A FIFO is refused without being opened: opening it for writing would wait for a reader.
rm -rf "$dir/out" && mkdir "$dir/out"
mkfifo "$dir/out/fifo.bmp"
err=$(timeout 20 "$headless" --rom "$rom" --frames 1 --bmp "$dir/out/fifo.bmp" 2>&1 >/dev/null)
status=$?
if [[ $status -eq 124 ]]; then
    fail "fifo: the program blocked"
else
    [[ $status -eq 1 ]] || fail "fifo: exit status $status, expected 1"
    [[ $err == *"cannot write $dir/out/fifo.bmp: not a regular file"* ]] || fail "fifo: message \"$err\""
fi
[[ -p $dir/out/fifo.bmp ]] || fail "fifo: no longer a FIFO"

rm -rf "$dir"
[[ $failures -eq 0 ]] || exit 1
echo "ok"
