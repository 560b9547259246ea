// Copy-on-write strings: sharing and independence, the static empty string,
// clamped substring operations, Format, white space and case.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "TW_String.h"

namespace {

TEST(StringTest, CopiesShareUntilOneChanges) {
    TW_String a("hello");
    TW_String b(a);
    TW_String c;
    c = a;
    EXPECT_EQ(a.GetString(), b.GetString());
    EXPECT_EQ(a.GetString(), c.GetString());

    b += " world";
    c.SetAt(0, 'J');
    TW_String d(a);
    d.MakeLower();  // already lower: content equal, but d must not write into a
    d.SetAt(4, 'O');
    EXPECT_STREQ(a, "hello");
    EXPECT_STREQ(b, "hello world");
    EXPECT_STREQ(c, "Jello");
    EXPECT_STREQ(d, "hellO");
    EXPECT_NE(a.GetString(), b.GetString());

    TW_WString w(u"abc");
    TW_WString w2 = w;
    w2.AppendChar(u'd');
    EXPECT_TRUE(w == u"abc");
    EXPECT_TRUE(w2 == u"abcd");
}

TEST(StringTest, EveryEmptyStringIsTheStaticOne) {
    const char* lpEmpty = TW_String::EmptyString();
    TW_String a, b(""), c(static_cast<const char*>(nullptr)), d(u""), e("abc");
    TW_String f = e.Left(0), g = e.Mid(3), h = e.Right(-2), i("   ");
    i.TrimRight();
    TW_String j("x");
    j.Empty();
    TW_String k;
    k.Format("%s", "");
    for (const TW_String* s : {&a, &b, &c, &d, &f, &g, &h, &i, &j, &k}) {
        EXPECT_EQ(s->GetLength(), 0);
        EXPECT_EQ(s->GetString(), lpEmpty);
    }
    TW_WString wa, wb(u""), wc("");
    for (const TW_WString* s : {&wa, &wb, &wc}) EXPECT_EQ(s->GetString(), TW_WString::EmptyString());
}

TEST(StringTest, SubstringsClampAndFindReportsMisses) {
    TW_String s("key=value=x");
    EXPECT_STREQ(s.Left(100), "key=value=x");
    EXPECT_STREQ(s.Right(100), "key=value=x");
    EXPECT_STREQ(s.Right(1), "x");
    EXPECT_STREQ(s.Mid(4, 5), "value");
    EXPECT_STREQ(s.Mid(-3, 3), "key");
    EXPECT_STREQ(s.Mid(9, 100), "=x");
    EXPECT_STREQ(s.Mid(50), "");
    EXPECT_EQ(s.Find('='), 3);
    EXPECT_EQ(s.Find('=', 4), 9);
    EXPECT_EQ(s.Find("value"), 4);
    EXPECT_EQ(s.Find("value", 5), -1);
    EXPECT_EQ(s.Find("absent"), -1);
    EXPECT_EQ(s.Find("x", 11), -1);
    EXPECT_EQ(s.ReverseFind('='), 9);
}

TEST(StringTest, AppendingFromItsOwnBufferKeepsTheText) {
    TW_String s("ab");
    s += s;
    EXPECT_STREQ(s, "abab");
    s.Append(s.GetString() + 1, 2);
    EXPECT_STREQ(s, "ababba");
    // A private buffer with room to spare takes the text in place.
    TW_String t("xyz");
    char* p = t.GetBuffer(10);
    ASSERT_NE(p, nullptr);
    t.ReleaseBuffer(3);
    t.Append(t.GetString(), 3);
    EXPECT_STREQ(t, "xyzxyz");
    EXPECT_STREQ("<" + t + '>', "<xyzxyz>");
}

TEST(StringTest, FormatIsNeverCutShort) {
    std::string strLong(5000, 'x');
    TW_String s;
    ASSERT_TRUE(s.Format("[%s]", strLong.c_str()));
    EXPECT_EQ(s.GetLength(), 5002);
    EXPECT_EQ(std::string(s.GetString()), "[" + strLong + "]");
    ASSERT_TRUE(s.Format("%*d|%-6.2f|%c|%05u|%lld", 300, 7, 3.14159, 'q', 42u, -1234567890123LL));
    EXPECT_EQ(s.GetLength(), 300 + 1 + 6 + 1 + 1 + 1 + 5 + 1 + 14);
    EXPECT_EQ(std::string(s.GetString() + 299), "7|3.14  |q|00042|-1234567890123");
    // Formatting a string into itself reads the old text before replacing it.
    s = "abc";
    ASSERT_TRUE(s.Format("%s-%s", s.GetString(), s.GetString()));
    EXPECT_STREQ(s, "abc-abc");
}

TEST(StringTest, WhiteSpaceCaseAndComparison) {
    TW_WString w(u"\u3000\t x y \u00a0\r\n");
    w.Trim();
    EXPECT_TRUE(w == u"x y");
    TW_String n("  a b\t");
    EXPECT_STREQ(n.TrimLeft(), "a b\t");
    EXPECT_STREQ(n.TrimRight(), "a b");

    TW_WString u(u"\u00c4RGER Stra\u00dfe");
    u.MakeLower();
    EXPECT_TRUE(u == u"\u00e4rger stra\u00dfe");
    EXPECT_EQ(TW_WString(u"[\u00c4b]").CompareNoCase(u"[\u00e4B]"), 0);
    EXPECT_GT(TW_WString(u"abc").Compare(u"ab"), 0);
    // Code units compare unsigned: U+00E9 sorts after ASCII, 0xE9 after 'z'.
    EXPECT_GT(TW_WString(u"\u00e9").Compare(u"z"), 0);
    EXPECT_GT(TW_String("\xE9").Compare("z"), 0);
}

TEST(StringTest, LockedBufferIsCopiedNotShared) {
    TW_String s("abc");
    char* p = s.LockBuffer();
    ASSERT_NE(p, nullptr);
    TW_String copy(s);
    EXPECT_NE(copy.GetString(), s.GetString());
    p[0] = 'X';  // direct writing reaches only the locked string
    EXPECT_STREQ(s, "Xbc");
    EXPECT_STREQ(copy, "abc");
    s.UnlockBuffer();
    TW_String shared(s);
    EXPECT_EQ(shared.GetString(), s.GetString());
}

TEST(StringTest, ThreadsCopyAndReleaseOneBufferSafely) {
    // Each thread copies and drops the shared buffer many times; a count that
    // is not changed atomically frees it early (a sanitizer build sees it).
    TW_String strShared("shared between threads");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&strShared] {
            for (int i = 0; i < 20000; ++i) {
                TW_String copy(strShared);
                TW_String copy2;
                copy2 = copy;
                if (copy2.GetLength() != 22) std::abort();
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_STREQ(strShared, "shared between threads");
    TW_String last(strShared);
    EXPECT_EQ(last.GetString(), strShared.GetString());
}

}  // namespace
