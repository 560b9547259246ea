// Errors in Winsock numbers on every platform. Each thread has its own last
// error, as WSAGetLastError gives it on Windows; the POSIX backend translates
// errno in one place (FromErrno).
#ifndef VX_PF_ERROR_H
#define VX_PF_ERROR_H

namespace pf {

enum : int {
    kErrInvalidHandle = 6,           // the library's own "record gone / nothing built"
    kErrWouldBlock = 10035,          // WSAEWOULDBLOCK
    kErrInProgress = 10036,          // WSAEINPROGRESS
    kErrAlready = 10037,             // WSAEALREADY
    kErrNotSocket = 10038,           // WSAENOTSOCK
    kErrMsgSize = 10040,             // WSAEMSGSIZE
    kErrInvalid = 10022,             // WSAEINVAL
    kErrFault = 10014,               // WSAEFAULT
    kErrTooManyOpen = 10024,         // WSAEMFILE
    kErrAddrInUse = 10048,           // WSAEADDRINUSE
    kErrAddrNotAvail = 10049,        // WSAEADDRNOTAVAIL
    kErrNetDown = 10050,             // WSAENETDOWN
    kErrNetUnreach = 10051,          // WSAENETUNREACH
    kErrConnAborted = 10053,         // WSAECONNABORTED
    kErrConnReset = 10054,           // WSAECONNRESET
    kErrNoBufs = 10055,              // WSAENOBUFS
    kErrIsConn = 10056,              // WSAEISCONN
    kErrNotConn = 10057,             // WSAENOTCONN
    kErrShutdown = 10058,            // WSAESHUTDOWN
    kErrTimedOut = 10060,            // WSAETIMEDOUT
    kErrConnRefused = 10061,         // WSAECONNREFUSED
    kErrHostUnreach = 10065,         // WSAEHOSTUNREACH
    kErrHostNotFound = 11001,        // WSAHOST_NOT_FOUND
    kErrTryAgain = 11002,            // WSATRY_AGAIN
    kErrNoRecovery = 11003,          // WSANO_RECOVERY
    kErrNoData = 11004               // WSANO_DATA
};

// The calling thread's last error (Winsock numbering).
int GetLastError();
void SetLastError(int nError);

// Translates an errno value to its Winsock number (WSAEINVAL for values with
// no Winsock counterpart). On Windows the value is returned unchanged.
int FromErrno(int nErrno);

}  // namespace pf

#endif
