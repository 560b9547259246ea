// Files with the meaning of Windows file handles (access, sharing, creation
// disposition, attributes), plus the two folder services the log writer and
// the INI reader need. Narrow paths are in the platform's narrow encoding
// (ANSI code page on Windows, UTF-8 elsewhere); wide paths are UTF-16.
#ifndef VX_PF_FILE_H
#define VX_PF_FILE_H

#include <cstdint>

namespace pf {

typedef intptr_t FileHandle;
constexpr FileHandle kInvalidFile = -1;

enum : uint32_t {
    kFileRead = 1,
    kFileWrite = 2,
};

// Sharing granted to other openers. POSIX has no mandatory sharing: there the
// mode is accepted and not enforced.
enum : uint32_t {
    kShareRead = 1,
    kShareWrite = 2,
};

enum FileDisposition : uint32_t {
    kCreateNew = 1,      // fails when the file exists
    kCreateAlways = 2,   // truncates an existing file
    kOpenExisting = 3,   // fails when the file is missing
    kOpenAlways = 4,     // creates a missing file
};

// Attributes given to a file that the open creates. POSIX honours only
// read-only (as mode 0444).
enum : uint32_t {
    kAttrReadOnly = 0x1,
    kAttrHidden = 0x2,
    kAttrArchive = 0x20,
};

// The handle is not inherited by child processes. kInvalidFile on failure.
FileHandle FileOpen(const char16_t* lpszPath, uint32_t uiAccess, uint32_t uiShare, FileDisposition eDisposition,
                    uint32_t uiAttributes);
// Bytes transferred (0 at end of file for a read), or -1.
int32_t FileRead(FileHandle h, void* lpBuf, int32_t nCount);
int32_t FileWrite(FileHandle h, const void* lpBuf, int32_t nCount);
bool FileClose(FileHandle h);

// Whether a file or folder of that name exists.
bool PathExists(const char* lpszPath);
// Creates one folder level (the parent must exist). False when it could not
// be created, including when it already exists.
bool CreateFolder(const char* lpszPath);

}  // namespace pf

#endif
