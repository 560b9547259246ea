// The manager base: proxy records, timer keys, name requests and the record
// file, exercised through a select engine.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

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

uint32_t LE32(const std::string& bytes, size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

TEST_F(SocketMgrTest, ProxyRecordsAreSharedByEqualArguments) {
    PROXYHANDLE a = m_mgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", 1080, "user", "secret");
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(a, m_mgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", 1080, "user", "secret"));
    EXPECT_NE(a, m_mgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", 1080, "user", "other"));
    EXPECT_NE(a, m_mgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", 1081, "user", "secret"));
    PROXYHANDLE noAuth = m_mgr->CreateProxy(PROXY_SOCKS4, "10.1.2.3", 1080, nullptr, nullptr);
    EXPECT_EQ(noAuth, m_mgr->CreateProxy(PROXY_SOCKS4, "10.1.2.3", 1080, nullptr, nullptr));

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

class RecordFileTest : public SocketMgrTest {
protected:
    void SetUp() override {
        SocketMgrTest::SetUp();
        m_old = std::filesystem::current_path();
        m_dir = std::filesystem::temp_directory_path() / ("vxrec_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(m_dir);
        std::filesystem::create_directories(m_dir);
        std::filesystem::current_path(m_dir);
    }
    void TearDown() override {
        SocketMgrTest::TearDown();
        std::filesystem::current_path(m_old);
        std::filesystem::remove_all(m_dir);
    }
    std::string ReadRecordFile() {
        std::ifstream in(m_dir / "vxnet.rec", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::filesystem::path m_old, m_dir;
};

TEST_F(RecordFileTest, RecordsAreLittleEndianAndComplete) {
    EXPECT_TRUE(m_mgr->RecordRecv(1, "x", 1, 2, 3)) << "no record flag: nothing written, still true";
    EXPECT_FALSE(m_mgr->OpenRecordFile());
    m_mgr->SetRecordFlag(true);
    ASSERT_TRUE(m_mgr->OpenRecordFile());
    sockaddr_in a{};
    EXPECT_TRUE(m_mgr->RecordAccept(7, 9, &a, &a));
    EXPECT_TRUE(m_mgr->RecordRecv(9, "hello", 5, 0x11223344, 0x55667788));
    EXPECT_TRUE(m_mgr->RecordClose(-10054, 9, SS_CONNECTED, 1, 2));
    delete m_mgr;  // closes the file
    m_mgr = nullptr;

    std::string f = ReadRecordFile();
    ASSERT_EQ(24u + 25u + 28u, f.size());
    // accept: type 0, 4 bytes, listening socket, words 0, payload = new socket;
    // receive: type 1, the bytes, the user words; close: type 4, error then status.
    const std::pair<size_t, uint32_t> fields[] = {
        {0, 0}, {4, 4}, {8, 7}, {12, 0}, {16, 0}, {20, 9},                              // accept
        {24, 1}, {28, 5}, {32, 9}, {36, 0x11223344u}, {40, 0x55667788u},                  // receive
        {49, 4}, {53, 8}, {69, uint32_t(-10054)}, {73, uint32_t(SS_CONNECTED)}};          // close
    for (const auto& fld : fields) EXPECT_EQ(fld.second, LE32(f, fld.first)) << "offset " << fld.first;
    EXPECT_EQ("hello", f.substr(44, 5));
}

TEST_F(RecordFileTest, RecordsFromManyThreadsNeverInterleave) {
    m_mgr->SetRecordFlag(true);
    ASSERT_TRUE(m_mgr->OpenRecordFile());
    constexpr int kThreads = 4, kRecords = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([this, t] {
            std::string payload(size_t(50 + t * 37), char('a' + t));
            for (int i = 0; i < kRecords; ++i)
                m_mgr->RecordRecv(SOCKET(t), payload.data(), uint32_t(payload.size()), uint32_t(t), uint32_t(i));
        });
    for (auto& th : threads) th.join();
    delete m_mgr;
    m_mgr = nullptr;

    std::string f = ReadRecordFile();
    size_t at = 0;
    int n = 0;
    while (at + 20 <= f.size()) {
        const uint32_t len = LE32(f, at + 4), t = LE32(f, at + 8);
        ASSERT_TRUE(LE32(f, at) == 1 && t < uint32_t(kThreads) && LE32(f, at + 12) == t && len == 50 + t * 37 &&
                    f.substr(at + 20, len) == std::string(len, char('a' + t)))
            << "record " << n << " at offset " << at;
        at += 20 + len;
        ++n;
    }
    EXPECT_EQ(f.size(), at);
    EXPECT_EQ(kThreads * kRecords, n);
}

TEST_F(RecordFileTest, UnopenableFileMeansNoRecording) {
    std::filesystem::create_directory(m_dir / "vxnet.rec");  // a folder where the file should go
    m_mgr->SetRecordFlag(true);
    EXPECT_FALSE(m_mgr->OpenRecordFile());
    EXPECT_FALSE(m_mgr->GetRecordFlag());
    EXPECT_TRUE(m_mgr->RecordRecv(1, "x", 1, 0, 0));
}
