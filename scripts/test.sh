#!/usr/bin/env bash
# Builds from scratch and runs the whole test suite.
# Usage: scripts/test.sh [--sanitize address|thread] [--build-dir DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
build=""
while [ $# -gt 0 ]; do
    case "$1" in
        --sanitize) sanitize="$2"; shift 2 ;;
        --build-dir) build="$2"; shift 2 ;;
        *) echo "usage: scripts/test.sh [--sanitize address|thread] [--build-dir DIR]" >&2; exit 2 ;;
    esac
done
[ -z "$build" ] && build="build${sanitize:+-$sanitize}"

bash scripts/deps.sh native peers bench
cmake -S . -B "$build" -G Ninja -DVXNET_TESTS=ON -DVXNET_SANITIZE="$sanitize" >/dev/null
cmake --build "$build"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$(nproc)"
