#include "TW_IniFileEx.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "PfFile.h"
#include "TW_Assert.h"

namespace {

// Configuration files are small; anything beyond this is not one of ours.
constexpr long kMaxFileBytes = 64L << 20;

// The value the integer and boolean lookups use to detect a miss.
const char16_t kMissing[] = u"error";

bool IsLineEndOrNul(char16_t c) { return c == u'\r' || c == u'\n' || c == 0; }

bool IsCommentLine(const TW_WString& strLine) {
    return strLine.GetAt(0) == u';' || (strLine.GetAt(0) == u'=' && strLine.GetAt(1) == u';');
}

bool IsSectionLine(const TW_WString& strLine) {
    int n = strLine.GetLength();
    return n >= 2 && strLine.GetAt(0) == u'[' && strLine.GetAt(n - 1) == u']';
}

// The leading decimal number, as the C library's wide-to-long reads it:
// white space, an optional sign, digits; 0 when there are none.
int32_t LeadingInt(TW_WString strValue) {
    strValue.TrimLeft();
    int i = 0;
    bool bNegative = false;
    if (strValue.GetAt(0) == u'-' || strValue.GetAt(0) == u'+') {
        bNegative = strValue.GetAt(0) == u'-';
        i = 1;
    }
    int64_t n = 0;
    for (char16_t c = strValue.GetAt(i); c >= u'0' && c <= u'9'; c = strValue.GetAt(++i)) {
        n = n * 10 + (c - u'0');
        if (n > int64_t(INT32_MAX) + 1) n = int64_t(INT32_MAX) + 1;  // saturate, keep reading
    }
    if (bNegative) n = -n;
    if (n > INT32_MAX) return INT32_MAX;
    if (n < INT32_MIN) return INT32_MIN;
    return int32_t(n);
}

}  // namespace

uint32_t HashKey(const IniKey& key) {
    TW_WString strName(key.strName);
    strName.MakeLower();
    uint32_t h = 0;
    for (int i = 0; i < strName.GetLength(); ++i) h = h * 33 + strName.GetAt(i);
    if (key.nOccurrence > 1) {
        char szNumber[16];
        std::snprintf(szNumber, sizeof szNumber, "+%d", int(key.nOccurrence));
        for (const char* p = szNumber; *p; ++p) h = h * 33 + uint8_t(*p);
    }
    return h;
}

TW_IniFileEx::TW_IniFileEx(int nSectionBuckets, int nKeyBuckets)
    : m_nKeyBuckets(TW_CHECK(nKeyBuckets > 0) ? nKeyBuckets : 17), m_mapSections(10) {
    m_mapSections.InitHashTable(TW_CHECK(nSectionBuckets > 0) ? uint32_t(nSectionBuckets) : 17u, false);
}

TW_IniFileEx::~TW_IniFileEx() { Clear(); }

void TW_IniFileEx::Clear() {
    m_mapSections.RemoveAll();
    for (IniNode* p = m_lpFirstNode; p;) {
        IniNode* lpNext = p->m_lpNext;
        delete p;
        p = lpNext;
    }
    m_lpFirstNode = nullptr;
    m_strHeader.Empty();
    m_bUnicode = false;
    m_bSectionSeen = false;
}

bool TW_IniFileEx::Load(const char16_t* lpszPath, bool bCreateAsUnicode) {
    return LoadA(TW_String(lpszPath), bCreateAsUnicode);
}

bool TW_IniFileEx::LoadA(const char* lpszPath, bool bCreateAsUnicode) {
    Clear();
    m_strFileName = lpszPath;
    if (m_strFileName.IsEmpty()) return false;
    bool bExisted = pf::PathExists(m_strFileName);
    std::FILE* fp = std::fopen(m_strFileName, "ab+");
    if (!fp) return false;
    if (!bExisted && bCreateAsUnicode) {
        m_bUnicode = true;
        std::fwrite("\xFF\xFE", 1, 2, fp);
        std::fflush(fp);
    }
    long nSize = std::fseek(fp, 0, SEEK_END) == 0 ? std::ftell(fp) : -1;
    if (nSize < 0 || nSize > kMaxFileBytes) {
        std::fclose(fp);
        return false;
    }
    if (nSize < (bCreateAsUnicode ? 5 : 3)) {
        std::fclose(fp);
        return true;
    }
    unsigned char* lpData = static_cast<unsigned char*>(std::malloc(size_t(nSize)));
    size_t nRead = 0;
    if (lpData && std::fseek(fp, 0, SEEK_SET) == 0) nRead = std::fread(lpData, 1, size_t(nSize), fp);
    std::fclose(fp);
    bool bOk = false;
    if (lpData && nRead >= 2 && lpData[0] == 0xFF && lpData[1] == 0xFE) {
        m_bUnicode = true;
        bOk = ParseUnicode(lpData + 2, int(nRead) - 2);
    } else if (lpData && nRead >= 3 && lpData[0] == 0xEF && lpData[1] == 0xBB && lpData[2] == 0xBF) {
        // A UTF-8 mark (editors add it) is no text: left in, it would hide
        // the first section line.
        bOk = ParseAnsi(reinterpret_cast<const char*>(lpData) + 3, int(nRead) - 3);
    } else if (lpData && nRead > 0) {
        bOk = ParseAnsi(reinterpret_cast<const char*>(lpData), int(nRead));
    }
    std::free(lpData);
    return bOk;
}

