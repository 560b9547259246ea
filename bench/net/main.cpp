// bench_net: echo servers (epoll, libuv, Asio and every vxnet engine this
// build can create) against one load client over loopback.
//
//   bench_net            the full run (under five minutes)
//   bench_net --quick    a short run that checks everything works (under 30 s)
//   bench_net --help     the other options
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "Bench.h"
#include "Servers.h"

namespace {

std::vector<std::string> SplitList(const char* s) {
    std::vector<std::string> out;
    std::stringstream in(s);
    for (std::string item; std::getline(in, item, ',');)
        if (!item.empty())
            out.push_back(item);
    return out;
}

void Usage() {
    std::printf(
        "usage: bench_net [--quick] [--reps N] [--seconds S] [--warmup S] [--max-wait S]\n"
        "                 [--servers epoll,libuv,asio,select,...] [--workloads pp1,pp16,pp256,st1,st16,conn,udp]\n"
        "                 [--no-resources] [--csv FILE]\n"
        "  --quick         2 repetitions of 0.1 s, threads and memory still measured (under 30 s)\n"
        "  --reps N        repetitions per server and workload (default 5)\n"
        "  --seconds S     measured window per run (default: fit the run into about 4 minutes)\n"
        "  --warmup S      warm-up before each window (default 0.25)\n"
        "  --max-wait S    longest wait for an idle machine before starting (default 30)\n"
        "  --no-resources  skip the thread and memory report\n"
        "  --csv FILE      also write the results, one row per workload and server, as CSV\n");
}

}  // namespace

int main(int argc, char** argv) {
    bench::Options options;
    std::string serve;
    int cpu = -1;
    // Explicit values win over the --quick defaults, in whatever order they come.
    int reps = 0;
    double seconds = -1, warmup = -1, maxWait = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto takeValue = [&]() -> const char* {
            if (!value) {
                std::fprintf(stderr, "%s needs a value\n", arg.c_str());
                std::exit(2);
            }
            ++i;
            return value;
        };
        if (arg == "--quick") {
            options.quick = true;
        } else if (arg == "--reps") {
            reps = std::max(1, std::atoi(takeValue()));
        } else if (arg == "--seconds") {
            seconds = std::atof(takeValue());
        } else if (arg == "--warmup") {
            warmup = std::atof(takeValue());
        } else if (arg == "--max-wait") {
            maxWait = std::atof(takeValue());
        } else if (arg == "--servers") {
            options.servers = SplitList(takeValue());
        } else if (arg == "--workloads") {
            options.workloads = SplitList(takeValue());
        } else if (arg == "--no-resources") {
            options.resources = false;
        } else if (arg == "--csv") {
            options.csvPath = takeValue();
        } else if (arg == "--serve") {
            serve = takeValue();
        } else if (arg == "--cpu") {
            cpu = std::atoi(takeValue());
        } else if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        } else {
            std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
            Usage();
            return 2;
        }
    }
    if (!serve.empty())
        return bench::ServeMain(serve, cpu);
    if (options.quick) {
        options.reps = 2;
        options.warmupSeconds = 0.05;
        options.seconds = 0.1;
        options.maxIdleWaitSeconds = 2;
    }
    if (reps > 0)
        options.reps = reps;
    if (seconds > 0)
        options.seconds = seconds;
    if (warmup >= 0)
        options.warmupSeconds = warmup;
    if (maxWait >= 0)
        options.maxIdleWaitSeconds = maxWait;
    return bench::RunBenchmark(options);
}
