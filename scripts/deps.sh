#!/usr/bin/env bash
# Installs what building and testing need, with apt-get, when it is missing.
set -euo pipefail
need=()
# groff-base and man-db check the manual pages; gcc and pkgconf build a
# third party's TLI program as the package's users would.
for pkg in g++ gcc cmake make libgtest-dev libgmock-dev libbenchmark-dev util-linux iproute2 procps \
    groff-base man-db pkgconf; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ "${#need[@]}" -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "deps: missing packages (${need[*]}); run as root to install them" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
