// What the benchmark needs from the machine: two cores to split between
// client and server, a quiet moment to start in, enough descriptors, and a
// line that says what the figures were measured on.
#ifndef BENCH_NET_MACHINE_H
#define BENCH_NET_MACHINE_H

#include <string>

namespace bench {

struct CpuPlan {
    int client = -1;  // -1: not pinned (fewer than two usable cores)
    int server = -1;
};

CpuPlan PlanCpus();
void PinSelf(int cpu);
// Waits until the whole machine is idle (or `maxSeconds` have passed);
// returns false, with the last busy share in [0, 1], when it never was.
bool WaitForIdleMachine(double maxSeconds, double* busyShare);
// Raises the soft descriptor limit towards `want` (bounded by the hard limit).
int RaiseFileLimit(int want);
std::string MachineLabel();

}  // namespace bench

#endif
