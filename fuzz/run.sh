#!/usr/bin/env bash
# Runs the fuzzer for FUZZ_SECONDS (default 60) from the seed corpus. Everything it writes (new
# inputs, crash artifacts, the files it reads and writes) goes to a temporary folder, on tmpfs
# where there is one; the folder is removed after a clean run and kept, with its path printed,
# after a crash.
set -euo pipefail
fuzzer="${1:?usage: run.sh path/to/fuzzer seed-corpus}"
seeds="${2:?usage: run.sh path/to/fuzzer seed-corpus}"
seconds="${FUZZ_SECONDS:-60}"

parent=/dev/shm
[ -d "$parent" ] && [ -w "$parent" ] || parent="${TMPDIR:-/tmp}"
work="$(mktemp -d "$parent/rozidarude-fuzz-run.XXXXXX")"
mkdir "$work/corpus" "$work/artifacts"

status=0
TMPDIR="$work" "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" "$seeds" \
    >"$work/fuzz.log" 2>&1 || status=$?

if [ "$status" -ne 0 ] || [ -n "$(ls -A "$work/artifacts")" ]; then
    tail -n 60 "$work/fuzz.log"
    echo "fuzz: FAILED (status $status); log, inputs and artifacts kept in $work" >&2
    for artifact in "$work"/artifacts/*; do
        [ -e "$artifact" ] && echo "fuzz: reproduce with: $fuzzer $artifact" >&2
    done
    exit 1
fi
grep -E '^(INFO: Seed|Done [0-9]+ runs|stat::)' "$work/fuzz.log" || true
echo "fuzz: $(ls "$work/corpus" | wc -l) new inputs kept in the temporary corpus, none crashed"
rm -rf "$work"
