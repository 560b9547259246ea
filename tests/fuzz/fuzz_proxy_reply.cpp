// The proxy reply parser and step machine against arbitrary proxy output,
// cut into arbitrary pieces. Whatever the pieces, the handshake must send the
// same requests, end the same way and keep the same bytes for the client as
// when everything arrives at once; no byte sequence may read out of bounds.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "TW_ProxyHandshake.h"
#include "vxnet/ISocketMgr.h"
#include "vxnet/vxmempool.h"

namespace {

void Require(bool b) {
    if (!b) std::abort();
}

// Feeds the engine's buffer piece by piece, as every engine does, and keeps
// the requests sent, the steps taken and the bytes left for the client.
class Driver {
public:
    std::string sent, events, held;

    Driver(const ProxyData* proxy, bool bLinked, ProxyAddr dest)
        : m_hs{proxy, 0, bLinked, dest, ProxyAddr{0x0900A8C0u, 0xA00F}} {
        char req[kProxyRequestBufSize];
        Apply(ProxyHandshakeStart(m_hs, req), req);
    }

    void Receive(const uint8_t* p, size_t n) {
        (m_bStopped ? held : m_buf).append(reinterpret_cast<const char*>(p), n);
        while (!m_bStopped) {
            char req[kProxyRequestBufSize];
            ProxyStepResult r = ProxyHandshakeOnReply(m_hs, m_buf.data(), uint32_t(m_buf.size()), req);
            Require(r.uiUsed <= m_buf.size());
            // Every reply has a bounded length: the largest is an HTTP header block.
            if (r.eAction == PROXY_NEED_MORE) return Require(m_buf.size() < kProxyMaxHttpReply);
            m_buf.erase(0, r.uiUsed);
            Apply(r, req);
        }
        held += m_buf;
        m_buf.clear();
    }

private:
    void Apply(const ProxyStepResult& r, const char* req) {
        Require(r.uiStep >= m_hs.uiStep || r.eAction == PROXY_NO_HANDSHAKE);
        m_hs.uiStep = r.uiStep;
        m_hs.dest = r.addr;
        events += std::to_string(r.eAction) + "/" + std::to_string(r.uiStep) + "/" + std::to_string(r.nError) + ";";
        if (r.eAction == PROXY_SEND_REQUEST) {
            Require(r.uiRequestLen > 0 && r.uiRequestLen < kProxyRequestBufSize);
            sent.append(req, r.uiRequestLen);
        }
        m_bStopped = r.eAction != PROXY_SEND_REQUEST && r.eAction != PROXY_REPORT_BOUND;
    }

    ProxyHandshake m_hs;
    std::string m_buf;
    bool m_bStopped = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    uint32_t uiType = fdp.ConsumeIntegralInRange<uint32_t>(0, 4);
    uint8_t byFlags = fdp.ConsumeIntegral<uint8_t>();
    std::string user = fdp.ConsumeRandomLengthString(300), pass = fdp.ConsumeRandomLengthString(300);
    const char* lpszUser = (byFlags & 1) ? user.c_str() : nullptr;
    const char* lpszPass = (byFlags & 2) ? pass.c_str() : nullptr;
    ProxyAddr dest{(byFlags & 8) ? 0u : fdp.ConsumeIntegral<uint32_t>(), fdp.ConsumeIntegral<uint16_t>()};
    std::vector<uint8_t> stream = fdp.ConsumeBytes<uint8_t>(fdp.ConsumeIntegralInRange<size_t>(0, 10000));
    ProxyData* proxy = ProxyDataAlloc(uiType, 0x0100007F, 1080, lpszUser, lpszPass);
    Require(proxy != nullptr);

    // Credentials CreateProxy accepts can always be sent, to any destination.
    char req[kProxyRequestBufSize];
    if (ProxyArgsAcceptable(uiType, "127.0.0.1", lpszUser, lpszPass) && uiType >= PROXY_SOCKS4 && uiType <= PROXY_HTTP)
        Require(BuildProxyRequest(*proxy, 1, ProxyAddr{0xFFFFFFFFu, 0xFFFF}, nullptr, req) > 0 &&
                (uiType != PROXY_SOCKS5 || BuildProxyRequest(*proxy, 2, dest, nullptr, req) > 0));

    Driver whole(proxy, byFlags & 4, dest), pieces(proxy, byFlags & 4, dest);
    whole.Receive(stream.data(), stream.size());
    for (size_t pos = 0, n; pos < stream.size(); pos += n) {
        n = std::min(stream.size() - pos, fdp.remaining_bytes() ? fdp.ConsumeIntegralInRange<size_t>(1, 300) : size);
        pieces.Receive(stream.data() + pos, n);
    }
    Require(whole.sent == pieces.sent && whole.events == pieces.events && whole.held == pieces.held);
    MemPoolFree(proxy);
    return 0;
}
