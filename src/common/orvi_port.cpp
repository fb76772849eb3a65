// Commands are started with posix_spawn (safe in a threaded process) in
// their own process group, with standard input from /dev/null. Every
// descriptor the daemon opens carries close-on-exec, so a command (or a
// background job it leaves behind) never inherits a socket of ours.
#include "orvi_port.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "orvi_lock_order.h"

extern char **environ;

orvi::Mutex orvi_port_root_mu;

namespace {
std::string g_root GUARDED_BY(orvi_port_root_mu);  // empty on the board

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    void reset(int f = -1) {
        if (fd >= 0) ::close(fd);
        fd = f;
    }
};

int wait_child(pid_t pid) {
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

int spawn_and_collect(const std::vector<std::string> &argv, const orvi_run_opts &opts) {
    if (argv.empty()) return -1;
    std::vector<char *> cargv;
    cargv.reserve(argv.size() + 1);
    for (const auto &a : argv)
        cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);

    int pfd[2] = {-1, -1};
    if (::pipe2(pfd, O_CLOEXEC) != 0) return -1;
    Fd rd(pfd[0]), wr(pfd[1]);

    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&fa);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (opts.out) {
        posix_spawn_file_actions_adddup2(&fa, wr.fd, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    // Own process group, so a time-out can stop the whole pipeline; default
    // signal dispositions, so a SIGPIPE we ignore does not leak into it.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, cargv[0], &fa, &attr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    wr.reset();
    if (rc != 0) return -1;

    const uint64_t deadline = opts.timeout_ms ? orvi_port_monotonic_ms() + opts.timeout_ms : 0;
    bool killed = false;
    if (opts.out) {
        opts.out->clear();
        char buf[4096];
        for (;;) {
            int wait_ms = -1;
            if (deadline) {
                uint64_t now = orvi_port_monotonic_ms();
                wait_ms = now >= deadline ? 0 : static_cast<int>(deadline - now);
            }
            struct pollfd p = {rd.fd, POLLIN, 0};
            int pr = ::poll(&p, 1, wait_ms);
            if (pr < 0 && errno == EINTR) continue;
            if (pr == 0) {
                ::kill(-pid, SIGKILL);
                killed = true;
                break;
            }
            ssize_t n = ::read(rd.fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            size_t room = opts.out_limit > opts.out->size() ? opts.out_limit - opts.out->size() : 0;
            opts.out->append(buf, std::min(room, static_cast<size_t>(n)));
        }
    } else if (deadline) {
        for (;;) {
            int st = 0;
            pid_t w = ::waitpid(pid, &st, WNOHANG);
            if (w == pid) {
                if (WIFEXITED(st)) return WEXITSTATUS(st);
                if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
                return -1;
            }
            if (orvi_port_monotonic_ms() >= deadline) {
                ::kill(-pid, SIGKILL);
                killed = true;
                break;
            }
            orvi_port_sleep_ms(10);
        }
    }
    int status = wait_child(pid);
    return killed && status < 0 ? 128 + SIGKILL : status;
}
}  // namespace

std::string orvi_path(std::string_view board_path) {
    orvi::MutexLock lk(orvi_port_root_mu);
    if (g_root.empty() || board_path.empty() || board_path[0] != '/') return std::string(board_path);
    std::string p = g_root;
    p.append(board_path);
    return p;
}

void orvi_port_set_root(const std::string &root) {
    orvi::MutexLock lk(orvi_port_root_mu);
    g_root = root;
    while (!g_root.empty() && g_root.back() == '/')
        g_root.pop_back();
}

std::string orvi_port_root(void) {
    orvi::MutexLock lk(orvi_port_root_mu);
    return g_root;
}

std::string orvi_shell_quote(std::string_view word) {
    std::string q;
    q.reserve(word.size() + 2);
    q.push_back('\'');
    for (char c : word) {
        if (c == '\'')
            q.append("'\\''");
        else
            q.push_back(c);
    }
    q.push_back('\'');
    return q;
}

int orvi_port_run_shell(const std::string &cmd, const orvi_run_opts &opts) {
    return spawn_and_collect({"/bin/sh", "-c", cmd}, opts);
}

int orvi_port_run_argv(const std::vector<std::string> &argv, const orvi_run_opts &opts) {
    return spawn_and_collect(argv, opts);
}

bool orvi_port_exists(const std::string &path) {
    return ::access(path.c_str(), F_OK) == 0;
}

long long orvi_port_file_size(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<long long>(st.st_size);
}

bool orvi_port_read(const std::string &path, std::string &out, size_t limit) {
    out.clear();
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) return false;
    char buf[4096];
    while (out.size() < limit) {
        ssize_t n = ::read(fd.fd, buf, std::min(sizeof buf, limit - out.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return true;
}

static bool write_all_fd(int fd, std::string_view data) {
    const char *p = data.data();
    size_t n = data.size();
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool orvi_port_write_atomic(const std::string &path, std::string_view data, unsigned mode) {
    static std::atomic<unsigned> seq{0};
    std::string tmp = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(seq.fetch_add(1));
    Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (fd.fd < 0) return false;
    bool ok = write_all_fd(fd.fd, data) && ::fsync(fd.fd) == 0;
    fd.reset();
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    // Make the rename itself durable.
    std::string dir = path.substr(0, path.find_last_of('/') + 1);
    Fd dfd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dfd.fd >= 0) ::fsync(dfd.fd);
    return true;
}

bool orvi_port_append_capped(const std::string &path, std::string_view data, size_t cap) {
    long long size = orvi_port_file_size(path);
    if (size >= 0 && static_cast<size_t>(size) + data.size() > cap) {
        std::string old;
        if (orvi_port_read(path, old)) {
            std::string keep = old.substr(old.size() / 2);
            size_t nl = keep.find('\n');
            if (nl != std::string::npos) keep.erase(0, nl + 1);
            keep.append(data);
            return orvi_port_write_atomic(path, keep);
        }
    }
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (fd.fd < 0) return false;
    return write_all_fd(fd.fd, data);
}

uint64_t orvi_port_monotonic_ms(void) {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void orvi_port_sleep_ms(unsigned ms) {
    struct timespec ts {
        static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L
    };
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool orvi_port_random_bytes(void *buf, size_t n) {
    auto *p = static_cast<unsigned char *>(buf);
    while (n > 0) {
        ssize_t r = ::getrandom(p, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}
