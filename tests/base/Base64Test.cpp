// Base64 vectors, line breaks, the predicted length, and inputs far larger
// than a thread's stack.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "TW_Base64.h"

namespace {

std::string Encode(const std::string& strIn, bool bLineBreak) {
    std::vector<char> out(size_t(Base64EncodedLength(int(strIn.size()), bLineBreak)) + 1, '#');
    int n = Base64Encode(strIn.data(), out.data(), int(strIn.size()), bLineBreak);
    EXPECT_EQ(n, int(out.size()) - 1);
    EXPECT_EQ(out[size_t(n)], '\0');
    return std::string(out.data(), size_t(n));
}

// Reference decoder, skipping line breaks; padding ends the data.
std::string Decode(const std::string& strText) {
    static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    int n = 0;
    for (char c : strText) {
        if (c == '\r' || c == '\n') continue;
        if (c == '=') break;
        size_t v = kAlphabet.find(c);
        if (v == std::string::npos) return "<bad character>";
        bits = (bits << 6) | uint32_t(v);
        n += 6;
        if (n >= 8) {
            n -= 8;
            out += char((bits >> n) & 0xFF);
        }
    }
    return out;
}

TEST(Base64Test, KnownVectors) {
    EXPECT_EQ(Encode("", false), "");
    EXPECT_EQ(Encode("a", false), "YQ==");
    EXPECT_EQ(Encode("ab", false), "YWI=");
    EXPECT_EQ(Encode("abc", false), "YWJj");
    EXPECT_EQ(Encode("user:pass word", false), "dXNlcjpwYXNzIHdvcmQ=");
    EXPECT_EQ(Encode(std::string("\x00\xff\xfe", 3), false), "AP/+");
}

TEST(Base64Test, LineBreaksFollowEvery76thCharacter) {
    std::string str57(57, 'M');
    std::string out = Encode(str57, true);
    EXPECT_EQ(out.size(), 78u);
    EXPECT_EQ(out.substr(76), "\r\n");
    EXPECT_EQ(Encode(str57, false).size(), 76u);

    // 58 bytes: 78 data characters, the break after the 76th, then padding.
    std::string out58 = Encode(std::string(58, 'M'), true);
    EXPECT_EQ(out58.size(), 82u);
    EXPECT_EQ(out58.substr(76, 2), "\r\n");
    EXPECT_EQ(out58.substr(80), "==");
    EXPECT_EQ(out58.find('\r', 77), std::string::npos);
}

TEST(Base64Test, EveryLengthDecodesBackAndMatchesThePrediction) {
    std::string strData;
    for (int len = 0; len <= 400; ++len) {
        for (bool bBreak : {false, true}) {
            std::string out = Encode(strData, bBreak);  // checks the predicted length
            EXPECT_EQ(Decode(out), strData) << "length " << len;
        }
        strData += char(len * 37 + 11);
    }
}

TEST(Base64Test, RejectsNullAndNegativeArguments) {
    char out[8] = "unset";
    EXPECT_EQ(Base64Encode(nullptr, out, 3, false), -1);
    EXPECT_STREQ(out, "unset");
    EXPECT_EQ(Base64Encode("abc", out, -1, false), -1);
    EXPECT_EQ(Base64EncodedLength(INT32_MAX, true), -1);
}

TEST(Base64Test, LargeInputDoesNotNeedStack) {
    // Twice this on the stack would overflow any default thread stack.
    std::string strBig(24u << 20, '\xA5');
    std::string out = Encode(strBig, true);
    EXPECT_EQ(out.substr(0, 8), "paWlpaWl");
    EXPECT_EQ(Decode(out.substr(0, 78 * 10)).size(), 57u * 10);
}

}  // namespace
