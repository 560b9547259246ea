#include "PeerServers.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "LoopbackPeer.h"

extern char** environ;

namespace vxtest {

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 5000;
constexpr int kPortAttempts = 3;

// Servers live in sbin folders that a test's PATH may lack.
std::string FindProgram(const char* lpszName) {
    std::vector<std::string> dirs = {"/usr/sbin", "/usr/bin", "/sbin", "/bin", "/usr/local/sbin", "/usr/local/bin"};
    if (const char* lpszPath = std::getenv("PATH")) {
        std::stringstream ss(lpszPath);
        std::string dir;
        while (std::getline(ss, dir, ':'))
            if (!dir.empty()) dirs.push_back(dir);
    }
    for (const std::string& dir : dirs) {
        std::string path = dir + "/" + lpszName;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

bool WriteFile(const std::string& strPath, const std::string& strText) {
    std::ofstream out(strPath);
    out << strText;
    return static_cast<bool>(out);
}

bool WriteDanteConfig(const std::string& strDir, uint16_t wPort, const std::string&, const std::string&,
                      std::vector<std::string>* lpArgs) {
    std::string conf = "logoutput: " + strDir + "/server.log\n" +
                       "internal: 127.0.0.1 port = " + std::to_string(wPort) + "\n" +
                       "external: 127.0.0.1\n"
                       "clientmethod: none\n"
                       "socksmethod: none\n";
    // Dante changes users only when it runs as root.
    if (geteuid() == 0) conf += "user.privileged: root\nuser.unprivileged: nobody\n";
    conf +=
        "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
        "socks pass { from: 0.0.0.0/0 to: 0.0.0.0/0 command: bind connect udpassociate bindreply udpreply }\n";
    if (!WriteFile(strDir + "/danted.conf", conf)) return false;
    // Without -D Dante stays in the foreground, our child.
    *lpArgs = {"danted", "-f", strDir + "/danted.conf", "-p", strDir + "/danted.pid"};
    return true;
}

bool WriteMicrosocksArgs(const std::string&, uint16_t wPort, const std::string& strUser, const std::string& strPass,
                         std::vector<std::string>* lpArgs) {
    *lpArgs = {"microsocks", "-i", "127.0.0.1", "-p", std::to_string(wPort)};
    if (!strUser.empty()) {
        lpArgs->insert(lpArgs->end(), {"-u", strUser, "-P", strPass});
    }
    return true;
}

bool WriteTinyproxyConfig(const std::string& strDir, uint16_t wPort, const std::string& strUser,
                          const std::string& strPass, std::vector<std::string>* lpArgs) {
    std::string conf = "Port " + std::to_string(wPort) +
                       "\n"
                       "Listen 127.0.0.1\n"
                       "Timeout 30\n"
                       "MaxClients 20\n"
                       "Allow 127.0.0.1\n"
                       "LogLevel Info\n"
                       "LogFile \"" +
                       strDir + "/server.log\"\n";
    if (!strUser.empty()) conf += "BasicAuth " + strUser + " " + strPass + "\n";
    // No ConnectPort line: CONNECT may go to any port.
    if (!WriteFile(strDir + "/tinyproxy.conf", conf)) return false;
    *lpArgs = {"tinyproxy", "-d", "-c", strDir + "/tinyproxy.conf"};
    return true;
}

}  // namespace

bool PeerServer::StartDante(std::string* lpWhy) { return Start("danted", WriteDanteConfig, "", "", lpWhy); }

bool PeerServer::StartMicrosocks(const std::string& strUser, const std::string& strPass, std::string* lpWhy) {
    return Start("microsocks", WriteMicrosocksArgs, strUser, strPass, lpWhy);
}

bool PeerServer::StartTinyproxy(const std::string& strUser, const std::string& strPass, std::string* lpWhy) {
    return Start("tinyproxy", WriteTinyproxyConfig, strUser, strPass, lpWhy);
}

bool PeerServer::Start(const char* lpszProgram, ConfigWriter writer, const std::string& strUser,
                       const std::string& strPass, std::string* lpWhy) {
    std::string path = FindProgram(lpszProgram);
    if (path.empty()) {
        *lpWhy = std::string(lpszProgram) + " is not installed (scripts/deps.sh peers installs it)";
        return false;
    }
    char tmpl[] = "/tmp/vxpeer-XXXXXX";
    if (!mkdtemp(tmpl)) {
        *lpWhy = "no temporary folder";
        return false;
    }
    m_strDir = tmpl;
    // Servers that drop to another user must still reach their files.
    chmod(m_strDir.c_str(), 0777);
    // A port found free may be taken before the server binds it: try again.
    for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
        m_wPort = UnusedTcpPort();
        std::vector<std::string> args;
        if (m_wPort == 0 || !writer(m_strDir, m_wPort, strUser, strPass, &args)) {
            *lpWhy = "cannot prepare the configuration";
            continue;
        }
        if (Launch(path, args, lpWhy)) return true;
        KillChild();
    }
    Stop();
    return false;
}

bool PeerServer::Launch(const std::string& strPath, const std::vector<std::string>& args, std::string* lpWhy) {
    std::string log = m_strDir + "/stdout.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int rc = posix_spawn(&m_pid, strPath.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        m_pid = -1;
        *lpWhy = "cannot start " + strPath;
        return false;
    }
    bool bExited = false;
    bool bUp = PollUntil(
        [&] {
            int status;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                bExited = true;
                m_pid = -1;
                return true;
            }
            RawSocket probe = RawSocket::TcpConnect(m_wPort);
            return probe.IsValid();
        },
        kStartTimeoutMs);
    if (bUp && !bExited) return true;
    *lpWhy = strPath + (bExited ? " exited at start" : " never accepted connections") + "; its output:\n" + Log();
    return false;
}

std::string PeerServer::Log() const {
    std::string out;
    for (const char* lpszName : {"/stdout.log", "/server.log"}) {
        std::ifstream in(m_strDir + lpszName);
        std::stringstream ss;
        ss << in.rdbuf();
        out += ss.str();
    }
    return out;
}

void PeerServer::Stop() {
    KillChild();
    if (!m_strDir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_strDir, ec);
        m_strDir.clear();
    }
}

void PeerServer::KillChild() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status;
        bool bGone = PollUntil([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, kStopTimeoutMs);
        if (!bGone) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
    }
}

}  // namespace vxtest