bool TW_IniFileEx::ParseAnsi(const char* lpData, int nLength) {
    while (nLength > 0 && IsLineEndOrNul(char16_t(uint8_t(lpData[nLength - 1])))) --nLength;
    TW_WString strText(lpData, nLength);
    if (nLength > 0 && strText.IsEmpty()) return false;  // out of memory
    return ParseText(strText, false);
}

bool TW_IniFileEx::ParseUnicode(const unsigned char* lpData, int nLength) {
    int nUnits = nLength / 2;
    TW_WString strText;
    char16_t* p = strText.GetBuffer(nUnits);
    if (!p) return false;
    for (int i = 0; i < nUnits; ++i) p[i] = char16_t(lpData[2 * i] | (lpData[2 * i + 1] << 8));
    while (nUnits > 0 && IsLineEndOrNul(p[nUnits - 1])) --nUnits;
    strText.ReleaseBuffer(nUnits);
    return ParseText(strText, true);
}

bool TW_IniFileEx::ParseText(const TW_WString& strText, bool bTrim) {
    IniNode* lpSection = nullptr;
    IniNode* lpLast = nullptr;
    // Every line ends with CR LF, or with LF alone as files written on POSIX
    // systems do; the last line needs no line end.
    int nLength = strText.GetLength();
    for (int nStart = 0; nStart <= nLength;) {
        int nEnd = strText.Find(u'\n', nStart);
        if (nEnd < 0) nEnd = nLength;
        int nLineEnd = nEnd > nStart && strText.GetAt(nEnd - 1) == u'\r' ? nEnd - 1 : nEnd;
        TW_WString strLine = strText.Mid(nStart, nLineEnd - nStart);
        if (bTrim) strLine.Trim();
        if (!ParseLine(strLine, lpSection, lpLast)) return false;
        nStart = nEnd + 1;
    }
    return true;
}

int32_t TW_IniFileEx::NextOccurrence(const IniKeyTable& table, const TW_WString& strName) {
    IniKey key{strName, 1};
    IniNode* lpFound;
    while (table.Lookup(key, lpFound)) ++key.nOccurrence;
    return key.nOccurrence;
}

