// The standalone Asio baseline: a single-threaded echo server in the style of
// Asio's own examples (read some, write the complete frames, read again).
#ifdef VX_HAVE_ASIO
#include <asio.hpp>

#include <memory>

#include "EchoBuffer.h"
#include "Frame.h"
#include "Servers.h"

namespace bench {
namespace {

using asio::ip::tcp;
using asio::ip::udp;

class Session : public std::enable_shared_from_this<Session> {
public:
    explicit Session(tcp::socket socket) : m_socket(std::move(socket)) {}
    void Read() {
        char* free = m_in.Free();
        m_socket.async_read_some(asio::buffer(free, m_in.FreeSize()),
                                 [self = shared_from_this()](std::error_code ec, size_t n) { self->OnRead(ec, n); });
    }

private:
    void OnRead(std::error_code ec, size_t n) {
        if (ec)
            return;  // the last reference goes and the socket closes
        m_in.Grow(n);
        const FrameScan scan = ScanFrames(m_in.Data(), m_in.Size());
        if (scan.bad)
            return;
        if (scan.complete == 0) {
            Read();
            return;
        }
        asio::async_write(m_socket, asio::buffer(m_in.Data(), scan.complete),
                          [self = shared_from_this(), len = scan.complete](std::error_code wec, size_t) {
                              if (wec)
                                  return;
                              self->m_in.Consume(len);
                              self->Read();
                          });
    }

    tcp::socket m_socket;
    EchoBuffer m_in;
};

class AsioServer {
public:
    AsioServer()
        : m_io(1),
          m_acceptor(m_io),
          m_udp(m_io),
          m_input(m_io, ::dup(STDIN_FILENO)) {}

    int Run() {
        std::error_code ec;
        const auto loopback = asio::ip::make_address_v4("127.0.0.1");
        m_acceptor.open(tcp::v4(), ec);
        if (!ec)
            m_acceptor.bind(tcp::endpoint(loopback, 0), ec);
        if (!ec)
            m_acceptor.listen(kListenBacklog, ec);
        if (!ec)
            m_udp.open(udp::v4(), ec);
        if (!ec)
            m_udp.bind(udp::endpoint(loopback, 0), ec);
        if (ec) {
            ReportError("asio server: " + ec.message());
            return 1;
        }
        Accept();
        Receive();
        m_input.async_wait(asio::posix::stream_descriptor::wait_read, [this](std::error_code) { m_io.stop(); });
        ReportPorts(m_acceptor.local_endpoint().port(), m_udp.local_endpoint().port());
        m_io.run();
        return 0;
    }

private:
    void Accept() {
        m_acceptor.async_accept([this](std::error_code ec, tcp::socket socket) {
            if (!ec)
                std::make_shared<Session>(std::move(socket))->Read();
            Accept();
        });
    }

    void Receive() {
        m_udp.async_receive_from(asio::buffer(m_datagram), m_from, [this](std::error_code ec, size_t n) {
            if (!ec) {
                std::error_code sendEc;
                m_udp.send_to(asio::buffer(m_datagram, n), m_from, 0, sendEc);
            }
            Receive();
        });
    }

    asio::io_context m_io;
    tcp::acceptor m_acceptor;
    udp::socket m_udp;
    asio::posix::stream_descriptor m_input;
    udp::endpoint m_from;
    char m_datagram[65536];
};

}  // namespace

int RunAsioServer() {
    auto server = std::make_unique<AsioServer>();
    return server->Run();
}

}  // namespace bench
#endif
