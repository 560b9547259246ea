// The completion-port engine started with a real "vxnet.ini" next to this
// program. This program lives in a folder of its own, so the file it writes
// there switches the simulator on for nobody else.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "LoopbackPeer.h"
#include "PfFile.h"
#include "PfSystem.h"
#include "RecordingSink.h"
#include "vxnet/vxnet.h"

namespace {

constexpr int kWaitMs = 20000;

// The settings file for as long as the object lives.
class ScopedIniFile {
public:
    explicit ScopedIniFile(const std::string& text)
        : m_path(pf::ExecutableFolder() + pf::PathSeparator() + "vxnet.ini") {
        std::ofstream(m_path, std::ios::binary) << text;
    }
    ~ScopedIniFile() { std::remove(m_path.c_str()); }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

TEST(NetSimulatorEndToEnd, LossAndDelayStillDeliverEveryTcpByteInOrder) {
    vxtest::NetInit();
    ScopedIniFile ini("[vxnet]\r\nsimulator=1\r\nmaxaffect=10\r\n[udp]\r\nlost=20,40\r\n"
                      "[tcp]\r\ndelay=20,60\r\nbreak=3600,3600\r\n");
    ASSERT_TRUE(pf::PathExists(ini.Path().c_str()));
    vxtest::RecordingSink sink;
    ISocketMgr* lpMgr = vxCreateInstance("IIocpSocketMgr1.0");
    ASSERT_NE(nullptr, lpMgr);
    lpMgr->SetSink(&sink);
    ASSERT_TRUE(lpMgr->Start(0, 0, 0, 0));

    // Several connections at once, so that some are held back and some not.
    constexpr int kConnections = 4;
    vxtest::RawSocket listener = vxtest::RawSocket::TcpListener();
    SOCKET s[kConnections];
    vxtest::RawSocket peer[kConnections];
    std::string expected[kConnections];
    for (int c = 0; c < kConnections; ++c) {
        const size_t from = sink.Size();
        s[c] = lpMgr->CreateTcpSocket(nullptr, nullptr, 0, c, 0);
        ASSERT_TRUE(s[c] != INVALID_SOCKET && lpMgr->Connect(s[c], "127.0.0.1", listener.LocalPort()));
        auto ev = sink.Wait(vxtest::Is(vxtest::Ev::Connect, s[c]), kWaitMs, from);
        ASSERT_TRUE(ev && ev->nError == 0);
        ASSERT_TRUE((peer[c] = listener.Accept(kWaitMs)).IsValid());
    }
    // One message per connection at a time, until some are seen held back:
    // on an idle connection (every earlier send reported done) only a held
    // send leaves anything queued.
    std::string got[kConnections];
    uint32_t uiSends[kConnections] = {};
    int nHeld = 0;
    auto message = [](int c, int round, int i) {
        std::string data = std::to_string(c) + ":" + std::to_string(round) + ":" + std::to_string(i) + ";";
        return data.append(size_t(i * 37 % 300), char('a' + i % 26));
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (int round = 0; round < 20000 && nHeld < 8 && std::chrono::steady_clock::now() < deadline; ++round) {
        for (int c = 0; c < kConnections; ++c) {
            const std::string data = message(c, round, 0);
            uint32_t uiQueued = 0;
            ASSERT_TRUE(lpMgr->Send(s[c], data.data(), uint32_t(data.size()), 0, &uiQueued));
            expected[c] += data;
            ++uiSends[c];
            nHeld += uiQueued > 0 ? 1 : 0;
        }
        for (int c = 0; c < kConnections; ++c) {
            ASSERT_TRUE(peer[c].RecvExact(got[c], expected[c].size() - got[c].size(), kWaitMs));
            ASSERT_TRUE(sink.WaitCount(vxtest::Is(vxtest::Ev::Send, s[c]), uiSends[c], kWaitMs));
        }
    }
    EXPECT_GT(nHeld, 0) << "no send was ever held back";
    // Then bursts, held or not, all in order.
    for (int c = 0; c < kConnections; ++c) {
        for (int i = 0; i < 100; ++i) {
            const std::string data = message(c, -1, i);
            ASSERT_TRUE(lpMgr->Send(s[c], data.data(), uint32_t(data.size()), 0, nullptr));
            expected[c] += data;
        }
    }
    for (int c = 0; c < kConnections; ++c)
        ASSERT_TRUE(peer[c].RecvExact(got[c], expected[c].size() - got[c].size(), kWaitMs)) << "connection " << c;
    for (int c = 0; c < kConnections; ++c) EXPECT_EQ(expected[c], got[c]) << "connection " << c;
    EXPECT_EQ(0u, sink.Count(vxtest::Is(vxtest::Ev::Close))) << "no connection broke";

    // Datagrams: a lost one looks sent.
    vxtest::RawSocket udpPeer = vxtest::RawSocket::Udp();
    SOCKET u = lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 0, 0);
    ASSERT_NE(INVALID_SOCKET, u);
    for (int i = 0; i < 200; ++i) EXPECT_GE(lpMgr->SendTo(u, "127.0.0.1", udpPeer.LocalPort(), "dgram", 5, true), 0);
    // A send that fails is never passed off as a lost one.
    ASSERT_TRUE(lpMgr->CloseSocket(u));
    for (int i = 0; i < 200; ++i) EXPECT_LT(lpMgr->SendTo(u, "127.0.0.1", udpPeer.LocalPort(), "dgram", 5, true), 0);

    lpMgr->Stop(2000);
    vxDestroyInstance(lpMgr);
}

}  // namespace
