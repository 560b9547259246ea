#include "ServerProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

extern char** environ;

namespace bench {

namespace {

std::string SelfPath() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    buf[n] = 0;
    return buf;
}

// Reads the server's one report line, waiting at most `timeoutMs`.
bool ReadLine(int fd, int timeoutMs, std::string* line) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    line->clear();
    while (line->size() < 512) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, int(left.count())) <= 0)
            continue;
        char c;
        const ssize_t n = read(fd, &c, 1);
        if (n <= 0)
            return !line->empty();
        if (c == '\n')
            return true;
        line->push_back(c);
    }
    return true;
}

}  // namespace

bool ServerProcess::Start(const std::string& kind, int cpu, std::string* error) {
    Stop();
    int input[2], report[2];
    if (pipe2(input, O_CLOEXEC) != 0)
        return *error = "pipe failed", false;
    if (pipe2(report, O_CLOEXEC) != 0) {
        close(input[0]);
        close(input[1]);
        return *error = "pipe failed", false;
    }
    // Child: stdin = our pipe, stdout = our stderr (the library's diagnostic
    // lines must not mix with the tables), fd 3 = the report pipe.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, report[1], 3);
    m_pool = CreatePoolCounters(&m_poolFd);
    if (m_pool)
        posix_spawn_file_actions_adddup2(&actions, m_poolFd, kPoolCountersFd);
    const std::string self = SelfPath();
    const std::string cpuArg = std::to_string(cpu);
    std::vector<char*> argv{const_cast<char*>(self.c_str()), const_cast<char*>("--serve"),
                            const_cast<char*>(kind.c_str()), const_cast<char*>("--cpu"),
                            const_cast<char*>(cpuArg.c_str()), nullptr};
    const int rc = posix_spawn(&m_pid, self.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    close(report[1]);
    m_input = input[1];
    if (rc != 0) {
        m_pid = -1;
        close(report[0]);
        *error = std::string("cannot start the server: ") + strerror(rc);
        return false;
    }
    std::string line;
    const bool got = ReadLine(report[0], 10000, &line);
    close(report[0]);
    unsigned tcp = 0, udp = 0;
    if (!got || std::sscanf(line.c_str(), "ports %u %u", &tcp, &udp) != 2 || tcp == 0 || udp == 0) {
        *error = line.rfind("error ", 0) == 0 ? line.substr(6) : "no answer from the server (" + line + ")";
        Stop();
        return false;
    }
    m_tcpPort = uint16_t(tcp);
    m_udpPort = uint16_t(udp);
    if (clock_getcpuclockid(m_pid, &m_clock) != 0) {
        *error = "no CPU clock for the server process";
        Stop();
        return false;
    }
    return true;
}

void ServerProcess::Stop() {
    if (m_input >= 0) {
        close(m_input);
        m_input = -1;
    }
    ReleasePoolCounters(m_pool, m_poolFd);
    m_pool = nullptr;
    m_poolFd = -1;
    if (m_pid <= 0)
        return;
    // A clean stop takes the engine's own Stop (it waits up to 2 s per thread).
    for (int i = 0; i < 1000; ++i) {
        const pid_t done = waitpid(m_pid, nullptr, WNOHANG);
        if (done == m_pid || done < 0) {
            m_pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::fprintf(stderr, "warning: server %d did not stop within 10 s, killed\n", int(m_pid));
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

bool ServerProcess::Alive() const {
    // Looks without reaping, so that Stop still finds the child.
    siginfo_t info{};
    return m_pid > 0 && waitid(P_PID, id_t(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

double ServerProcess::CpuSeconds() const {
    timespec ts{};
    if (m_pid <= 0 || clock_gettime(m_clock, &ts) != 0)
        return NAN;
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

ProcessStatus ServerProcess::Status() const {
    ProcessStatus st;
    if (m_pid <= 0)
        return st;
    std::ifstream in("/proc/" + std::to_string(m_pid) + "/status");
    std::string key;
    while (in >> key) {
        if (key == "Threads:")
            in >> st.threads;
        else if (key == "VmRSS:")
            in >> st.rssKiB;
        in.ignore(1 << 20, '\n');
    }
    return st;
}

}  // namespace bench
