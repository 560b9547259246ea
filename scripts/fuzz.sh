#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while, starting
# from the committed seeds (tests/fuzz/corpus/<target>) copied into the working
# corpus of the build folder, where new findings stay.
# Usage: scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build="build-fuzz"

bash scripts/deps.sh native fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DVXNET_FUZZ=ON -DVXNET_BENCH=OFF >/dev/null
targets=(fuzz_proxy_reply fuzz_framing fuzz_ini fuzz_record)
cmake --build "$build" --target "${targets[@]}"
for t in "${targets[@]}"; do
    mkdir -p "$build/corpus/$t"
    [ -d "tests/fuzz/corpus/$t" ] && cp -rf "tests/fuzz/corpus/$t/." "$build/corpus/$t/"
    echo "fuzzing $t for $seconds s"
    if ! "./$build/bin/$t" -max_total_time="$seconds" -print_final_stats=1 "$build/corpus/$t" \
            >"$build/$t.log" 2>&1; then
        tail -40 "$build/$t.log"
        echo "fuzz target $t failed"
        exit 1
    fi
    tail -4 "$build/$t.log"
done
