// The manager base: proxy records, timer keys and name requests, exercised
// through a select engine (the record file: RecordReplayTest).
#include <gtest/gtest.h>

#include <string>

#include "RecordingSink.h"
#include "select/TW_SelectSocketMgr.h"

namespace {

class SocketMgrTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_mgr = new TW_SelectSocketMgr();
        m_mgr->SetSink(&m_sink);
    }
    void TearDown() override { delete m_mgr; }
    TW_SelectSocketMgr* m_mgr = nullptr;
    vxtest::RecordingSink m_sink;
};

}  // namespace

TEST_F(SocketMgrTest, ProxyRecordsAreSharedByEqualArguments) {
    PROXYHANDLE a = m_mgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", 1080, "user", "secret");
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(a, m_mgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", 1080, "user", "secret"));
    EXPECT_NE(a, m_mgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", 1080, "user", "other"));
    EXPECT_NE(a, m_mgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", 1081, "user", "secret"));
    PROXYHANDLE noAuth = m_mgr->CreateProxy(PROXY_SOCKS4, "10.1.2.3", 1080, nullptr, nullptr);
    EXPECT_EQ(noAuth, m_mgr->CreateProxy(PROXY_SOCKS4, "10.1.2.3", 1080, nullptr, nullptr));
    // The record keeps its own copy of the strings; no password is not an empty one.
    std::string user = "alice";
    PROXYHANDLE alice = m_mgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", 1080, user.c_str(), "");
    user[0] = 'X';
    EXPECT_EQ(alice, m_mgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", 1080, "alice", ""));
    EXPECT_NE(alice, m_mgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", 1080, "alice", nullptr));

    uint32_t dwIp = 0;
    uint16_t wPort = 0;
    ASSERT_TRUE(m_mgr->GetProxyAddr(noAuth, &dwIp, &wPort));
    EXPECT_TRUE(dwIp == 0x0302010Au && wPort == htons(1080)) << "network order: " << dwIp << ":" << wPort;

    EXPECT_TRUE(m_mgr->DestroyProxy(noAuth));
    EXPECT_FALSE(m_mgr->GetProxyAddr(noAuth, &dwIp, &wPort));
    EXPECT_FALSE(m_mgr->DestroyProxy(noAuth)) << "unknown now";
    EXPECT_FALSE(m_mgr->DestroyProxy(nullptr));

    // Arguments that cannot be sent (the limits are ProxyArgsAcceptable's).
    for (const char* lpszIp : {(const char*)nullptr, "not an address"})
        EXPECT_EQ(nullptr, m_mgr->CreateProxy(PROXY_SOCKS5, lpszIp, 1080, nullptr, nullptr));
    EXPECT_EQ(nullptr, m_mgr->CreateProxy(PROXY_HTTP, "127.0.0.1", 3128, "user", std::string(900, 'p').c_str()));
}

TEST_F(SocketMgrTest, TimerSlotsNeedARunningTimerAndAreKeptPerSocket) {
    ASSERT_TRUE(m_mgr->Start(START_NO_DNS_THREAD | START_NO_TIMER, 0, 0, 0));
    SOCKET s5 = m_mgr->CreateTcpSocket(nullptr, nullptr, 0, 0, 0);
    EXPECT_FALSE(m_mgr->SetEventTimer(s5, 0, 100, 100, true)) << "timer not started";
    EXPECT_FALSE(m_mgr->Connect(s5, "localhost", 80)) << "the 20 s limit cannot be armed";
    m_mgr->Stop(0);
    ASSERT_TRUE(m_mgr->Start(START_NO_DNS_THREAD, 0, 0, 0));
    s5 = m_mgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 0, 0);
    SOCKET s6 = m_mgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 0, 0);
    ASSERT_NE(INVALID_SOCKET, s6);
    EXPECT_TRUE(m_mgr->SetEventTimer(s5, 28, 100000, 1, true));
    EXPECT_FALSE(m_mgr->SetEventTimer(s5, 29, 100000, 1, true));
    EXPECT_FALSE(m_mgr->KillEventTimer(s5, 29));
    EXPECT_TRUE(m_mgr->SetSendIdleTimer(s5, 100000));
    EXPECT_FALSE(m_mgr->SetSendIdleTimer(s5, 100000)) << "same key twice";
    EXPECT_TRUE(m_mgr->SetRecvIdleTimer(s5, 100000));
    EXPECT_TRUE(m_mgr->SetConnectTimer(s5));
    EXPECT_FALSE(m_mgr->SetConnectTimer(s5));
    EXPECT_TRUE(m_mgr->SetEventTimer(s6, 0, 100000, 1, true));

    m_mgr->KillSocketTimers(s5);
    EXPECT_FALSE(m_mgr->KillSendIdleTimer(s5) || m_mgr->KillRecvIdleTimer(s5) || m_mgr->KillConnectTimer(s5) ||
                 m_mgr->KillEventTimer(s5, 28));
    EXPECT_TRUE(m_mgr->KillEventTimer(s6, 0)) << "another socket's timer is left alone";
    EXPECT_FALSE(m_mgr->SetSendIdleTimer(s5, 0)) << "a zero period never expires properly";
}

TEST_F(SocketMgrTest, QueuedNameRequestsAreFreedWithoutAWorker) {
    // No DNS thread: the requests stay queued until destruction (leak-checked).
    ASSERT_TRUE(m_mgr->Start(START_NO_DNS_THREAD | START_NO_TIMER, 0, 0, 0));
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(m_mgr->ParseDns("localhost"));
}
