// Entry points and the two instance registries, with stand-in engines
// registered through the factory.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "TW_NetworkEx.h"
#include "select/TW_SelectSocketMgr.h"
#include "vxnet/vxnet.h"

namespace {

std::atomic<int> g_nLive{0};

// A select manager that counts its instances and keeps the name it was made
// for (containers choose their engine by name).
class FakeMgr : public TW_SelectSocketMgr {
public:
    explicit FakeMgr(bool bRecord, const char* lpszName = "") : m_strName(lpszName) {
        ++g_nLive;
        SetRecordFlag(bRecord);
        SetSink(reinterpret_cast<ISocketMgrSink*>(1));  // the factory must set the sink
    }
    ~FakeMgr() override { --g_nLive; }
    std::string m_strName;

    // Slot 29 answers with a marker so the slot order can be checked through the table.
    bool Send(SOCKET, const char*, uint32_t, uint32_t, uint32_t* lpQueued) override {
        if (lpQueued) *lpQueued = 29;
        return true;
    }
};

TW_SocketMgrInstance* MakeFake(bool bRecord) { return new FakeMgr(bRecord); }
TW_SocketMgrInstance* MakeFakeContainer(const char* lpszName) { return new FakeMgr(false, lpszName); }

// Installs the stand-ins for every engine type and the container.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int t : {SOCKETMGR_SELECT, SOCKETMGR_ASYNC, SOCKETMGR_IOCP, SOCKETMGR_RECORD})
            m_old[t] = SetSocketMgrFactory(t, &MakeFake);
        m_oldContainer = SetContainerFactory(&MakeFakeContainer);
        m_nBaseMgrs = GetRegisteredSocketMgrCount();
        m_nBaseContainers = GetRegisteredContainerCount();
    }
    void TearDown() override {
        for (int t : {SOCKETMGR_SELECT, SOCKETMGR_ASYNC, SOCKETMGR_IOCP, SOCKETMGR_RECORD})
            SetSocketMgrFactory(t, m_old[t]);
        SetContainerFactory(m_oldContainer);
    }
    SocketMgrFactory m_old[6] = {};
    ContainerFactory m_oldContainer = nullptr;
    int m_nBaseMgrs = 0, m_nBaseContainers = 0;
};

std::string CreateCapturingOutput(const char* lpszName, ISocketMgr** lppMgr) {
    ::testing::internal::CaptureStdout();
    *lppMgr = vxCreateInstance(lpszName);
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

const char kUnknownAnswer[] =
    "InterfaceName is:\nIIocpSocketMgr1.0\nIIocpSocketMgr1.1 record\nIAsyncSocketMgr1.0\n"
    "IAsyncSocketMgr1.1 record\nISelectSocketMgr1.0\n2.0 is Container\n";

}  // namespace

TEST(EntryPoints, NameTable) {
    const char* expected[] = {"IIocpSocketMgr1.0",  "IAsyncSocketMgr1.0", "ISelectSocketMgr1.0",
                              "IIocpSocketMgr1.1",  "IAsyncSocketMgr1.1", "IRecordSocketMgr1.0",
                              "IIocpSocketMgr2.0",  "IAsyncSocketMgr2.0", "ISelectSocketMgr2.0"};
    char buf[VXNET_INTERFACE_NAME_SIZE + 4];
    for (uint32_t i = 0; i < 9; ++i) {
        std::memset(buf, 'x', sizeof buf);
        ASSERT_TRUE(vxGetInterfaceName(i, buf));
        EXPECT_STREQ(expected[i], buf);
        // Nothing beyond the NUL (index 8 fills all 20 bytes).
        EXPECT_EQ('x', buf[std::strlen(expected[i]) + 1]) << i;
    }
    for (uint32_t bad : {9u, 100u, 4294967295u}) {
        std::memset(buf, 'x', sizeof buf);
        EXPECT_FALSE(vxGetInterfaceName(bad, buf));
        EXPECT_EQ('x', buf[0]) << "buffer untouched for index " << bad;
    }
    EXPECT_TRUE(vxInitialize());
    vxUninitialize();
}

TEST_F(RegistryTest, UnknownNamesPrintTheSevenLines) {
    for (const char* name : {"iselectsocketmgr1.0", "ISelectSocketMgr1.0 ", "ISelectSocketMgr1.1", "",
                             "IIocpSocketMgr1.0x", "IIocpSocketMgr", (const char*)nullptr}) {
        ISocketMgr* p = reinterpret_cast<ISocketMgr*>(1);
        EXPECT_EQ(kUnknownAnswer, CreateCapturingOutput(name, &p)) << "name '" << (name ? name : "(null)") << "'";
        EXPECT_EQ(nullptr, p);
    }
    EXPECT_EQ(m_nBaseMgrs, GetRegisteredSocketMgrCount());
    EXPECT_EQ(m_nBaseContainers, GetRegisteredContainerCount());
}

