// The libuv baseline: a single-threaded echo server written the way libuv's
// own examples are, with uv_try_write first and a queued write when the peer
// is slow (reading pauses until that write is done).
#ifdef VX_HAVE_LIBUV
#include <uv.h>

#include <unistd.h>

#include "EchoBuffer.h"
#include "Frame.h"
#include "Servers.h"

namespace bench {
namespace {

struct UvConn {
    uv_tcp_t tcp;
    uv_write_t write;
    EchoBuffer in;
    size_t echoed = 0;  // bytes at the start of `in` a queued write is sending
};

uv_loop_t* g_loop;
char g_udpBuf[65536];

void OnClosed(uv_handle_t* h) { delete static_cast<UvConn*>(h->data); }

void Drop(UvConn* c) {
    if (!uv_is_closing(reinterpret_cast<uv_handle_t*>(&c->tcp)))
        uv_close(reinterpret_cast<uv_handle_t*>(&c->tcp), OnClosed);
}

void OnAlloc(uv_handle_t* h, size_t, uv_buf_t* buf) {
    auto* c = static_cast<UvConn*>(h->data);
    char* p = c->in.Free();
    *buf = uv_buf_init(p, unsigned(c->in.FreeSize()));
}

void OnRead(uv_stream_t* s, ssize_t nread, const uv_buf_t*);

void OnWritten(uv_write_t* req, int status) {
    auto* c = static_cast<UvConn*>(req->data);
    if (status < 0) {
        Drop(c);
        return;
    }
    c->in.Consume(c->echoed);
    c->echoed = 0;
    uv_read_start(reinterpret_cast<uv_stream_t*>(&c->tcp), OnAlloc, OnRead);
}

void OnRead(uv_stream_t* s, ssize_t nread, const uv_buf_t*) {
    auto* c = static_cast<UvConn*>(s->data);
    if (nread < 0) {
        Drop(c);
        return;
    }
    c->in.Grow(size_t(nread));
    const FrameScan scan = ScanFrames(c->in.Data(), c->in.Size());
    if (scan.bad) {
        Drop(c);
        return;
    }
    if (scan.complete == 0)
        return;
    uv_buf_t buf = uv_buf_init(c->in.Data(), unsigned(scan.complete));
    int sent = uv_try_write(s, &buf, 1);
    if (sent == UV_EAGAIN)
        sent = 0;
    if (sent < 0) {
        Drop(c);
        return;
    }
    if (size_t(sent) == scan.complete) {
        c->in.Consume(scan.complete);
        return;
    }
    // The rest goes out from the buffer itself, which must not move meanwhile.
    uv_read_stop(s);
    c->echoed = scan.complete;
    buf = uv_buf_init(c->in.Data() + sent, unsigned(scan.complete - size_t(sent)));
    c->write.data = c;
    if (uv_write(&c->write, s, &buf, 1, OnWritten) != 0)
        Drop(c);
}

void OnConnection(uv_stream_t* listener, int status) {
    if (status < 0)
        return;
    auto* c = new UvConn;
    uv_tcp_init(g_loop, &c->tcp);
    c->tcp.data = c;
    if (uv_accept(listener, reinterpret_cast<uv_stream_t*>(&c->tcp)) != 0 ||
        uv_read_start(reinterpret_cast<uv_stream_t*>(&c->tcp), OnAlloc, OnRead) != 0)
        Drop(c);
}

void OnUdpAlloc(uv_handle_t*, size_t, uv_buf_t* buf) { *buf = uv_buf_init(g_udpBuf, sizeof g_udpBuf); }

void OnDatagram(uv_udp_t* udp, ssize_t nread, const uv_buf_t* buf, const sockaddr* from, unsigned) {
    if (nread <= 0 || !from)
        return;
    uv_buf_t out = uv_buf_init(buf->base, unsigned(nread));
    uv_udp_try_send(udp, &out, 1, from);
}

void OnStdin(uv_poll_t*, int, int) { uv_stop(g_loop); }

uint16_t PortOf(const sockaddr_in& a) { return ntohs(a.sin_port); }

}  // namespace

int RunUvServer() {
    g_loop = uv_default_loop();
    uv_tcp_t listener;
    uv_udp_t udp;
    uv_poll_t input;
    sockaddr_in any{};
    uv_ip4_addr("127.0.0.1", 0, &any);
    uv_tcp_init(g_loop, &listener);
    uv_udp_init(g_loop, &udp);
    sockaddr_in tcpAddr{}, udpAddr{};
    int tcpLen = sizeof tcpAddr, udpLen = sizeof udpAddr;
    if (uv_tcp_bind(&listener, reinterpret_cast<const sockaddr*>(&any), 0) != 0 ||
        uv_listen(reinterpret_cast<uv_stream_t*>(&listener), kListenBacklog, OnConnection) != 0 ||
        uv_tcp_getsockname(&listener, reinterpret_cast<sockaddr*>(&tcpAddr), &tcpLen) != 0 ||
        uv_udp_bind(&udp, reinterpret_cast<const sockaddr*>(&any), 0) != 0 ||
        uv_udp_getsockname(&udp, reinterpret_cast<sockaddr*>(&udpAddr), &udpLen) != 0 ||
        uv_udp_recv_start(&udp, OnUdpAlloc, OnDatagram) != 0) {
        ReportError("libuv server: cannot bind on 127.0.0.1");
        return 1;
    }
    uv_poll_init(g_loop, &input, STDIN_FILENO);
    uv_poll_start(&input, UV_READABLE | UV_DISCONNECT, OnStdin);
    ReportPorts(PortOf(tcpAddr), PortOf(udpAddr));
    uv_run(g_loop, UV_RUN_DEFAULT);
    return 0;
}

}  // namespace bench
#endif
