#include "Report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace bench {

Summary Summarize(const Workload& w, const std::vector<RunResult>& runs) {
    Summary s;
    std::vector<double> thr, cpu, p50, p99, pool, appends;
    for (const RunResult& r : runs) {
        s.errors += r.errors;
        if (!r.ok) {
            ++s.failed;
            if (s.firstError.empty())
                s.firstError = r.error;
            continue;
        }
        ++s.runs;
        thr.push_back(Throughput(w, r));
        cpu.push_back(CpuPerOp(w, r));
        if (!std::isnan(r.poolBlocks)) {
            pool.push_back(PoolBlocksPerOp(w, r));
            appends.push_back(PoolAppendsPerOp(w, r));
        }
        if (!std::isnan(r.p50us)) {
            p50.push_back(r.p50us);
            p99.push_back(r.p99us);
        }
    }
    s.throughput = Median(thr);
    s.throughputSpread = Spread(thr);
    s.cpuPerOp = Median(cpu);
    s.cpuPerOpSpread = Spread(cpu);
    s.p50us = Median(p50);
    s.p99us = Median(p99);
    s.poolBlocksPerOp = Median(pool);
    s.poolAppendsPerOp = Median(appends);
    return s;
}

namespace {

std::string Fmt(const char* format, double v) {
    if (std::isnan(v))
        return "-";
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

// Three significant digits with a k/M suffix.
std::string Short(double v) {
    if (std::isnan(v))
        return "-";
    const char* suffix = "";
    if (v >= 1e6) {
        v /= 1e6;
        suffix = "M";
    } else if (v >= 1e4) {
        v /= 1e3;
        suffix = "k";
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, v >= 100 ? "%.0f%s" : v >= 10 ? "%.1f%s" : "%.2f%s", v, suffix);
    return buf;
}

std::string Percent(double v) { return Fmt("%.0f%%", v * 100); }

void PrintRow(const std::vector<std::string>& cells, const std::vector<int>& widths) {
    std::printf("|");
    for (size_t i = 0; i < cells.size(); ++i)
        std::printf(" %-*s |", widths[i], cells[i].c_str());
    std::printf("\n");
}

void PrintTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows) {
    std::vector<int> widths(header.size());
    for (size_t i = 0; i < header.size(); ++i)
        widths[i] = int(header[i].size());
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], int(row[i].size()));
    PrintRow(header, widths);
    std::printf("|");
    for (int w : widths)
        std::printf("%s|", std::string(size_t(w) + 2, '-').c_str());
    std::printf("\n");
    for (const auto& row : rows)
        PrintRow(row, widths);
}

}  // namespace

void PrintResultsTable(const std::vector<std::string>& servers, const std::vector<Workload>& workloads,
                       const std::vector<std::vector<std::vector<RunResult>>>& results, int baseline) {
    const std::vector<std::string> header = {"workload", "server", "throughput", "spread", "vs epoll",
                                             "server CPU/op", "spread", "vs epoll", "p50 us", "p99 us", "pool allocs+appends/op",
                                             "errors"};
    std::vector<std::vector<std::string>> rows;
    for (const CsvRow& r : ResultCsvRows(servers, workloads, results, baseline)) {
        std::string errors = std::to_string(r.errors);
        if (r.failedRuns)
            errors += ", " + std::to_string(r.failedRuns) + " failed: " + r.firstError;
        if (r.runs == 0) {
            rows.push_back({r.workload, r.server, "-", "-", "-", "-", "-", "-", "-", "-", "-", errors});
            continue;
        }
        rows.push_back({r.workload, r.server, Short(r.throughput) + " " + r.throughputUnit,
                        Percent(r.throughputSpread), Fmt("%.2f", r.throughputVsEpoll),
                        Fmt(r.cpuPerOp >= 100 ? "%.0f" : "%.2f", r.cpuPerOp) + " " + r.cpuPerOpUnit,
                        Percent(r.cpuPerOpSpread), Fmt("%.2f", r.cpuVsEpoll), Fmt("%.1f", r.p50us),
                        Fmt("%.1f", r.p99us),
                        std::isnan(r.poolBlocksPerOp)
                            ? "-"
                            : Fmt("%.2f", r.poolBlocksPerOp) + " + " + Fmt("%.2f", r.poolAppendsPerOp),
                        errors});
    }
    PrintTable(header, rows);
}

std::vector<CsvRow> ResultCsvRows(const std::vector<std::string>& servers, const std::vector<Workload>& workloads,
                                  const std::vector<std::vector<std::vector<RunResult>>>& results, int baseline) {
    std::vector<CsvRow> rows;
    for (size_t w = 0; w < workloads.size(); ++w) {
        const Workload& wl = workloads[w];
        Summary base;
        if (baseline >= 0)
            base = Summarize(wl, results[size_t(baseline)][w]);
        const bool haveBase = base.runs > 0;
        for (size_t s = 0; s < servers.size(); ++s) {
            const Summary sum = Summarize(wl, results[s][w]);
            CsvRow r;
            r.workloadId = wl.id;
            r.workload = wl.title;
            r.server = servers[s];
            r.throughput = sum.throughput;
            r.throughputUnit = ThroughputUnit(wl);
            r.throughputSpread = sum.throughputSpread;
            r.throughputVsEpoll = haveBase ? sum.throughput / base.throughput : NAN;
            r.cpuPerOp = sum.cpuPerOp;
            r.cpuPerOpUnit = CpuPerOpUnit(wl);
            r.cpuPerOpSpread = sum.cpuPerOpSpread;
            r.cpuVsEpoll = haveBase ? sum.cpuPerOp / base.cpuPerOp : NAN;
            r.p50us = sum.p50us;
            r.p99us = sum.p99us;
            r.poolBlocksPerOp = sum.poolBlocksPerOp;
            r.poolAppendsPerOp = sum.poolAppendsPerOp;
            r.runs = sum.runs;
            r.failedRuns = sum.failed;
            r.errors = sum.errors;
            r.firstError = sum.firstError;
            rows.push_back(r);
        }
    }
    return rows;
}

void PrintResourceTable(const std::vector<int>& counts, const std::vector<ResourceRow>& rows) {
    std::vector<std::string> header = {"server"};
    for (int n : counts)
        header.push_back("threads @" + std::to_string(n));
    header.push_back("RSS per idle conn @" + std::to_string(counts.empty() ? 0 : counts.back()));
    std::vector<std::vector<std::string>> cells;
    for (const ResourceRow& r : rows) {
        std::vector<std::string> row = {r.server};
        for (size_t i = 0; i < counts.size(); ++i)
            row.push_back(i < r.threads.size() ? std::to_string(r.threads[i]) : "-");
        row.push_back(r.error.empty() ? Fmt("%.0f B", r.bytesPerIdleConn) : "failed: " + r.error);
        cells.push_back(row);
    }
    PrintTable(header, cells);
}

}  // namespace bench
