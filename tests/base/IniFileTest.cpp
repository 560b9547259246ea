// INI files in both encodings: sections and keys by occurrence, names
// without regard to case, untrimmed keys, the header, typed lookups.
#include <gtest/gtest.h>

#include <string>

#include "ScopedTempFolder.h"
#include "TW_IniFileEx.h"

namespace {

// UTF-16LE bytes with the mark.
std::string Utf16File(const std::u16string& strText) {
    std::string out("\xFF\xFE", 2);
    for (char16_t c : strText) {
        out += char(c & 0xFF);
        out += char(c >> 8);
    }
    return out;
}

const char kSimulator[] =
    "; simulator settings\r\n"
    "orphan=1\r\n"
    "\r\n"
    "[vxnet]\r\n"
    "simulator=1\r\n"
    "maxaffect=250\r\n"
    "[UDP]\r\n"
    "Lost=5\r\n"
    "delay = 7\r\n"
    "name=abc\r\n"
    "flag=1 \r\n"
    "word=yes\r\n"
    "off=0\r\n"
    "; a comment\r\n"
    "=;another comment\r\n"
    "=\r\n"
    "no equals sign\r\n"
    "[tcp]\r\n"
    "delay=1\r\n"
    "delay=2\r\n"
    "[tcp]\r\n"
    "break=9\r\n"
    "  [late]\r\n"
    "k=v\r\n";

class IniFileTest : public ::testing::Test {
protected:
    bool LoadBytes(TW_IniFileEx& ini, const std::string& strBytes, bool bUnicodeFlag = false) {
        m_tmp.WriteFile("test.ini", strBytes);
        return ini.LoadA(m_tmp.Narrow("test.ini").c_str(), bUnicodeFlag);
    }
    ScopedTempFolder m_tmp;
};

TEST_F(IniFileTest, BothEncodingsGiveTheSameKeys) {
    TW_IniFileEx ansi(17, 17), wide(17, 17);
    ASSERT_TRUE(LoadBytes(ansi, kSimulator));
    EXPECT_FALSE(ansi.IsUnicode());
    ASSERT_TRUE(LoadBytes(wide, Utf16File(std::u16string(kSimulator, kSimulator + sizeof kSimulator - 1))));
    EXPECT_TRUE(wide.IsUnicode());
    for (TW_IniFileEx* ini : {&ansi, &wide}) {
        EXPECT_TRUE(ini->GetBoolW(u"vxnet", u"simulator", false));
        EXPECT_EQ(ini->GetIntW(u"vxnet", u"maxaffect", 0), 250);
        EXPECT_EQ(ini->GetIntW(u"udp", u"lost", -1), 5);          // [UDP] and Lost, any case
        EXPECT_EQ(ini->GetIntW(u"[udp]", u"LOST", -1), 5);
        EXPECT_EQ(ini->GetIntW(u"tcp", u"delay", -1), 1);         // first of two keys
        EXPECT_EQ(ini->GetIntW(u"tcp", u"break", -1), -1);        // in the second [tcp] only
        EXPECT_EQ(ini->GetIntA("vxnet", "orphan", -1), -1);       // before the first section
        EXPECT_EQ(ini->GetHeader(), "; simulator settings\r\n\r\n\r\n");
    }
    // Only the UTF-16 lines are trimmed: "  [late]" is a section there alone.
    TW_WString v;
    EXPECT_TRUE(wide.GetStringW(u"late", u"k", v, u""));
    EXPECT_TRUE(v == u"v");
    EXPECT_FALSE(ansi.GetStringW(u"late", u"k", v, u""));
}

TEST_F(IniFileTest, TypedLookups) {
    TW_IniFileEx ini;
    ASSERT_TRUE(LoadBytes(ini, kSimulator));
    // "delay = 7": the key is "delay " and the value " 7".
    EXPECT_EQ(ini.GetIntW(u"udp", u"delay", -3), -3);
    EXPECT_TRUE(ini.GetValue(u"udp", u"delay ", u"") == u" 7");
    EXPECT_EQ(ini.GetIntW(u"udp", u"delay ", -3), 7);
    EXPECT_EQ(ini.GetIntW(u"udp", u"name", 42), 0);         // not a number
    EXPECT_EQ(ini.GetIntW(u"udp", u"missing", 42), 42);
    EXPECT_EQ(ini.GetIntW(u"nosuch", u"lost", 42), 42);
    EXPECT_TRUE(ini.GetBoolW(u"udp", u"flag", false));      // "1 "
    EXPECT_TRUE(ini.GetBoolW(u"udp", u"word", true));       // "yes": the default
    EXPECT_FALSE(ini.GetBoolW(u"udp", u"word", false));
    EXPECT_FALSE(ini.GetBoolA("udp", "off", true));
    EXPECT_TRUE(ini.GetBoolA("udp", "missing", true));

    TW_String s;
    EXPECT_TRUE(ini.GetStringA("udp", "name", s, "none"));
    EXPECT_STREQ(s, "abc");
    EXPECT_FALSE(ini.GetStringA("udp", "gone", s, "none"));
    EXPECT_STREQ(s, "none");

    // Names with "=" and empty names never match.
    EXPECT_EQ(ini.GetIntW(u"ud=p", u"lost", 8), 8);
    EXPECT_EQ(ini.GetIntW(u"udp", u"", 8), 8);
    EXPECT_EQ(ini.GetIntW(u"", u"lost", 8), 8);
    EXPECT_EQ(ini.GetIntW(u"udp", u"lo=st", 8), 8);
    EXPECT_EQ(ini.GetIntW(nullptr, u"lost", 8), 8);
    // Comment lines share the key table but have no value to give.
    EXPECT_TRUE(ini.GetValue(u"udp", u"; a comment", u"dflt") == u"dflt");
}

TEST_F(IniFileTest, NumbersAsTheCLibraryReadsThem) {
    TW_IniFileEx ini;
    ASSERT_TRUE(LoadBytes(ini,
                          "[n]\r\na=  -12x\r\nb=+7\r\nc=99999999999\r\nd=-99999999999\r\ne=error\r\nf=\r\n"));
    EXPECT_EQ(ini.GetIntW(u"n", u"a", 0), -12);
    EXPECT_EQ(ini.GetIntW(u"n", u"b", 0), 7);
    EXPECT_EQ(ini.GetIntW(u"n", u"c", 0), INT32_MAX);
    EXPECT_EQ(ini.GetIntW(u"n", u"d", 0), INT32_MIN);
    EXPECT_EQ(ini.GetIntW(u"n", u"e", 5), 5);  // the word the lookups use for "missing"
    EXPECT_EQ(ini.GetIntW(u"n", u"f", 5), 0);
}

TEST_F(IniFileTest, EveryLineIsANodeNumberedByOccurrence) {
    TW_IniFileEx ini;
    ASSERT_TRUE(LoadBytes(ini, "[s]\r\nk=1\r\nK=2\r\n;c\r\nxyz\r\n[S]\r\nk=3\r\n"));
    const IniNode* n[7];
    n[0] = ini.GetFirstNode();
    for (int i = 1; i < 7; ++i) ASSERT_NE(n[i] = n[i - 1]->m_lpNext, nullptr);
    EXPECT_EQ(n[6]->m_lpNext, nullptr);
    EXPECT_EQ(n[2]->m_type, IniNode::Key);
    EXPECT_EQ(n[2]->m_key.nOccurrence, 2);       // K repeats k
    EXPECT_EQ(n[3]->m_type, IniNode::Comment);
    EXPECT_EQ(n[3]->m_lpSection, n[0]);
    EXPECT_EQ(n[4]->m_type, IniNode::Other);     // no "=": belongs nowhere
    EXPECT_EQ(n[4]->m_lpSection, nullptr);
    EXPECT_EQ(n[5]->m_key.nOccurrence, 2);       // [S] repeats [s]
    EXPECT_EQ(n[6]->m_lpSection, n[5]);
    EXPECT_EQ(n[6]->m_key.nOccurrence, 1);
    EXPECT_EQ(ini.GetIntW(u"s", u"k", 0), 1);
}

TEST_F(IniFileTest, LineEndsAndOddFiles) {
    TW_IniFileEx ini;
    // Line feeds alone, as editors on POSIX systems write them; trailing
    // line ends and NULs are ignored.
    ASSERT_TRUE(LoadBytes(ini, std::string("[a]\nx=1\ny=2\n\n") + std::string(2, '\0')));
    EXPECT_EQ(ini.GetIntW(u"a", u"x", 0), 1);
    EXPECT_EQ(ini.GetIntW(u"a", u"y", 0), 2);

    // A first section line that holds "=" does not take the reader down.
    ASSERT_TRUE(LoadBytes(ini, "[a=b]\r\nk=1\r\n[c]\r\nk=2\r\n"));
    EXPECT_EQ(ini.GetIntW(u"c", u"k", 0), 2);
    EXPECT_EQ(ini.GetFirstNode()->m_type, IniNode::Other);

    // Too short to hold anything: loaded, empty.
    ASSERT_TRUE(LoadBytes(ini, "[]"));
    EXPECT_EQ(ini.GetFirstNode(), nullptr);

    // An odd byte at the end of a UTF-16 file is dropped.
    ASSERT_TRUE(LoadBytes(ini, Utf16File(u"[u]\r\nv=3") + "\x01"));
    EXPECT_EQ(ini.GetIntW(u"u", u"v", 0), 3);

    // Reloading replaces everything.
    ASSERT_TRUE(LoadBytes(ini, "[other]\r\nz=1\r\n"));
    EXPECT_EQ(ini.GetIntW(u"u", u"v", 0), 0);
    EXPECT_EQ(ini.GetIntW(u"other", u"z", 0), 1);
    EXPECT_FALSE(ini.IsUnicode());
}

TEST_F(IniFileTest, NonAsciiNamesInUtf16) {
    TW_IniFileEx ini;
    ASSERT_TRUE(LoadBytes(ini, Utf16File(u"[\u00c4rger]\r\n\u00dcBER=\u20ac5\r\n")));
    TW_WString v;
    EXPECT_TRUE(ini.GetStringW(u"\u00e4RGER", u"\u00fcber", v, u""));
    EXPECT_TRUE(v == u"\u20ac5");
}

TEST_F(IniFileTest, MissingFileIsCreated) {
    TW_IniFileEx ini;
    std::string strPath = m_tmp.Narrow("new.ini");
    ASSERT_TRUE(ini.LoadA(strPath.c_str(), true));
    EXPECT_TRUE(ini.IsUnicode());
    EXPECT_EQ(m_tmp.ReadFile(m_tmp.Path() / "new.ini"), "\xFF\xFE");
    // Loaded again: two bytes are too short to look at.
    ASSERT_TRUE(ini.Load(TW_WString(strPath.c_str()), false));
    EXPECT_FALSE(ini.IsUnicode());

    // A folder cannot be opened as a file.
    EXPECT_FALSE(ini.LoadA(m_tmp.Narrow().c_str(), false));
}

}  // namespace
