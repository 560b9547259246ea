// Assertions stay active in the shipped library. The line printed names the
// expression, the source file without folder and extension, and the line.
//
//   TW_ASSERT(expr)  guards an internal invariant: prints and aborts.
//   TW_CHECK(expr)   guards a host argument or network input: prints and
//                    yields false, so the caller fails the call instead of
//                    taking the host process down.
#ifndef TW_ASSERT_H
#define TW_ASSERT_H

namespace tw {

[[noreturn]] void AssertFail(const char* lpszExpr, const char* lpszFile, int nLine);
void AssertReport(const char* lpszExpr, const char* lpszFile, int nLine);

}  // namespace tw

#define TW_ASSERT(expr) ((expr) ? (void)0 : ::tw::AssertFail(#expr, __FILE__, __LINE__))
#define TW_CHECK(expr) ((expr) ? true : (::tw::AssertReport(#expr, __FILE__, __LINE__), false))

#endif
