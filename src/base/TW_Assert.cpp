#include "TW_Assert.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tw {

// "src/base/TW_Plex.h" -> "TW_Plex"
static void PrintAssertion(const char* lpszExpr, const char* lpszFile, int nLine) {
    const char* base = lpszFile;
    for (const char* p = lpszFile; *p; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    const char* dot = std::strrchr(base, '.');
    int nLen = dot ? int(dot - base) : int(std::strlen(base));
    std::printf("Assertion failed: %s, file %.*s, line %d\n", lpszExpr, nLen, base, nLine);
    std::fflush(stdout);
}

void AssertFail(const char* lpszExpr, const char* lpszFile, int nLine) {
    PrintAssertion(lpszExpr, lpszFile, nLine);
    std::abort();
}

void AssertReport(const char* lpszExpr, const char* lpszFile, int nLine) {
    PrintAssertion(lpszExpr, lpszFile, nLine);
}

}  // namespace tw
