// Sockets with Winsock meaning. Start-up and clean-up are counted: every
// manager starts the socket layer when it is built and cleans it up when it
// is destroyed.
#ifndef VX_PF_SOCKET_H
#define VX_PF_SOCKET_H

namespace pf {

// WSAStartup with version 1.1 (a no-op count elsewhere); 0 on success.
int SocketStartup();
// WSACleanup, paired with SocketStartup.
void SocketCleanup();

}  // namespace pf

#endif
