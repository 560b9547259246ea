// The benchmark run: servers and workloads, repetitions in rotating server
// order, then the tables.
#ifndef BENCH_NET_BENCH_H
#define BENCH_NET_BENCH_H

#include <string>
#include <vector>

namespace bench {

struct Options {
    bool quick = false;
    int reps = 5;
    double warmupSeconds = 0.25;
    double seconds = 0;  // per measured window; 0 = fit the run into its time budget
    double maxIdleWaitSeconds = 30;
    bool resources = true;
    std::string csvPath;                 // where to write the results as CSV; empty = nowhere
    std::vector<std::string> servers;    // labels to keep; empty = all
    std::vector<std::string> workloads;  // ids to keep; empty = all
};

int RunBenchmark(const Options& options);

}  // namespace bench

#endif
