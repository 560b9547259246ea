// The proxy reply parser and step machine against arbitrary proxy output,
// cut into arbitrary pieces. Whatever the pieces, the handshake must send the
// same requests, end the same way and keep the same bytes for the client as
// when everything arrives at once; no byte sequence may read out of bounds.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TW_ProxyHandshake.h"
#include "vxnet/ISocketMgr.h"
#include "vxnet/vxmempool.h"

namespace {

void Require(bool b) {
    if (!b) std::abort();
}

struct Outcome {
    std::string sent, events, held;
    bool operator==(const Outcome&) const = default;
};

// Feeds the engine's buffer piece by piece, as every engine does.
class Driver {
public:
    Driver(const ProxyData* proxy, bool bLinked, ProxyAddr dest)
        : m_hs{proxy, 0, bLinked, dest, ProxyAddr{0x0900A8C0u, 0xA00F}} {
        char req[kProxyRequestBufSize];
        Apply(ProxyHandshakeStart(m_hs, req), req);
    }

    void Receive(const uint8_t* p, size_t n) {
        if (m_bStopped) {
            m_out.held.append(reinterpret_cast<const char*>(p), n);
            return;
        }
        m_buf.append(reinterpret_cast<const char*>(p), n);
        while (!m_bStopped) {
            char req[kProxyRequestBufSize];
            ProxyStepResult r = ProxyHandshakeOnReply(m_hs, m_buf.data(), uint32_t(m_buf.size()), req);
            Require(r.uiUsed <= m_buf.size());
            if (r.eAction == PROXY_NEED_MORE) {
                // Every reply has a bounded length: the largest is an HTTP header block.
                Require(m_buf.size() < kProxyMaxHttpReply);
                return;
            }
            m_buf.erase(0, r.uiUsed);
            Apply(r, req);
        }
        m_out.held += m_buf;
        m_buf.clear();
    }

    const Outcome& Result() const { return m_out; }

private:
    void Apply(const ProxyStepResult& r, const char* req) {
        Require(r.uiStep >= m_hs.uiStep || r.eAction == PROXY_NO_HANDSHAKE);
        m_hs.uiStep = r.uiStep;
        m_hs.dest = r.addr;
        m_out.events += std::to_string(r.eAction) + "/" + std::to_string(r.uiStep) + "/" +
                        std::to_string(r.nError) + ";";
        if (r.eAction == PROXY_SEND_REQUEST) {
            Require(r.uiRequestLen > 0 && r.uiRequestLen < kProxyRequestBufSize);
            m_out.sent.append(req, r.uiRequestLen);
            return;
        }
        if (r.eAction == PROXY_REPORT_BOUND) return;
        m_bStopped = true;
    }

    ProxyHandshake m_hs;
    std::string m_buf;
    Outcome m_out;
    bool m_bStopped = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    uint32_t uiType = fdp.ConsumeIntegralInRange<uint32_t>(0, 4);
    uint8_t byFlags = fdp.ConsumeIntegral<uint8_t>();
    std::string user = fdp.ConsumeRandomLengthString(300);
    std::string pass = fdp.ConsumeRandomLengthString(300);
    const char* lpszUser = (byFlags & 1) ? user.c_str() : nullptr;
    const char* lpszPass = (byFlags & 2) ? pass.c_str() : nullptr;
    bool bLinked = byFlags & 4;
    ProxyAddr dest{(byFlags & 8) ? 0u : fdp.ConsumeIntegral<uint32_t>(), fdp.ConsumeIntegral<uint16_t>()};
    std::vector<uint8_t> stream = fdp.ConsumeBytes<uint8_t>(fdp.ConsumeIntegralInRange<size_t>(0, 10000));

    ProxyData* proxy = ProxyDataAlloc(uiType, 0x0100007F, 1080, lpszUser, lpszPass);
    Require(proxy != nullptr);

    // Credentials CreateProxy accepts can always be sent, to any destination.
    if (ProxyArgsAcceptable(uiType, "127.0.0.1", lpszUser, lpszPass) && uiType >= PROXY_SOCKS4 &&
        uiType <= PROXY_HTTP) {
        char req[kProxyRequestBufSize];
        Require(BuildProxyRequest(*proxy, 1, ProxyAddr{0xFFFFFFFFu, 0xFFFF}, nullptr, req) > 0);
        if (uiType == PROXY_SOCKS5) Require(BuildProxyRequest(*proxy, 2, dest, nullptr, req) > 0);
    }

    Driver whole(proxy, bLinked, dest);
    whole.Receive(stream.data(), stream.size());

    Driver pieces(proxy, bLinked, dest);
    size_t pos = 0;
    while (pos < stream.size()) {
        size_t n = fdp.remaining_bytes() ? fdp.ConsumeIntegralInRange<size_t>(1, 300) : stream.size() - pos;
        if (n > stream.size() - pos) n = stream.size() - pos;
        pieces.Receive(stream.data() + pos, n);
        pos += n;
    }
    Require(whole.Result() == pieces.Result());

    MemPoolFree(proxy);
    return 0;
}
