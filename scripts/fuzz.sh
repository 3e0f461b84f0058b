#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/) with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each one from its seed corpus for a
# bounded time.
#
#   scripts/fuzz.sh [--time SECONDS | --runs N] [TARGET...]
#
# --time: seconds per target (default: $FUZZ_TIME, else 20); --runs: that
# many executions per target instead (with --time as well: whichever comes
# first). No TARGET: every target that fuzz/CMakeLists.txt declares. Two
# targets run at a time ($FUZZ_JOBS). Each starts from its seeds
# (fuzz/corpus/TARGET, if there are any); new inputs collect in a scratch
# directory, and the seeds in the tree stay as they are. An input that
# crashes a target, hangs it (10 s) or leaks memory is kept in
# build/fuzz-artifacts/ and the script fails; replay it with
# build/fuzz/fuzz/fuzz_TARGET FILE. Each target's output is kept in
# build/fuzz-logs/TARGET.log.
set -euo pipefail
cd "$(dirname "$0")/.."

time=${FUZZ_TIME:-20}
runs=""
time_given=""
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
        --time) time=$2; time_given=1; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
        -*) echo "fuzz: unknown option $1" >&2; exit 2 ;;
        *) targets+=("$1"); shift ;;
    esac
done

dir=build/fuzz
# Line tables are all the sanitizers' reports need, and build much faster
# than full debug information.
CC=clang CXX=clang++ cmake -S . -B "$dir" -DDRAX_FUZZ=ON -DDRAX_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -gline-tables-only" \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -gline-tables-only" >/dev/null
if [ "${#targets[@]}" -eq 0 ]; then
    read -r -a targets <"$dir/fuzz/targets"
fi
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

artifacts=$PWD/build/fuzz-artifacts
mkdir -p "$artifacts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The targets make their private files under TMPDIR.
export TMPDIR=$work
export UBSAN_OPTIONS=print_stacktrace=1

limit=()
if [ -n "$runs" ]; then
    limit+=(-runs="$runs")
fi
if [ -z "$runs" ] || [ -n "$time_given" ]; then
    limit+=(-max_total_time="$time")
fi
logs=$PWD/build/fuzz-logs
mkdir -p "$logs"
jobs=${FUZZ_JOBS:-2}
# One target: its line of the table in $work/T.line, its failure (if any)
# in $work/T.failed.
run_one() {
    local t=$1 wrap=() start secs execs result=ok
    mkdir -p "$work/corpus-$t"
    local seeds=()
    [ -d "fuzz/corpus/$t" ] && seeds=("$PWD/fuzz/corpus/$t")
    # The TLI library talks only to a daemon of root's: elsewhere the
    # target runs as root of its own user namespace.
    if [ "$t" = tli_replies ] && [ "$(id -u)" -ne 0 ]; then
        wrap=(unshare --user --map-root-user)
    fi
    start=$(date +%s)
    if ! "${wrap[@]}" "$dir/fuzz/fuzz_$t" "${limit[@]}" -timeout=10 -close_fd_mask=3 \
        -print_final_stats=1 -artifact_prefix="$artifacts/$t-" \
        "$work/corpus-$t" "${seeds[@]}" >"$logs/$t.log" 2>&1; then
        result=FAILED
        grep -E 'ERROR|SUMMARY|fuzz check|Test unit written|^ +#[0-9]+ ' "$logs/$t.log" |
            head -n 30 >"$work/$t.failed" || true
    fi
    secs=$(( $(date +%s) - start ))
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$logs/$t.log")
    printf '%-16s %12s %8s %9s  %s\n' "$t" "${execs:-?}" "$secs" \
        "$(( ${execs:-0} / (secs > 0 ? secs : 1) ))" "$result" >"$work/$t.line"
}

# $jobs targets at a time; the table comes in the targets' order.
for t in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
        wait -n || true
    done
    run_one "$t" &
done
wait
status=0
printf '%-16s %12s %8s %9s  %s\n' target executions seconds execs/s result
for t in "${targets[@]}"; do
    cat "$work/$t.line"
    if [ -e "$work/$t.failed" ]; then
        cat "$work/$t.failed"
        status=1
    fi
done
exit $status
