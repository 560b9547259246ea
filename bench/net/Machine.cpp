#include "Machine.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace bench {

CpuPlan PlanCpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    CpuPlan plan;
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return plan;
    int found[2], n = 0;
    for (int cpu = 0; cpu < CPU_SETSIZE && n < 2; ++cpu)
        if (CPU_ISSET(cpu, &set))
            found[n++] = cpu;
    if (n == 2) {
        plan.client = found[0];
        plan.server = found[1];
    }
    return plan;
}

void PinSelf(int cpu) {
    if (cpu < 0)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

namespace {

struct CpuTimes {
    unsigned long long busy = 0;
    unsigned long long total = 0;
};

CpuTimes ReadCpuTimes() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    unsigned long long v[8] = {};
    in >> cpu;
    for (auto& x : v)
        in >> x;
    CpuTimes t;
    for (auto x : v)
        t.total += x;
    t.busy = t.total - v[3] - v[4];  // idle and iowait
    return t;
}

}  // namespace

bool WaitForIdleMachine(double maxSeconds, double* busyShare) {
    // Idle = under 15% of all cores busy over two half-second samples in a row.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(maxSeconds);
    int quiet = 0;
    CpuTimes before = ReadCpuTimes();
    *busyShare = 1.0;
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const CpuTimes after = ReadCpuTimes();
        const unsigned long long total = after.total - before.total;
        *busyShare = total ? double(after.busy - before.busy) / double(total) : 0.0;
        before = after;
        quiet = *busyShare < 0.15 ? quiet + 1 : 0;
        if (quiet == 2)
            return true;
    }
    return false;
}

int RaiseFileLimit(int want) {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0)
        return -1;
    if (lim.rlim_cur < rlim_t(want)) {
        lim.rlim_cur = lim.rlim_max == RLIM_INFINITY || lim.rlim_max >= rlim_t(want) ? rlim_t(want) : lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
        getrlimit(RLIMIT_NOFILE, &lim);
    }
    return int(lim.rlim_cur);
}

std::string MachineLabel() {
    std::string model;
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    utsname u{};
    uname(&u);
    std::ostringstream out;
    out << (model.empty() ? "unknown CPU" : model) << ", " << sysconf(_SC_NPROCESSORS_ONLN) << " CPUs, " << u.sysname
        << " " << u.release;
    return out.str();
}

}  // namespace bench
