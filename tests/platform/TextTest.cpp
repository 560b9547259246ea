// Conversion between the narrow encoding and UTF-16.
#include <gtest/gtest.h>

#include <string>

#include "PfText.h"

namespace {

// Measures, then converts: the second call must fill exactly what the first measured.
template <class To, class From>
To Convert(const From& s, int (*fn)(const typename From::value_type*, int, typename To::value_type*, int)) {
    To out(size_t(fn(s.data(), int(s.size()), nullptr, 0)), 0);
    EXPECT_EQ(out.empty() ? 0 : fn(s.data(), int(s.size()), &out[0], int(out.size())), int(out.size()));
    return out;
}
std::u16string ToWide(const std::string& s) { return Convert<std::u16string>(s, pf::NarrowToWide); }
std::string ToNarrow(const std::u16string& s) { return Convert<std::string>(s, pf::WideToNarrow); }

TEST(TextTest, RoundTripBufferLimitsAndUtf8) {
    const std::u16string latin = u"Gr\u00fc\u00dfe \u00e9t\u00e9";
    EXPECT_EQ(ToWide(ToNarrow(latin)), latin);
    EXPECT_EQ(pf::WideToNarrow(u"caf\u00e9"), ToNarrow(u"caf\u00e9"));
    char16_t wide[2];
    char narrow[2];
    // Too small: nothing reported as written.
    EXPECT_EQ(pf::NarrowToWide("abc", 3, wide, 2) + pf::WideToNarrow(u"abc", 3, narrow, 2), 0);
    if (ToWide("\xC3\xA9") != u"\u00e9") GTEST_SKIP() << "the narrow encoding here is a code page";
    // Supplementary characters travel as surrogate pairs.
    EXPECT_EQ(ToNarrow(u"\U0001F600 \u20ac"), "\xF0\x9F\x98\x80 \xE2\x82\xAC");
    EXPECT_EQ(ToWide("\xF0\x9F\x98\x80"), u"\U0001F600");
    // Malformed input: each bad byte becomes U+FFFD, nothing is skipped: a
    // stray byte, an overlong "/", an encoded surrogate, a cut-short tail.
    EXPECT_EQ(ToWide("a\xFF" "b|\xC0\xAF|\xED\xA0\x80|x\xE2\x82"),
              u"a\uFFFDb|\uFFFD\uFFFD|\uFFFD\uFFFD\uFFFD|x\uFFFD\uFFFD");
    // A lone surrogate has no UTF-8 form.
    EXPECT_EQ(ToNarrow(std::u16string(1, char16_t(0xD800)) + u"z"), "\xEF\xBF\xBDz");
}

}  // namespace
