// An INI file (narrow text, or UTF-16LE with the FF FE mark) loaded into
// memory, with typed lookups by section and key. Names compare without
// regard to case. Repeated sections and keys all stay, numbered by
// occurrence from 1; lookups read the first occurrence. The lines before the
// first section are kept only as a header text.
//
// Narrow lines are taken as they are; UTF-16 lines are trimmed first. Keys
// are not trimmed around "=": the line "delay = 7" defines the key "delay "
// with the value " 7".
#ifndef TW_INIFILEEX_H
#define TW_INIFILEEX_H

#include <cstdint>

#include "TW_Map.h"
#include "TW_String.h"

// A name in a section or key table with its occurrence number.
struct IniKey {
    TW_WString strName;
    int32_t nOccurrence = 0;

    bool operator==(const IniKey& other) const {
        return nOccurrence == other.nOccurrence && strName.CompareNoCase(other.strName) == 0;
    }
};

// The lower-cased name, then "+" and the occurrence number when above 1,
// folded as h * 33 + unit.
uint32_t HashKey(const IniKey& key);

struct IniNode;
typedef TW_Map<IniKey, IniNode*> IniKeyTable;

// One line of the file from the first section on; the nodes form one chain
// in file order.
struct IniNode {
    enum Type { Other = 0, Section = 1, Key = 2, Blank = 3, Comment = 4 };

    Type m_type = Other;
    TW_WString m_strText;  // the line as read (trimmed for UTF-16 files)
    IniKey m_key;          // sections: the bracketed line; keys: the name
    TW_WString m_strValue;  // keys: text after the first "="; comments: the comment
    IniKeyTable* m_lpMapKey2Value = nullptr;  // sections only: the section's keys
    IniNode* m_lpSection = nullptr;           // keys, blanks, comments: their section
    IniNode* m_lpPrev = nullptr;
    IniNode* m_lpNext = nullptr;

    ~IniNode() { delete m_lpMapKey2Value; }
};

class TW_IniFileEx {
public:
    explicit TW_IniFileEx(int nSectionBuckets = 17, int nKeyBuckets = 17);
    virtual ~TW_IniFileEx();
    TW_IniFileEx(const TW_IniFileEx&) = delete;
    TW_IniFileEx& operator=(const TW_IniFileEx&) = delete;

    // Loads the file, replacing what was loaded before. A missing file is
    // created empty (with the UTF-16 mark when bCreateAsUnicode is set):
    // callers that only read check that it exists first. False when the
    // file cannot be opened or read.
    bool Load(const char16_t* lpszPath, bool bCreateAsUnicode);
    bool LoadA(const char* lpszPath, bool bCreateAsUnicode);

    // The value of the first occurrence of the key in the first occurrence
    // of the section, or lpszDefault. The section may be given with or
    // without brackets.
    TW_WString GetValue(const char16_t* lpszSection, const char16_t* lpszKey, const char16_t* lpszDefault) const;
    // True when the value found differs from the default.
    bool GetStringW(const char16_t* lpszSection, const char16_t* lpszKey, TW_WString& strValue,
                    const char16_t* lpszDefault) const;
    bool GetStringA(const char* lpszSection, const char* lpszKey, TW_String& strValue, const char* lpszDefault) const;
    // The leading decimal number of the value (0 when there is none,
    // clamped to the 32-bit range), or the default when the key is missing.
    int32_t GetIntW(const char16_t* lpszSection, const char16_t* lpszKey, int32_t nDefault) const;
    int32_t GetIntA(const char* lpszSection, const char* lpszKey, int32_t nDefault) const;
    // "1" is true and "0" false (white space around ignored); any other
    // value, or none, gives the default.
    bool GetBoolW(const char16_t* lpszSection, const char16_t* lpszKey, bool bDefault) const;
    bool GetBoolA(const char* lpszSection, const char* lpszKey, bool bDefault) const;

    bool IsUnicode() const { return m_bUnicode; }
    const TW_String& GetFileName() const { return m_strFileName; }
    // The lines before the first section: comment lines as they are, other
    // lines empty, each followed by "\r\n".
    const TW_String& GetHeader() const { return m_strHeader; }
    const IniNode* GetFirstNode() const { return m_lpFirstNode; }

private:
    void Clear();
    bool ParseAnsi(const char* lpData, int nLength);
    bool ParseUnicode(const unsigned char* lpData, int nLength);
    // Feeds the lines of text (line ends CR LF or LF) to ParseLine.
    bool ParseText(const TW_WString& strText, bool bTrim);
    bool ParseLine(const TW_WString& strLine, IniNode*& lpSection, IniNode*& lpLast);
    static int32_t NextOccurrence(const IniKeyTable& table, const TW_WString& strName);

    int m_nKeyBuckets;
    IniNode* m_lpFirstNode = nullptr;
    IniKeyTable m_mapSections;
    TW_String m_strFileName;
    bool m_bUnicode = false;
    TW_String m_strHeader;
    bool m_bSectionSeen = false;
};

#endif
