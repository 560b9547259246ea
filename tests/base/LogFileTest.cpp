// Log file names and folders, the lines written, and the file wrapper's flags.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "PfSystem.h"
#include "ScopedTempFolder.h"
#include "TW_FileEx.h"
#include "TW_Log.h"

namespace fs = std::filesystem;

namespace {

// 2012-05-06 07:08:09 local time.
const TW_DateTimeEx kMay6(734994, (7 * 3600 + 8 * 60 + 9) * 10000);

std::string Sep() { return std::string(1, pf::PathSeparator()); }

// "a/b/c" with the platform's separator.
std::string Native(std::string strPath) {
    for (char& c : strPath)
        if (c == '/') c = pf::PathSeparator();
    return strPath;
}

std::string Name(const std::string& strBase, int nPeriod, const char* lpszTag) {
    TW_String strPath;
    tw::BuildLogFileNameIn(strBase.c_str(), nPeriod, lpszTag, strPath, kMay6);
    return strPath.GetString();
}

void Log(const ScopedTempFolder& tmp, int nPeriod, const char* lpszTag, const TW_DateTimeEx& dt,
         const char* lpszFormat, ...) {
    va_list args;
    va_start(args, lpszFormat);
    tw::LogWriteV(tmp.Narrow().c_str(), nPeriod, lpszTag, &dt, lpszFormat, args);
    va_end(args);
}

TEST(LogFileTest, FileNameForEveryPeriod) {
    ASSERT_EQ(kMay6.GetYear() * 10000 + kMay6.GetMonth() * 100 + kMay6.GetDay(), 20120506);
    const std::string b = "base";
    EXPECT_EQ(Name(b, 1, "thread"), Native("base/log/log_2012_05/thread_2012_05_06_07.txt"));
    EXPECT_EQ(Name(b, 2, "thread"), Native("base/log/log_2012_05/thread_2012_05_06.txt"));
    EXPECT_EQ(Name(b, 3, "thread"), Native("base/log/log_2012/thread_2012_05.txt"));
    EXPECT_EQ(Name(b, 4, "thread"), Native("base/log/log_thread_2012.txt"));
    EXPECT_EQ(Name(b, 0, "thread"), Native("base/log/log_thread_.txt"));
    EXPECT_EQ(Name(b, 2, nullptr), Native("base/log/log_2012_05/2012_05_06.txt"));
    EXPECT_EQ(Name(b, 0, nullptr), Native("base/log/log.txt"));
    EXPECT_EQ(Name("base" + Sep(), 4, "x"), Native("base/log/log_x_2012.txt"));

    // The public form is anchored at the module's folder.
    TW_String strPath;
    BuildLogFileName(4, "thread", strPath, kMay6);
    EXPECT_EQ(std::string(strPath.GetString()), pf::ModuleFolder() + Native("/log/log_thread_2012.txt"));
}

TEST(LogFileTest, NoLogFolderMeansNothingWrittenOrCreated) {
    ScopedTempFolder tmp;
    for (int nPeriod = 0; nPeriod <= 4; ++nPeriod) Log(tmp, nPeriod, "t", kMay6, "line %d\r\n", nPeriod);
    EXPECT_TRUE(fs::is_empty(tmp.Path()));

    // Next to the test program there is no "log" folder either.
    fs::path moduleLog = fs::path(pf::ModuleFolder()) / "log";
    ASSERT_FALSE(fs::exists(moduleLog));
    LogWrite(1, "t", "dropped %s\r\n", "line");
    EXPECT_FALSE(fs::exists(moduleLog));
}

TEST(LogFileTest, LinesGoToTheFileOfTheirPeriod) {
    ScopedTempFolder tmp;
    fs::create_directory(tmp.Path() / "log");
    Log(tmp, 1, "thread", kMay6, "started %d\r\n", 5);
    Log(tmp, 1, "thread", kMay6, "second\r\n");
    TW_DateTimeEx nextHour(kMay6.GetDayNumber(), kMay6.GetTimeOfDay() + 3600 * 10000);
    Log(tmp, 1, "thread", nextHour, "later\r\n");
    Log(tmp, 3, nullptr, kMay6, "monthly\r\n");
    Log(tmp, 4, "y", kMay6, "yearly\r\n");

    fs::path month = tmp.Path() / "log" / "log_2012_05";
    EXPECT_EQ(tmp.ReadFile(month / "thread_2012_05_06_07.txt"),
              "2012-05-06 07:08:09 : started 5\r\n2012-05-06 07:08:09 : second\r\n");
    EXPECT_EQ(tmp.ReadFile(month / "thread_2012_05_06_08.txt"), "2012-05-06 08:08:09 : later\r\n");
    EXPECT_EQ(tmp.ReadFile(tmp.Path() / "log" / "log_2012" / "2012_05.txt"), "2012-05-06 07:08:09 : monthly\r\n");
    EXPECT_EQ(tmp.ReadFile(tmp.Path() / "log" / "log_y_2012.txt"), "2012-05-06 07:08:09 : yearly\r\n");
}

TEST(LogFileTest, LongMessageIsCutAndTerminated) {
    ScopedTempFolder tmp;
    fs::create_directory(tmp.Path() / "log");
    std::string strLong(5000, 'z');
    Log(tmp, 0, "cut", kMay6, "%s\r\n", strLong.c_str());
    std::string strFile = tmp.ReadFile(tmp.Path() / "log" / "log_cut_.txt");
    // Room for the format plus 1024 bytes, one of them the terminator.
    EXPECT_EQ(strFile, "2012-05-06 07:08:09 : " + std::string(std::strlen("%s\r\n") + 1023, 'z'));
}

TEST(LogFileTest, ConcurrentWritersNeverInterleave) {
    ScopedTempFolder tmp;
    fs::create_directory(tmp.Path() / "log");
    const int kThreads = 4, kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&tmp, t] {
            for (int i = 0; i < kLines; ++i) Log(tmp, 0, "mt", kMay6, "thread %d line %03d ....................\r\n", t, i);
        });
    for (auto& th : threads) th.join();
    std::string strFile = tmp.ReadFile(tmp.Path() / "log" / "log_mt_.txt");
    int nLines = 0;
    for (size_t pos = 0; pos < strFile.size(); ++nLines) {
        size_t end = strFile.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        std::string strLine = strFile.substr(pos, end - pos);
        ASSERT_EQ(strLine.size(), 22u + 38u) << strLine;
        ASSERT_EQ(strLine.substr(0, 29), "2012-05-06 07:08:09 : thread ");
        pos = end + 2;
    }
    EXPECT_EQ(nLines, kThreads * kLines);
}

