#include "PfSystem.h"

#include <windows.h>

namespace pf {

uint32_t ProcessorCount() {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    return si.dwNumberOfProcessors ? si.dwNumberOfProcessors : 1;
}

uint32_t ProcessId() { return GetCurrentProcessId(); }

static std::string FolderOfModule(HMODULE h) {
    char buf[MAX_PATH + 1];
    DWORD n = GetModuleFileNameA(h, buf, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::string();
    std::string path(buf, n);
    size_t pos = path.find_last_of("\\/");
    return pos == std::string::npos ? std::string() : path.substr(0, pos);
}

std::string ModuleFolder() {
    // The DLL (or program) this function was linked into.
    HMODULE h = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ModuleFolder), &h);
    return FolderOfModule(h);
}

std::string ExecutableFolder() { return FolderOfModule(nullptr); }

char PathSeparator() { return '\\'; }

}  // namespace pf
