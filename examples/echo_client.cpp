// An echo client: connects, sends a framed message (a 4-byte little-endian
// length, then the text), waits for the echo, and repeats. Start
// examples/echo_server first.
//
//   echo_client [host] [port] [message] [count] [interface]
//   echo_client 127.0.0.1 7777 hello 3
#include <algorithm>
#include <cstdlib>
#include <string>

#include "ExampleSink.h"

class ClientSink : public ExampleSink {
public:
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
            Finish(false);
            return;
        }
        SendMessage(s);
    }

    void OnSocketRecv(int, SOCKET s, const char* data, uint32_t* len, uint32_t, uint32_t) override {
        std::printf("echo: %.*s\n", int(*len - 4), data + 4);  // we asked for the whole frame
        if (--left > 0)
            SendMessage(s);
        else
            Finish(true);
    }

    void OnSocketClose(int error, SOCKET s, int, uint32_t, uint32_t) override {
        std::printf("connection closed (error %d)\n", error);
        Finish(false);
    }
};

int main(int argc, char** argv) {
    const char* host = argc > 1 ? argv[1] : "127.0.0.1";
    const uint16_t port = uint16_t(argc > 2 ? std::atoi(argv[2]) : 7777);
    ClientSink sink;
    sink.message = argc > 3 ? argv[3] : "hello";
    sink.left = argc > 4 ? std::max(1, std::atoi(argv[4])) : 1;
    ISocketMgr* mgr = StartEngine(argc > 5 ? argv[5] : nullptr, sink);
    if (!mgr) return 1;

    // A host name is resolved on the engine's own thread; the result comes as OnSocketConnect.
    const SOCKET s = mgr->CreateTcpSocket(nullptr, nullptr, 0, 0, 0);
    const bool ok = s != INVALID_SOCKET && mgr->Connect(s, host, port) && sink.Wait();
    if (!ok)
        std::printf("no complete exchange with %s:%u\n", host, unsigned(port));
    StopEngine(mgr);
    return ok ? 0 : 1;
}
