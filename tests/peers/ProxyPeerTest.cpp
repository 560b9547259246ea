// The managers through real proxy servers on loopback: Dante (SOCKS4, SOCKS5
// CONNECT, BIND, UDP ASSOCIATE), microsocks (SOCKS5 with a password) and
// tinyproxy (HTTP CONNECT, Basic authorization). The destination speaks
// first, so its bytes often share a segment with the proxy's last reply.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "../engine/EngineFixture.h"
#include "ScriptedPeer.h"

extern char** environ;

using namespace vxtest;

namespace {

const std::string kGreeting = "HELLO FROM THE DESTINATION\n";

// A proxy server: a child process on an ephemeral loopback port, configured
// in a fresh temporary folder, stopped by its process id when the object
// goes. Start waits until it accepts connections, or says why not.
class PeerServer {
public:
    PeerServer() = default;
    PeerServer(const PeerServer&) = delete;
    PeerServer& operator=(const PeerServer&) = delete;
    ~PeerServer() {
        KillChild();
        std::error_code ec;
        if (!m_strDir.empty()) std::filesystem::remove_all(m_strDir, ec);
    }

    uint16_t Port() const { return m_wPort; }

    bool StartDante(std::string* lpWhy) {
        return Start("danted", lpWhy, [this](const std::string& strPort) -> Config {
            // Dante changes users only as root; without -D it stays our child.
            return {"logoutput: " + m_strDir + "/server.log\ninternal: 127.0.0.1 port = " + strPort +
                        "\nexternal: 127.0.0.1\nclientmethod: none\nsocksmethod: none\n" +
                        (geteuid() == 0 ? "user.privileged: root\nuser.unprivileged: nobody\n" : "") +
                        "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\nsocks pass { from: 0.0.0.0/0 to: 0.0.0.0/0 "
                        "command: bind connect udpassociate bindreply udpreply }\n",
                    {"danted", "-f", m_strDir + "/server.conf", "-p", m_strDir + "/danted.pid"}};
        });
    }
    bool StartMicrosocks(const std::string& strUser, const std::string& strPass, std::string* lpWhy) {
        return Start("microsocks", lpWhy, [&](const std::string& strPort) -> Config {
            return {"", {"microsocks", "-i", "127.0.0.1", "-p", strPort, "-u", strUser, "-P", strPass}};
        });
    }
    bool StartTinyproxy(const std::string& strUser, const std::string& strPass, std::string* lpWhy) {
        return Start("tinyproxy", lpWhy, [&](const std::string& strPort) -> Config {
            // No ConnectPort line: CONNECT may go to any port.
            return {"Port " + strPort + "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nAllow 127.0.0.1\n" +
                        "LogLevel Info\nLogFile \"" + m_strDir + "/server.log\"\nBasicAuth " + strUser + " " + strPass,
                    {"tinyproxy", "-d", "-c", m_strDir + "/server.conf"}};
        });
    }

