// How many threads this process runs, for tests that watch a manager start
// its threads. Only where the system tells cheaply (Linux: /proc).
#ifndef VX_TEST_PROCESS_THREADS_H
#define VX_TEST_PROCESS_THREADS_H

#if defined(__linux__)
#include <dirent.h>

#include <fstream>
#include <string>
#endif

namespace vxtest {

// The number of threads of this process, or -1 where it is not known. With
// a name: only the threads that carry it. A new thread shows once its
// creation call has returned.
inline int ProcessThreadCount(const char* lpszName = nullptr) {
#if defined(__linux__)
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return -1;
    int n = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string strName;
        std::getline(comm, strName);
        n += !lpszName || strName == lpszName;
    }
    closedir(dir);
    return n;
#else
    (void)lpszName;
    return -1;
#endif
}

}  // namespace vxtest

#endif
