#!/usr/bin/env bash
# Draws server CPU per operation relative to epoll from a bench_net CSV:
# one group of bars per workload, one bar per server.
#   bash bench/chart.sh RESULTS.csv [OUT.svg]     (default: beside the CSV)
set -euo pipefail
csv="$1"
out="${2:-${csv%.csv}.svg}"
if ! command -v gnuplot >/dev/null; then
    echo "chart: gnuplot is not installed (scripts/deps.sh bench); $out not drawn"
    exit 0
fi
data=$(mktemp)
trap 'rm -f "$data"' EXIT

# Turn the rows (workload x server) into one line per workload and one column
# per server, tab-separated so that titles keep their spaces; "-" is a
# missing figure. Fields are split as CSV: titles hold quoted commas.
awk '
function split_csv(line, f,    n, i, c, q, cur) {
    n = 0; cur = ""; q = 0
    for (i = 1; i <= length(line); i++) {
        c = substr(line, i, 1)
        if (q) {
            if (c == "\"" && substr(line, i + 1, 1) == "\"") { cur = cur c; i++ }
            else if (c == "\"") q = 0
            else cur = cur c
        } else if (c == "\"") q = 1
        else if (c == ",") { f[++n] = cur; cur = "" }
        else cur = cur c
    }
    f[++n] = cur
    return n
}
NR == 1 {
    n = split_csv($0, h)
    for (i = 1; i <= n; i++) col[h[i]] = i
    next
}
{
    split_csv($0, f)
    w = f[col["workload"]]; s = f[col["server"]]
    if (!(w in wseen)) { wseen[w] = 1; wl[++nw] = w }
    if (!(s in sseen)) { sseen[s] = 1; sv[++ns] = s }
    v = f[col["cpu_per_op_vs_epoll"]]
    val[w, s] = v == "" ? "-" : v
    machine = f[col["machine"]]; date = f[col["date"]]
}
END {
    gsub(/["\\]/, "", machine)
    printf "# %s, %s\n", machine, substr(date, 1, 10)
    printf "workload"
    for (j = 1; j <= ns; j++) printf "\t%s", sv[j]
    printf "\n"
    for (i = 1; i <= nw; i++) {
        printf "%s", wl[i]
        for (j = 1; j <= ns; j++) printf "\t%s", ((wl[i], sv[j]) in val) ? val[wl[i], sv[j]] : "-"
        printf "\n"
    }
}' "$csv" >"$data"

label=$(head -n 1 "$data" | sed 's/^# //')
columns=$(sed -n 2p "$data" | awk -F '\t' '{print NF}')
if [ "$columns" -lt 2 ]; then
    echo "chart: no rows in $csv; $out not drawn"
    exit 0
fi
case "$out" in
    *.png) terminal="pngcairo size 1100,560 font 'sans,10'" ;;
    *)     terminal="svg size 1100,560 dynamic font 'sans,11' background rgb 'white'" ;;
esac
gnuplot <<GP
set terminal $terminal
set output '$out'
set datafile separator "\t"
set datafile missing "-"
set title "Server CPU per operation relative to the epoll server (lower is better)\n$label" noenhanced
set ylabel "server CPU / op  ÷  epoll"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set yrange [0:*]
set grid ytics
set xtics noenhanced nomirror rotate by 20 right scale 0
set key noenhanced outside top center horizontal
set lmargin 12
set arrow from graph 0, first 1 to graph 1, first 1 nohead dashtype 2 linecolor rgb "gray40"
plot for [i=2:$columns] '$data' using i:xtic(1) title columnheader(i)
GP
echo "chart: $out"
