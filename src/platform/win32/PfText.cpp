#include "PfText.h"

#include <windows.h>

namespace pf {

int NarrowToWide(const char* src, int nSrcLen, char16_t* dst, int nDstCap) {
    if (!src || nSrcLen <= 0) return 0;
    return MultiByteToWideChar(CP_ACP, 0, src, nSrcLen, reinterpret_cast<LPWSTR>(dst), dst ? nDstCap : 0);
}

int WideToNarrow(const char16_t* src, int nSrcLen, char* dst, int nDstCap) {
    if (!src || nSrcLen <= 0) return 0;
    return WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(src), nSrcLen, dst, dst ? nDstCap : 0, nullptr,
                               nullptr);
}

void LowerInPlace(char16_t* p, int n) {
    if (p && n > 0) CharLowerBuffW(reinterpret_cast<LPWSTR>(p), DWORD(n));
}

}  // namespace pf
