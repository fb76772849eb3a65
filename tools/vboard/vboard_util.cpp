#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vboard.h"

extern char **environ;

namespace vboard {

Layout::Layout(const std::string &abs_dir)
    : dir(abs_dir), root(abs_dir + "/root"), vb(abs_dir + "/vboard"), pid_file(abs_dir + "/board.pid") {}

bool read_file(const std::string &path, std::string &out) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[8192];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return false;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

static bool write_all(int fd, const std::string &text) {
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = ::write(fd, text.data() + off, text.size() - off);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        off += static_cast<size_t>(n);
    }
    return true;
}

bool write_file(const std::string &path, const std::string &text, mode_t mode) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return false;
    bool ok = write_all(fd, text);
    return ::close(fd) == 0 && ok;
}

bool append_file(const std::string &path, const std::string &text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = write_all(fd, text);
    return ::close(fd) == 0 && ok;
}

bool mkdirs(const std::string &path, mode_t mode) {
    if (path.empty()) return false;
    for (size_t pos = 1;; ++pos) {
        pos = path.find('/', pos);
        std::string part = path.substr(0, pos);
        if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return false;
        if (pos == std::string::npos) break;
    }
    return is_dir(path);
}

bool exists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool is_dir(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

static void remove_tree(int parent_fd, const char *name) {
    int fd = ::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        DIR *d = ::fdopendir(fd);
        if (d) {
            while (struct dirent *e = ::readdir(d)) {
                if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
                remove_tree(::dirfd(d), e->d_name);
            }
            ::closedir(d);
        } else {
            ::close(fd);
        }
        ::unlinkat(parent_fd, name, AT_REMOVEDIR);
    } else {
        ::unlinkat(parent_fd, name, 0);
    }
}

void empty_dir(const std::string &dir, const std::vector<std::string> &keep) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    DIR *d = ::fdopendir(fd);
    if (!d) {
        ::close(fd);
        return;
    }
    while (struct dirent *e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        bool kept = false;
        for (const auto &k : keep)
            kept = kept || k == n;
        if (!kept) remove_tree(::dirfd(d), e->d_name);
    }
    ::closedir(d);
}

unsigned long long process_start_time(pid_t pid) {
    std::string stat;
    if (pid <= 0 || !read_file("/proc/" + std::to_string(pid) + "/stat", stat)) return 0;
    // The command name may hold blanks and parentheses: fields start after the last ')'.
    size_t p = stat.rfind(')');
    if (p == std::string::npos) return 0;
    const char *s = stat.c_str() + p + 2;
    if (*s == 'Z' || *s == 'X') return 0;
    // Field 3 is the state; the start time is field 22.
    for (int field = 3; field < 22; ++field) {
        s = strchr(s, ' ');
        if (!s) return 0;
        ++s;
    }
    return strtoull(s, nullptr, 10);
}

// Counts the rows of /proc/PID/net/<table> whose local port is `port` and,
// when `state` is not empty, whose state ("st", in hex) is `state`.
static int sockets_in(pid_t pid, const char *table, unsigned port, const char *state) {
    std::string text;
    if (pid <= 0 || !read_file("/proc/" + std::to_string(pid) + "/net/" + table, text)) return 0;
    int n = 0;
    size_t line = text.find('\n');  // the header
    while (line != std::string::npos && line + 1 < text.size()) {
        size_t next = text.find('\n', line + 1);
        std::string row = text.substr(line + 1, next == std::string::npos ? std::string::npos : next - line - 1);
        line = next;
        // "  sl  local_address rem_address   st ...": address:port in hex.
        char local[64] = {0}, remote[64] = {0}, st[8] = {0};
        if (sscanf(row.c_str(), " %*[^:]: %63s %63s %7s", local, remote, st) != 3) continue;
        const char *colon = strrchr(local, ':');
        if (!colon || strtoul(colon + 1, nullptr, 16) != port) continue;
        if (*state && strcasecmp(st, state) != 0) continue;
        ++n;
    }
    return n;
}

int tcp_listeners(pid_t pid, unsigned port) {
    return sockets_in(pid, "tcp", port, "0A") + sockets_in(pid, "tcp6", port, "0A");
}

int udp_sockets(pid_t pid, unsigned port) {
    return sockets_in(pid, "udp", port, "") + sockets_in(pid, "udp6", port, "");
}

std::string find_program(const std::string &name) {
    if (name.find('/') != std::string::npos) return name;
    const char *path = getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string cand = dirs.substr(start, end - start) + "/" + name;
        if (end > start && ::access(cand.c_str(), X_OK) == 0) return cand;
        start = end + 1;
    }
    for (const char *d : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
        std::string cand = d + name;
        if (::access(cand.c_str(), X_OK) == 0) return cand;
    }
    return "";
}

int run_wait(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
    if (argv.empty()) return -1;
    std::string prog = find_program(argv[0]);
    if (prog.empty()) return -1;
    std::vector<char *> cargv, cenv;
    for (const auto &a : argv)
        cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);
    for (const auto &e : env)
        cenv.push_back(const_cast<char *>(e.c_str()));
    cenv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(prog.c_str(), cargv.data(), env.empty() ? environ : cenv.data());
        _exit(127);
    }
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

std::string self_exe() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    return std::string(buf, static_cast<size_t>(n));
}

void sleep_ms(unsigned ms) {
    struct timespec ts = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace vboard
