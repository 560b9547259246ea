// A minimal echo client on the vxnet select engine: connects, sends a framed
// message (a 4-byte little-endian length, then the text), waits for the echo,
// and repeats. Start examples/echo_server first.
//
//   ./build/bin/echo_client [host] [port] [message] [count]
//   ./build/bin/echo_client 127.0.0.1 7777 hello 3
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "vxnet/vxnet.h"

class ClientSink : public ISocketMgrSink {
public:
    ISocketMgr* mgr = nullptr;
    std::string message;
    int left = 1;  // echoes still to receive

    // Sends one frame and asks for exactly one frame back.
    void SendMessage(SOCKET s) {
        const uint32_t n = uint32_t(message.size());
        char header[4] = {char(n), char(n >> 8), char(n >> 16), char(n >> 24)};
        const SendVBuf pieces[2] = {{header, 0, 4}, {message.data(), 0, n}};
        mgr->SetNoticeLen(s, 4 + n);
        mgr->SendV(s, pieces, 2, 0, nullptr);
    }

    void OnSocketConnect(int error, SOCKET s, uint32_t, uint32_t) override {
        if (error != 0) {
            std::printf("connect failed: error %d\n", error);
            Finish();
            return;
        }
        SendMessage(s);
    }

    void OnSocketRecv(int, SOCKET s, const char* data, uint32_t* len, uint32_t, uint32_t) override {
        std::printf("echo: %.*s\n", int(*len - 4), data + 4);  // we asked for the whole frame
        if (--left > 0)
            SendMessage(s);
        else
            Finish();
    }

    void OnSocketClose(int error, SOCKET s, int, uint32_t, uint32_t) override {
        std::printf("connection closed (error %d)\n", error);
        mgr->CloseSocket(s);
        Finish();
    }

    // The main thread waits here until the exchange is over (at most 10 s).
    bool Wait() {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_cv.wait_for(lock, std::chrono::seconds(10), [this] { return m_done; });
    }

    // The events this client does not use.
    bool OnSocketPreAccept(sockaddr_in*, sockaddr_in*) override { return false; }
    void OnSocketAccept(int, SOCKET, SOCKET, sockaddr_in*, sockaddr_in*) override {}
    void OnSocketRecvFrom(int, SOCKET, const char*, int, sockaddr_in*, uint32_t, uint32_t) override {}
    void OnSocketSend(int, SOCKET, uint32_t, uint32_t, uint32_t, uint32_t) override {}
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
    void Finish() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_done = true;
        m_cv.notify_one();
    }
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_done = false;
};

int main(int argc, char** argv) {
    const char* host = argc > 1 ? argv[1] : "127.0.0.1";
    const uint16_t port = uint16_t(argc > 2 ? std::atoi(argv[2]) : 7777);

    vxInitialize();
    ISocketMgr* mgr = vxCreateInstance(VXNET_ISELECT_1_0);
    if (!mgr) {
        std::printf("the select engine is not available in this build\n");
        return 1;
    }
    ClientSink sink;
    sink.mgr = mgr;
    sink.message = argc > 3 ? argv[3] : "hello";
    sink.left = argc > 4 ? std::max(1, std::atoi(argv[4])) : 1;
    mgr->SetSink(&sink);
    mgr->Start(0, 0, 0, 0);

    // A host name is resolved on the engine's own thread; the result comes as OnSocketConnect.
    const SOCKET s = mgr->CreateTcpSocket(nullptr, nullptr, 0, 0, 0);
    const bool ok = s != INVALID_SOCKET && mgr->Connect(s, host, port) && sink.Wait() && sink.left == 0;
    if (!ok)
        std::printf("no complete exchange with %s:%u\n", host, unsigned(port));

    mgr->Stop(2000);
    vxDestroyInstance(mgr);
    vxUninitialize();
    return ok ? 0 : 1;
}
