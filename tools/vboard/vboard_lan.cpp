// The board's LAN: a network namespace beside the board, joined to it by a
// veth pair (the board's end is its "eth0"), where simulated subdevices and
// the app run. Its init is pid 1 of a PID namespace of its own, so ending
// that init ends everything that ever ran in the LAN. It also has a mount
// namespace (a follower of the machine's) with a /proc of its own: tools
// in the LAN then find themselves under their own pids there, which the
// sanitizers' leak check relies on when it reads /proc/self's threads.
//
// Addresses are test addresses only (192.0.2.0/24, TEST-NET-1) and neither
// namespace has a route off the machine; the only routes added are the
// limited broadcast on each side of the pair.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vboard.h"

namespace vboard {
namespace {

std::string lan_pid_path(const Layout &l) {
    return l.dir + "/lan.pid";
}

std::string net_ns(pid_t pid) {
    char buf[128];
    std::string link = "/proc/" + std::to_string(pid) + "/ns/net";
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

// True when pid lives in a network namespace other than ours: the only kind
// of namespace these commands may ever configure.
bool own_namespace(pid_t pid) {
    std::string ns = net_ns(pid);
    return !ns.empty() && ns != net_ns(::getpid());
}

bool ns_run(pid_t pid, std::vector<std::string> cmd) {
    std::vector<std::string> argv = {"nsenter", "-t", std::to_string(pid), "-n"};
    argv.insert(argv.end(), cmd.begin(), cmd.end());
    return run_wait(argv) == 0;
}

void say(const char *msg) {
    if (::write(2, msg, strlen(msg)) < 0) {
    }
}

}  // namespace

pid_t lan_pid(const Layout &l) {
    std::string text;
    if (!read_file(lan_pid_path(l), text)) return -1;
    long long pid = 0;
    unsigned long long start = 0;
    if (sscanf(text.c_str(), "%lld %llu", &pid, &start) != 2 || pid <= 0) return -1;
    // A pid reused by an unrelated process is never trusted.
    if (start == 0 || process_start_time(static_cast<pid_t>(pid)) != start) return -1;
    return static_cast<pid_t>(pid);
}

// What the LAN's first child tells the caller: the init's pid, or why there
// is none.
struct LanStartReport {
    pid_t init = -1;
    char why[256] = {0};
};

bool lan_start(const Layout &l, std::string &err) {
    lan_stop(l);
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) {
        err = std::string("pipe: ") + strerror(errno);
        return false;
    }
    std::string exe = self_exe();
    std::string log = l.vb + "/lan.log";
    pid_t child = ::fork();
    if (child < 0) {
        err = std::string("fork: ") + strerror(errno);
        ::close(p[0]);
        ::close(p[1]);
        return false;
    }
    if (child == 0) {
        LanStartReport r;
        auto fail = [&](const std::string &why) {
            snprintf(r.why, sizeof r.why, "%s", why.c_str());
            if (::write(p[1], &r, sizeof r) != sizeof r) {
            }
            _exit(1);
        };
        ::setsid();
        if (::unshare(CLONE_NEWNET | CLONE_NEWPID | CLONE_NEWNS) != 0) {
            const int e = errno;
            fail(std::string("cannot create the LAN's namespaces: ") + strerror(e) +
                 (e == EPERM ? " (vboard needs root)" : ""));
        }
        // Nothing mounted in the LAN may reach the machine's namespace.
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0) {
            const int e = errno;
            fail(std::string("the LAN's mount namespace: cannot change root filesystem propagation: ") +
                 strerror(e) +
                 (e == EINVAL ? " (/ is not a mount point, as in a plain chroot: bind-mount the chroot's "
                                "root onto itself, then enter it)"
                              : ""));
        }
        pid_t init = ::fork();  // pid 1 of the new PID namespace
        if (init < 0) fail(std::string("cannot start the LAN's init: ") + strerror(errno));
        if (init == 0) {
            int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (in < 0 || out < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0)
                _exit(127);
            ::close_range(3, ~0U, 0);
            if (::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
                fprintf(stderr, "vboard: cannot mount the LAN's /proc: %s\n", strerror(errno));
                _exit(1);
            }
            char *argv[] = {const_cast<char *>("vboard"), const_cast<char *>("__lan"), nullptr};
            char *envp[] = {nullptr};
            ::execve(exe.c_str(), argv, envp);
            _exit(127);
        }
        r.init = init;
        if (::write(p[1], &r, sizeof r) != sizeof r) _exit(1);
        _exit(0);
    }
    ::close(p[1]);
    LanStartReport r;
    ssize_t n = ::read(p[0], &r, sizeof r);
    ::close(p[0]);
    int st = 0;
    ::waitpid(child, &st, 0);
    if (n != sizeof r || r.init <= 0) {
        r.why[sizeof r.why - 1] = '\0';
        err = n == sizeof r ? r.why : "the LAN's namespaces could not be created (no word from their first process)";
        return false;
    }
    const pid_t init = r.init;
    unsigned long long start = process_start_time(init);
    if (!write_file(lan_pid_path(l), std::to_string(init) + " " + std::to_string(start) + "\n")) {
        ::kill(init, SIGKILL);
        err = "cannot write " + lan_pid_path(l);
        return false;
    }
    return true;
}

