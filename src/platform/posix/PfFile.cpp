#include "PfFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "PfText.h"

namespace pf {

FileHandle FileOpen(const char16_t* lpszPath, uint32_t uiAccess, uint32_t uiShare, FileDisposition eDisposition,
                    uint32_t uiAttributes) {
    int nFlags = O_CLOEXEC;
    switch (uiAccess & (kFileRead | kFileWrite)) {
        case kFileRead: nFlags |= O_RDONLY; break;
        case kFileWrite: nFlags |= O_WRONLY; break;
        case kFileRead | kFileWrite: nFlags |= O_RDWR; break;
        default: errno = EINVAL; return kInvalidFile;
    }
    switch (eDisposition) {
        case kCreateNew: nFlags |= O_CREAT | O_EXCL; break;
        case kCreateAlways: nFlags |= O_CREAT | O_TRUNC; break;
        case kOpenExisting: break;
        case kOpenAlways: nFlags |= O_CREAT; break;
        default: errno = EINVAL; return kInvalidFile;
    }
    std::string strPath = WideToNarrow(lpszPath);
    if (strPath.empty()) {
        errno = ENOENT;
        return kInvalidFile;
    }
    mode_t mode = (uiAttributes & kAttrReadOnly) ? 0444 : 0666;
    int fd;
    do fd = ::open(strPath.c_str(), nFlags, mode);
    while (fd < 0 && errno == EINTR);
    return fd < 0 ? kInvalidFile : FileHandle(fd);
}

int32_t FileRead(FileHandle h, void* lpBuf, int32_t nCount) {
    if (h < 0 || nCount < 0) return -1;
    ssize_t n;
    do n = ::read(int(h), lpBuf, size_t(nCount));
    while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : int32_t(n);
}

int32_t FileWrite(FileHandle h, const void* lpBuf, int32_t nCount) {
    if (h < 0 || nCount < 0) return -1;
    // A file write completes in full on Windows; write() may stop early.
    const char* p = static_cast<const char*>(lpBuf);
    int32_t nDone = 0;
    while (nDone < nCount) {
        ssize_t n = ::write(int(h), p + nDone, size_t(nCount - nDone));
        if (n < 0) {
            if (errno == EINTR) continue;
            return nDone > 0 ? nDone : -1;
        }
        if (n == 0) break;
        nDone += int32_t(n);
    }
    return nDone;
}

bool FileClose(FileHandle h) { return h >= 0 && ::close(int(h)) == 0; }

bool PathExists(const char* lpszPath) { return lpszPath && ::access(lpszPath, F_OK) == 0; }

bool CreateFolder(const char* lpszPath) { return lpszPath && ::mkdir(lpszPath, 0777) == 0; }

}  // namespace pf
