#include "ProcessThreads.h"

#if defined(__linux__)
#include <dirent.h>

#include <fstream>
#include <string>
#endif

namespace vxtest {

int ProcessThreadCount(const char* lpszName) {
#if defined(__linux__)
    // One directory entry per thread; a new thread shows once its creation
    // call has returned.
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return -1;
    int n = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        if (!lpszName) {
            ++n;
            continue;
        }
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string strName;
        std::getline(comm, strName);
        if (strName == lpszName) ++n;
    }
    closedir(dir);
    return n;
#else
    return -1;
#endif
}

}  // namespace vxtest
