// The hand-written single-threaded epoll echo server: the least work an echo
// can cost on this machine, and the baseline every ratio refers to.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <unordered_map>

#include "EchoBuffer.h"
#include "Frame.h"
#include "Servers.h"

namespace bench {
namespace {

struct Conn {
    int fd = -1;
    EchoBuffer in;
    size_t pendingFrom = 0;  // bytes [pendingFrom, pendingTo) of `in` still to be written
    size_t pendingTo = 0;
};

class EpollServer {
public:
    int Run();

private:
    bool Bind(int type, int* fd, uint16_t* port);
    void Accept();
    void OnConnReadable(Conn* c);
    void OnConnWritable(Conn* c);
    bool Flush(Conn* c);
    void Drop(Conn* c);
    void EchoDatagrams();

    int m_ep = -1;
    int m_listen = -1;
    int m_udp = -1;
    std::unordered_map<int, std::unique_ptr<Conn>> m_conns;
};

bool EpollServer::Bind(int type, int* fd, uint16_t* port) {
    *fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (*fd < 0 || bind(*fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(*fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return false;
    *port = ntohs(addr.sin_port);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = *fd;
    return epoll_ctl(m_ep, EPOLL_CTL_ADD, *fd, &ev) == 0;
}

void EpollServer::Accept() {
    for (;;) {
        const int fd = accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        auto conn = std::make_unique<Conn>();
        conn->fd = fd;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        if (epoll_ctl(m_ep, EPOLL_CTL_ADD, fd, &ev) != 0) {
            close(fd);
            continue;
        }
        m_conns[fd] = std::move(conn);
    }
}

void EpollServer::Drop(Conn* c) {
    close(c->fd);  // also leaves the epoll set
    m_conns.erase(c->fd);
}

// Writes what is pending; false when the socket is gone.
bool EpollServer::Flush(Conn* c) {
    while (c->pendingFrom < c->pendingTo) {
        const ssize_t n = send(c->fd, c->in.Data() + c->pendingFrom, c->pendingTo - c->pendingFrom, MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN;
        c->pendingFrom += size_t(n);
    }
    c->in.Consume(c->pendingTo);
    c->pendingFrom = c->pendingTo = 0;
    return true;
}

void EpollServer::OnConnReadable(Conn* c) {
    char* free = c->in.Free();  // grows the buffer: call it before FreeSize
    const ssize_t n = recv(c->fd, free, c->in.FreeSize(), 0);
    if (n == 0 || (n < 0 && errno != EAGAIN)) {
        Drop(c);
        return;
    }
    if (n < 0)
        return;
    c->in.Grow(size_t(n));
    const FrameScan scan = ScanFrames(c->in.Data(), c->in.Size());
    if (scan.bad) {
        Drop(c);
        return;
    }
    if (scan.complete == 0)
        return;
    c->pendingFrom = 0;
    c->pendingTo = scan.complete;
    if (!Flush(c)) {
        Drop(c);
        return;
    }
    if (c->pendingTo != 0) {
        // The peer is not reading: stop reading from it until the echo is out.
        epoll_event ev{};
        ev.events = EPOLLOUT;
        ev.data.fd = c->fd;
        epoll_ctl(m_ep, EPOLL_CTL_MOD, c->fd, &ev);
    }
}

void EpollServer::OnConnWritable(Conn* c) {
    if (!Flush(c)) {
        Drop(c);
        return;
    }
    if (c->pendingTo == 0) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = c->fd;
        epoll_ctl(m_ep, EPOLL_CTL_MOD, c->fd, &ev);
    }
}

void EpollServer::EchoDatagrams() {
    char buf[65536];
    // Bounded, so that TCP connections get their turn under a UDP flood.
    for (int i = 0; i < 64; ++i) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = recvfrom(m_udp, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0)
            return;
        sendto(m_udp, buf, size_t(n), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
}

int EpollServer::Run() {
    m_ep = epoll_create1(EPOLL_CLOEXEC);
    uint16_t tcpPort = 0, udpPort = 0;
    if (m_ep < 0 || !Bind(SOCK_STREAM, &m_listen, &tcpPort) || listen(m_listen, kListenBacklog) != 0 ||
        !Bind(SOCK_DGRAM, &m_udp, &udpPort)) {
        ReportError("epoll server: cannot bind on 127.0.0.1");
        return 1;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = STDIN_FILENO;
    epoll_ctl(m_ep, EPOLL_CTL_ADD, STDIN_FILENO, &ev);
    ReportPorts(tcpPort, udpPort);

    epoll_event events[256];
    for (;;) {
        const int n = epoll_wait(m_ep, events, 256, -1);
        if (n < 0 && errno != EINTR)
            return 1;
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == STDIN_FILENO)
                return 0;  // the parent closed our input: stop
            if (fd == m_listen) {
                Accept();
            } else if (fd == m_udp) {
                EchoDatagrams();
            } else {
                auto it = m_conns.find(fd);
                if (it == m_conns.end())
                    continue;
                Conn* c = it->second.get();
                if (events[i].events & EPOLLOUT)
                    OnConnWritable(c);
                else
                    OnConnReadable(c);
            }
        }
    }
}

}  // namespace

int RunEpollServer() {
    EpollServer server;
    return server.Run();
}

}  // namespace bench
