#include "PfError.h"

#include <netdb.h>

#include <cerrno>

namespace pf {

static thread_local int t_nLastError = 0;

int GetLastError() { return t_nLastError; }
void SetLastError(int nError) { t_nLastError = nError; }

// The one place where errno becomes a Winsock number. Winsock numbers are
// 10000 + the BSD errno of the same name, but Linux numbers its errno values
// differently, so each is mapped by name.
int FromErrno(int nErrno) {
    switch (nErrno) {
    case 0: return 0;
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EFAULT: return kErrFault;
    case EINVAL: return kErrInvalid;
    case EMFILE: case ENFILE: return kErrTooManyOpen;
    case EAGAIN: return kErrWouldBlock;
    case EINPROGRESS: return kErrWouldBlock;  // a non-blocking connect under way
    case EALREADY: return kErrAlready;
    case ENOTSOCK: return kErrNotSocket;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return kErrMsgSize;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return kErrAddrInUse;
    case EADDRNOTAVAIL: return kErrAddrNotAvail;
    case ENETDOWN: return kErrNetDown;
    case ENETUNREACH: return kErrNetUnreach;
    case ENETRESET: return 10052;
    case ECONNABORTED: return kErrConnAborted;
    case ECONNRESET: case EPIPE: return kErrConnReset;
    case ENOBUFS: case ENOMEM: return kErrNoBufs;
    case EISCONN: return kErrIsConn;
    case ENOTCONN: return kErrNotConn;
    case ESHUTDOWN: return kErrShutdown;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return kErrTimedOut;
    case ECONNREFUSED: return kErrConnRefused;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return kErrHostUnreach;
    default: return kErrInvalid;
    }
}

}  // namespace pf
