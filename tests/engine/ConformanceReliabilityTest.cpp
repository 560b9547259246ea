// What a hostile host and hostile peers did to an engine: several host
// threads on one socket, Stop and SetSink at the wrong moment, a shutdown
// right after a large send, running out of descriptors, a silent proxy and
// arguments no caller should pass.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "EngineFixture.h"
#include "ScriptedPeer.h"
#include "TW_EngineSocketMgr.h"

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

using vxtest::Ev;
using vxtest::Is;

TEST_P(Conformance, CloseRacingSendOnOneSocketLeavesTheGroupServing) {
    SOCKET sListen;
    uint16_t wPort;
    ASSERT_NO_FATAL_FAILURE(ListenOnEngine(&sListen, &wPort));
#ifndef _WIN32
    // Made now, so that it cannot take a number the closes free: a stale
    // watch on a closed number only shows while nobody reuses it.
    vxtest::RawSocket check(SOCKET(::socket(AF_INET, SOCK_STREAM, 0)));
#endif
    vxtest::RawSocket listener = vxtest::RawSocket::TcpListener();
    const std::string chunk(1024, 'r');
    for (int round = 0; round < 8; ++round) {
        std::vector<SOCKET> socks;
        size_t from = Mark();
        for (int i = 0; i < 60; ++i) {
            SOCKET s = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 0, 0);
            ASSERT_NE(INVALID_SOCKET, s);
            ASSERT_TRUE(m_lpMgr->Connect(s, "127.0.0.1", listener.LocalPort()));
            socks.push_back(s);
        }
        ASSERT_TRUE(m_sink.WaitCount(Is(Ev::Connect), socks.size(), kWaitMs, from));
        std::vector<vxtest::RawSocket> peers;
        for (size_t i = 0; i < socks.size(); ++i) peers.push_back(listener.Accept(kWaitMs));
        // One thread sends and asks for notices while another closes the same sockets.
        std::atomic<bool> bClosed{false};
        std::thread sender([&] {
            for (int pass = 0; pass < 1000 && !bClosed; ++pass)
                for (SOCKET s : socks) {
                    m_lpMgr->Send(s, chunk.data(), uint32_t(chunk.size()), 0, nullptr);
                    m_lpMgr->SetNoticeLen(s, 4);
                }
        });
        for (SOCKET s : socks) {
            EXPECT_TRUE(m_lpMgr->CloseSocket(s));
            std::this_thread::yield();
        }
        bClosed = true;
        sender.join();
    }
    // The group that held them still accepts and still reads.
    size_t from = Mark();
#ifndef _WIN32
    sockaddr_in to = vxtest::Loopback(wPort);
    ASSERT_EQ(0, ::connect(check.Handle(), reinterpret_cast<sockaddr*>(&to), sizeof to));
    vxtest::RawSocket& client = check;
#else
    vxtest::RawSocket client = vxtest::RawSocket::TcpConnect(wPort);
#endif
    auto ev = m_sink.Wait(Is(Ev::Accept, sListen), kWaitMs, from);
    ASSERT_TRUE(ev) << "the listener's group stopped serving";
    ASSERT_TRUE(client.SendAll("ping"));
    ASSERT_NO_FATAL_FAILURE(ExpectNotice(ev->sNew, "ping"));
}

TEST_P(Conformance, StopAndDestroyInsideCallbacksAreRefused) {
    auto nRefused = std::make_shared<std::atomic<int>>(0);
    ISocketMgr* lpMgr = m_lpMgr;
    auto refuse = [=](vxtest::SinkEvent&) {
        if (!lpMgr->Stop(0)) ++*nRefused;
        vxDestroyInstance(lpMgr);  // refused as well: the manager must live on
    };
    m_sink.SetHook(Ev::Connect, refuse);
    m_sink.SetHook(Ev::Recv, refuse);
    SOCKET s;
    vxtest::RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer));
    ASSERT_TRUE(peer.SendAll("abcd"));
    ASSERT_NO_FATAL_FAILURE(ExpectNotice(s, "abcd"));
    EXPECT_EQ(2, nRefused->load());
    m_sink.SetHook(Ev::Connect, nullptr);
    m_sink.SetHook(Ev::Recv, nullptr);
    // Still running: the same socket reads on.
    ASSERT_TRUE(peer.SendAll("efgh"));
    ASSERT_NO_FATAL_FAILURE(ExpectNotice(s, "efgh"));
}

