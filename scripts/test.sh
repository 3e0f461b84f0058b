#!/usr/bin/env bash
# Builds everything twice (plain, and with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)
status=0
for cfg in plain asan; do
    dir=build/$cfg
    extra=()
    [ "$cfg" = asan ] && extra=(-DDRAX_SANITIZE=ON)
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAX_WERROR=ON "${extra[@]}" >/dev/null
    cmake --build "$dir" -j "$jobs"
    echo "== tests: $cfg build"
    (cd "$dir" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --output-on-failure -j "$jobs" --timeout 300) || status=1
done
exit $status
