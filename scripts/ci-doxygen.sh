#!/usr/bin/env bash
# Builds the reference from the public headers; any Doxygen warning fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh docs
command -v doxygen >/dev/null || { echo "ci-doxygen: doxygen is missing" >&2; exit 1; }
rm -rf build-doxygen
mkdir -p build-doxygen
status=0
doxygen docs/Doxyfile || status=$?
if [ -s build-doxygen/warnings.log ] || [ "$status" -ne 0 ]; then
    echo "ci-doxygen: warnings (doxygen exit $status):" >&2
    cat build-doxygen/warnings.log >&2
    exit 1
fi
echo "reference: build-doxygen/html/index.html ($(doxygen --version)), no warnings"
