#!/usr/bin/env bash
# Benchmarks: builds Release into build/release-bench and runs spxbench (SPX
# through a private ipxstackd beside TCP loopback) in private mount and
# network namespaces. Arguments go to spxbench (see spxbench --help).
# Runs as root.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" != 0 ]; then
    echo "bench.sh: must be run as root" >&2
    exit 1
fi
bash scripts/deps.sh
dir=build/release-bench
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DDRAX_TESTS=OFF >/dev/null
cmake --build "$dir" --target spxbench -j "$(nproc)"
exec unshare --mount --net --fork "$dir/bench/spxbench" "$@"
