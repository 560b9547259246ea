#include "TW_FileEx.h"

#include "TW_Assert.h"

TW_FileEx::~TW_FileEx() {
    if (IsOpen()) Close();
}

bool TW_FileEx::Open(const TW_WString& strPath, uint32_t uiFlags) {
    if (strPath.IsEmpty()) return false;
    uint32_t uiAccess = uiFlags & (kRead | kWrite);
    uint32_t uiCreation = uiFlags & kCreationMask;
    if (uiCreation == 0) uiCreation = kOpenExisting;
    if (uiAccess == 0 || uiCreation < kOpenExisting || uiCreation > kCreateNew) return false;

    uint32_t uiShare = pf::kShareRead | pf::kShareWrite;
    if (uiFlags & kShareWriteOnly) uiShare &= ~pf::kShareRead;
    if (uiFlags & kNoShareWrite) uiShare &= ~pf::kShareWrite;

    pf::FileDisposition eDisposition = pf::kOpenExisting;
    switch (uiCreation) {
        case kOpenAlways: eDisposition = pf::kOpenAlways; break;
        case kCreateAlways: eDisposition = pf::kCreateAlways; break;
        case kCreateNew: eDisposition = pf::kCreateNew; break;
        default: break;
    }
    uint32_t uiAttributes = 0;
    if (uiFlags & kAttrReadOnly) uiAttributes |= pf::kAttrReadOnly;
    if (uiFlags & kAttrHidden) uiAttributes |= pf::kAttrHidden;
    if (uiFlags & kAttrArchive) uiAttributes |= pf::kAttrArchive;

    if (IsOpen()) Close();
    m_strFileName = strPath;
    pf::FileHandle h = pf::FileOpen(strPath.GetString(), uiAccess, uiShare, eDisposition, uiAttributes);
    if (h == pf::kInvalidFile) return false;
    m_hFile = h;
    return true;
}

int32_t TW_FileEx::Read(void* lpBuf, int32_t nCount) {
    if (!lpBuf || nCount < 1 || !IsOpen()) return -1;
    return pf::FileRead(m_hFile, lpBuf, nCount);
}

int32_t TW_FileEx::Write(const void* lpBuf, int32_t nCount) {
    if (!TW_CHECK(IsOpen() && lpBuf != nullptr)) return -1;
    if (nCount == 0) return 0;
    if (nCount < 0) return -1;
    return pf::FileWrite(m_hFile, lpBuf, nCount);
}

bool TW_FileEx::Close() {
    if (!IsOpen()) return false;
    pf::FileClose(m_hFile);
    m_hFile = pf::kInvalidFile;
    return true;
}
