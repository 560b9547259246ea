#include "PfText.h"

#include <locale.h>
#include <wctype.h>

#include <cstdint>

namespace pf {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at s[i..n); advances i. Overlong forms,
// surrogates, values above U+10FFFF and truncated sequences give U+FFFD and
// consume one byte, so no input byte is ever skipped unseen.
char32_t DecodeUtf8(const unsigned char* s, int n, int& i) {
    unsigned c = s[i];
    int nMore;
    char32_t cp, cpMin;
    if (c < 0x80) { ++i; return c; }
    if ((c & 0xE0) == 0xC0) { nMore = 1; cp = c & 0x1F; cpMin = 0x80; }
    else if ((c & 0xF0) == 0xE0) { nMore = 2; cp = c & 0x0F; cpMin = 0x800; }
    else if ((c & 0xF8) == 0xF0) { nMore = 3; cp = c & 0x07; cpMin = 0x10000; }
    else { ++i; return kReplacement; }
    if (i + nMore >= n) { ++i; return kReplacement; }
    for (int k = 1; k <= nMore; ++k) {
        unsigned cc = s[i + k];
        if ((cc & 0xC0) != 0x80) { ++i; return kReplacement; }
        cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < cpMin || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) { ++i; return kReplacement; }
    i += nMore + 1;
    return cp;
}

}  // namespace

int NarrowToWide(const char* src, int nSrcLen, char16_t* dst, int nDstCap) {
    if (!src || nSrcLen <= 0) return 0;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
    int nOut = 0;
    for (int i = 0; i < nSrcLen;) {
        char32_t cp = DecodeUtf8(s, nSrcLen, i);
        int nUnits = cp >= 0x10000 ? 2 : 1;
        if (dst) {
            if (nOut + nUnits > nDstCap) return 0;
            if (nUnits == 1) {
                dst[nOut] = char16_t(cp);
            } else {
                cp -= 0x10000;
                dst[nOut] = char16_t(0xD800 + (cp >> 10));
                dst[nOut + 1] = char16_t(0xDC00 + (cp & 0x3FF));
            }
        }
        nOut += nUnits;
    }
    return nOut;
}

int WideToNarrow(const char16_t* src, int nSrcLen, char* dst, int nDstCap) {
    if (!src || nSrcLen <= 0) return 0;
    int nOut = 0;
    for (int i = 0; i < nSrcLen; ++i) {
        char32_t cp = src[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < nSrcLen && src[i + 1] >= 0xDC00 && src[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (src[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;  // a lone surrogate has no UTF-8 form
        }
        unsigned char buf[4];
        int nBytes;
        if (cp < 0x80) { buf[0] = uint8_t(cp); nBytes = 1; }
        else if (cp < 0x800) { buf[0] = uint8_t(0xC0 | (cp >> 6)); buf[1] = uint8_t(0x80 | (cp & 0x3F)); nBytes = 2; }
        else if (cp < 0x10000) {
            buf[0] = uint8_t(0xE0 | (cp >> 12));
            buf[1] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
            buf[2] = uint8_t(0x80 | (cp & 0x3F));
            nBytes = 3;
        } else {
            buf[0] = uint8_t(0xF0 | (cp >> 18));
            buf[1] = uint8_t(0x80 | ((cp >> 12) & 0x3F));
            buf[2] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
            buf[3] = uint8_t(0x80 | (cp & 0x3F));
            nBytes = 4;
        }
        if (dst) {
            if (nOut + nBytes > nDstCap) return 0;
            for (int k = 0; k < nBytes; ++k) dst[nOut + k] = char(buf[k]);
        }
        nOut += nBytes;
    }
    return nOut;
}

void LowerInPlace(char16_t* p, int n) {
    // The process locale may be "C", which folds ASCII only: use a UTF-8
    // locale of our own when the system has one.
    static const locale_t s_loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    for (int i = 0; i < n; ++i) {
        char16_t c = p[i];
        if (c < 0x80) {
            if (c >= 'A' && c <= 'Z') p[i] = char16_t(c + ('a' - 'A'));
        } else if (s_loc && (c < 0xD800 || c > 0xDFFF)) {
            wint_t l = towlower_l(wint_t(c), s_loc);
            if (l <= 0xFFFF && (l < 0xD800 || l > 0xDFFF)) p[i] = char16_t(l);
        }
    }
}

}  // namespace pf
