// What every server process shares: its core, the report channel to the
// parent, free ports, and the dispatch to the server kind.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "PoolTap.h"
#include "Servers.h"
#include "vxnet/vxnet.h"

namespace bench {

const std::vector<std::string> kVxnetEngines = {
    VXNET_ISELECT_1_0,
    VXNET_IIOCP_1_0,
    VXNET_IASYNC_1_0,
};

namespace {
// The parent reads the report line from this descriptor; standard output is
// left to the library's own diagnostic lines.
constexpr int kReportFd = 3;

void WriteReport(const std::string& line) {
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        const ssize_t n = write(kReportFd, p, left);
        if (n <= 0)
            break;
        p += n;
        left -= size_t(n);
    }
    close(kReportFd);
}
}  // namespace

std::vector<std::string> BaselineServerKinds() {
    std::vector<std::string> kinds{"epoll"};
#ifdef VX_HAVE_LIBUV
    kinds.push_back("libuv");
#endif
#ifdef VX_HAVE_ASIO
    kinds.push_back("asio");
#endif
    return kinds;
}

std::string ServerLabel(const std::string& kind) {
    if (kind.rfind("vxnet:", 0) != 0)
        return kind;
    std::string name = kind.substr(6);
    // "ISelectSocketMgr1.0" -> "select"; the version stays when it is not 1.0.
    const size_t mgr = name.find("SocketMgr");
    if (mgr == std::string::npos || name.size() < 2)
        return name;
    std::string label = name.substr(1, mgr - 1);
    for (char& c : label)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    const std::string version = name.substr(mgr + 9);
    return version == "1.0" ? label : label + "-" + version;
}

bool VxnetEngineAvailable(const std::string& interfaceName) {
    ISocketMgr* mgr = vxCreateInstance(interfaceName.c_str());
    if (!mgr)
        return false;
    vxDestroyInstance(mgr);
    return true;
}

void ReportPorts(uint16_t tcpPort, uint16_t udpPort) {
    WriteReport("ports " + std::to_string(tcpPort) + " " + std::to_string(udpPort) + "\n");
}

void ReportError(const std::string& what) { WriteReport("error " + what + "\n"); }

uint16_t PickFreePort(int sockType) {
    const int fd = socket(AF_INET, sockType | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

int ServeMain(const std::string& kind, int cpu) {
    if (cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        sched_setaffinity(0, sizeof set, &set);  // threads created later inherit it
    }
    signal(SIGPIPE, SIG_IGN);
    AttachPoolCounters();
    if (kind == "epoll")
        return RunEpollServer();
#ifdef VX_HAVE_LIBUV
    if (kind == "libuv")
        return RunUvServer();
#endif
#ifdef VX_HAVE_ASIO
    if (kind == "asio")
        return RunAsioServer();
#endif
    if (kind.rfind("vxnet:", 0) == 0)
        return RunVxnetServer(kind.substr(6));
    ReportError("unknown server kind '" + kind + "'");
    return 2;
}

}  // namespace bench
