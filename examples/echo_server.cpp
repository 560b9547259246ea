// An echo server. Messages are frames: a 4-byte little-endian length, then
// that many bytes. The server asks the engine for a 4-byte header, then for
// the whole frame, and sends the frame back unchanged.
//
//   echo_server [port] [interface]        (press Enter to stop it)
//   echo_server 7777 ISelectSocketMgr1.0
#include <cstdlib>

#include "ExampleSink.h"

class EchoSink : public ExampleSink {
public:
    // Every new connection starts by asking for a header; nothing is read before.
    void OnSocketAccept(int, SOCKET, SOCKET s, sockaddr_in*, sockaddr_in*) override {
        std::printf("connection %u accepted\n", unsigned(s));
        mgr->SetNoticeLen(s, 4);
    }

    // Called once at least the asked-for number of bytes is there; *len says
    // how many are offered, and we set it to how many we used.
    void OnSocketRecv(int, SOCKET s, const char* data, uint32_t* len, uint32_t, uint32_t) override {
        const unsigned char* b = reinterpret_cast<const unsigned char*>(data);
        const uint32_t frame = 4 + (b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24);
        if (frame > 4 + 1024 * 1024) {  // not our protocol
            mgr->CloseSocket(s);
            return;
        }
        if (*len < frame) {
            *len = 0;                     // keep the header buffered...
            mgr->SetNoticeLen(s, frame);  // ...and wait for the whole frame
            return;
        }
        mgr->Send(s, data, frame, 0, nullptr);
        *len = frame;
        mgr->SetNoticeLen(s, 4);  // the next header
    }

    // The peer closed or the connection failed: reported once; we close our end.
    void OnSocketClose(int error, SOCKET s, int, uint32_t, uint32_t) override {
        std::printf("connection %u closed (error %d)\n", unsigned(s), error);
        mgr->CloseSocket(s);
    }
};

int main(int argc, char** argv) {
    const uint16_t port = uint16_t(argc > 1 ? std::atoi(argv[1]) : 7777);
    EchoSink sink;
    ISocketMgr* mgr = StartEngine(argc > 2 ? argv[2] : nullptr, sink);
    if (!mgr) return 1;

    const SOCKET listener = mgr->CreateTcpSocket(nullptr, "127.0.0.1", port, 0, 0);
    if (listener == INVALID_SOCKET || !mgr->Listen(listener, 64)) {
        std::printf("cannot listen on 127.0.0.1:%u\n", unsigned(port));
        StopEngine(mgr);
        return 1;
    }
    std::printf("echo server on 127.0.0.1:%u; press Enter to stop\n", unsigned(port));
    std::fflush(stdout);
    std::getchar();
    StopEngine(mgr);
    return 0;
}
