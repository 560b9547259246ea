// Real proxy servers for the tests: Dante (SOCKS4, SOCKS5 with BIND and UDP
// ASSOCIATE), microsocks (SOCKS5 with username and password) and tinyproxy
// (HTTP CONNECT with Basic authorization). Each runs as a child process on
// an ephemeral loopback port with its configuration in a fresh temporary
// folder, and is stopped by its process id when the object goes.
#ifndef VX_TEST_PEER_SERVERS_H
#define VX_TEST_PEER_SERVERS_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vxtest {

class PeerServer {
public:
    PeerServer() = default;
    ~PeerServer() { Stop(); }
    PeerServer(const PeerServer&) = delete;
    PeerServer& operator=(const PeerServer&) = delete;

    // Each starts the server and waits until it accepts connections; false
    // with the reason (program missing, configuration refused, ...) if not.
    bool StartDante(std::string* lpWhy);
    bool StartMicrosocks(const std::string& strUser, const std::string& strPass, std::string* lpWhy);
    bool StartTinyproxy(const std::string& strUser, const std::string& strPass, std::string* lpWhy);

    uint16_t Port() const { return m_wPort; }
    // What the server wrote to its log so far.
    std::string Log() const;
    void Stop();

private:
    using ConfigWriter = bool (*)(const std::string& strDir, uint16_t wPort, const std::string& strUser,
                                  const std::string& strPass, std::vector<std::string>* lpArgs);
    bool Start(const char* lpszProgram, ConfigWriter writer, const std::string& strUser, const std::string& strPass,
               std::string* lpWhy);
    bool Launch(const std::string& strPath, const std::vector<std::string>& args, std::string* lpWhy);
    // Ends the server (SIGTERM, then SIGKILL if it lingers) and reaps it.
    void KillChild();

    pid_t m_pid = -1;
    uint16_t m_wPort = 0;
    std::string m_strDir;
};

}  // namespace vxtest

#endif
