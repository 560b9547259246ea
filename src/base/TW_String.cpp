#include "TW_String.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "TW_Assert.h"

namespace {

// Longest string that fits the 32-bit length field and the allocation.
template <class C>
constexpr int64_t kMaxLength = (int64_t(INT32_MAX) - 16) / int64_t(sizeof(C)) - 1;

template <class C>
int TextLength(const C* psz) {
    if (!psz) return 0;
    int64_t n = 0;
    while (psz[n]) ++n;
    return n > kMaxLength<C> ? -1 : int(n);
}

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The characters iswspace accepts in UTF-16 text: ASCII white space, NEL,
// NO-BREAK SPACE and the Unicode space separators.
bool IsSpace(char16_t c) {
    if (c < 0x80) return c == ' ' || (c >= '\t' && c <= '\r');
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

char ToLower(char c) { return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c; }

char16_t ToLower(char16_t c) {
    if (c < 0x80) return c >= 'A' && c <= 'Z' ? char16_t(c + ('a' - 'A')) : c;
    pf::LowerInPlace(&c, 1);
    return c;
}

void LowerInPlace(char* p, int n) {
    for (int i = 0; i < n; ++i) p[i] = ToLower(p[i]);
}
void LowerInPlace(char16_t* p, int n) { pf::LowerInPlace(p, n); }

int ConvertLength(const char* pch, int n) { return pf::NarrowToWide(pch, n, nullptr, 0); }
int ConvertLength(const char16_t* pch, int n) { return pf::WideToNarrow(pch, n, nullptr, 0); }
int Convert(const char* pch, int n, char16_t* out, int cap) { return pf::NarrowToWide(pch, n, out, cap); }
int Convert(const char16_t* pch, int n, char* out, int cap) { return pf::WideToNarrow(pch, n, out, cap); }

// Copies held by other threads change the count concurrently: every access
// to it is atomic.
std::atomic_ref<int32_t> Refs(int32_t& n) { return std::atomic_ref<int32_t>(n); }
int32_t LoadRefs(int32_t& n) { return Refs(n).load(std::memory_order_acquire); }

}  // namespace

template <class C>
bool TW_StringT<C>::IsPrivate(Data* p) {
    // Owned by this object alone: a single reference, or locked.
    int32_t nRefs = LoadRefs(p->nRefs);
    return nRefs == 1 || (nRefs < 0 && nRefs != kEmptyRefs);
}

template <class C>
C* TW_StringT<C>::EmptyData() {
    // Header (kEmptyRefs, 0, 0) followed by a NUL of either width. Writable,
    // so a caller storing the terminator into GetBuffer(0) harms nothing.
    alignas(4) static int32_t s_empty[4] = {kEmptyRefs, 0, 0, 0};
    return reinterpret_cast<C*>(&s_empty[3]);
}

template <class C>
typename TW_StringT<C>::Data* TW_StringT<C>::AllocData(int nLength) {
    if (nLength < 0 || nLength > kMaxLength<C>) return nullptr;
    Data* p = static_cast<Data*>(std::malloc(sizeof(Data) + (size_t(nLength) + 1) * sizeof(C)));
    if (!p) return nullptr;
    p->nRefs = 1;
    p->nDataLength = nLength;
    p->nAllocLength = nLength;
    p->Chars()[nLength] = C(0);
    return p;
}

template <class C>
void TW_StringT<C>::Release() {
    Data* p = GetData();
    int32_t nRefs = LoadRefs(p->nRefs);
    if (nRefs == kEmptyRefs) return;
    // A locked buffer (negative count) is never shared: it goes at once.
    if (nRefs < 0 || Refs(p->nRefs).fetch_sub(1, std::memory_order_acq_rel) <= 1) std::free(p);
    m_pchData = EmptyData();
}

template <class C>
void TW_StringT<C>::ShareFrom(const TW_StringT& src) {
    Data* p = src.GetData();
    int32_t nRefs = LoadRefs(p->nRefs);
    if (nRefs == kEmptyRefs) {
        m_pchData = EmptyData();
    } else if (nRefs < 0) {
        m_pchData = EmptyData();
        AssignCopy(src.m_pchData, p->nDataLength);
    } else {
        Refs(p->nRefs).fetch_add(1, std::memory_order_relaxed);
        m_pchData = src.m_pchData;
    }
}

template <class C>
void TW_StringT<C>::AssignCopy(const C* pch, int nLength) {
    // The source may lie inside this string's own buffer: copy before release.
    Data* p = nLength > 0 ? AllocData(nLength) : nullptr;
    if (p) std::memcpy(p->Chars(), pch, size_t(nLength) * sizeof(C));
    Release();
    if (p) m_pchData = p->Chars();
}

template <class C>
void TW_StringT<C>::AssignConverted(const OtherChar* pch, int nLength) {
    int nOut = nLength > 0 ? ConvertLength(pch, nLength) : 0;
    Data* p = nOut > 0 ? AllocData(nOut) : nullptr;
    if (p) {
        p->nDataLength = Convert(pch, nLength, p->Chars(), nOut);
        p->Chars()[p->nDataLength] = C(0);
    }
    Release();
    if (p) m_pchData = p->Chars();
}

template <class C>
bool TW_StringT<C>::PrepareWrite(int nLength) {
    Data* p = GetData();
    if (IsPrivate(p) && p->nAllocLength >= nLength) return true;
    Data* q = AllocData(nLength);
    if (!q) return false;
    int nKeep = p->nDataLength < nLength ? p->nDataLength : nLength;
    std::memcpy(q->Chars(), m_pchData, size_t(nKeep) * sizeof(C));
    q->nDataLength = nKeep;
    q->Chars()[nKeep] = C(0);
    Release();
    m_pchData = q->Chars();
    return true;
}

template <class C>
TW_StringT<C>::TW_StringT(const TW_StringT& src) : m_pchData(EmptyData()) {
    ShareFrom(src);
}

template <class C>
TW_StringT<C>::TW_StringT(const C* psz) : m_pchData(EmptyData()) {
    AssignCopy(psz, TextLength(psz));
}

template <class C>
TW_StringT<C>::TW_StringT(const C* pch, int nLength) : m_pchData(EmptyData()) {
    if (pch) AssignCopy(pch, nLength);
}

template <class C>
TW_StringT<C>::TW_StringT(const OtherChar* psz) : m_pchData(EmptyData()) {
    AssignConverted(psz, TextLength(psz));
}

template <class C>
TW_StringT<C>::TW_StringT(const OtherChar* pch, int nLength) : m_pchData(EmptyData()) {
    if (pch) AssignConverted(pch, nLength);
}

template <class C>
TW_StringT<C>& TW_StringT<C>::operator=(const TW_StringT& src) {
    if (m_pchData != src.m_pchData) {
        TW_StringT tmp(src);
        Release();
        m_pchData = tmp.m_pchData;
        tmp.m_pchData = EmptyData();
    }
    return *this;
}

template <class C>
TW_StringT<C>& TW_StringT<C>::operator=(TW_StringT&& src) noexcept {
    if (this != &src) {
        Release();
        m_pchData = src.m_pchData;
        src.m_pchData = EmptyData();
    }
    return *this;
}

template <class C>
TW_StringT<C>& TW_StringT<C>::operator=(const C* psz) {
    AssignCopy(psz, TextLength(psz));
    return *this;
}

template <class C>
TW_StringT<C>& TW_StringT<C>::operator=(const OtherChar* psz) {
    AssignConverted(psz, TextLength(psz));
    return *this;
}

template <class C>
void TW_StringT<C>::Empty() {
    Release();
}

template <class C>
void TW_StringT<C>::SetAt(int i, C ch) {
    if (i < 0 || i >= GetLength() || !PrepareWrite(GetLength())) return;
    m_pchData[i] = ch;
}

template <class C>
TW_StringT<C> TW_StringT<C>::Left(int nCount) const {
    return Mid(0, nCount);
}

template <class C>
TW_StringT<C> TW_StringT<C>::Right(int nCount) const {
    int nLen = GetLength();
    if (nCount < 0) nCount = 0;
    if (nCount >= nLen) return *this;
    return TW_StringT(m_pchData + nLen - nCount, nCount);
}

template <class C>
TW_StringT<C> TW_StringT<C>::Mid(int nFirst) const {
    return Mid(nFirst, GetLength());
}

template <class C>
TW_StringT<C> TW_StringT<C>::Mid(int nFirst, int nCount) const {
    int nLen = GetLength();
    if (nFirst < 0) nFirst = 0;
    if (nFirst > nLen) nFirst = nLen;
    if (nCount < 0) nCount = 0;
    if (nCount > nLen - nFirst) nCount = nLen - nFirst;
    if (nFirst == 0 && nCount == nLen) return *this;
    return TW_StringT(m_pchData + nFirst, nCount);
}

template <class C>
int TW_StringT<C>::Find(C ch, int nStart) const {
    int nLen = GetLength();
    for (int i = nStart < 0 ? 0 : nStart; i < nLen; ++i)
        if (m_pchData[i] == ch) return i;
    return -1;
}

template <class C>
int TW_StringT<C>::Find(const C* pszSub, int nStart) const {
    int nLen = GetLength();
    int nSub = TextLength(pszSub);
    if (nStart < 0) nStart = 0;
    if (nSub < 0 || nStart > nLen) return -1;
    for (int i = nStart; i + nSub <= nLen; ++i)
        if (std::memcmp(m_pchData + i, pszSub, size_t(nSub) * sizeof(C)) == 0) return i;
    return -1;
}

template <class C>
int TW_StringT<C>::ReverseFind(C ch) const {
    for (int i = GetLength() - 1; i >= 0; --i)
        if (m_pchData[i] == ch) return i;
    return -1;
}

template <class C>
TW_StringT<C>& TW_StringT<C>::TrimLeft() {
    int nLen = GetLength();
    int i = 0;
    while (i < nLen && IsSpace(m_pchData[i])) ++i;
    if (i > 0) *this = Mid(i);
    return *this;
}

template <class C>
TW_StringT<C>& TW_StringT<C>::TrimRight() {
    int nLen = GetLength();
    int n = nLen;
    while (n > 0 && IsSpace(m_pchData[n - 1])) --n;
    if (n < nLen) *this = Left(n);
    return *this;
}

template <class C>
TW_StringT<C>& TW_StringT<C>::MakeLower() {
    if (!IsEmpty() && PrepareWrite(GetLength())) LowerInPlace(m_pchData, GetLength());
    return *this;
}

template <class C>
TW_StringT<C>& TW_StringT<C>::Append(const C* psz) {
    int n = TextLength(psz);
    return n > 0 ? Append(psz, n) : *this;
}

template <class C>
TW_StringT<C>& TW_StringT<C>::Append(const C* pch, int nLength) {
    if (!pch || nLength <= 0) return *this;
    int nOld = GetLength();
    if (int64_t(nOld) + nLength > kMaxLength<C>) return *this;
    int nNew = nOld + nLength;
    Data* p = GetData();
    // The text may come from this very buffer, which a reallocation frees.
    if (IsPrivate(p) && p->nAllocLength >= nNew) {
        std::memmove(m_pchData + nOld, pch, size_t(nLength) * sizeof(C));
    } else {
        Data* q = AllocData(nNew);
        if (!q) return *this;
        std::memcpy(q->Chars(), m_pchData, size_t(nOld) * sizeof(C));
        std::memcpy(q->Chars() + nOld, pch, size_t(nLength) * sizeof(C));
        Release();
        m_pchData = q->Chars();
    }
    GetData()->nDataLength = nNew;
    m_pchData[nNew] = C(0);
    return *this;
}

template <class C>
int TW_StringT<C>::Compare(const C* psz) const {
    static const C s_nul = C(0);
    const C* a = m_pchData;
    const C* b = psz ? psz : &s_nul;
    for (;; ++a, ++b) {
        using U = std::make_unsigned_t<C>;
        if (*a != *b) return U(*a) < U(*b) ? -1 : 1;
        if (!*a) return 0;
    }
}

template <class C>
int TW_StringT<C>::CompareNoCase(const C* psz) const {
    static const C s_nul = C(0);
    const C* a = m_pchData;
    const C* b = psz ? psz : &s_nul;
    for (;; ++a, ++b) {
        using U = std::make_unsigned_t<C>;
        U ca = U(ToLower(*a)), cb = U(ToLower(*b));
        if (ca != cb) return ca < cb ? -1 : 1;
        if (!ca) return 0;
    }
}

template <class C>
bool TW_StringT<C>::Format(const char* lpszFormat, ...) {
    va_list args;
    va_start(args, lpszFormat);
    bool bOk = FormatV(lpszFormat, args);
    va_end(args);
    return bOk;
}

template <class C>
bool TW_StringT<C>::FormatV(const char* lpszFormat, va_list args) {
    if constexpr (!std::is_same_v<C, char>) {
        return false;  // wide strings are not formatted (see the declaration)
    } else {
        if (!TW_CHECK(lpszFormat != nullptr)) return false;
        // Measure first, then format into a buffer of exactly that size. C
        // libraries that cannot measure (they answer -1) get a growing buffer.
        va_list measure;
        va_copy(measure, args);
        int n = std::vsnprintf(nullptr, 0, lpszFormat, measure);
        va_end(measure);
        int64_t nCap = n >= 0 ? int64_t(n) + 1 : 256;
        for (;;) {
            if (nCap - 1 > kMaxLength<C>) return false;
            Data* p = AllocData(int(nCap - 1));
            if (!p) return false;
            va_list pass;
            va_copy(pass, args);
            int r = std::vsnprintf(p->Chars(), size_t(nCap), lpszFormat, pass);
            va_end(pass);
            if (r >= 0 && r < nCap) {
                p->nDataLength = r;
                p->Chars()[r] = C(0);
                Release();
                if (r > 0)
                    m_pchData = p->Chars();
                else
                    std::free(p);
                return true;
            }
            std::free(p);
            if (n >= 0) return false;  // measured, yet it did not fit: give up
            nCap *= 2;
        }
    }
}

template <class C>
C* TW_StringT<C>::GetBuffer(int nMinLength) {
    if (nMinLength < GetLength()) nMinLength = GetLength();
    if (nMinLength == 0 && IsEmpty()) return m_pchData;
    return PrepareWrite(nMinLength) ? m_pchData : nullptr;
}

template <class C>
void TW_StringT<C>::ReleaseBuffer(int nNewLength) {
    Data* p = GetData();
    if (!IsPrivate(p)) return;
    if (nNewLength < 0 || nNewLength > p->nAllocLength) {
        nNewLength = 0;
        while (nNewLength < p->nAllocLength && m_pchData[nNewLength]) ++nNewLength;
    }
    p->nDataLength = nNewLength;
    m_pchData[nNewLength] = C(0);
    if (nNewLength == 0) Release();
}

template <class C>
C* TW_StringT<C>::LockBuffer() {
    C* p = GetBuffer(0);
    if (p && LoadRefs(GetData()->nRefs) == 1) Refs(GetData()->nRefs).store(-1, std::memory_order_release);
    return p;
}

template <class C>
void TW_StringT<C>::UnlockBuffer() {
    if (LoadRefs(GetData()->nRefs) == -1) Refs(GetData()->nRefs).store(1, std::memory_order_release);
}

template class TW_StringT<char>;
template class TW_StringT<char16_t>;