bool TW_IniFileEx::ParseLine(const TW_WString& strLine, IniNode*& lpSection, IniNode*& lpLast) {
    if (!m_bSectionSeen) {
        if (!IsSectionLine(strLine)) {
            if (IsCommentLine(strLine)) m_strHeader += TW_String(strLine);
            m_strHeader += "\r\n";
            return true;
        }
        m_bSectionSeen = true;
    }

    IniNode* lpNode = new (std::nothrow) IniNode;
    if (!lpNode) return false;
    lpNode->m_strText = strLine;
    int nEqual = strLine.Find(u'=');
    if (nEqual >= 1 && strLine.GetAt(0) != u';' && lpSection) {
        // A key line before any section (only "[a=b]" can be the first
        // section-looking line and still be a key) stays an Other line.
        TW_ASSERT(lpSection->m_type == IniNode::Section && lpSection->m_lpMapKey2Value);
        lpNode->m_type = IniNode::Key;
        lpNode->m_lpSection = lpSection;
        lpNode->m_key.strName = strLine.Left(nEqual);
        lpNode->m_strValue = strLine.Mid(nEqual + 1);
        lpNode->m_key.nOccurrence = NextOccurrence(*lpSection->m_lpMapKey2Value, lpNode->m_key.strName);
        (*lpSection->m_lpMapKey2Value)[lpNode->m_key] = lpNode;
    } else if (nEqual >= 1 && strLine.GetAt(0) != u';') {
        lpNode->m_type = IniNode::Other;
    } else if (IsSectionLine(strLine)) {
        lpNode->m_lpMapKey2Value = new (std::nothrow) IniKeyTable(10);
        if (!lpNode->m_lpMapKey2Value) {
            delete lpNode;
            return false;
        }
        lpNode->m_lpMapKey2Value->InitHashTable(uint32_t(m_nKeyBuckets), false);
        lpNode->m_type = IniNode::Section;
        lpNode->m_strValue = strLine;
        lpNode->m_key.strName = strLine;
        lpNode->m_key.nOccurrence = NextOccurrence(m_mapSections, strLine);
        m_mapSections[lpNode->m_key] = lpNode;
        lpSection = lpNode;
    } else if (IsCommentLine(strLine)) {
        lpNode->m_type = IniNode::Comment;
        lpNode->m_strText = strLine.GetAt(0) == u';' ? strLine : strLine.Mid(1);
        lpNode->m_strValue = lpNode->m_strText;
        lpNode->m_lpSection = lpSection;
        if (lpSection) {
            lpNode->m_key.strName = lpNode->m_strText;
            lpNode->m_key.nOccurrence = NextOccurrence(*lpSection->m_lpMapKey2Value, lpNode->m_strText);
            (*lpSection->m_lpMapKey2Value)[lpNode->m_key] = lpNode;
        }
    } else if (strLine.IsEmpty() || strLine == u"=") {
        lpNode->m_type = IniNode::Blank;
        lpNode->m_lpSection = lpSection;
    } else {
        lpNode->m_type = IniNode::Other;
    }
    TW_ASSERT((lpNode->m_type == IniNode::Section) == (lpNode->m_lpMapKey2Value != nullptr));

    lpNode->m_lpPrev = lpLast;
    if (lpLast)
        lpLast->m_lpNext = lpNode;
    else
        m_lpFirstNode = lpNode;
    lpLast = lpNode;
    return true;
}

TW_WString TW_IniFileEx::GetValue(const char16_t* lpszSection, const char16_t* lpszKey,
                                  const char16_t* lpszDefault) const {
    TW_WString strSection(lpszSection), strKey(lpszKey);
    if (strSection.IsEmpty() || strSection.Find(u'=') >= 0 || strKey.IsEmpty() || strKey.Find(u'=') >= 0)
        return TW_WString(lpszDefault);
    if (strSection.GetAt(0) != u'[') strSection = u"[" + strSection;
    if (strSection.GetAt(strSection.GetLength() - 1) != u']') strSection += u']';
    IniNode* lpSection;
    IniNode* lpKey;
    // Comments share the key table; only key lines have values to give.
    if (m_mapSections.Lookup(IniKey{strSection, 1}, lpSection) &&
        lpSection->m_lpMapKey2Value->Lookup(IniKey{strKey, 1}, lpKey) && lpKey->m_type == IniNode::Key)
        return lpKey->m_strValue;
    return TW_WString(lpszDefault);
}

bool TW_IniFileEx::GetStringW(const char16_t* lpszSection, const char16_t* lpszKey, TW_WString& strValue,
                              const char16_t* lpszDefault) const {
    strValue = GetValue(lpszSection, lpszKey, lpszDefault);
    return strValue.Compare(lpszDefault) != 0;
}

bool TW_IniFileEx::GetStringA(const char* lpszSection, const char* lpszKey, TW_String& strValue,
                              const char* lpszDefault) const {
    TW_WString strDefault(lpszDefault), strWide;
    bool bFound = GetStringW(TW_WString(lpszSection), TW_WString(lpszKey), strWide, strDefault);
    strValue = strWide.GetString();
    return bFound;
}

int32_t TW_IniFileEx::GetIntW(const char16_t* lpszSection, const char16_t* lpszKey, int32_t nDefault) const {
    TW_WString strValue = GetValue(lpszSection, lpszKey, kMissing);
    return strValue == kMissing ? nDefault : LeadingInt(strValue);
}

int32_t TW_IniFileEx::GetIntA(const char* lpszSection, const char* lpszKey, int32_t nDefault) const {
    return GetIntW(TW_WString(lpszSection), TW_WString(lpszKey), nDefault);
}

bool TW_IniFileEx::GetBoolW(const char16_t* lpszSection, const char16_t* lpszKey, bool bDefault) const {
    TW_WString strValue = GetValue(lpszSection, lpszKey, kMissing);
    if (strValue == kMissing) return bDefault;
    strValue.Trim();
    if (strValue == u"1") return true;
    if (strValue == u"0") return false;
    return bDefault;
}

bool TW_IniFileEx::GetBoolA(const char* lpszSection, const char* lpszKey, bool bDefault) const {
    return GetBoolW(TW_WString(lpszSection), TW_WString(lpszKey), bDefault);
}
