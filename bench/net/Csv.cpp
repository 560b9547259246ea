#include "Csv.h"

#include <cmath>
#include <cstdio>

namespace bench {
namespace {

// Full precision for tools, not the rounded figures of the printed table;
// NaN and infinities (a ratio to a baseline of 0) are missing figures.
std::string Number(double v) {
    if (!std::isfinite(v))
        return "";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

}  // namespace

std::string CsvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos)
        return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

void WriteCsv(std::ostream& out, const std::vector<CsvRow>& rows, const std::string& machine,
              const std::string& date) {
    out << "workload_id,workload,server,throughput,throughput_unit,throughput_spread,throughput_vs_epoll,"
           "cpu_per_op,cpu_per_op_unit,cpu_per_op_spread,cpu_per_op_vs_epoll,p50_us,p99_us,"
           "pool_blocks_per_op,pool_appends_per_op,runs,failed_runs,errors,first_error,machine,date\n";
    for (const CsvRow& r : rows) {
        out << CsvField(r.workloadId) << ',' << CsvField(r.workload) << ',' << CsvField(r.server) << ','
            << Number(r.throughput) << ',' << CsvField(r.throughputUnit) << ',' << Number(r.throughputSpread) << ','
            << Number(r.throughputVsEpoll) << ',' << Number(r.cpuPerOp) << ',' << CsvField(r.cpuPerOpUnit) << ','
            << Number(r.cpuPerOpSpread) << ',' << Number(r.cpuVsEpoll) << ',' << Number(r.p50us) << ','
            << Number(r.p99us) << ',' << Number(r.poolBlocksPerOp) << ',' << Number(r.poolAppendsPerOp) << ','
            << r.runs << ',' << r.failedRuns << ',' << r.errors << ',' << CsvField(r.firstError) << ',' << CsvField(machine) << ','
            << CsvField(date) << '\n';
    }
}

}  // namespace bench
