// The demo: starts the select engine, opens an echo server and a number of
// client connections on it over loopback, lets every client exchange framed
// messages of random sizes for a few seconds (each echo checked byte for
// byte), and prints what went through.
//
//   vxdemo [--connections N] [--seconds S] [--engine INTERFACE]
//
// Exit code: 0 when every message came back intact, 1 otherwise.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "vxnet/vxnet.h"

namespace {

// A frame is a 4-byte little-endian body length followed by the body.
constexpr uint32_t kHeaderLen = 4;
constexpr uint32_t kMaxBody = 4096;
// The first user word tells the sockets apart: 0 for the server side of a
// connection (accepted sockets start with 0), the client number + 1 for a
// client, and this for the listener.
constexpr uint32_t kListenerTag = 0xFFFFFFFFu;

uint32_t BodyLen(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

struct Client {
    SOCKET s = INVALID_SOCKET;
    std::minstd_rand rng;
    std::vector<char> message;        // the frame in flight, as sent
    std::atomic<bool> busy{false};    // a message is in flight
    std::atomic<bool> failed{false};  // connect failed or the connection broke
    std::atomic<bool> closed{false};  // its socket is closed already
    std::atomic<bool> connected{false};
};

class DemoSink final : public ISocketMgrSink {
public:
    DemoSink(ISocketMgr* mgr, std::vector<Client>& clients) : m_mgr(mgr), m_clients(clients) {}

    std::atomic<bool> stopping{false};
    std::atomic<uint64_t> messages{0}, bytes{0}, errors{0};
    std::atomic<int> serverConns{0};  // server sides of connections still open

    bool OnSocketPreAccept(sockaddr_in*, sockaddr_in*) override { return true; }
    void OnSocketAccept(int, SOCKET, SOCKET s, sockaddr_in*, sockaddr_in*) override {
        ++serverConns;
        if (!m_mgr->SetNoticeLen(s, kHeaderLen))
            CloseServerSide(s);
    }
    void OnSocketConnect(int error, SOCKET, uint32_t u1, uint32_t) override {
        Client& c = m_clients[u1 - 1];
        if (error != 0) {
            Fail(c);
            return;
        }
        c.connected = true;
        SendNext(c);
    }
    void OnSocketRecv(int, SOCKET s, const char* data, uint32_t* len, uint32_t u1, uint32_t) override {
        if (u1 == 0)
            Echo(s, data, len);
        else
            CheckEcho(m_clients[u1 - 1], data, len);
    }
    void OnSocketClose(int, SOCKET s, int, uint32_t u1, uint32_t) override {
        if (u1 == 0) {
            CloseServerSide(s);
        } else if (u1 == kListenerTag) {
            m_mgr->CloseSocket(s);
        } else if (!stopping) {
            Fail(m_clients[u1 - 1]);
        } else {
            m_clients[u1 - 1].closed = true;
            m_mgr->CloseSocket(s);
        }
    }
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
    void CloseServerSide(SOCKET s) {
        m_mgr->CloseSocket(s);
        --serverConns;
    }

    // Server side: echo every complete frame of the offer; the rest stays
    // buffered and the next notice asks for what its frame still lacks.
    void Echo(SOCKET s, const char* data, uint32_t* len) {
        uint32_t off = 0, need = kHeaderLen;
        while (*len - off >= kHeaderLen) {
            const uint32_t body = BodyLen(data + off);
            if (body > kMaxBody) {
                ++errors;
                CloseServerSide(s);
                return;
            }
            need = kHeaderLen + body;
            if (*len - off < need)
                break;
            off += need;
            need = kHeaderLen;
        }
        if ((off > 0 && !m_mgr->Send(s, data, off, 0, nullptr)) || !m_mgr->SetNoticeLen(s, need)) {
            ++errors;
            CloseServerSide(s);
            return;
        }
        *len = off;
    }

    // Client side: the notice asked for exactly one frame, the one in flight.
    void CheckEcho(Client& c, const char* data, uint32_t* len) {
        const size_t n = c.message.size();
        if (*len < n || std::memcmp(data, c.message.data(), n) != 0) {
            Fail(c);
            return;
        }
        *len = uint32_t(n);
        ++messages;
        bytes += n;
        c.busy = false;
        if (!stopping)
            SendNext(c);
    }

    void SendNext(Client& c) {
        const uint32_t body = 1 + c.rng() % kMaxBody;
        c.message.resize(kHeaderLen + body);
        for (int i = 0; i < 4; ++i)
            c.message[size_t(i)] = char(body >> (8 * i));
        for (uint32_t i = 0; i < body; ++i)
            c.message[kHeaderLen + i] = char(c.rng());
        c.busy = true;
        // Ask for the echo before sending, so it is read as soon as it arrives.
        if (!m_mgr->SetNoticeLen(c.s, uint32_t(c.message.size())) ||
            !m_mgr->Send(c.s, c.message.data(), uint32_t(c.message.size()), 0, nullptr))
            Fail(c);
    }

    void Fail(Client& c) {
        ++errors;
        c.failed = true;
        c.busy = false;
        c.closed = true;
        m_mgr->CloseSocket(c.s);
    }

    ISocketMgr* m_mgr;
    std::vector<Client>& m_clients;
};

// Waits up to `ms` for `done` to hold.
template <typename Done>
bool WaitFor(int ms, Done done) {
    for (int waited = 0; waited < ms && !done(); waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

}  // namespace

int main(int argc, char** argv) {
    int connections = 16;
    double seconds = 3;
    std::string engine = VXNET_ISELECT_1_0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--connections"))
            connections = std::max(1, std::min(1000, std::atoi(argv[i + 1])));
        else if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::max(0.1, std::min(600.0, std::atof(argv[i + 1])));
        else if (!std::strcmp(argv[i], "--engine"))
            engine = argv[i + 1];
    }

    vxInitialize();
    ISocketMgr* mgr = vxCreateInstance(engine.c_str());
    if (!mgr) {
        std::printf("%s cannot be created in this build yet: nothing to demonstrate.\n", engine.c_str());
        return 0;
    }
    std::vector<Client> clients(static_cast<size_t>(connections));
    DemoSink sink(mgr, clients);
    mgr->SetSink(&sink);
    mgr->Start(0, 0, 0, 0);

    // The port comes from a random start, in case another program holds one.
    std::minstd_rand seed(uint32_t(std::chrono::steady_clock::now().time_since_epoch().count()));
    uint16_t port = 0;
    SOCKET listener = INVALID_SOCKET;
    for (int attempt = 0; attempt < 50 && listener == INVALID_SOCKET; ++attempt) {
        port = uint16_t(20000 + seed() % 30000);
        listener = mgr->CreateTcpSocket(nullptr, "127.0.0.1", port, kListenerTag, 0);
        if (listener != INVALID_SOCKET && !mgr->Listen(listener, 256)) {
            mgr->CloseSocket(listener);
            listener = INVALID_SOCKET;
        }
    }
    if (listener == INVALID_SOCKET) {
        std::printf("cannot listen on 127.0.0.1\n");
        mgr->Stop(2000);
        vxDestroyInstance(mgr);
        return 1;
    }
    std::printf("%s: echo server on 127.0.0.1:%u, %d client connections, %.1f s\n", engine.c_str(), unsigned(port),
                connections, seconds);

    for (size_t i = 0; i < clients.size(); ++i) {
        Client& c = clients[i];
        c.rng.seed(uint32_t(i + 1));
        c.s = mgr->CreateTcpSocket(nullptr, nullptr, 0, uint32_t(i + 1), 0);
        if (c.s == INVALID_SOCKET || !mgr->Connect(c.s, "127.0.0.1", port)) {
            ++sink.errors;
            c.failed = true;
        }
    }
    WaitFor(5000, [&] {
        for (const Client& c : clients)
            if (!c.connected && !c.failed)
                return false;
        return true;
    });
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    sink.stopping = true;
    // Messages in flight still count once their echo is in.
    WaitFor(5000, [&] {
        for (const Client& c : clients)
            if (c.busy)
                return false;
        return true;
    });
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    int connected = 0;
    for (const Client& c : clients) {
        connected += c.connected && !c.failed;
        if (c.busy)
            ++sink.errors;  // an echo that never came
    }
    for (const Client& c : clients)
        if (c.s != INVALID_SOCKET && !c.closed)
            mgr->CloseSocket(c.s);
    mgr->CloseSocket(listener);
    // Let the server side take in the closes before stopping, as a host
    // shutting down cleanly would.
    WaitFor(2000, [&] { return sink.serverConns == 0; });
    mgr->Stop(2000);
    vxDestroyInstance(mgr);
    vxUninitialize();

    const uint64_t messages = sink.messages, bytes = sink.bytes, errors = sink.errors;
    std::printf("\n%-12s %-10s %-12s %-11s %s\n", "connections", "messages", "bytes", "messages/s", "errors");
    std::printf("%-12d %-10llu %-12llu %-11.0f %llu\n", connected, (unsigned long long)messages,
                (unsigned long long)bytes, double(messages) / elapsed, (unsigned long long)errors);
    return errors == 0 && messages > 0 ? 0 : 1;
}
