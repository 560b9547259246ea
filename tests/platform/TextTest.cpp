// Conversion between the narrow encoding and UTF-16.
#include <gtest/gtest.h>

#include <string>

#include "PfText.h"

namespace {

std::u16string ToWide(const std::string& s) {
    std::u16string out(size_t(pf::NarrowToWide(s.data(), int(s.size()), nullptr, 0)), u'\0');
    if (!out.empty()) {
        EXPECT_EQ(pf::NarrowToWide(s.data(), int(s.size()), &out[0], int(out.size())), int(out.size()));
    }
    return out;
}

std::string ToNarrow(const std::u16string& s) {
    std::string out(size_t(pf::WideToNarrow(s.data(), int(s.size()), nullptr, 0)), '\0');
    if (!out.empty()) {
        EXPECT_EQ(pf::WideToNarrow(s.data(), int(s.size()), &out[0], int(out.size())), int(out.size()));
    }
    return out;
}

bool NarrowIsUtf8() { return ToWide("\xC3\xA9") == u"\u00e9"; }

TEST(TextTest, RoundTripsAndBufferLimits) {
    EXPECT_EQ(ToWide("abc"), u"abc");
    EXPECT_EQ(ToNarrow(u"abc"), "abc");
    const std::u16string latin = u"Gr\u00fc\u00dfe \u00e9t\u00e9";
    EXPECT_EQ(ToWide(ToNarrow(latin)), latin);
    char16_t small[2];
    EXPECT_EQ(pf::NarrowToWide("abc", 3, small, 2), 0);  // too small: nothing reported as written
    char narrow[2];
    EXPECT_EQ(pf::WideToNarrow(u"abc", 3, narrow, 2), 0);
    EXPECT_EQ(pf::WideToNarrow(u"caf\u00e9"), ToNarrow(u"caf\u00e9"));
}

TEST(TextTest, Utf8NarrowEncoding) {
    if (!NarrowIsUtf8()) GTEST_SKIP() << "the narrow encoding here is a code page";
    // Supplementary characters travel as surrogate pairs.
    EXPECT_EQ(ToWide("\xF0\x9F\x98\x80"), u"\U0001F600");
    EXPECT_EQ(ToNarrow(u"\U0001F600 \u20ac"), "\xF0\x9F\x98\x80 \xE2\x82\xAC");
    // Malformed input: each bad byte becomes U+FFFD, nothing is skipped.
    EXPECT_EQ(ToWide("a\xFF" "b"), u"a\uFFFDb");
    EXPECT_EQ(ToWide("\xC0\xAF"), u"\uFFFD\uFFFD");           // overlong "/"
    EXPECT_EQ(ToWide("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
    EXPECT_EQ(ToWide("x\xE2\x82"), u"x\uFFFD\uFFFD");          // cut short
    // A lone surrogate has no UTF-8 form.
    EXPECT_EQ(ToNarrow(std::u16string(1, char16_t(0xD800)) + u"z"), "\xEF\xBF\xBDz");
}

}  // namespace