TEST_F(RegistryTest, NamesMapToEnginesRecordFlagAndNoSink) {
    struct Case { const char* name; bool bRecord; bool bContainer; };
    const Case cases[] = {{"IIocpSocketMgr1.0", false, false},  {"IIocpSocketMgr1.1", true, false},
                          {"IAsyncSocketMgr1.0", false, false}, {"IAsyncSocketMgr1.1", true, false},
                          {"ISelectSocketMgr1.0", false, false}, {"IRecordSocketMgr1.0", false, false},
                          {"IIocpSocketMgr2.0", false, true},   {"IAsyncSocketMgr2.0", false, true},
                          {"ISelectSocketMgr2.0", false, true}};
    for (const Case& c : cases) {
        ISocketMgr* p = nullptr;
        EXPECT_EQ("", CreateCapturingOutput(c.name, &p));
        ASSERT_NE(nullptr, p) << c.name;
        auto* fake = static_cast<FakeMgr*>(static_cast<TW_SocketMgrInstance*>(p));
        EXPECT_EQ(c.bRecord, fake->GetRecordFlag()) << c.name;
        if (c.bContainer) {
            EXPECT_EQ(std::string(c.name), fake->m_strName);  // the container chooses its engine by name
        } else {
            EXPECT_EQ(nullptr, p->GetSink()) << "managers start with a null sink";
        }
        vxDestroyInstance(p);
    }
    EXPECT_EQ(0, g_nLive.load());
}

TEST_F(RegistryTest, DestroyOnceFromItsOwnListOnly) {
    ISocketMgr* a = vxCreateInstance("ISelectSocketMgr1.0");
    ISocketMgr* box = vxCreateInstance("IIocpSocketMgr2.0");
    ASSERT_TRUE(a && box);
    uint32_t queued = 0;
    EXPECT_TRUE(a->Send(1, "x", 1, 0, &queued));
    EXPECT_EQ(29u, queued) << "slot 29 through the table is Send";
    EXPECT_EQ(m_nBaseMgrs + 1, GetRegisteredSocketMgrCount());
    EXPECT_EQ(m_nBaseContainers + 1, GetRegisteredContainerCount());
    vxDestroyInstance(box);
    EXPECT_EQ(m_nBaseMgrs + 1, GetRegisteredSocketMgrCount());
    vxDestroyInstance(a);
    vxDestroyInstance(a);  // already gone: no effect
    vxDestroyInstance(nullptr);
    FakeMgr foreign(false);
    vxDestroyInstance(&foreign);  // never registered: untouched
    EXPECT_EQ(1, g_nLive.load());
    EXPECT_EQ(m_nBaseMgrs, GetRegisteredSocketMgrCount());
    EXPECT_EQ(m_nBaseContainers, GetRegisteredContainerCount());
}

TEST_F(RegistryTest, ConcurrentCreateAndDestroy) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 500; ++i) {
                ISocketMgr* p = vxCreateInstance(i % 2 ? "IAsyncSocketMgr1.0" : "ISelectSocketMgr2.0");
                vxDestroyInstance(p);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(0, g_nLive.load());
    EXPECT_EQ(m_nBaseMgrs, GetRegisteredSocketMgrCount());
    EXPECT_EQ(m_nBaseContainers, GetRegisteredContainerCount());
}

// A manager's destruction waits for its threads, and one of them may be in a
// callback that creates and destroys another instance: destruction must not
// hold the registry meanwhile, or each thread waits for the other for ever.
namespace {

std::thread g_callbackThread;
std::atomic<bool> g_bCallbackDone{false};
bool g_bDestroyWaitedInVain = false;

struct WaitsForRegistryUser : FakeMgr {
    WaitsForRegistryUser() : FakeMgr(false) {}
    ~WaitsForRegistryUser() override {
        g_callbackThread = std::thread([] {
            vxDestroyInstance(vxCreateInstance("IAsyncSocketMgr1.0"));
            g_bCallbackDone = true;
        });
        for (int i = 0; i < 5000 && !g_bCallbackDone; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        g_bDestroyWaitedInVain = !g_bCallbackDone;  // the thread is joined once the destroy has returned
    }
};

}  // namespace

TEST_F(RegistryTest, DestructionDoesNotHoldTheRegistry) {
    SetSocketMgrFactory(SOCKETMGR_IOCP, [](bool) -> TW_SocketMgrInstance* { return new WaitsForRegistryUser; });
    vxDestroyInstance(vxCreateInstance("IIocpSocketMgr1.0"));
    g_callbackThread.join();
    EXPECT_FALSE(g_bDestroyWaitedInVain);
    EXPECT_EQ(0, g_nLive.load());
    EXPECT_EQ(m_nBaseMgrs, GetRegisteredSocketMgrCount());
}

TEST(Factory, UnassignedCodesMakeNothing) {
    for (int t : {0, 4, 6, -1, 100}) EXPECT_EQ(nullptr, CreateSocketMgr(t, nullptr, false)) << t;
}
