#!/usr/bin/env bash
# Builds the network benchmark and runs it; arguments go to bench_net.
#   bash bench/run.sh            full run: every server and workload, under 5 minutes;
#                                results also in bench/results/latest.csv and latest.svg
#   bash bench/run.sh --quick    short run that checks everything works, under 30 seconds;
#                                its CSV and chart go to the build folder
# --csv FILE writes the CSV elsewhere; the chart is drawn beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh native bench
build="${VXNET_BENCH_BUILD_DIR:-build-bench}"
cmake -S . -B "$build" -G Ninja -DVXNET_TESTS=OFF >/dev/null
cmake --build "$build" --target bench_net >/dev/null
bench_net="$build/bin/bench_net"
[[ "$bench_net" == /* ]] || bench_net="./$bench_net"

csv=""
quick=0
args=("$@")
for ((i = 0; i < ${#args[@]}; ++i)); do
    case "${args[i]}" in
        --help | -h) exec "$bench_net" "$@" ;;
        --quick) quick=1 ;;
        --csv) csv="${args[i + 1]:-}" ;;
    esac
done
if [ -z "$csv" ]; then
    # Quick figures are too short to keep; they still go through the CSV and
    # the chart so that both are known to work.
    if [ "$quick" -eq 1 ]; then csv="$build/results/quick.csv"; else csv="bench/results/latest.csv"; fi
    args+=(--csv "$csv")
fi
mkdir -p "$(dirname "$csv")"
rc=0
"$bench_net" "${args[@]}" || rc=$?
# A run with failures still writes its CSV; draw it, and keep the exit status.
if [ -s "$csv" ]; then
    bash bench/chart.sh "$csv" || rc=1
fi
exit "$rc"
