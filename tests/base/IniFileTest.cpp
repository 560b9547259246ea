// INI files in both encodings: typed lookups, occurrences, case, odd lines.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <tuple>

#include "ScopedTempFolder.h"
#include "TW_IniFileEx.h"

namespace {

// UTF-16LE bytes with the mark.
std::string Utf16File(const std::u16string& strText) {
    std::string out("\xFF\xFE", 2);
    for (char16_t c : strText) out += {char(c & 0xFF), char(c >> 8)};
    return out;
}

const char kSimulator[] =
    "; simulator settings\r\norphan=1\r\n\r\n"
    "[vxnet]\r\nsimulator=1\r\nmaxaffect=250\r\n"
    "[UDP]\r\nLost=5\r\ndelay = 7\r\nname=abc\r\nflag=1 \r\nword=yes\r\noff=0\r\n"
    "; a comment\r\n=;another comment\r\n=\r\nno equals sign\r\n"
    "[n]\r\na=  -12x\r\nb=+7\r\nc=99999999999\r\nd=-99999999999\r\ne=error\r\nf=\r\n"
    "[tcp]\r\ndelay=1\r\nDELAY=2\r\n[TCP]\r\nbreak=9\r\n"
    "  [late]\r\nk=v\r\n";

class IniFileTest : public ::testing::Test {
protected:
    bool LoadBytes(TW_IniFileEx& ini, const std::string& strBytes) {
        std::ofstream(m_tmp.Path() / "test.ini", std::ios::binary) << strBytes;
        return ini.LoadA(m_tmp.Narrow("test.ini").c_str(), false);
    }
    ScopedTempFolder m_tmp;
};

TEST_F(IniFileTest, BothEncodingsGiveTheSameLookups) {
    TW_IniFileEx ansi(17, 17), wide(17, 17);
    ASSERT_TRUE(LoadBytes(ansi, kSimulator));
    ASSERT_TRUE(LoadBytes(wide, Utf16File(std::u16string(kSimulator, kSimulator + sizeof kSimulator - 1))));
    EXPECT_TRUE(!ansi.IsUnicode() && wide.IsUnicode());
    // Section, key, default, expected.
    const std::tuple<const char16_t*, const char16_t*, int, int> arrInt[] = {
        {u"vxnet", u"maxaffect", 0, 250}, {u"udp", u"lost", -1, 5}, {u"[udp]", u"LOST", -1, 5},  // any case
        {u"tcp", u"delay", -1, 1},        // the first of delay and DELAY
        {u"tcp", u"break", -1, -1},       // in the repeated [TCP] only
        {u"vxnet", u"orphan", -1, -1},    // before the first section
        {u"udp", u"delay", -3, -3},       // "delay = 7": the key is "delay ", the value " 7"
        {u"udp", u"delay ", -3, 7},       {u"udp", u"name", 42, 0}, {u"udp", u"missing", 42, 42},
        {u"nosuch", u"lost", 42, 42},     {u"ud=p", u"lost", 8, 8}, {u"udp", u"lo=st", 8, 8},
        {u"udp", u"", 8, 8},              {u"", u"lost", 8, 8},     {nullptr, u"lost", 8, 8},
        // Numbers as the C library reads them; "error" is the word for "missing".
        {u"n", u"a", 0, -12}, {u"n", u"b", 0, 7}, {u"n", u"c", 0, INT32_MAX}, {u"n", u"d", 0, INT32_MIN},
        {u"n", u"e", 5, 5},   {u"n", u"f", 5, 0},
    };
    for (TW_IniFileEx* ini : {&ansi, &wide}) {
        for (auto [lpszSection, lpszKey, nDefault, nExpected] : arrInt)
            EXPECT_EQ(ini->GetIntW(lpszSection, lpszKey, nDefault), nExpected) << ini->IsUnicode();
        EXPECT_TRUE(ini->GetBoolW(u"vxnet", u"simulator", false) && ini->GetBoolW(u"udp", u"flag", false));  // "1 "
        // "yes" is no number: the default.
        EXPECT_TRUE(ini->GetBoolW(u"udp", u"word", true) && !ini->GetBoolW(u"udp", u"word", false));
        EXPECT_TRUE(!ini->GetBoolA("udp", "off", true) && ini->GetBoolA("udp", "missing", true));
        TW_String s, t;
        EXPECT_TRUE(ini->GetStringA("udp", "name", s, "none") && !ini->GetStringA("udp", "gone", t, "none"));
        EXPECT_EQ(std::string(s.GetString()) + "," + t.GetString(), "abc,none");
        EXPECT_EQ(ini->GetHeader(), "; simulator settings\r\n\r\n\r\n");
    }
    // Only the UTF-16 lines are trimmed: "  [late]" is a section there alone.
    EXPECT_TRUE(wide.GetValue(u"late", u"k", u"") == u"v" && ansi.GetValue(u"late", u"k", u"") == u"");
}

TEST_F(IniFileTest, LineEndsAndOddFiles) {
    TW_IniFileEx ini;
    // Line feeds alone; trailing line ends and NULs are ignored.
    ASSERT_TRUE(LoadBytes(ini, std::string("[a]\nx=1\ny=2\n\n") + std::string(2, '\0')));
    EXPECT_EQ(ini.GetIntW(u"a", u"x", 0) * 10 + ini.GetIntW(u"a", u"y", 0), 12);

    // A first section line that holds "=" does not take the reader down.
    ASSERT_TRUE(LoadBytes(ini, "[a=b]\r\nk=1\r\n[c]\r\nk=2\r\n"));
    EXPECT_EQ(ini.GetIntW(u"c", u"k", 0), 2);

    // A UTF-8 mark does not hide the first section; the last file's keys are gone.
    ASSERT_TRUE(LoadBytes(ini, "\xEF\xBB\xBF[vxnet]\r\nsimulator=1\r\n"));
    EXPECT_EQ(ini.GetIntW(u"vxnet", u"simulator", 0) * 10 + ini.GetIntW(u"c", u"k", 0), 10);

    ASSERT_TRUE(LoadBytes(ini, "[]"));  // too short to hold anything
    EXPECT_EQ(ini.GetFirstNode(), nullptr);

    // Non-ASCII names without regard to case; an odd last byte is dropped.
    ASSERT_TRUE(LoadBytes(ini, Utf16File(u"[\u00c4rger]\r\n\u00dcBER=\u20ac5") + "\x01"));
    EXPECT_TRUE(ini.GetValue(u"\u00e4RGER", u"\u00fcber", u"") == u"\u20ac5");

    // A missing file is created, with the mark if asked; loaded again, two
    // bytes are too short to look at. A folder is no file.
    std::string strPath = m_tmp.Narrow("new.ini");
    ASSERT_TRUE(ini.LoadA(strPath.c_str(), true) && ini.IsUnicode());
    EXPECT_EQ(m_tmp.ReadFile(m_tmp.Path() / "new.ini"), "\xFF\xFE");
    EXPECT_TRUE(ini.Load(TW_WString(strPath.c_str()), false) && !ini.IsUnicode());
    EXPECT_FALSE(ini.LoadA(m_tmp.Narrow().c_str(), false));
}

}  // namespace
