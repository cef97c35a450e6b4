#!/usr/bin/env bash
# expect_failure.sh STATUS PATTERN -- COMMAND...
# Runs COMMAND and passes when it exits with STATUS and its standard error matches PATTERN (an
# extended regular expression): a bad input must end with its own message, not a crash
# (status 134) or a silent success.
set -u
want_status=$1
pattern=$2
shift 3
err=$("$@" 2>&1 >/dev/null)
status=$?
printf '%s\n' "$err"
if [[ $status -ne $want_status ]]; then
    echo "expect_failure.sh: exit status $status, expected $want_status" >&2
    exit 1
fi
if ! [[ $err =~ $pattern ]]; then
    echo "expect_failure.sh: standard error does not match: $pattern" >&2
    exit 1
fi
exit 0