bool lan_setup_network(const Layout &l, pid_t board_init, std::string &err) {
    pid_t lan = lan_pid(l);
    if (lan <= 0) {
        err = "the LAN is not running";
        return false;
    }
    if (!own_namespace(board_init) || !own_namespace(lan) || net_ns(board_init) == net_ns(lan)) {
        err = "the board and the LAN must each have a network namespace of their own";
        return false;
    }
    std::string lan_s = std::to_string(lan);
    const std::vector<std::vector<std::string>> board = {
        {"ip", "link", "set", "lo", "up"},
        {"ip", "link", "add", "eth0", "type", "veth", "peer", "name", kLanIface, "netns", lan_s},
        {"ip", "addr", "add", std::string(kBoardAddr) + "/24", "dev", "eth0"},
        {"ip", "link", "set", "eth0", "up"},
        {"ip", "route", "add", "255.255.255.255/32", "dev", "eth0"},
    };
    for (const auto &cmd : board) {
        if (!ns_run(board_init, cmd)) {
            err = "board network: '" + cmd[1] + " " + cmd[2] + "' failed";
            return false;
        }
    }
    // One batch for the LAN side: its own address and every simulated device's.
    std::string batch = "link set lo up\n";
    batch += std::string("addr add ") + kLanAddr + "/24 dev " + kLanIface + "\n";
    for (int i = 0; i < kLanDeviceAddrs; ++i)
        batch += "addr add 192.0.2." + std::to_string(kLanFirstDevice + i) + "/24 dev " + kLanIface + "\n";
    batch += std::string("link set ") + kLanIface + " up\n";
    batch += std::string("route add 255.255.255.255/32 dev ") + kLanIface + "\n";
    std::string batch_file = l.vb + "/lan.batch";
    if (!write_file(batch_file, batch) || !ns_run(lan, {"ip", "-batch", batch_file})) {
        err = "LAN network: ip -batch " + batch_file + " failed";
        return false;
    }
    return true;
}

void lan_stop(const Layout &l) {
    pid_t pid = lan_pid(l);
    if (pid > 0) {
        unsigned long long start = process_start_time(pid);
        ::kill(pid, SIGTERM);
        for (int i = 0; i < 100 && process_start_time(pid) == start; ++i)
            sleep_ms(50);
        if (process_start_time(pid) == start) ::kill(pid, SIGKILL);
        for (int i = 0; i < 100 && process_start_time(pid) == start; ++i)
            sleep_ms(20);
    }
    ::unlink(lan_pid_path(l).c_str());
}

int lan_exec(const Layout &l, const std::vector<std::string> &cmd) {
    pid_t pid = lan_pid(l);
    if (pid <= 0) {
        fprintf(stderr, "vboard: no LAN running in %s\n", l.dir.c_str());
        return 125;
    }
    // The caller's environment and working folder stay: LAN commands are the
    // build's own tools, run on the host's files.
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd)) {
        fprintf(stderr, "vboard: cannot read the working folder: %s\n", strerror(errno));
        return 126;
    }
    std::string nsenter = find_program("nsenter");
    // The LAN's root directory too, not only its mount namespace: entering a
    // mount namespace alone starts at the machine's real root, which in a
    // chroot is not where the project's files are.
    std::vector<std::string> a = {nsenter, "-t", std::to_string(pid), "-n", "-p", "-m", "-r"};
    a.insert(a.end(), {std::string("--wd=") + cwd, "--"});
    a.insert(a.end(), cmd.begin(), cmd.end());
    std::vector<char *> cargv;
    for (auto &s : a)
        cargv.push_back(const_cast<char *>(s.c_str()));
    cargv.push_back(nullptr);
    ::execv(nsenter.c_str(), cargv.data());
    fprintf(stderr, "vboard: cannot run nsenter: %s\n", strerror(errno));
    return 126;
}

void lan_init_main() {
    if (::getpid() != 1) {
        fprintf(stderr, "vboard: __lan runs only as the init of a board's LAN\n");
        _exit(2);
    }
    sigset_t set;
    sigemptyset(&set);
    struct sigaction sa = {};
    sa.sa_handler = [](int) {};
    for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) {
        sigaction(s, &sa, nullptr);
        sigaddset(&set, s);
    }
    sigprocmask(SIG_BLOCK, &set, nullptr);
    for (;;) {
        siginfo_t info;
        struct timespec ts = {1, 0};
        int sig = ::sigtimedwait(&set, &info, &ts);
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        if (sig == SIGTERM || sig == SIGINT || sig == SIGHUP) {
            // A grace period while anything of the LAN is left, then KILL.
            ::kill(-1, SIGTERM);
            for (int i = 0; i < 40 && ::kill(-1, 0) == 0; ++i) {
                while (::waitpid(-1, nullptr, WNOHANG) > 0) {
                }
                sleep_ms(50);
            }
            ::kill(-1, SIGKILL);
            say("vboard: LAN stopped\n");
            _exit(0);
        }
    }
}

}  // namespace vboard
