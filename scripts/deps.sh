#!/usr/bin/env bash
# Installs what the build, the tests and the benchmarks need, when missing.
# Usage: scripts/deps.sh [native|windows|fuzz|peers|bench|docs|package|all]...
set -euo pipefail

want=("$@")
[ ${#want[@]} -eq 0 ] && want=(native)

pkgs=()
for w in "${want[@]}"; do
    case "$w" in
        native)  pkgs+=(cmake ninja-build g++ googletest libgtest-dev) ;;
        windows) pkgs+=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 googletest) ;;
        fuzz)    pkgs+=(clang libclang-rt-14-dev) ;;
        peers)   pkgs+=(dante-server tinyproxy microsocks) ;;
        bench)   pkgs+=(libuv1-dev libasio-dev pkg-config gnuplot-nox) ;;
        docs)    pkgs+=(doxygen) ;;
        package) pkgs+=(pkg-config dpkg-dev) ;;
        all)     pkgs+=(cmake ninja-build g++ googletest libgtest-dev g++-mingw-w64-x86-64 g++-mingw-w64-i686
                        wine64 clang libclang-rt-14-dev dante-server tinyproxy microsocks libuv1-dev libasio-dev
                        pkg-config gnuplot-nox doxygen dpkg-dev) ;;
        *) echo "deps.sh: unknown set '$w'" >&2; exit 2 ;;
    esac
done

missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
# A mirror in the middle of a sync can fail one index: go on, and check below.
$SUDO apt-get update -qq || true
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || true
# Packages whose absence only costs a by-product (the benchmark's chart).
optional=" gnuplot-nox "
for p in "${missing[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        if [[ "$optional" == *" $p "* ]]; then
            echo "deps.sh: could not install $p (optional; going on without it)" >&2
            continue
        fi
        echo "deps.sh: could not install $p" >&2
        exit 1
    fi
done
