#!/usr/bin/env bash
# Builds everything twice (plain, and with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test in both builds, then runs
# the fuzz targets for a while (scripts/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)
status=0
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
    cmake --build "$dir" -j "$jobs"
    echo "== tests: $cfg build"
    (cd "$dir" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --output-on-failure -j "$jobs" --timeout 300) || status=1
done
# The fuzz targets, built with clang, a bounded time each (FUZZ_TIME
# seconds, default 20; 0 leaves them out).
if [ "${FUZZ_TIME:-20}" != 0 ]; then
    echo "== fuzz targets"
    bash scripts/fuzz.sh || status=1
fi
exit $status
