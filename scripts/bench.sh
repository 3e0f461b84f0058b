#!/usr/bin/env bash
# Benchmarks (as root): builds Release into build/release-bench and runs, in
# private mount and network namespaces (benchsuite makes its own),
#
#   scripts/bench.sh [ARGS]       benchsuite: every speed figure beside its
#                                 baseline measured in the same run (SPX and
#                                 dunmere against TCP, zelterm against telnet
#                                 and ssh), one table; ARGS: benchsuite --help
#   scripts/bench.sh spx [ARGS]   spxbench alone: SPX against TCP loopback,
#                                 with --wrap for a profiler (spxbench --help)
#   scripts/bench.sh routing [ARGS]  ripsim: a simulated internetwork of 100
#                                 routers and 500 networks in one process
#                                 (convergence, packets a minute, table
#                                 memory); any user; ARGS: --routers N
#                                 --networks N --seed N --gap MS
#
# It installs what it compares against (telnetd, telnet, sshd, strace) with
# scripts/deps.sh bench; a service that is missing is left out with a note.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = routing ]; then
    shift
    dir=build/release-bench
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DDRAX_TESTS=OFF >/dev/null
    cmake --build "$dir" --target ripsim -j "$(nproc)"
    exec "$dir/bench/ripsim" "$@"
fi
if [ "$(id -u)" != 0 ]; then
    echo "bench.sh: must be run as root" >&2
    exit 1
fi
prog=benchsuite
if [ "${1:-}" = spx ]; then
    prog=spxbench
    shift
fi
bash scripts/deps.sh bench
dir=build/release-bench
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DDRAX_TESTS=OFF >/dev/null
cmake --build "$dir" --target "$prog" -j "$(nproc)"
if [ "$prog" = spxbench ]; then
    exec unshare --mount --net --propagation private --fork "$dir/bench/$prog" "$@"
fi
# benchsuite makes its own private namespaces.
exec "$dir/bench/$prog" "$@"
