#include "PfFile.h"

#include <windows.h>

namespace pf {

FileHandle FileOpen(const char16_t* lpszPath, uint32_t uiAccess, uint32_t uiShare, FileDisposition eDisposition,
                    uint32_t uiAttributes) {
    DWORD dwAccess = 0;
    if (uiAccess & kFileRead) dwAccess |= GENERIC_READ;
    if (uiAccess & kFileWrite) dwAccess |= GENERIC_WRITE;
    DWORD dwShare = 0;
    if (uiShare & kShareRead) dwShare |= FILE_SHARE_READ;
    if (uiShare & kShareWrite) dwShare |= FILE_SHARE_WRITE;
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
    HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(lpszPath), dwAccess, dwShare, &sa, DWORD(eDisposition),
                           FILE_ATTRIBUTE_NORMAL | uiAttributes, nullptr);
    return h == INVALID_HANDLE_VALUE ? kInvalidFile : reinterpret_cast<FileHandle>(h);
}

int32_t FileRead(FileHandle h, void* lpBuf, int32_t nCount) {
    if (h == kInvalidFile || nCount < 0) return -1;
    DWORD dwRead = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(h), lpBuf, DWORD(nCount), &dwRead, nullptr)) return -1;
    return int32_t(dwRead);
}

int32_t FileWrite(FileHandle h, const void* lpBuf, int32_t nCount) {
    if (h == kInvalidFile || nCount < 0) return -1;
    DWORD dwWritten = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(h), lpBuf, DWORD(nCount), &dwWritten, nullptr)) return -1;
    return int32_t(dwWritten);
}

bool FileClose(FileHandle h) { return h != kInvalidFile && CloseHandle(reinterpret_cast<HANDLE>(h)); }

bool PathExists(const char* lpszPath) { return lpszPath && GetFileAttributesA(lpszPath) != INVALID_FILE_ATTRIBUTES; }

bool CreateFolder(const char* lpszPath) { return lpszPath && CreateDirectoryA(lpszPath, nullptr); }

}  // namespace pf
