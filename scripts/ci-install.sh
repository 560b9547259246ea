#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds and runs the
# examples against that copy twice, through find_package and through
# pkg-config, from a folder outside the source tree; then builds the Debian
# package and checks what it holds.
# Usage: scripts/ci-install.sh [--build-dir DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
src="$PWD"
build="build-install"
[ "${1:-}" = "--build-dir" ] && build="$2"

bash scripts/deps.sh native package
for tool in cmake pkg-config cpack dpkg-deb; do
    command -v "$tool" >/dev/null || { echo "ci-install: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# ------------------------------------------------------------ build and install
rm -rf "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVXNET_TESTS=OFF -DVXNET_BENCH=OFF >/dev/null
cmake --build "$build" --target vxnet vxmempool vxnet-rec
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
echo "installed into $prefix:"
(cd "$prefix" && find . -type f -o -type l | sort | sed 's/^/  /')
# The installed record tool finds its library and reads a (here empty) recording.
: >"$work/empty.rec"
"$prefix/bin/vxnet-rec" check "$work/empty.rec"

# The examples leave the tree: only the prefix can give them <vxnet/...>.
cp -r examples "$work/examples"

# ------------------------------------------------------------ find_package
cmake -S "$work/examples" -B "$work/with-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build "$work/with-cmake"
if grep -q -- "$src" "$work/with-cmake/compile_commands.json"; then
    echo "ci-install: the find_package build reaches into the source tree" >&2
    exit 1
fi

# ------------------------------------------------------------ pkg-config
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
header_version=$(sed -n 's/^#define VXNET_VERSION_STRING "\(.*\)"/\1/p' "$prefix/include/vxnet/vxnet.h")
[ "$(pkg-config --modversion vxnet)" = "$header_version" ] \
    || { echo "ci-install: vxnet.pc version differs from vxnet.h ($header_version)" >&2; exit 1; }
mkdir -p "$work/with-pkgconfig"
libdir=$(pkg-config --variable=libdir vxnet)
for cpp in "$work"/examples/*.cpp; do
    name=$(basename "$cpp" .cpp)
    # shellcheck disable=SC2046
    c++ -std=c++17 -Wall -pthread $(pkg-config --cflags vxnet) "$cpp" -o "$work/with-pkgconfig/$name" \
        $(pkg-config --libs vxnet) -Wl,-rpath,"$libdir"
done

# ------------------------------------------------------------ run
# Waits (bounded) until a background program printed its ready line.
wait_for_line() {
    local file="$1" text="$2"
    for _ in $(seq 100); do
        grep -q "$text" "$file" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "ci-install: no '$text' in $file:" >&2
    cat "$file" >&2
    return 1
}

run_examples() {
    local bin="$1" engine="$2"
    local port=$((20000 + RANDOM % 20000))
    echo "--- $bin on $engine"
    "$bin/timers" "$engine"
    "$bin/udp_exchange" "$port" 3 "$engine"

    local fifo="$work/stdin.$port"
    mkfifo "$fifo"
    "$bin/echo_server" "$port" "$engine" <"$fifo" >"$work/server.$port" &
    local server=$!
    pids+=("$server")
    exec 3<>"$fifo"
    wait_for_line "$work/server.$port" "echo server on"
    "$bin/echo_client" 127.0.0.1 "$port" hello 3 "$engine"

    # Through SOCKS5, with and without credentials, when microsocks is there
    # (the real-peer tests install it).
    if command -v microsocks >/dev/null; then
        local open_port=$((port + 1)) auth_port=$((port + 2))
        microsocks -i 127.0.0.1 -p "$open_port" >/dev/null 2>&1 &
        pids+=($!)
        microsocks -i 127.0.0.1 -p "$auth_port" -u vxuser -P vxpass >/dev/null 2>&1 &
        pids+=($!)
        local ok=""
        for _ in $(seq 50); do  # until both proxies listen
            "$bin/proxy_client" socks5 127.0.0.1 "$open_port" 127.0.0.1 "$port" "$engine" >/dev/null &&
                "$bin/proxy_client" socks5 127.0.0.1 "$auth_port" 127.0.0.1 "$port" "$engine" vxuser vxpass \
                    >/dev/null && { ok=1; break; }
            sleep 0.1
        done
        [ -n "$ok" ] || { echo "ci-install: proxy_client never got through microsocks" >&2; return 1; }
        "$bin/proxy_client" socks5 127.0.0.1 "$auth_port" 127.0.0.1 "$port" "$engine" vxuser vxpass
        if "$bin/proxy_client" socks5 127.0.0.1 "$auth_port" 127.0.0.1 "$port" "$engine" vxuser wrong; then
            echo "ci-install: a wrong password got through" >&2
            return 1
        fi
    else
        echo "(microsocks not installed: proxy_client built, not run)"
    fi

    echo >&3
    exec 3>&-
    wait "$server"
}

# Every engine the library has; the others join as they land.
engines=(ISelectSocketMgr1.0)
for engine in "${engines[@]}"; do
    run_examples "$work/with-cmake" "$engine"
    run_examples "$work/with-pkgconfig" "$engine"
done

# ------------------------------------------------------------ Debian package
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/vxnet_*.deb)
echo "package $deb:"
dpkg -c "$deb" | awk '{print "  " $6 ($7 ? " " $7 " " $8 : "")}'
# Only public headers, the versioned libraries with their links, the CMake
# package, the .pc file and the record tool.
unexpected=$(dpkg -c "$deb" | awk '$1 !~ /^d/ {print $6}' | grep -Ev \
    '^\./usr/(bin/vxnet-rec|include/vxnet/(vxnet|ISocketMgr|vxmempool)\.h|lib/(lib(vxnet|vxmempool)\.so(\.1(\.0\.0)?)?|cmake/vxnet/vxnet(Config|ConfigVersion|Targets|Targets-[a-z]+)\.cmake|pkgconfig/vxnet\.pc))$' \
    || true)
[ -z "$unexpected" ] || { echo "ci-install: unexpected files in the package:" >&2; echo "$unexpected" >&2; exit 1; }

# ------------------------------------------------------------ Windows zip
# From the MinGW build the Windows job made: the DLLs, their import libraries
# and .def files, the headers, the CMake package and the .pc file; the
# examples cross-build against the unpacked zip and two of them run under Wine.
mingw=build-mingw-x86_64
if [ -f "$mingw/CMakeCache.txt" ]; then
    rm -f "$mingw"/vxnet-*.zip
    (cd "$mingw" && cpack -G ZIP >/dev/null)
    zip=$(ls "$mingw"/vxnet-*.zip)
    echo "package $zip:"
    mkdir -p "$work/zip"
    (cd "$work/zip" && cmake -E tar xf "$src/$zip")
    top=$(ls -d "$work"/zip/vxnet-*)
    (cd "$top" && find . -type f | sort | sed 's/^/  /')
    unexpected=$(cd "$top" && find . -type f | grep -Ev \
        '^\./(include/vxnet/(vxnet|ISocketMgr|vxmempool)\.h|bin/((vxnet|vxmempool)\.dll|vxnet-rec\.exe)|lib/(lib(vxnet|vxmempool)\.dll\.a|(vxnet|vxmempool)\.def|cmake/vxnet/vxnet(Config|ConfigVersion|Targets|Targets-[a-z]+)\.cmake|pkgconfig/vxnet\.pc))$' \
        || true)
    [ -z "$unexpected" ] || { echo "ci-install: unexpected files in the zip:" >&2; echo "$unexpected" >&2; exit 1; }
    # The examples link the MinGW runtime statically, as the library does.
    cmake -S "$work/examples" -B "$work/with-zip" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-x86_64.cmake" \
          -DCMAKE_PREFIX_PATH="$top" -DCMAKE_EXE_LINKER_FLAGS=-static >/dev/null
    cmake --build "$work/with-zip"
    cp "$top"/bin/*.dll "$work/with-zip/"
    wine=$(grep -m1 '^VX_WINE:' "$mingw/CMakeCache.txt" | cut -d= -f2)
    if [ -d "$mingw/wineprefix" ] && [ -x "$wine" ]; then
        (cd "$work/with-zip" && export WINEDEBUG=-all WINEPREFIX="$src/$mingw/wineprefix" &&
            "$wine" ./timers.exe && "$wine" ./udp_exchange.exe $((20000 + RANDOM % 20000)) 2)
    else
        echo "(no Wine prefix in $mingw: the examples built, not run)"
    fi
else
    echo "(no $mingw build: run scripts/test-windows.sh x86_64 first for the zip)"
fi
echo "install: ok"
