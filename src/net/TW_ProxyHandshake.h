// The proxy handshake every engine runs: the proxy record, the request bytes
// of each step, the reply parser and the step machine. Nothing here touches
// a socket, a lock or the sink. The engine copies the socket's handshake
// state out of its record, passes the bytes it holds, and acts on a plain
// result: send a request, make one sink call, or wait for more bytes.
//
// The proxy record must stay alive for the length of a call: callers hold
// the proxy list's lock and pass null when the record has left the list.
#ifndef TW_PROXYHANDSHAKE_H
#define TW_PROXYHANDSHAKE_H

#include <cstdint>

// One MemPoolAlloc block; the user name and password strings follow the
// fields inside the same block. Free it with MemPoolFree.
struct ProxyData {
    uint32_t uiType;     // PROXY_SOCKS4, PROXY_SOCKS5, PROXY_HTTP; others build no request
    uint32_t dwIp;       // proxy address, network order
    uint16_t wPort;      // proxy port, host order as CreateProxy got it
    char* lpszUser;      // inside this block, or null
    char* lpszPassword;  // inside this block, or null
};

// An IPv4 address and port, both in network order (the bytes as on the wire).
struct ProxyAddr {
    uint32_t dwIp;
    uint16_t wPort;
};

enum : uint32_t {
    kProxyRequestBufSize = 1024,  // every request is built into a buffer this big
    kProxyMaxHttpReply = 8192,    // status line and headers of an HTTP proxy's answer
    kProxyMaxCredential = 255     // SOCKS sends user and password lengths in one byte
};

// uiProxyStep: the request just sent, whose reply is awaited.
enum : uint32_t {
    PROXY_STEP_NONE = 0,
    PROXY_STEP_FIRST = 1,          // SOCKS4 CONNECT, SOCKS5 greeting or HTTP CONNECT
    PROXY_STEP_AUTH = 2,           // SOCKS5 username/password
    PROXY_STEP_CONNECT = 3,        // SOCKS5 CONNECT
    PROXY_STEP_UDP_ASSOCIATE = 4,  // SOCKS5 UDP ASSOCIATE
    PROXY_STEP_BIND = 5,           // SOCKS5 BIND, first reply awaited
    PROXY_STEP_BIND_ACCEPT = 6,    // SOCKS5 BIND, second reply (the peer) awaited
    PROXY_STEP_DONE = 7            // tunnel up: received bytes are application data
};

// Failure codes the handshake reports.
enum : int {
    kProxyErrGone = 6,                // record left the proxy list, or no request could be built
    kProxyErrPasswordRefused = 86,    // SOCKS5 username/password rejected
    kProxyErrBindRefused = 10022,     // SOCKS5 BIND second reply refused or malformed
    kProxyErrNoMethod = 10043,        // SOCKS5 greeting reply malformed or no acceptable method
    kProxyErrRefused = 10061          // SOCKS4, HTTP, SOCKS5 command refused or malformed
};

// ---------------------------------------------------------------- the record

// Whether CreateProxy may make a record of these arguments. Refused: a null
// address string; SOCKS credentials longer than their one length byte; HTTP
// credentials whose CONNECT request to the longest destination would not fit
// the request buffer. The address itself is parsed by the caller.
bool ProxyArgsAcceptable(uint32_t uiType, const char* lpszIp, const char* lpszUser,
                         const char* lpszPassword);

// A zeroed record with the strings copied into its block; null when the pool
// has no memory.
ProxyData* ProxyDataAlloc(uint32_t uiType, uint32_t dwIp, uint16_t wPort, const char* lpszUser,
                          const char* lpszPassword);

// Same type, address, port, and each string equal (both null or same bytes).
bool ProxyDataEquals(const ProxyData& proxy, uint32_t uiType, uint32_t dwIp, uint16_t wPort,
                     const char* lpszUser, const char* lpszPassword);

// ---------------------------------------------------------------- requests

// Writes the request of uiStep into lpBuf (kProxyRequestBufSize bytes) and
// returns its length; 0 when the step or the proxy type has no request, or
// the request cannot be built (credentials too long, UDP ASSOCIATE without
// lpUdpLocal). dest is the destination (0.0.0.0 for a listen through the
// proxy); lpUdpLocal the linked UDP socket's local address.
uint32_t BuildProxyRequest(const ProxyData& proxy, uint32_t uiStep, ProxyAddr dest,
                           const ProxyAddr* lpUdpLocal, char* lpBuf);

