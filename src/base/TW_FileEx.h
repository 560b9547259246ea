// A thin wrapper over a platform file handle, opened with Windows-style
// flags: access, sharing, creation disposition and attributes in one word.
#ifndef TW_FILEEX_H
#define TW_FILEEX_H

#include <cstdint>

#include "PfFile.h"
#include "TW_String.h"

// What the record writer and reader need of a file.
class IFile {
public:
    virtual int32_t Read(void* lpBuf, int32_t nCount) = 0;
    virtual int32_t Write(const void* lpBuf, int32_t nCount) = 0;

protected:
    ~IFile() = default;
};

class TW_FileEx : public IFile {
public:
    // Access (bits 0x3): 0 is invalid.
    static constexpr uint32_t kRead = 0x1;
    static constexpr uint32_t kWrite = 0x2;
    // Sharing: by default other openers may read and write.
    static constexpr uint32_t kShareWriteOnly = 0x10;  // others may write, not read
    static constexpr uint32_t kNoShareWrite = 0x20;    // others may not write
    // Creation (bits 0xF00): 0 means kOpenExisting.
    static constexpr uint32_t kCreationMask = 0xF00;
    static constexpr uint32_t kOpenExisting = 0x100;
    static constexpr uint32_t kOpenAlways = 0x200;
    static constexpr uint32_t kCreateAlways = 0x300;
    static constexpr uint32_t kCreateNew = 0x400;
    // Attributes of a file the open creates.
    static constexpr uint32_t kAttrReadOnly = 0x1000;
    static constexpr uint32_t kAttrHidden = 0x2000;
    static constexpr uint32_t kAttrArchive = 0x4000;

    TW_FileEx() = default;
    // Closes a handle its owner left open, so none is leaked.
    virtual ~TW_FileEx();
    TW_FileEx(const TW_FileEx&) = delete;
    TW_FileEx& operator=(const TW_FileEx&) = delete;

    // False for an empty path, invalid flags or a failing open. A file that
    // is already open is closed first.
    bool Open(const TW_WString& strPath, uint32_t uiFlags);
    bool Open(const char* lpszPath, uint32_t uiFlags) { return Open(TW_WString(lpszPath), uiFlags); }

    // Bytes read (0 at end of file), or -1 for a null buffer, a count below
    // 1 or a failing read.
    int32_t Read(void* lpBuf, int32_t nCount) override;
    // Bytes written; 0 for a count of 0; -1 for a negative count, no open
    // file, a null buffer or a failing write.
    int32_t Write(const void* lpBuf, int32_t nCount) override;
    // False when no file is open.
    bool Close();

    bool IsOpen() const { return m_hFile != pf::kInvalidFile; }
    const TW_WString& GetFileName() const { return m_strFileName; }

private:
    TW_WString m_strFileName;
    pf::FileHandle m_hFile = pf::kInvalidFile;
};

#endif