    // What the server wrote to its output and log so far.
    std::string Log() const {
        std::string out;
        for (const char* lpszName : {"/stdout.log", "/server.log"}) {
            std::ifstream in(m_strDir + lpszName);
            if (!m_strDir.empty()) out.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        return out;
    }

private:
    // The text of server.conf (none when empty) and the command line.
    using Config = std::pair<std::string, std::vector<std::string>>;

    bool Start(const char* lpszProgram, std::string* lpWhy, const std::function<Config(const std::string&)>& make) {
        // Servers live in sbin folders that a test's PATH may lack.
        const char* lpszPath = std::getenv("PATH");
        std::stringstream dirs(std::string("/usr/sbin:/usr/local/sbin:/sbin:") + (lpszPath ? lpszPath : "/usr/bin"));
        std::string path;
        for (std::string dir; path.empty() && std::getline(dirs, dir, ':');)
            if (!dir.empty() && access((dir + "/" + lpszProgram).c_str(), X_OK) == 0) path = dir + "/" + lpszProgram;
        char tmpl[] = "/tmp/vxpeer-XXXXXX";
        *lpWhy = path.empty() ? std::string(lpszProgram) + " is not installed (scripts/deps.sh peers installs it)"
                              : "no temporary folder";
        if (path.empty() || !mkdtemp(tmpl)) return false;
        m_strDir = tmpl;
        // Servers that drop to another user must still reach their files.
        chmod(m_strDir.c_str(), 0777);
        // A port found free may be taken before the server binds it: try again.
        for (int attempt = 0; attempt < 3; ++attempt) {
            m_wPort = UnusedTcpPort();
            Config config = make(std::to_string(m_wPort));
            std::ofstream(m_strDir + "/server.conf") << config.first << "\n";
            if (Launch(path, config.second, lpWhy)) return true;
            KillChild();
        }
        return false;
    }

    bool Launch(const std::string& strPath, const std::vector<std::string>& args, std::string* lpWhy) {
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
        bool bExited = rc != 0;
        if (bExited) m_pid = -1;
        bool bUp = !bExited && PollUntil([&] {
            int status;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) return bExited = true, m_pid = -1, true;
            return RawSocket::TcpConnect(m_wPort).IsValid();
        });
        *lpWhy = strPath + (bExited ? " did not start or exited" : " never accepted connections") + ":\n" + Log();
        return bUp && !bExited;
    }

    // Ends the server (SIGTERM, then SIGKILL if it lingers) and reaps it.
    void KillChild() {
        int status;
        if (m_pid > 0) kill(m_pid, SIGTERM);
        if (m_pid > 0 && !PollUntil([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, 5000)) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
    }

    pid_t m_pid = -1;
    uint16_t m_wPort = 0;
    std::string m_strDir;
};

}  // namespace

// Starts a server with `start` (which fills `why`), or skips the case.
#define START_OR_SKIP(start)               \
    do {                                   \
        std::string why;                   \
        if (!(start)) GTEST_SKIP() << why; \
    } while (0)

class ProxyPeer : public EngineTest {
protected:
    // The servers' logs explain most failures.
    void TearDown() override {
        if (HasFailure())
            for (const PeerServer* lpServer : {&m_dante, &m_socks, &m_http}) std::cout << lpServer->Log();
        EngineTest::TearDown();
    }

    // Through the proxy to a destination that greets first, then echoes.
    void ExpectGreetingAndEcho(uint32_t uiType, uint16_t wProxyPort, const char* lpszUser, const char* lpszPass) {
        ScriptedPeer dest;
        ASSERT_TRUE(dest.Write(kGreeting).Echo().Start());
        size_t from = Mark();
        SOCKET s;
        ASSERT_NO_FATAL_FAILURE(ConnectThrough(uiType, wProxyPort, lpszUser, lpszPass, dest.Port(), &s));
        ASSERT_NO_FATAL_FAILURE(ExpectTunnel(s, from));
        ASSERT_NO_FATAL_FAILURE(ExpectNotice(s, kGreeting));
        ASSERT_NO_FATAL_FAILURE(ExpectEcho(s, "ping through the proxy"));
    }

