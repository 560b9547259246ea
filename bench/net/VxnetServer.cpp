// The vxnet echo server, written as a host would write it against the public
// headers only: accept, ask for a 4-byte header, echo every complete frame
// the offer holds, and ask for whatever the next frame still needs.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "Frame.h"
#include "Servers.h"
#include "vxnet/vxnet.h"

namespace bench {
namespace {

class EchoSink final : public ISocketMgrSink {
public:
    explicit EchoSink(ISocketMgr* mgr) : m_mgr(mgr) {}

    std::atomic<int> open{0};  // accepted connections not closed yet

    bool OnSocketPreAccept(sockaddr_in*, sockaddr_in*) override { return true; }
    void OnSocketConnect(int, SOCKET, uint32_t, uint32_t) override {}
    void OnSocketAccept(int, SOCKET, SOCKET s, sockaddr_in*, sockaddr_in*) override {
        ++open;
        if (!m_mgr->SetNoticeLen(s, kFrameHeaderLen))
            Close(s);
    }
    void OnSocketRecv(int, SOCKET s, const char* data, uint32_t* len, uint32_t, uint32_t) override {
        // The offer may hold several frames and the start of the next one;
        // the unconsumed rest stays buffered and counts towards the next notice.
        const FrameScan scan = ScanFrames(data, *len);
        if (scan.bad || (scan.complete > 0 && !m_mgr->Send(s, data, uint32_t(scan.complete), 0, nullptr))) {
            Close(s);
            return;
        }
        *len = uint32_t(scan.complete);
        if (!m_mgr->SetNoticeLen(s, uint32_t(scan.need)))
            Close(s);
    }
    void OnSocketRecvFrom(int, SOCKET s, const char* data, int len, sockaddr_in* from, uint32_t, uint32_t) override {
        m_mgr->SendToAddr(s, from, data, len, true);
        // An engine that receives one datagram per request (completion port)
        // keeps its receives armed; the others ignore the request.
        m_mgr->SetNoticeLen(s, 1);
    }
    void OnSocketSend(int, SOCKET, uint32_t, uint32_t, uint32_t, uint32_t) override {}
    void OnSocketClose(int, SOCKET s, int, uint32_t, uint32_t) override { Close(s); }
    void OnSocketRecvIdle(int, SOCKET, uint32_t, uint32_t) override {}
    void OnSocketSendIdle(int, SOCKET, uint32_t, uint32_t) override {}
    void OnDnsParse(const char*, uint32_t) override {}
    void OnSocketTimer(SOCKET, uint32_t, uint32_t, uint32_t, uint32_t) override {}
    void OnSocketProxy(int, SOCKET, sockaddr_in*, uint32_t, uint32_t) override {}
    uint32_t OnSocketReserved(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                              uint32_t) override {
        return 0;
    }

private:
    void Close(SOCKET s) {
        m_mgr->CloseSocket(s);
        --open;
    }

    ISocketMgr* m_mgr;
};

// The manager binds the port itself, so a port that was free a moment ago may
// be taken by then: try a few.
template <typename Create>
SOCKET CreateOnFreePort(int sockType, uint16_t* port, Create create) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        *port = PickFreePort(sockType);
        if (*port == 0)
            continue;
        const SOCKET s = create(*port);
        if (s != INVALID_SOCKET)
            return s;
    }
    return INVALID_SOCKET;
}

}  // namespace

int RunVxnetServer(const std::string& interfaceName) {
    vxInitialize();
    ISocketMgr* mgr = vxCreateInstance(interfaceName.c_str());
    if (!mgr) {
        ReportError(interfaceName + " cannot be created in this build");
        return 1;
    }
    EchoSink sink(mgr);
    mgr->SetSink(&sink);
    if (!mgr->Start(0, 0, 0, 0)) {
        ReportError(interfaceName + ": Start failed");
        vxDestroyInstance(mgr);
        return 1;
    }
    uint16_t tcpPort = 0, udpPort = 0;
    const SOCKET listener = CreateOnFreePort(SOCK_STREAM, &tcpPort, [&](uint16_t port) {
        const SOCKET s = mgr->CreateTcpSocket(nullptr, "127.0.0.1", port, 0, 0);
        if (s != INVALID_SOCKET && !mgr->Listen(s, kListenBacklog)) {
            mgr->CloseSocket(s);
            return INVALID_SOCKET;
        }
        return s;
    });
    // As many datagram receives outstanding as the workload has flows, and more.
    constexpr int kUdpReceivesArmed = 64;
    const SOCKET udp = CreateOnFreePort(SOCK_DGRAM, &udpPort, [&](uint16_t port) {
        return mgr->CreateUdpSocket(nullptr, "127.0.0.1", port, 0, 0);
    });
    int rc = 0;
    if (listener == INVALID_SOCKET || udp == INVALID_SOCKET) {
        ReportError(interfaceName + ": cannot listen on 127.0.0.1");
        rc = 1;
    } else {
        for (int i = 0; i < kUdpReceivesArmed; ++i) mgr->SetNoticeLen(udp, 1);
        ReportPorts(tcpPort, udpPort);
        // Serve until the parent closes our input.
        char buf[64];
        while (read(STDIN_FILENO, buf, sizeof buf) > 0) {
        }
        // The client has closed its connections by now: let their closes
        // come in before stopping, as a host shutting down cleanly would.
        for (int i = 0; i < 200 && sink.open > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    mgr->Stop(2000);
    vxDestroyInstance(mgr);
    vxUninitialize();
    return rc;
}

}  // namespace bench
