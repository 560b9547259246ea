// Base64 against an independent decoder, line breaks, and very large inputs.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "TW_Base64.h"

namespace {

// Also checks the predicted length and the terminator.
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
        if (c == '=') break;
        if (c == '\r' || c == '\n') continue;
        if (kAlphabet.find(c) == std::string::npos) return "<bad character>";
        bits = (bits << 6) | uint32_t(kAlphabet.find(c));
        if ((n += 6) >= 8) out += char((bits >> (n -= 8)) & 0xFF);
    }
    return out;
}

TEST(Base64Test, EveryLengthDecodesBackBreaksAfter76CharactersAndBadArgumentsAreRefused) {
    std::string strData;
    for (int len = 0; len <= 400; ++len, strData += char(len * 37 + 11))
        for (bool bBreak : {false, true}) EXPECT_EQ(Decode(Encode(strData, bBreak)), strData) << len;
    // The decoder ignores the unused bits of the last character: the vectors check them.
    const char* arrVector[][2] = {{"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {"user:pass", "dXNlcjpwYXNz"}};
    for (auto& v : arrVector) EXPECT_EQ(Encode(v[0], false), v[1]);
    // 57 bytes fill one line exactly; 58 break after the 76th character.
    EXPECT_EQ(Encode(std::string(57, 'M'), true).substr(76), "\r\n");
    EXPECT_EQ(Encode(std::string(58, 'M'), true).substr(76), "\r\nTQ==");

    char out[8] = "unset";
    EXPECT_TRUE(Base64Encode(nullptr, out, 3, false) == -1 && Base64Encode("abc", out, -1, false) == -1);
    EXPECT_STREQ(out, "unset");
    EXPECT_EQ(Base64EncodedLength(INT32_MAX, true), -1);  // the length would overflow
    // Twice this on the stack would overflow any default thread stack.
    std::string out24 = Encode(std::string(24u << 20, '\xA5'), true);
    EXPECT_EQ(Decode(out24.substr(0, 78 * 10)), std::string(570, '\xA5'));
}

}  // namespace
