#include "TW_Base64.h"

#include <cstdint>

#include "TW_Assert.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kLineChars = 76;

}  // namespace

int Base64EncodedLength(int nLen, bool bLineBreak) {
    if (nLen < 0) return -1;
    int64_t nChars = (int64_t(nLen) + 2) / 3 * 4;
    // A break follows every 76th data character, also the last one; padding
    // comes after the breaks and never starts a new line.
    int64_t nData = (int64_t(nLen) * 8 + 5) / 6;
    int64_t nTotal = nChars + (bLineBreak ? nData / kLineChars * 2 : 0);
    return nTotal > INT32_MAX - 1 ? -1 : int(nTotal);
}

int Base64Encode(const void* lpSrc, char* lpDst, int nLen, bool bLineBreak) {
    if (!TW_CHECK(lpSrc != nullptr) || !TW_CHECK(lpDst != nullptr) || !TW_CHECK(nLen >= 0)) return -1;
    // Written straight into the caller's buffer: no scratch copy, so the
    // stack use does not grow with the input.
    const uint8_t* src = static_cast<const uint8_t*>(lpSrc);
    char* out = lpDst;
    uint32_t uiBits = 0;  // holds at most 6 + 8 - 1 bits at any time
    int nBits = 0;
    int nOnLine = 0;
    int nData = 0;
    auto put = [&](uint32_t v) {
        *out++ = kAlphabet[v & 0x3F];
        ++nData;
        if (bLineBreak && ++nOnLine == kLineChars) {
            *out++ = '\r';
            *out++ = '\n';
            nOnLine = 0;
        }
    };
    for (int i = 0; i < nLen; ++i) {
        uiBits = (uiBits << 8) | src[i];
        nBits += 8;
        while (nBits >= 6) {
            nBits -= 6;
            put(uiBits >> nBits);
        }
        uiBits &= (1u << nBits) - 1;
    }
    if (nBits > 0) put(uiBits << (6 - nBits));
    while (nData % 4 != 0) {
        *out++ = '=';
        ++nData;
    }
    *out = '\0';
    return int(out - lpDst);
}
