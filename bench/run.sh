#!/usr/bin/env bash
# Builds the network benchmark and runs it; arguments go to bench_net.
#   bash bench/run.sh            full run: every server and workload, under 5 minutes
#   bash bench/run.sh --quick    short run that checks everything works, under 30 seconds
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh native bench
build="${VXNET_BENCH_BUILD_DIR:-build-bench}"
cmake -S . -B "$build" -G Ninja -DVXNET_TESTS=OFF >/dev/null
cmake --build "$build" --target bench_net >/dev/null
exec "./$build/bin/bench_net" "$@"
