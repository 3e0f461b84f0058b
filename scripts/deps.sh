#!/usr/bin/env bash
# Installs what building and testing need, with apt-get, when it is missing.
#
#   scripts/deps.sh         what the build and the tests need
#   scripts/deps.sh bench   that, and what the benchmarks compare against
#                           (telnetd and telnet, sshd, strace); only
#                           scripts/bench.sh asks for these
set -euo pipefail
# tshark decodes the link tests' captures; dosbox is the relay server they
# use. groff-base and man-db check the manual pages; gcc and pkgconf build a
# third party's TLI program as the package's users would. clang (with its
# runtime libraries: libFuzzer and the sanitizers) builds the fuzz targets.
pkgs=(g++ gcc cmake make libgtest-dev libgmock-dev libbenchmark-dev util-linux iproute2 procps
      tshark dosbox groff-base man-db pkgconf clang libclang-rt-dev)
if [ "${1:-}" = bench ]; then
    pkgs+=(inetutils-telnetd inetutils-telnet openssh-server openssh-client strace)
fi
need=()
for pkg in "${pkgs[@]}"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ "${#need[@]}" -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "deps: missing packages (${need[*]}); run as root to install them" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    # tshark's question about capturing as a plain user: no, and never asked.
    echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
    # Servers among the packages must not start on the host: the benchmark
    # runs its own copies in private namespaces. A policy that refuses every
    # start is put in place for the install when the host has none.
    policy=/usr/sbin/policy-rc.d
    own_policy=
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 755 "$policy"
        own_policy=1
    fi
    status=0
    { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${need[@]}"; } || status=$?
    [ -n "$own_policy" ] && rm -f "$policy"
    exit "$status"
fi
