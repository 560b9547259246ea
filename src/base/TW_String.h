// Reference-counted, copy-on-write strings: TW_String holds narrow text (the
// platform's narrow encoding), TW_WString holds UTF-16 on every platform.
//
// A string is one pointer to its characters. In front of them lies a header
// of three 32-bit fields: reference count, length, capacity. A count of 1 or
// more is a shared buffer, kEmptyRefs marks the one static empty string of
// each class (never counted, never freed), and -1 marks a buffer locked for
// direct writing (copies of it get their own buffer). The characters always
// end with a NUL. An allocation failure leaves the string empty.
#ifndef TW_STRING_H
#define TW_STRING_H

#include <cstdarg>
#include <cstdint>
#include <type_traits>

#include "PfText.h"

template <class C>
class TW_StringT {
public:
    static_assert(std::is_same_v<C, char> || std::is_same_v<C, char16_t>);
    // The character type of the other width, converted on construction.
    typedef std::conditional_t<std::is_same_v<C, char>, char16_t, char> OtherChar;

    static constexpr int32_t kEmptyRefs = -10001;

    TW_StringT() noexcept : m_pchData(EmptyData()) {}
    TW_StringT(const TW_StringT& src);
    TW_StringT(TW_StringT&& src) noexcept : m_pchData(src.m_pchData) { src.m_pchData = EmptyData(); }
    TW_StringT(const C* psz);
    TW_StringT(const C* pch, int nLength);
    TW_StringT(const OtherChar* psz);
    TW_StringT(const OtherChar* pch, int nLength);
    ~TW_StringT() { Release(); }

    TW_StringT& operator=(const TW_StringT& src);
    TW_StringT& operator=(TW_StringT&& src) noexcept;
    TW_StringT& operator=(const C* psz);
    TW_StringT& operator=(const OtherChar* psz);

    int GetLength() const { return GetData()->nDataLength; }
    bool IsEmpty() const { return GetLength() == 0; }
    void Empty();
    // Out-of-range indexes read as NUL.
    C GetAt(int i) const { return i >= 0 && i < GetLength() ? m_pchData[i] : C(0); }
    C operator[](int i) const { return GetAt(i); }
    void SetAt(int i, C ch);
    const C* GetString() const { return m_pchData; }
    operator const C*() const { return m_pchData; }

    // Counts and starts are clamped to the string, so they never fail.
    TW_StringT Left(int nCount) const;
    TW_StringT Right(int nCount) const;
    TW_StringT Mid(int nFirst) const;
    TW_StringT Mid(int nFirst, int nCount) const;

    // Index of the first match at or after nStart, or -1.
    int Find(C ch, int nStart = 0) const;
    int Find(const C* pszSub, int nStart = 0) const;
    int ReverseFind(C ch) const;

    // White space: ASCII for narrow text, Unicode spaces for wide text.
    TW_StringT& TrimLeft();
    TW_StringT& TrimRight();
    TW_StringT& Trim() { return TrimRight().TrimLeft(); }
    TW_StringT& MakeLower();

    TW_StringT& Append(const TW_StringT& str) { return Append(str.m_pchData, str.GetLength()); }
    TW_StringT& Append(const C* psz);
    TW_StringT& Append(const C* pch, int nLength);
    TW_StringT& AppendChar(C ch) { return Append(&ch, 1); }
    TW_StringT& operator+=(const TW_StringT& str) { return Append(str); }
    TW_StringT& operator+=(const C* psz) { return Append(psz); }
    TW_StringT& operator+=(C ch) { return AppendChar(ch); }

    // Ordinal comparison of code units: <0, 0, >0. A null text is empty.
    int Compare(const C* psz) const;
    int CompareNoCase(const C* psz) const;

    // printf-style; the result is never cut short. False (and the string
    // unchanged) when the format cannot be expanded or memory runs out.
    // Narrow strings only: "%s" means different things to the wide printf
    // of each platform, so a wide string always answers false.
    PF_PRINTF_FORMAT(2, 3) bool Format(const char* lpszFormat, ...);
    bool FormatV(const char* lpszFormat, va_list args);

    // Direct writing: GetBuffer gives a private buffer of at least nMinLength
    // characters (plus the NUL); ReleaseBuffer sets the length (-1: up to the
    // first NUL). Returns null when memory runs out.
    C* GetBuffer(int nMinLength);
    void ReleaseBuffer(int nNewLength = -1);
    // Like GetBuffer(0), and copies of the string stop sharing until unlocked.
    C* LockBuffer();
    void UnlockBuffer();

    // The static empty string of this class (for tests and assertions).
    static const C* EmptyString() { return EmptyData(); }

private:
    struct Data {
        int32_t nRefs;
        int32_t nDataLength;
        int32_t nAllocLength;
        C* Chars() { return reinterpret_cast<C*>(this + 1); }
    };
    static_assert(sizeof(Data) == 12);

    Data* GetData() const { return reinterpret_cast<Data*>(m_pchData) - 1; }
    static C* EmptyData();
    static bool IsPrivate(Data* p);
    static Data* AllocData(int nLength);
    void Release();
    void AssignCopy(const C* pch, int nLength);
    void AssignConverted(const OtherChar* pch, int nLength);
    void ShareFrom(const TW_StringT& src);
    // Makes the buffer private and at least nLength characters long, keeping
    // the content; false (string unchanged) when memory runs out.
    bool PrepareWrite(int nLength);

    C* m_pchData;
};

typedef TW_StringT<char> TW_String;
typedef TW_StringT<char16_t> TW_WString;

template <class C>
TW_StringT<C> operator+(const TW_StringT<C>& a, const TW_StringT<C>& b) {
    TW_StringT<C> r(a);
    return r += b;
}
template <class C>
TW_StringT<C> operator+(const TW_StringT<C>& a, const C* b) {
    TW_StringT<C> r(a);
    return r += b;
}
template <class C>
TW_StringT<C> operator+(const C* a, const TW_StringT<C>& b) {
    TW_StringT<C> r(a);
    return r += b;
}
template <class C>
TW_StringT<C> operator+(const TW_StringT<C>& a, C ch) {
    TW_StringT<C> r(a);
    return r += ch;
}

template <class C>
bool operator==(const TW_StringT<C>& a, const TW_StringT<C>& b) {
    return a.GetLength() == b.GetLength() && a.Compare(b) == 0;
}
template <class C>
bool operator==(const TW_StringT<C>& a, const C* b) {
    return a.Compare(b) == 0;
}
template <class C>
bool operator<(const TW_StringT<C>& a, const TW_StringT<C>& b) {
    return a.Compare(b) < 0;
}

extern template class TW_StringT<char>;
extern template class TW_StringT<char16_t>;

#endif
