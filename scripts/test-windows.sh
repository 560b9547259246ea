#!/usr/bin/env bash
# Cross-builds both DLLs and the test programs with MinGW-w64.
#   x86_64: builds and runs the tests under wine64.
#   i686:   compiles and links only.
# Usage: scripts/test-windows.sh [x86_64|i686]
set -euo pipefail
cd "$(dirname "$0")/.."
arch="${1:-x86_64}"
build="build-mingw-$arch"

bash scripts/deps.sh windows
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVXNET_BENCH=OFF >/dev/null
cmake --build "$build"

if [ "$arch" = x86_64 ]; then
    export WINEDEBUG=-all
    export WINEPREFIX="${WINEPREFIX:-$PWD/$build/wineprefix}"
    # The first start of a prefix writes a fresh registry; do it once, quietly.
    [ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1 || true
    ctest --test-dir "$build" --output-on-failure --no-tests=error
fi