TEST_P(Conformance, SetSinkWaitsForCallsIntoTheOldSinkAndRedirectsTheRest) {
    SOCKET s;
    vxtest::RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer));
    auto entered = std::make_shared<std::atomic<bool>>(false);
    auto release = std::make_shared<std::atomic<bool>>(false);
    m_sink.SetHook(Ev::Recv, [=](vxtest::SinkEvent&) {
        entered->store(true);
        for (int i = 0; i < 1000 && !release->load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    ASSERT_TRUE(peer.SendAll("held"));
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 4));
    ASSERT_TRUE(vxtest::PollUntil([&] { return entered->load(); }, kWaitMs));

    auto next = std::make_unique<vxtest::RecordingSink>();
    std::atomic<bool> bReturned{false};
    std::thread setter([&] {
        m_lpMgr->SetSink(next.get());
        bReturned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(bReturned.load()) << "SetSink returned while the old sink was still being called";
    release->store(true);
    setter.join();
    m_sink.SetHook(Ev::Recv, nullptr);

    ASSERT_TRUE(peer.SendAll("next"));
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 4));
    auto ev = next->Wait(Is(Ev::Recv, s), kWaitMs);
    EXPECT_TRUE(ev && ev->data == "next") << "the new sink hears the next event";
    EXPECT_EQ(1u, m_sink.Count(Is(Ev::Recv, s)));
    m_lpMgr->SetSink(&m_sink);
    next.reset();  // the old sink may go once SetSink returned
}

// With nothing queued the send direction ends at once; right after a large
// send, once the queue has gone out. The other direction goes on.
TEST_P(Conformance, ShutdownRightAfterSendDeliversEveryQueuedByte) {
    for (size_t n : {size_t(0), size_t(8u << 20)}) {
        SOCKET s;
        vxtest::RawSocket peer;
        ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer));
        std::string data(n, '\0'), got;
        for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7 + (i >> 13));
        ASSERT_TRUE(n == 0 || m_lpMgr->Send(s, data.data(), uint32_t(data.size()), 0, nullptr));
        ASSERT_TRUE(m_lpMgr->Shutdown(s, 1));
        EXPECT_FALSE(m_lpMgr->Send(s, "x", 1, 0, nullptr)) << "nothing joins the queue after a send shutdown";
        ASSERT_TRUE(peer.WaitClosed(30000, &got)) << "no end of stream after the queued bytes";
        ASSERT_EQ(data.size(), got.size());
        EXPECT_TRUE(data == got);
        ASSERT_TRUE(peer.SendAll("z"));
        ASSERT_NO_FATAL_FAILURE(ExpectNotice(s, "z"));
    }
    EXPECT_TRUE(m_lpMgr->Shutdown(m_sClock, 1));
}

TEST_P(Conformance, ProxyThatNeverAnswersFailsAfterTheLimit) {
    auto* lpEngine = dynamic_cast<TW_EngineSocketMgr*>(static_cast<TW_SocketMgrInstance*>(m_lpMgr));
    if (!lpEngine) GTEST_SKIP() << "the limit is not reachable through this interface";
    lpEngine->SetProxyHandshakeLimit(300);
    vxtest::ScriptedPeer proxy;
    proxy.Read(3).ExpectClosed();  // takes the greeting, then says nothing
    ASSERT_TRUE(proxy.Start());
    PROXYHANDLE h = m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", proxy.Port(), nullptr, nullptr);
    SOCKET s = m_lpMgr->CreateTcpSocket(h, nullptr, 0, 7, 8);
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->Connect(s, "127.0.0.1", 9));
    ExpectProxyFailure(s, from, 10060, 7, 8);
    EXPECT_TRUE(m_lpMgr->CloseSocket(s));
}

