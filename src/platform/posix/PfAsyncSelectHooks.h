// The socket calls that re-enable async-select notifications on Windows
// (a receive re-enables FD_READ, an accept FD_ACCEPT, a send that would have
// blocked FD_WRITE) tell the POSIX emulation here (PfWindow.cpp). Each costs
// one load when nobody registered the descriptor.
#ifndef VX_PF_ASYNC_SELECT_HOOKS_H
#define VX_PF_ASYNC_SELECT_HOOKS_H

namespace pf {

// After a recv/recvfrom: bMaybeMore when bytes may remain (the buffer was
// filled) or the stream ended.
void AsyncSelectOnRead(int fd, bool bMaybeMore);
// After an accept on fdListen; fdNew is the accepted socket or -1.
void AsyncSelectOnAccept(int fdListen, int fdNew);
// A send failed because the buffer was full.
void AsyncSelectOnSendBlocked(int fd);
// A non-blocking connect is under way.
void AsyncSelectOnConnect(int fd);
// The error with which the connection broke (the notification consumed the
// kernel's copy), 0 if it did not.
int AsyncSelectResetError(int fd);

}  // namespace pf

#endif
