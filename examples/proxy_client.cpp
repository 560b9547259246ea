// An echo client that goes through a proxy: SOCKS5 (with or without a user
// name and password) or HTTP CONNECT. The socket connects to the proxy; the
// engine runs the handshake and reports OnSocketConnect(0) only once the
// tunnel to the destination is up, or OnSocketProxy with the error.
//
//   proxy_client socks5|http PROXY_IP PROXY_PORT DEST_IP DEST_PORT [interface] [user password]
//   proxy_client socks5 127.0.0.1 1080 127.0.0.1 7777
#include <cstdlib>
#include <cstring>

#include "ExampleSink.h"

class ProxySink : public ExampleSink {
public:
    void OnSocketConnect(int error, SOCKET s, uint32_t, uint32_t) override {
        if (error != 0) {  // the TCP connect to the proxy itself failed
            std::printf("connect to the proxy failed: error %d\n", error);
            Finish(false);
            return;
        }
        // The tunnel is up: from here on this is a plain connection to DEST.
        static const char frame[] = "\x05\0\0\0proxy";
        mgr->SetNoticeLen(s, 9);
        mgr->Send(s, frame, 9, 0, nullptr);
    }

    // The proxy refused (10061), wanted other credentials (86, 10043), or never finished (10060).
    void OnSocketProxy(int error, SOCKET, sockaddr_in*, uint32_t, uint32_t) override {
        std::printf("the proxy failed the connection: error %d\n", error);
        Finish(false);
    }

    void OnSocketRecv(int, SOCKET, const char* data, uint32_t*, uint32_t, uint32_t) override {
        std::printf("echo through the proxy: %.5s\n", data + 4);
        Finish(true);
    }

    void OnSocketClose(int error, SOCKET, int, uint32_t, uint32_t) override {
        std::printf("connection closed (error %d)\n", error);
        Finish(false);
    }
};

int main(int argc, char** argv) {
    if (argc < 6) {
        std::printf("usage: proxy_client socks5|http PROXY_IP PROXY_PORT DEST_IP DEST_PORT "
                    "[interface] [user password]\n");
        return 2;
    }
    const uint32_t type = std::strcmp(argv[1], "http") == 0 ? PROXY_HTTP : PROXY_SOCKS5;
    const char* user = argc > 8 ? argv[7] : nullptr;
    const char* password = argc > 8 ? argv[8] : nullptr;
    ProxySink sink;
    ISocketMgr* mgr = StartEngine(argc > 6 ? argv[6] : nullptr, sink);
    if (!mgr) return 1;

    // One proxy record serves any number of sockets; identical arguments give the same handle.
    PROXYHANDLE proxy = mgr->CreateProxy(type, argv[2], uint16_t(std::atoi(argv[3])), user, password);
    const SOCKET s = proxy ? mgr->CreateTcpSocket(proxy, nullptr, 0, 0, 0) : INVALID_SOCKET;
    const bool ok = s != INVALID_SOCKET && mgr->Connect(s, argv[4], uint16_t(std::atoi(argv[5]))) && sink.Wait();
    if (!ok)
        std::printf("no exchange through %s:%s\n", argv[2], argv[3]);
    // A proxy record may go once no socket uses it.
    if (s != INVALID_SOCKET) mgr->CloseSocket(s);
    if (proxy) mgr->DestroyProxy(proxy);
    StopEngine(mgr);
    return ok ? 0 : 1;
}