TEST_P(Conformance, HostArgumentsOutsideTheContractFailClearly) {
    SOCKET s;
    vxtest::RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer));
    EXPECT_FALSE(m_lpMgr->Shutdown(s, 99) || m_lpMgr->Shutdown(s, -1));
    EXPECT_EQ(INVALID_SOCKET, m_lpMgr->CreateTcpSocket(nullptr, "no address", 0, 0, 0));
    EXPECT_EQ(INVALID_SOCKET, m_lpMgr->CreateUdpSocket(nullptr, "1.2.3.4.5", 0, 0, 0));
    EXPECT_FALSE(m_lpMgr->SetEventTimer(s | 0x01000000, 0, 10, 10, true)) << "aliases s in the timer key";
    // Nothing of ours to close: a manager says done, a container that it owns no such socket.
    EXPECT_EQ(!GetParam().bContainer, m_lpMgr->CloseSocket(peer.Handle()));
    EXPECT_TRUE(peer.SendAll("still open"));
    int nNotAProxy = 0;
    EXPECT_FALSE(m_lpMgr->DestroyProxy(&nNotAProxy));
    EXPECT_EQ(nullptr, m_lpMgr->CreateProxy(99, "127.0.0.1", 1080, nullptr, nullptr));
    EXPECT_FALSE(m_lpMgr->Start(0, 0, 0, 0)) << "running already";

    // A stopped manager creates nothing until it is started again.
    ASSERT_TRUE(StopEngine());
    EXPECT_EQ(INVALID_SOCKET, m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 0, 0));
    ASSERT_TRUE(m_lpMgr->Start(0, 0, 0, 0));
    SOCKET u = m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 1, 2);
    ASSERT_NE(INVALID_SOCKET, u);
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->SetEventTimer(u, 3, 10, 10, true)) << "the timer runs again too";
    EXPECT_TRUE(m_sink.Wait(Is(Ev::Timer, u), kWaitMs, from));
    m_lpMgr->Stop(2000);
}

#ifndef _WIN32
TEST_P(Conformance, AcceptOutOfDescriptorsPausesTheListenerOnly) {
    SOCKET sListen, sUdp = m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 0, 0);
    uint16_t wPort;
    ASSERT_NO_FATAL_FAILURE(ListenOnEngine(&sListen, &wPort));
    vxtest::RawSocket udpPeer = vxtest::RawSocket::Udp();
    // Every kind of call made while descriptors are out is made once before:
    // the undefined-behaviour checker needs descriptors the first time it
    // checks a virtual call of a new kind.
    SOCKET sFirst;
    vxtest::RawSocket first;
    ASSERT_NO_FATAL_FAILURE(AcceptRawClient(sListen, wPort, &sFirst, &first));
    // (Each datagram is asked for: managers that always read UDP ignore it.)
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(sUdp, 1));
    ASSERT_GE(udpPeer.SendTo(vxtest::LocalPortOf(sUdp), "warm"), 0);
    ASSERT_TRUE(m_sink.Wait(Is(Ev::RecvFrom, sUdp)));
    ASSERT_NO_FATAL_FAILURE(Settle());
    size_t from = Mark();
    int fdClient = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fdClient, 0);
    rlimit old{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
    // Every descriptor below a lowered limit taken: the engine's accept fails.
    rlimit low = old;
    low.rlim_cur = rlim_t(fdClient) + 64;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    std::vector<int> fillers;
    for (int fd; (fd = ::dup(fdClient)) >= 0;) fillers.push_back(fd);
    sockaddr_in to = vxtest::Loopback(wPort);
    ASSERT_EQ(0, ::connect(fdClient, reinterpret_cast<sockaddr*>(&to), sizeof to));

    // The listener rests instead of spinning, and the others are served.
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    getrusage(RUSAGE_SELF, &after);
    auto cpuMs = [](const rusage& r) { return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000.0 +
                                             (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000.0; };
    EXPECT_LT(cpuMs(after) - cpuMs(before), 150.0) << "a poll thread spins on the listener";
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(sUdp, 1));
    ASSERT_GE(udpPeer.SendTo(vxtest::LocalPortOf(sUdp), "dgram"), 0);
    EXPECT_TRUE(m_sink.Wait(Is(Ev::RecvFrom, sUdp), kWaitMs, from));
    EXPECT_EQ(0u, m_sink.Count(Is(Ev::Accept, sListen), from));

    for (int fd : fillers) ::close(fd);
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_TRUE(m_sink.Wait(Is(Ev::Accept, sListen), kWaitMs, from)) << "accepting never resumed";
    ::close(fdClient);
}
#endif
