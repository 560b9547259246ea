// The results as CSV, one row per workload and server, for charts and for
// comparing runs. Figures a row does not have (no baseline, no latency, no
// pool, no successful repetition) are empty fields.
#ifndef BENCH_NET_CSV_H
#define BENCH_NET_CSV_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace bench {

struct CsvRow {
    std::string workloadId, workload, server;
    double throughput, throughputSpread, throughputVsEpoll;
    std::string throughputUnit;
    double cpuPerOp, cpuPerOpSpread, cpuVsEpoll;
    std::string cpuPerOpUnit;
    double p50us, p99us;
    double poolBlocksPerOp, poolAppendsPerOp;
    int runs, failedRuns;
    uint64_t errors;
    std::string firstError;  // of the first failed repetition
};

// A field as CSV needs it: quoted when it holds a comma, a quote or a line
// break, with quotes doubled.
std::string CsvField(const std::string& s);
// The header line, then one line per row; `machine` and `date` go on every
// row so that files from several runs can be joined.
void WriteCsv(std::ostream& out, const std::vector<CsvRow>& rows, const std::string& machine, const std::string& date);

}  // namespace bench

#endif
