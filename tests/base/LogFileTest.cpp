// Log file names and folders, the lines written, and the file wrapper's flags.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "PfSystem.h"
#include "ScopedTempFolder.h"
#include "TW_FileEx.h"
#include "TW_Log.h"

namespace fs = std::filesystem;

namespace {

// 2012-05-06 07:08:09 local time.
const TW_DateTimeEx kMay6(734994, (7 * 3600 + 8 * 60 + 9) * 10000);

// "a/b/c" with the platform's separator.
std::string Native(const char* lpszPath) { return fs::path(lpszPath).make_preferred().string(); }

void Log(const ScopedTempFolder& tmp, int nPeriod, const char* lpszTag, const TW_DateTimeEx& dt,
         const char* lpszFormat, ...) {
    va_list args;
    va_start(args, lpszFormat);
    tw::LogWriteV(tmp.Narrow().c_str(), nPeriod, lpszTag, &dt, lpszFormat, args);
    va_end(args);
}

// The periods the writing test below does not reach, a base with a trailing
// separator, and the public form anchored at the module's folder.
TEST(LogFileTest, FileNames) {
    const std::tuple<const char*, int, const char*, const char*> arrCase[] = {
        {"base", 2, "thread", "base/log/log_2012_05/thread_2012_05_06.txt"}, {"base", 0, nullptr, "base/log/log.txt"},
        {"base", 2, nullptr, "base/log/log_2012_05/2012_05_06.txt"}, {"base/", 4, "x", "base/log/log_x_2012.txt"}};
    TW_String strPath;
    for (auto [lpszBase, nPeriod, lpszTag, lpszName] : arrCase) {
        tw::BuildLogFileNameIn(Native(lpszBase).c_str(), nPeriod, lpszTag, strPath, kMay6);
        EXPECT_EQ(std::string(strPath.GetString()), Native(lpszName));
    }
    BuildLogFileName(4, "thread", strPath, kMay6);
    EXPECT_EQ(std::string(strPath.GetString()), pf::ModuleFolder() + Native("/log/log_thread_2012.txt"));
}

// Without a "log" folder nothing is written or created; with one, each line
// goes to the file of its period, cut at 1024 bytes, and concurrent writers
// never interleave their lines.
TEST(LogFileTest, LinesGoToTheFileOfTheirPeriodIfTheFolderExists) {
    ScopedTempFolder tmp;
    for (int nPeriod = 0; nPeriod <= 4; ++nPeriod) Log(tmp, nPeriod, "t", kMay6, "line %d\r\n", nPeriod);
    EXPECT_TRUE(fs::is_empty(tmp.Path()));
    fs::path moduleLog = fs::path(pf::ModuleFolder()) / "log";  // none next to the test program either
    ASSERT_FALSE(fs::exists(moduleLog));
    LogWrite(1, "t", "dropped %s\r\n", "line");
    EXPECT_FALSE(fs::exists(moduleLog));

    const fs::path log = tmp.Path() / "log";
    fs::create_directory(log);
    Log(tmp, 1, "thread", kMay6, "started %d\r\n", 5);
    Log(tmp, 1, "thread", kMay6, "second\r\n");
    Log(tmp, 1, "thread", TW_DateTimeEx(734994, kMay6.GetTimeOfDay() + 3600 * 10000), "later\r\n");
    Log(tmp, 3, nullptr, kMay6, "monthly\r\n");
    Log(tmp, 0, "cut", kMay6, "%s\r\n", std::string(5000, 'z').c_str());
    EXPECT_EQ(tmp.ReadFile(log / "log_2012_05" / "thread_2012_05_06_07.txt"),
              "2012-05-06 07:08:09 : started 5\r\n2012-05-06 07:08:09 : second\r\n");
    EXPECT_EQ(tmp.ReadFile(log / "log_2012_05" / "thread_2012_05_06_08.txt"), "2012-05-06 08:08:09 : later\r\n");
    EXPECT_EQ(tmp.ReadFile(log / "log_2012" / "2012_05.txt"), "2012-05-06 07:08:09 : monthly\r\n");
    // Room for the format plus 1024 bytes, one of them the terminator.
    EXPECT_EQ(tmp.ReadFile(log / "log_cut_.txt"),
              "2012-05-06 07:08:09 : " + std::string(std::strlen("%s\r\n") + 1023, 'z'));

    static const char kDots[] = "....................";  // 20
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&tmp, t] {
            for (int i = 0; i < 200; ++i) Log(tmp, 0, "mt", kMay6, "thread %d line %03d %s\r\n", t, i, kDots);
        });
    for (auto& th : threads) th.join();
    std::string strFile = tmp.ReadFile(log / "log_mt_.txt");
    ASSERT_EQ(strFile.size(), 800u * 62);
    for (size_t pos = 0; pos < strFile.size(); pos += 62)
        ASSERT_EQ(strFile.substr(pos, 29) + strFile.substr(pos + 60, 2), "2012-05-06 07:08:09 : thread \r\n") << pos;
}

TEST(FileExTest, OpenFlagsOnANonAsciiName) {
    ScopedTempFolder tmp;
    const TW_WString strPath = TW_WString(tmp.Narrow().c_str()) + u"/caf\u00e9.bin";
    const fs::path file = tmp.Path() / fs::path(u"caf\u00e9.bin");
    TW_FileEx f;
    // No access; open existing, but missing; unknown creation.
    EXPECT_FALSE(f.Open(strPath, 0) || f.Open(strPath, TW_FileEx::kRead) || f.Open(strPath, TW_FileEx::kRead | 0x500));
    {
        TW_FileEx g;
        ASSERT_TRUE(g.Open(strPath, TW_FileEx::kWrite | TW_FileEx::kCreateNew));
        EXPECT_TRUE(g.Write("hello", 5) == 5 && g.Write("x", 0) == 0);
    }  // the destructor closes the handle
    EXPECT_FALSE(f.Open(strPath, TW_FileEx::kWrite | TW_FileEx::kCreateNew));  // exists now
    ASSERT_TRUE(f.Open(strPath, TW_FileEx::kRead));
    char buf[16] = {};
    EXPECT_EQ(f.Write("x", 1), -1);  // opened for reading only
    EXPECT_TRUE(f.Read(buf, 0) == -1 && f.Read(buf, sizeof buf) == 5 && f.Read(buf, sizeof buf) == 0);
    // Opening again releases the first handle; open-always keeps the content.
    ASSERT_TRUE(f.Open(strPath, TW_FileEx::kRead | TW_FileEx::kWrite | TW_FileEx::kOpenAlways));
    EXPECT_EQ(f.Write("J", 1), 1);
    EXPECT_TRUE(f.Close() && !f.Close() && f.Write("x", 1) == -1);
    EXPECT_EQ(tmp.ReadFile(file), "Jello");
    ASSERT_TRUE(f.Open(strPath, TW_FileEx::kWrite | TW_FileEx::kCreateAlways) && f.Close());
    EXPECT_EQ(fs::file_size(file), 0u);
}

}  // namespace
