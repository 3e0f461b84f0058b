#!/usr/bin/env bash
# Builds the Debian package: a Release build without tests in
# build/package, packed by CPack into build/package/draxipx_VERSION_amd64.deb.
#
#   scripts/package.sh
#   dpkg -i build/package/draxipx_*_amd64.deb     (as root)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DDRAX_TESTS=OFF >/dev/null
cmake --build build/package -j "$(nproc)"
(cd build/package && cpack -B "$PWD" >/dev/null)
ls build/package/draxipx_*_amd64.deb
