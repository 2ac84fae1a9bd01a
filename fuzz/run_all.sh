#!/usr/bin/env bash
# Runs every fuzz target (or the ones named) of a built fuzz build for the given seconds each,
# over a copy of its seed corpus. Builds nothing. Exits non-zero on any finding; the input
# that caused it is saved under BUILD-DIR/findings/, the run's log under BUILD-DIR/fuzz-logs/.
# Usage: bash fuzz/run_all.sh BUILD-DIR SECONDS-PER-TARGET [TARGET...]
set -uo pipefail
if [ $# -lt 2 ]; then
    echo "usage: $0 BUILD-DIR SECONDS-PER-TARGET [TARGET...]" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd) || exit 2
seconds=$2
shift 2
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_wav fuzz_voc fuzz_csw fuzz_sndfile fuzz_stream fuzz_decoders fuzz_lister)

# Limits that make unbounded work a finding: an input that runs 10 s is a hang; a single
# allocation over 64 MiB (the fuzz build caps a sample buffer at 4 MiB), or a process over
# 1 GiB (most of it the sanitizer's quarantine of freed blocks), is an unbounded allocation.
limits=(-timeout=10 -rss_limit_mb=1024 -malloc_limit_mb=64 -print_final_stats=1)

max_len() {
    case $1 in
        fuzz_decoders) echo 16384 ;;  # a short record at a low rate is a few thousand samples
        *) echo 8192 ;;
    esac
}

mkdir -p "$build/findings" "$build/fuzz-logs"
failed=0
for target in "${targets[@]}"; do
    binary=$build/fuzz/$target
    if [ ! -x "$binary" ]; then
        echo "$target: no binary at $binary (build the fuzz build first)" >&2
        failed=1
        continue
    fi
    # New inputs go into a working copy; the seeds in the repository stay as they are.
    work=$build/fuzz-corpus/$target
    rm -rf "$work"
    mkdir -p "$work"
    cp "$here/corpus/$target"/* "$work"/
    dictionary=()
    [ -f "$here/dict/$target.dict" ] && dictionary=(-dict="$here/dict/$target.dict")
    log=$build/fuzz-logs/$target.log
    marker=$build/fuzz-logs/$target.start
    touch "$marker"
    echo "== $target: ${seconds}s"
    "$binary" "${limits[@]}" "${dictionary[@]}" -max_len="$(max_len "$target")" -max_total_time="$seconds" \
        -artifact_prefix="$build/findings/$target-" "$work" > "$log" 2>&1
    status=$?
    # The closing figures: executions, coverage (cov: edges, ft: features), corpus, peak memory.
    grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" | tr '\n' ' '
    echo
    found=$(find "$build/findings" -maxdepth 1 -name "$target-*" -newer "$marker" 2>/dev/null | wc -l)
    if [ $status -ne 0 ] || [ "$found" -gt 0 ]; then
        echo "$target: FINDING (exit status $status); the input is under $build/findings/, the log in $log" >&2
        grep -E '^(==[0-9]+==ERROR|SUMMARY|== broken promise|.*runtime error)' "$log" | head -5 >&2
        failed=1
    fi
done
exit $failed
