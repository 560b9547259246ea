// The network simulator's hooks in the completion-port engine. Until it is
// configured it lets everything through.
#ifndef TW_NETSIMULATOR_H
#define TW_NETSIMULATOR_H

#include <cstdint>

#include "SocketData.h"

class TW_NetSimulator {
public:
    bool IsEnabled() const { return false; }
    // Send: true when the simulator holds the bytes back (it sends them later).
    bool HoldSend(SocketData&, const char*, uint32_t) { return false; }
    // SendToAddr: true when the datagram is to be lost.
    bool LoseDatagram() { return false; }
    // ConnectAddr: true when this connect is to fail.
    bool FailConnect() { return false; }
    // The socket is going: forget what is held for it.
    void Forget(SOCKET) {}
};

#endif