    PeerServer m_dante, m_socks, m_http;
};

INSTANTIATE_TEST_SUITE_P(Engines, ProxyPeer, testing::ValuesIn(EngineList()), EngineParamName);

TEST_P(ProxyPeer, DanteSocks4AndSocks5ToADestinationThatSpeaksFirst) {
    START_OR_SKIP(m_dante.StartDante(&why));
    for (uint32_t uiType : {PROXY_SOCKS4, PROXY_SOCKS5}) {
        SCOPED_TRACE(uiType);
        ASSERT_NO_FATAL_FAILURE(ExpectGreetingAndEcho(uiType, m_dante.Port(), nullptr, nullptr));
    }
}

TEST_P(ProxyPeer, DanteSocks5BindAndUdpAssociate) {
    START_OR_SKIP(m_dante.StartDante(&why));
    PROXYHANDLE h = m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", m_dante.Port(), nullptr, nullptr);
    SOCKET s = m_lpMgr->CreateTcpSocket(h, nullptr, 0, 0x91, 0x92);
    size_t from = Mark();
    ASSERT_TRUE(s != INVALID_SOCKET && m_lpMgr->Listen(s, 5));
    auto bound = ExpectEvent(Ev::Proxy, s, from, 0, 0x91, 0x92);
    ASSERT_TRUE(bound && bound->bHasAddr);

    RawSocket peer = RawSocket::TcpConnect(PortOf(bound->addr));
    auto acc = ExpectEvent(Ev::Accept, s, from, 0, 0, 0);
    ASSERT_TRUE(acc && acc->sNew == s && IsLoopback(acc->peer) && PortOf(acc->peer) == peer.LocalPort());
    ASSERT_TRUE(peer.SendAll("to the listener"));
    ASSERT_NO_FATAL_FAILURE(ExpectNotice(s, "to the listener"));
    ASSERT_TRUE(m_lpMgr->Send(s, "back", 4, 0, nullptr));
    std::string got;
    EXPECT_TRUE(peer.RecvExact(got, 4, kWaitMs) && got == "back") << got;

    from = Mark();
    SOCKET u = m_lpMgr->CreateUdpSocket(h, "127.0.0.1", 0, 0x93, 0x94);
    ASSERT_NE(INVALID_SOCKET, u);
    auto ready = ExpectEvent(Ev::Proxy, u, from, 0, 0x93, 0x94);
    ASSERT_TRUE(ready && ready->bHasAddr);
    EXPECT_TRUE(IsLoopback(ready->addr));

    RawSocket dest = RawSocket::Udp();
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(u, 1));
    EXPECT_EQ(14, m_lpMgr->SendTo(u, "127.0.0.1", dest.LocalPort(), "ping", 4, false));
    sockaddr_in relayOut;
    ASSERT_EQ(4, dest.RecvFrom(got, &relayOut, kWaitMs));
    ASSERT_EQ("ping", got);
    size_t mark = Mark();
    ASSERT_EQ(4, dest.SendToAddr(relayOut, "pong"));
    auto in = ExpectEvent(Ev::RecvFrom, u, mark, 0, 0x93, 0x94);
    EXPECT_TRUE(in && in->data == "pong" && IsLoopback(in->addr) && PortOf(in->addr) == dest.LocalPort());
    EXPECT_TRUE(m_lpMgr->CloseSocket(u));
}

// Right credentials reach the destination; each wrong set ends in one Proxy
// event with the error and nothing after it.
TEST_P(ProxyPeer, MicrosocksAndTinyproxyWithRightWrongAndMissingCredentials) {
    START_OR_SKIP(m_socks.StartMicrosocks("bob", "secret", &why));
    START_OR_SKIP(m_http.StartTinyproxy("alice", "s3cret", &why));
    ASSERT_NO_FATAL_FAILURE(ExpectGreetingAndEcho(PROXY_SOCKS5, m_socks.Port(), "bob", "secret"));
    ASSERT_NO_FATAL_FAILURE(ExpectGreetingAndEcho(PROXY_HTTP, m_http.Port(), "alice", "s3cret"));
    const struct {
        uint32_t uiType;
        uint16_t wPort;
        const char *lpszUser, *lpszPass;
        int nError;
    } bad[] = {{PROXY_SOCKS5, m_socks.Port(), "bob", "wrong", 86},
               {PROXY_HTTP, m_http.Port(), "alice", "wrong", 10061},
               {PROXY_HTTP, m_http.Port(), nullptr, nullptr, 10061}};
    for (const auto& b : bad) {
        SCOPED_TRACE(b.uiType);
        size_t from = Mark();
        SOCKET s;
        ASSERT_NO_FATAL_FAILURE(ConnectThrough(b.uiType, b.wPort, b.lpszUser, b.lpszPass, 9, &s));
        ASSERT_NO_FATAL_FAILURE(ExpectProxyFailure(s, from, b.nError));
    }
}
