// Copy-on-write strings, substrings, Format, white space and case.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "TW_String.h"

namespace {

TEST(StringTest, CopiesShareUntilOneChanges) {
    TW_String a("hello"), b(a), c, d(a);
    c = a;
    EXPECT_EQ(a.GetString(), c.GetString());
    b += " world";
    c.SetAt(0, 'J');
    d.MakeLower();  // already lower: content equal, but d must not write into a
    d.SetAt(4, 'O');
    EXPECT_STREQ(a + "," + b + "," + c + "," + d, "hello,hello world,Jello,hellO");
    // A locked buffer is copied, not shared, until it is unlocked.
    char* p = a.LockBuffer();
    TW_String copy(a);
    p[0] = 'X';
    EXPECT_STREQ(a + "," + copy, "Xello,hello");
    a.UnlockBuffer();
    EXPECT_EQ(TW_String(a).GetString(), a.GetString());
}

TEST(StringTest, EmptyStringsWhiteSpaceCaseAndComparison) {
    TW_String e("abc"), i("   "), k, n(static_cast<const char*>(nullptr));
    i.TrimRight();
    k.Format("%s", "");
    for (const TW_String& s : {TW_String(), TW_String(u""), n, e.Left(0), e.Mid(3), e.Right(-2), i, k})
        EXPECT_EQ(s.GetString(), TW_String::EmptyString());
    EXPECT_EQ(TW_WString("").GetString(), TW_WString::EmptyString());

    TW_WString w(u"\u3000\t x y \u00a0\r\n"), u(u"\u00c4RGER Stra\u00dfe");
    EXPECT_TRUE(w.Trim() == u"x y");
    EXPECT_TRUE(u.MakeLower() == u"\u00e4rger stra\u00dfe");
    EXPECT_EQ(TW_WString(u"[\u00c4b]").CompareNoCase(u"[\u00e4B]"), 0);
    // Code units compare unsigned: U+00E9 sorts after ASCII, 0xE9 after 'z'.
    EXPECT_GT(TW_WString(u"\u00e9").Compare(u"z"), 0);
    EXPECT_GT(TW_String("\xE9").Compare("z"), 0);
}

TEST(StringTest, SubstringsClampFindReportsMissesAndOwnTextAppends) {
    TW_String s("key=value=x");
    EXPECT_STREQ(s.Left(100) + "|" + s.Right(100), "key=value=x|key=value=x");
    EXPECT_STREQ(s.Mid(4, 5) + "," + s.Mid(-3, 3) + "," + s.Mid(9, 100), "value,key,=x");
    EXPECT_EQ((std::vector<int>{3, 9, 4, 9}),
              (std::vector<int>{s.Find('='), s.Find('=', 4), s.Find("value"), s.ReverseFind('=')}));
    EXPECT_TRUE(s.Find("value", 5) == -1 && s.Find("x", 11) == -1);
    TW_String t("ab");
    t += t;
    t.Append(t.GetString() + 1, 2);
    EXPECT_STREQ(t, "ababba");
    // A private buffer with room to spare takes its own text in place.
    TW_String u("xyz");
    ASSERT_NE(u.GetBuffer(10), nullptr);
    u.ReleaseBuffer(3);
    u.Append(u.GetString(), 3);
    EXPECT_STREQ("<" + u + '>', "<xyzxyz>");
}

TEST(StringTest, FormatIsNeverCutShort) {
    std::string strLong(5000, 'x');
    TW_String s;
    ASSERT_TRUE(s.Format("[%s]", strLong.c_str()));
    EXPECT_EQ(std::string(s.GetString()), "[" + strLong + "]");
    ASSERT_TRUE(s.Format("%*d|%-6.2f|%c|%05u|%lld", 300, 7, 3.14159, 'q', 42u, -1234567890123LL));
    EXPECT_EQ(std::string(s.GetString()), std::string(299, ' ') + "7|3.14  |q|00042|-1234567890123");
    // Formatting a string into itself reads the old text before replacing it.
    s = "abc";
    ASSERT_TRUE(s.Format("%s-%s", s.GetString(), s.GetString()));
    EXPECT_STREQ(s, "abc-abc");
}

// A count not changed atomically frees the shared buffer early (sanitizers see it).
TEST(StringTest, ThreadsCopyAndReleaseOneBufferSafely) {
    TW_String strShared("shared between threads");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&strShared] {
            for (int i = 0; i < 20000; ++i) {
                TW_String copy(strShared), copy2;
                copy2 = copy;
                if (copy2.GetLength() != 22) std::abort();
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(TW_String(strShared).GetString(), strShared.GetString());
}

}  // namespace
