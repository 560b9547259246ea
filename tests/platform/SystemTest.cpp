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
    pf::SetLastError(pf::kErrConnRefused);
    int other = -1;
    std::thread t([&] {
        pf::SetLastError(pf::kErrWouldBlock);
        other = pf::GetLastError();
    });
    t.join();
    EXPECT_EQ(pf::kErrWouldBlock, other);
    EXPECT_EQ(pf::kErrConnRefused, pf::GetLastError());
    pf::SocketCleanup();
}