TEST(FileExTest, OpenFlags) {
    ScopedTempFolder tmp;
    TW_WString strPath(tmp.Narrow("data.bin").c_str());
    TW_FileEx f;
    EXPECT_FALSE(f.Open(strPath, 0));                              // no access
    EXPECT_FALSE(f.Open(strPath, TW_FileEx::kRead));               // open existing: missing
    EXPECT_FALSE(f.Open(strPath, TW_FileEx::kRead | 0x500));       // unknown creation
    EXPECT_FALSE(fs::exists(tmp.Path() / "data.bin"));

    ASSERT_TRUE(f.Open(strPath, TW_FileEx::kWrite | TW_FileEx::kCreateNew));
    EXPECT_EQ(f.Write("hello", 5), 5);
    EXPECT_EQ(f.Write("x", 0), 0);
    EXPECT_EQ(f.Write("x", -1), -1);
    EXPECT_TRUE(f.Close());
    EXPECT_FALSE(f.Close());
    EXPECT_EQ(f.Write("x", 1), -1);  // closed

    EXPECT_FALSE(f.Open(strPath, TW_FileEx::kWrite | TW_FileEx::kCreateNew));  // exists now
    ASSERT_TRUE(f.Open(strPath, TW_FileEx::kRead));
    char buf[16] = {};
    EXPECT_EQ(f.Read(buf, 0), -1);
    EXPECT_EQ(f.Read(nullptr, 4), -1);
    EXPECT_EQ(f.Write("x", 1), -1);  // opened for reading only
    EXPECT_EQ(f.Read(buf, sizeof buf), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(f.Read(buf, sizeof buf), 0);  // end of file
    // Opening again releases the first handle.
    ASSERT_TRUE(f.Open(strPath, TW_FileEx::kRead | TW_FileEx::kWrite | TW_FileEx::kOpenAlways));
    EXPECT_EQ(f.Write("J", 1), 1);
    EXPECT_TRUE(f.Close());
    EXPECT_EQ(tmp.ReadFile(tmp.Path() / "data.bin"), "Jello");

    ASSERT_TRUE(f.Open(strPath, TW_FileEx::kWrite | TW_FileEx::kCreateAlways));
    EXPECT_TRUE(f.Close());
    EXPECT_EQ(fs::file_size(tmp.Path() / "data.bin"), 0u);
}

TEST(FileExTest, NonAsciiNameAndOwnerThatForgetsToClose) {
    ScopedTempFolder tmp;
    TW_WString strPath(tmp.Narrow().c_str());
    strPath += TW_WString(u"/caf\u00e9.txt");
    {
        TW_FileEx f;
        ASSERT_TRUE(f.Open(strPath, TW_FileEx::kWrite | TW_FileEx::kCreateNew));
        EXPECT_EQ(f.Write("1234", 4), 4);
    }  // the destructor closes the handle
    TW_FileEx g;
    ASSERT_TRUE(g.Open(strPath, TW_FileEx::kRead | TW_FileEx::kWrite));
    char buf[8];
    EXPECT_EQ(g.Read(buf, sizeof buf), 4);
    EXPECT_TRUE(g.Close());
    EXPECT_TRUE(fs::exists(tmp.Path() / fs::path(u"caf\u00e9.txt")));
}

}  // namespace