// ---------------------------------------------------------------- replies

enum ProxyReplyState {
    PROXY_REPLY_INCOMPLETE,  // the bytes are the start of a reply: keep them, read more
    PROXY_REPLY_ACCEPTED,
    PROXY_REPLY_REFUSED,
    PROXY_REPLY_UNEXPECTED   // no reply is expected at this step for this proxy type
};

struct ProxyReply {
    ProxyReplyState eState;
    uint32_t uiUsed;      // ACCEPTED/REFUSED: bytes of the reply; later bytes are not part of it
    int nError;           // REFUSED
    uint32_t uiNextStep;  // ACCEPTED
    bool bHasAddr;        // ACCEPTED at UDP ASSOCIATE and BIND: the address the reply carries
    ProxyAddr addr;
};

// Judges the reply to uiStep from the bytes received since the previous
// reply ended. Replies are read as a byte stream: a reply may arrive in any
// number of pieces and may be followed by bytes that belong to what comes
// next. bLinked (the socket serves a UDP socket) and the destination address
// choose the SOCKS5 command that follows the greeting.
ProxyReply ParseProxyReply(const ProxyData& proxy, uint32_t uiStep, bool bLinked, uint32_t dwDestIp,
                           const void* lpData, uint32_t uiLen);

// ---------------------------------------------------------------- the drive

// What the engine copies out of the socket's record for one handshake call.
struct ProxyHandshake {
    const ProxyData* lpProxy;  // null when the record has left the proxy list
    uint32_t uiStep;           // uiProxyStep
    bool bLinked;              // sLinked is valid: this connection serves a UDP socket
    ProxyAddr dest;            // dwProxyIp/wProxyPort
    ProxyAddr udpLocal;        // when bLinked: the UDP socket's local address (getsockname)
};

enum ProxyAction {
    PROXY_NEED_MORE,       // reply incomplete: keep the bytes, read on
    PROXY_SEND_REQUEST,    // Send the uiRequestLen bytes of the request buffer; read on
    PROXY_REPORT_BOUND,    // OnSocketProxy(0, s, addr): the proxy listens there; read on for the peer
    PROXY_REPORT_RELAY,    // copy addr into the UDP socket's record as its relay;
                           // OnSocketProxy(0, UDP socket, addr); stop reading this connection
    PROXY_REPORT_ACCEPT,   // OnSocketAccept(0, s, s, local address, addr = the peer)
    PROXY_REPORT_CONNECT,  // OnSocketConnect(0, s)
    PROXY_FAIL,            // report nError as eFail says; the socket is not read any more
    PROXY_NO_HANDSHAKE     // no reply is awaited at this step: nothing to do
};

enum ProxyFailReport {
    PROXY_FAIL_TO_PROXY_SINK,  // OnSocketProxy(nError, the UDP socket if linked else s, null)
    PROXY_FAIL_TO_CLOSE_SINK,  // OnSocketClose(nError, s, status)
    PROXY_FAIL_CLOSE_CONTROL   // CloseSocket(s), then OnSocketProxy(nError, the UDP socket, null)
};

struct ProxyStepResult {
    ProxyAction eAction;
    uint32_t uiUsed;        // bytes of the input the reply used; remove them from the buffer
    uint32_t uiStep;        // store as uiProxyStep
    ProxyAddr addr;         // store as dwProxyIp/wProxyPort
    uint32_t uiRequestLen;  // PROXY_SEND_REQUEST
    int nError;             // PROXY_FAIL
    ProxyFailReport eFail;  // PROXY_FAIL
};

// The connect to the proxy completed: step 1 and its request, or the failure
// to report when no request could be built.
ProxyStepResult ProxyHandshakeStart(const ProxyHandshake& hs, char* lpRequest);

// lpData holds every byte received since the previous reply ended. When
// uiStep becomes 7 with ACCEPT or CONNECT, the engine sets uiNoticeLen to 0
// and keeps the bytes after uiUsed as application data for the client's
// first notice. After SEND_REQUEST or REPORT_BOUND with bytes left over, it
// calls again with them: the next reply has already begun.
ProxyStepResult ProxyHandshakeOnReply(const ProxyHandshake& hs, const void* lpData, uint32_t uiLen,
                                      char* lpRequest);

// Sending a request failed with nError.
ProxyStepResult ProxyHandshakeSendFailed(const ProxyHandshake& hs, int nError);

#endif
