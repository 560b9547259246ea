#include "PfSystem.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace pf {

uint32_t ProcessorCount() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? uint32_t(n) : 1;
}

uint32_t ProcessId() { return uint32_t(getpid()); }

static std::string FolderOf(const std::string& path) {
    size_t pos = path.find_last_of('/');
    if (pos == std::string::npos) return std::string();
    return pos == 0 ? std::string("/") : path.substr(0, pos);
}

static std::string Canonical(const char* path) {
    char buf[PATH_MAX];
    if (path && realpath(path, buf)) return buf;
    return path ? path : "";
}

std::string ModuleFolder() {
    // The shared object (or program) this function was linked into.
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&ModuleFolder), &info) && info.dli_fname)
        return FolderOf(Canonical(info.dli_fname));
    return std::string();
}

std::string ExecutableFolder() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    buf[n] = 0;
    return FolderOf(buf);
}

char PathSeparator() { return '/'; }

}  // namespace pf
