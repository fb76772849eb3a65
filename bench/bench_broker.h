// A private mosquitto for a benchmark: a free loopback port, anonymous
// clients, no persistence, its configuration in a temporary folder; killed
// and removed with the object. Called from the benchmark's main thread.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <cstdlib>
#include <string>
#include <vector>

struct bench_broker {
    // A benchmark that keeps its rig for the whole process never runs the
    // destructor (and the broker drops root, which clears a parent-death
    // signal): every broker started is killed at exit either way.
    static std::vector<pid_t> &started() {
        static std::vector<pid_t> pids;
        return pids;
    }
    static void kill_started() {
        for (pid_t p : started())
            if (kill(p, SIGKILL) == 0) waitpid(p, nullptr, 0);
        started().clear();
    }
    // True when `p` was still running as ours (and is no longer listed).
    static bool forget(pid_t p) {
        auto &v = started();
        for (auto it = v.begin(); it != v.end(); ++it)
            if (*it == p) {
                v.erase(it);
                return true;
            }
        return false;
    }

    std::string dir;
    int port = 0;
    pid_t pid = -1;

    bool start() {
        const char *prog = nullptr;
        for (const char *p : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto"})
            if (access(p, X_OK) == 0) prog = p;
        char tmpl[] = "/tmp/orvi-bench-broker-XXXXXX";
        if (!prog || !mkdtemp(tmpl)) return false;
        dir = tmpl;
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        close(fd);
        std::ofstream(dir + "/mosquitto.conf") << "listener " << port << " 127.0.0.1\nallow_anonymous true\n"
                                               << "persistence false\nmax_queued_messages 0\nlog_type none\n";
        std::string conf = dir + "/mosquitto.conf";
        pid = fork();
        if (pid == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            execl(prog, "mosquitto", "-c", conf.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        if (pid > 0) {
            if (started().empty()) std::atexit(kill_started);
            started().push_back(pid);
        }
        for (int i = 0; i < 200; ++i) {
            int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            a.sin_port = htons(static_cast<uint16_t>(port));
            bool up = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
            close(s);
            if (up) return true;
            usleep(25000);
        }
        return false;
    }
    std::string uri() const { return "tcp://127.0.0.1:" + std::to_string(port); }
    ~bench_broker() {
        if (pid > 0 && forget(pid)) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (!dir.empty()) {
            unlink((dir + "/mosquitto.conf").c_str());
            rmdir(dir.c_str());
        }
    }
};
