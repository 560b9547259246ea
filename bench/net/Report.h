// The tables a run prints: per workload and server the median of the
// repetitions, their spread, and the ratio to the epoll baseline of the same
// run; then threads and memory per server.
#ifndef BENCH_NET_REPORT_H
#define BENCH_NET_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "Csv.h"
#include "LoadClient.h"
#include "Stats.h"
#include "Workloads.h"

namespace bench {

struct Summary {
    int runs = 0;    // successful repetitions
    int failed = 0;  // repetitions that failed
    std::string firstError;
    double throughput = 0, throughputSpread = 0;
    double cpuPerOp = 0, cpuPerOpSpread = 0;
    double p50us = 0, p99us = 0;
    double poolBlocksPerOp = 0;
    double poolAppendsPerOp = 0;
    uint64_t errors = 0;
};

Summary Summarize(const Workload& w, const std::vector<RunResult>& runs);

// results[server][workload] holds the repetitions; `baseline` indexes the epoll server (-1: none).
void PrintResultsTable(const std::vector<std::string>& servers, const std::vector<Workload>& workloads,
                       const std::vector<std::vector<std::vector<RunResult>>>& results, int baseline);
// The same figures unrounded, one row per workload and server, for WriteCsv.
std::vector<CsvRow> ResultCsvRows(const std::vector<std::string>& servers, const std::vector<Workload>& workloads,
                                  const std::vector<std::vector<std::vector<RunResult>>>& results, int baseline);

struct ResourceRow {
    std::string server;
    std::string error;            // empty when measured
    std::vector<int> threads;     // threads the server process runs besides its main thread, per count
    double bytesPerIdleConn = 0;  // resident memory growth per connection at the largest count
};

void PrintResourceTable(const std::vector<int>& counts, const std::vector<ResourceRow>& rows);

}  // namespace bench

#endif
