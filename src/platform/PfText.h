// Conversion between the narrow encoding of the platform and UTF-16, and the
// case mapping of UTF-16 text. The narrow encoding is the ANSI code page on
// Windows and UTF-8 elsewhere.
#ifndef VX_PF_TEXT_H
#define VX_PF_TEXT_H

#include <string>

// Lets the compiler check printf-style formats against their arguments, in
// the dialect of the C library the build uses.
#if defined(__MINGW_PRINTF_FORMAT)
#define PF_PRINTF_FORMAT(fmt, args) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, args)))
#elif defined(__GNUC__)
#define PF_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define PF_PRINTF_FORMAT(fmt, args)
#endif

namespace pf {

// Converts nSrcLen units of src (no terminator is implied or written). With
// a null dst, returns the number of units the result needs; otherwise writes
// at most nDstCap units and returns the number written (0 when dst is too
// small). Undecodable input becomes U+FFFD (or '?' where the code page has
// no such character); it never fails.
int NarrowToWide(const char* src, int nSrcLen, char16_t* dst, int nDstCap);
int WideToNarrow(const char16_t* src, int nSrcLen, char* dst, int nDstCap);

// Convenience for a terminated wide text (null gives "").
inline std::string WideToNarrow(const char16_t* src) {
    if (!src) return std::string();
    int n = 0;
    while (src[n]) ++n;
    std::string out(size_t(WideToNarrow(src, n, nullptr, 0)), '\0');
    if (!out.empty()) WideToNarrow(src, n, &out[0], int(out.size()));
    return out;
}

// Lower-cases n UTF-16 units in place, unit by unit (surrogates unchanged).
void LowerInPlace(char16_t* p, int n);

}  // namespace pf

#endif
