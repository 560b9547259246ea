// How many threads this process runs, for tests that watch a manager start
// its threads. Only where the system tells cheaply (Linux: /proc).
#ifndef VX_TEST_PROCESS_THREADS_H
#define VX_TEST_PROCESS_THREADS_H

namespace vxtest {

// The number of threads of this process, or -1 where it is not known. With
// a name: only the threads that carry it.
int ProcessThreadCount(const char* lpszName = nullptr);

}  // namespace vxtest

#endif
