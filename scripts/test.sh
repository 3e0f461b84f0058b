#!/usr/bin/env bash
# Builds everything twice (plain, and with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test in both builds, then runs
# the fuzz targets for a while (scripts/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)
# The tests spend most of their time waiting (for daemons, timers, other
# hosts), not computing: three per processor take the suite from about 150 s
# to about 60 s per build on two cores.
test_jobs=$((3 * jobs))
status=0
began=$SECONDS
# Each stage says how long it took, so that the time of a run is plain.
stage() {
    echo "== $1 (at $((SECONDS - began)) s)"
}
for cfg in plain asan; do
    dir=build/$cfg
    # Line tables only (-g1): a full -g doubles the build time, and file and
    # line are all a failure report or a sanitizer's stack needs.
    flags="-O2 -g1 -DNDEBUG"
    extra=()
    if [ "$cfg" = asan ]; then
        flags="-O1 -g1 -DNDEBUG"
        extra=(-DDRAX_SANITIZE=ON)
    fi
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAX_WERROR=ON \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" -DCMAKE_C_FLAGS_RELWITHDEBINFO="$flags" "${extra[@]}" >/dev/null
    stage "build: $cfg"
    cmake --build "$dir" -j "$jobs"
    stage "tests: $cfg build"
    (cd "$dir" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --output-on-failure -j "$test_jobs" --timeout 300) || status=1
done
# The fuzz targets, built with clang, a bounded time each (FUZZ_TIME
# seconds, default 20; 0 leaves them out). Long runs are scripts/fuzz.sh's.
fuzz_time=${FUZZ_TIME:-20}
if [ "$fuzz_time" != 0 ]; then
    stage "fuzz targets"
    FUZZ_TIME=$fuzz_time bash scripts/fuzz.sh || status=1
fi
stage "done, status $status"
exit $status
