#!/usr/bin/env bash
# The link benchmark: builds Release into build/release-bench and runs
# linkbench (SPX between two network namespaces over each link kind, beside
# TCP on the same path) in private mount and network namespaces. Arguments
# go to linkbench (--bytes N, --rounds N). Runs as root.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" != 0 ]; then
    echo "linkbench.sh: must be run as root" >&2
    exit 1
fi
bash scripts/deps.sh
dir=build/release-bench
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DDRAX_TESTS=OFF >/dev/null
cmake --build "$dir" --target linkbench -j "$(nproc)"
exec unshare --mount --net --fork "$dir/bench/linkbench" "$@"
