#!/usr/bin/env bash
# Builds the library and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh native
cmake -S . -B build -G Ninja -DVXNET_TESTS=OFF >/dev/null
cmake --build build --target vxdemo
./build/bin/vxdemo "$@"
