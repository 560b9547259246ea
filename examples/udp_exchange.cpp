// A UDP exchange in one process: a responder on a known port answers every
// datagram with "re: " and the datagram's text; a sender on a port the
// system picks sends `count` datagrams and waits for each answer. Datagrams
// are not framed: each one arrives whole as one OnSocketRecvFrom. Each
// SetNoticeLen asks for the next datagram (the completion-port engine
// receives one per request; the other engines receive all the time).
//
//   udp_exchange [port] [count] [interface]
//   udp_exchange 7788 3
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ExampleSink.h"

// The user word u1 tells the two sockets apart in every event.
enum : uint32_t { kResponder = 1, kSender = 2 };

class UdpSink : public ExampleSink {
public:
    SOCKET sender = INVALID_SOCKET;
    uint16_t port = 0;
    std::atomic<int> left{1};

    void SendNext() {
        const std::string text = "ping " + std::to_string(left.load());
        mgr->SendTo(sender, "127.0.0.1", port, text.data(), int(text.size()), true);  // true: no proxy
    }

    void OnSocketRecvFrom(int, SOCKET s, const char* data, int len, sockaddr_in* from, uint32_t u1,
                          uint32_t) override {
        if (u1 == kResponder) {
            // Answer whoever sent it: the sender address comes with the datagram.
            std::string reply = "re: " + std::string(data, size_t(len));
            mgr->SendToAddr(s, from, reply.data(), int(reply.size()), true);
            mgr->SetNoticeLen(s, 1);
            return;
        }
        mgr->SetNoticeLen(s, 1);
        std::printf("sender got: %.*s\n", len, data);
        if (--left > 0)
            SendNext();
        else
            Finish(true);
    }

    // A UDP socket fails only when the system reports an error on it.
    void OnSocketClose(int error, SOCKET, int, uint32_t u1, uint32_t) override {
        std::printf("%s socket failed (error %d)\n", u1 == kResponder ? "responder" : "sender", error);
        Finish(false);
    }
};

int main(int argc, char** argv) {
    UdpSink sink;
    sink.port = uint16_t(argc > 1 ? std::atoi(argv[1]) : 7788);
    sink.left = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    ISocketMgr* mgr = StartEngine(argc > 3 ? argv[3] : nullptr, sink);
    if (!mgr) return 1;

    const SOCKET responder = mgr->CreateUdpSocket(nullptr, "127.0.0.1", sink.port, kResponder, 0);
    sink.sender = mgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, kSender, 0);
    bool ok = responder != INVALID_SOCKET && sink.sender != INVALID_SOCKET && mgr->SetNoticeLen(responder, 1) &&
              mgr->SetNoticeLen(sink.sender, 1);
    if (ok) {
        sink.SendNext();
        ok = sink.Wait();
    }
    if (!ok)
        std::printf("no complete exchange on 127.0.0.1:%u\n", unsigned(sink.port));
    StopEngine(mgr);
    return ok ? 0 : 1;
}
