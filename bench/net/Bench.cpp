#include "Bench.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <thread>

#include "Machine.h"
#include "Report.h"
#include "ServerProcess.h"
#include "Servers.h"
#include "Workloads.h"
#include "vxnet/vxnet.h"

namespace bench {
namespace {

// The measured part of a full run must leave room for the thread and memory
// report and the idle wait inside five minutes.
constexpr double kFullBudgetSeconds = 200;
// Per run: starting and stopping the server, connecting, draining and closing.
constexpr double kRunOverheadSeconds = 0.2;
const std::vector<int> kResourceCounts = {0, 1, 64, 256, 1024};

bool Wanted(const std::vector<std::string>& filter, const std::string& name) {
    return filter.empty() || std::find(filter.begin(), filter.end(), name) != filter.end();
}

std::vector<std::string> ChooseServers(const Options& options) {
    std::vector<std::string> kinds;
    for (const std::string& kind : BaselineServerKinds())
        if (Wanted(options.servers, kind))
            kinds.push_back(kind);
    vxInitialize();
    for (const std::string& name : kVxnetEngines) {
        const std::string kind = "vxnet:" + name;
        if (!Wanted(options.servers, ServerLabel(kind)))
            continue;
        if (VxnetEngineAvailable(name))
            kinds.push_back(kind);
        else
            std::printf("note: %s cannot be created in this build; skipped\n", name.c_str());
    }
    vxUninitialize();
    return kinds;
}

RunResult RunOnFreshServer(const std::string& kind, int cpu, const Workload& workload, const Phases& phases) {
    ServerProcess server;
    RunResult r;
    if (!server.Start(kind, cpu, &r.error)) {
        r.ok = false;
        return r;
    }
    Target target{server.TcpPort(), server.UdpPort(), [&server] { return server.CpuSeconds(); }, nullptr, nullptr};
    if (kind.rfind("vxnet:", 0) == 0) {
        target.serverPoolBlocks = [&server] { return server.PoolBlocks(); };
        target.serverPoolAppends = [&server] { return server.PoolAppends(); };
    }
    r = RunWorkload(workload, target, phases);
    if (!server.Alive()) {
        r.ok = false;
        r.error = "the server process ended";
    }
    return r;
}

ResourceRow MeasureResources(const std::string& kind, int cpu) {
    ResourceRow row;
    row.server = ServerLabel(kind);
    ServerProcess server;
    if (!server.Start(kind, cpu, &row.error))
        return row;
    IdleConnections conns;
    long rssAtZero = 0;
    for (int count : kResourceCounts) {
        if (!conns.GrowTo(server.TcpPort(), count, &row.error))
            return row;
        // Let threads the last connections started come up before counting.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const ProcessStatus st = server.Status();
        row.threads.push_back(st.threads - 1);
        if (count == 0)
            rssAtZero = st.rssKiB;
        else if (count == kResourceCounts.back())
            row.bytesPerIdleConn = double(st.rssKiB - rssAtZero) * 1024.0 / count;
    }
    // Give the server time to take in the closes before it is stopped, as a
    // host would; the stop itself is not what is measured here.
    conns.CloseAll();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return row;
}

}  // namespace

int RunBenchmark(const Options& options) {
    const auto begun = std::chrono::steady_clock::now();
    signal(SIGPIPE, SIG_IGN);
    const int files = RaiseFileLimit(8192);
    const CpuPlan cpus = PlanCpus();
    PinSelf(cpus.client);

    std::vector<Workload> workloads;
    for (const Workload& w : AllWorkloads())
        if (Wanted(options.workloads, w.id))
            workloads.push_back(w);
    const std::vector<std::string> kinds = ChooseServers(options);
    if (kinds.empty() || workloads.empty()) {
        std::fprintf(stderr, "nothing to run: no server or no workload selected\n");
        return 2;
    }
    std::vector<std::string> labels;
    for (const std::string& kind : kinds)
        labels.push_back(ServerLabel(kind));

    Phases phases;
    phases.warmupSeconds = options.warmupSeconds;
    phases.seconds = options.seconds;
    if (phases.seconds <= 0) {
        const double runs = double(kinds.size() * workloads.size()) * options.reps;
        phases.seconds = std::clamp(kFullBudgetSeconds / runs - phases.warmupSeconds - kRunOverheadSeconds, 0.3, 1.0);
    }

    const std::time_t now = std::time(nullptr);
    char date[64];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", std::localtime(&now));
    std::printf("vxnet network benchmark, %s\n", date);
    const std::string machine = MachineLabel();
    std::printf("machine: %s\n", machine.c_str());
    std::printf("client on CPU %d, servers on CPU %d; %d repetitions of %.2f s (after %.2f s warm-up); "
                "open files %d\n",
                cpus.client, cpus.server, options.reps, phases.seconds, phases.warmupSeconds, files);
    if (cpus.client < 0)
        std::printf("warning: fewer than two usable CPUs, client and server are not pinned\n");
    std::fflush(stdout);

    double busy = 0;
    if (!WaitForIdleMachine(options.maxIdleWaitSeconds, &busy))
        std::printf("warning: the machine was still %.0f%% busy after %.0f s; figures will be noisy\n", busy * 100,
                    options.maxIdleWaitSeconds);

    // results[server][workload][repetition]. Every run gets a fresh server
    // process, and the servers take turns workload by workload, so that a
    // burst of load from elsewhere hits neighbours in time, not one server.
    std::vector<std::vector<std::vector<RunResult>>> results(kinds.size(),
                                                             std::vector<std::vector<RunResult>>(workloads.size()));
    for (int rep = 0; rep < options.reps; ++rep) {
        std::fprintf(stderr, "repetition %d/%d:", rep + 1, options.reps);
        for (size_t w = 0; w < workloads.size(); ++w) {
            for (size_t k = 0; k < kinds.size(); ++k) {
                // Rotate the order so that no server always runs first (or last).
                const size_t s = (k + size_t(rep) + w) % kinds.size();
                RunResult r = RunOnFreshServer(kinds[s], cpus.server, workloads[w], phases);
                if (!r.ok)
                    std::fprintf(stderr, " [%s %s FAILED: %s]", labels[s].c_str(), workloads[w].id, r.error.c_str());
                results[s][w].push_back(std::move(r));
            }
            std::fprintf(stderr, " %s", workloads[w].id);
        }
        std::fprintf(stderr, "\n");
    }

    int failures = 0;
    for (const auto& server : results)
        for (const auto& workload : server)
            for (const RunResult& r : workload)
                failures += !r.ok;
    const auto baseline = std::find(kinds.begin(), kinds.end(), "epoll");
    const int baselineIndex = baseline == kinds.end() ? -1 : int(baseline - kinds.begin());
    PrintResultsTable(labels, workloads, results, baselineIndex);
    if (!options.csvPath.empty()) {
        std::ofstream csv(options.csvPath, std::ios::trunc);
        WriteCsv(csv, ResultCsvRows(labels, workloads, results, baselineIndex), machine, date);
        csv.close();
        if (!csv) {
            std::printf("could not write %s\n", options.csvPath.c_str());
            ++failures;
        }
    }

    if (options.resources) {
        std::vector<ResourceRow> rows;
        for (const std::string& kind : kinds) {
            rows.push_back(MeasureResources(kind, cpus.server));
            failures += !rows.back().error.empty();
        }
        std::printf("\nThreads the server process runs besides its main thread, with N idle connections open; "
                    "resident memory added per idle connection (RSS growth from 0 to %d, divided by %d).\n\n",
                    kResourceCounts.back(), kResourceCounts.back());
        PrintResourceTable(kResourceCounts, rows);
    }
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    std::printf("\ntotal time %.0f s\n", took);
    // Slow figures never fail a run; broken echoes, stalls and dead servers do.
    if (failures > 0) {
        std::printf("%d runs failed\n", failures);
        return 1;
    }
    return 0;
}

}  // namespace bench
