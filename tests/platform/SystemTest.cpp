// Process facts and the Winsock error numbering of the platform layer.
#include <gtest/gtest.h>

#include <thread>

#include "PfError.h"
#include "PfSocket.h"
#include "PfSystem.h"

TEST(PlatformSystem, ProcessFacts) {
    EXPECT_GE(pf::ProcessorCount(), 1u);
    EXPECT_NE(0u, pf::ProcessId());
    std::string exe = pf::ExecutableFolder();
    EXPECT_FALSE(exe.empty());
    // The test program links the library code statically: same folder.
    EXPECT_EQ(exe, pf::ModuleFolder());
    EXPECT_NE(exe.back(), pf::PathSeparator());
}

TEST(PlatformError, LastErrorIsPerThread) {
    EXPECT_EQ(0, pf::SocketStartup());
    // Two threads set and read their own values at the same time. (Any other
    // system call may overwrite the value on Windows, so nothing runs between
    // a set and its read.)
    auto hammer = [](int nValue, int* lpBad) {
        for (int i = 0; i < 100000; ++i) {
            pf::SetLastError(nValue);
            if (pf::GetLastError() != nValue) ++*lpBad;
        }
    };
    int badA = 0, badB = 0;
    std::thread t(hammer, int(pf::kErrWouldBlock), &badB);
    hammer(pf::kErrConnRefused, &badA);
    t.join();
    EXPECT_EQ(0, badA);
    EXPECT_EQ(0, badB);
    pf::SocketCleanup();
}
