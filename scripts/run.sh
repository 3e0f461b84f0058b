#!/usr/bin/env bash
# The main job: build, and install the programs into /opt/DRAXipx/bin.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DDRAX_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)"
cmake --install build/release
echo "installed into /opt/DRAXipx/bin"
