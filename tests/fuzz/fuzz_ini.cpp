// The INI reader against arbitrary file bytes (narrow text, or UTF-16LE after
// the FF FE mark), then every typed lookup on the sections and keys the file
// defines. The first occurrence of a key in the first occurrence of its
// section must be found with its value by the wide lookups, and the narrow
// lookups must agree with the wide ones; comments never give a value.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "TW_IniFileEx.h"

namespace {

// The reader takes a path: the input goes through one file per process.
std::string g_strPath;

void Require(bool b) {
    if (!b) std::abort();
}

// Lookups of one name pair; the checks apply when lpKey is that pair's first
// occurrence (every section/key line is looked up, found or not).
void Lookup(const TW_IniFileEx& ini, const IniNode* lpSection, const IniNode* lpKey) {
    const TW_WString &strSection = lpSection->m_key.strName, &strKey = lpKey->m_key.strName;
    bool bFirst = lpSection->m_key.nOccurrence == 1 && lpKey->m_key.nOccurrence == 1 && strSection.Find(u'\0') < 0 &&
                  strKey.Find(u'\0') < 0;
    TW_WString strValue;
    ini.GetStringW(strSection, strKey, strValue, u"\x1Fmissing");
    int32_t nInt = ini.GetIntW(strSection, strKey, -7);
    bool bBool = ini.GetBoolW(strSection, strKey, true);
    // Without the brackets: exercised only, since "[a]]" loses one.
    ini.GetIntW(strSection.Mid(1, strSection.GetLength() - 2), strKey, 0);
    if (bFirst && lpKey->m_type == IniNode::Key)
        Require(strValue == lpKey->m_strValue && nInt == ini.GetIntW(strSection, strKey, 9) &&
                bBool == ini.GetBoolW(strSection, strKey, true));
    else if (bFirst && lpKey->m_type == IniNode::Comment)
        Require(strValue == u"\x1Fmissing" && nInt == -7 && bBool);

    // The narrow lookups, where both names convert back to the same wide names.
    TW_String strNarrowSection(strSection), strNarrowKey(strKey), strNarrowValue;
    if (TW_WString(strNarrowSection) != strSection || TW_WString(strNarrowKey) != strKey) return;
    ini.GetStringA(strNarrowSection, strNarrowKey, strNarrowValue, "\x1Fmissing");
    int32_t nIntA = ini.GetIntA(strNarrowSection, strNarrowKey, -7);
    bool bBoolA = ini.GetBoolA(strNarrowSection, strNarrowKey, true);
    Require(!bFirst || (strNarrowValue == TW_String(strValue.GetString()) && nIntA == nInt && bBoolA == bBool));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_strPath = "/tmp/fuzz_ini." + std::to_string(getpid()) + ".ini";
    std::atexit([] { std::remove(g_strPath.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::FILE* fp = std::fopen(g_strPath.c_str(), "wb");
    Require(fp && std::fwrite(data, 1, size, fp) == size && std::fclose(fp) == 0);

    TW_IniFileEx ini;
    bool bMarked = size >= 2 && data[0] == 0xFF && data[1] == 0xFE;
    if (!ini.LoadA(g_strPath.c_str(), bMarked)) return 0;
    // Files too short to hold a line are taken as empty.
    Require(ini.IsUnicode() == (bMarked && size >= 5));

    // Sections, and the keys and comments of a section; bounded so that a
    // file of many lines stays fast.
    int nLookups = 0;
    for (const IniNode* p = ini.GetFirstNode(); p && nLookups < 500; p = p->m_lpNext) {
        bool bEntry = p->m_type == IniNode::Key || p->m_type == IniNode::Comment;
        if (p->m_type == IniNode::Section || (bEntry && p->m_lpSection))
            Lookup(ini, bEntry ? p->m_lpSection : p, p), ++nLookups;
    }
    return 0;
}
