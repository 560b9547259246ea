#!/usr/bin/env bash
# Builds the library and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh native
cmake -S . -B build-demo -G Ninja -DVXNET_TESTS=OFF -DVXNET_BENCH=OFF >/dev/null
cmake --build build-demo --target vxdemo
./build-demo/bin/vxdemo "$@"
