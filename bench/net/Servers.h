// The echo servers the benchmark measures. Each runs in its own process
// (bench_net --serve KIND), binds a TCP listener and a UDP socket to
// 127.0.0.1, reports both ports to the parent and echoes frames until its
// standard input closes.
#ifndef BENCH_NET_SERVERS_H
#define BENCH_NET_SERVERS_H

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// The vxnet engines to measure, by interface name; an engine that this build
// cannot create is skipped. New engines join here.
extern const std::vector<std::string> kVxnetEngines;

// Server kinds: "epoll", "libuv", "asio", or "vxnet:<interface name>".
std::vector<std::string> BaselineServerKinds();
// A short name for tables ("select" for "vxnet:ISelectSocketMgr1.0").
std::string ServerLabel(const std::string& kind);
// Whether the vxnet interface can be created in this build (creates and
// destroys one instance, starts nothing).
bool VxnetEngineAvailable(const std::string& interfaceName);

// The server process's main: runs the named server; the exit code is 0 after
// a clean stop.
int ServeMain(const std::string& kind, int cpu);

// Called by each server once its sockets are bound (report channel: fd 3).
void ReportPorts(uint16_t tcpPort, uint16_t udpPort);
void ReportError(const std::string& what);
// A 127.0.0.1 port that is free right now for SOCK_STREAM or SOCK_DGRAM, or 0.
uint16_t PickFreePort(int sockType);
// The listen backlog of every server: room for the largest burst of connects.
constexpr int kListenBacklog = 2048;

int RunEpollServer();
int RunUvServer();
int RunAsioServer();
int RunVxnetServer(const std::string& interfaceName);

}  // namespace bench

#endif
