// vboard: runs the unchanged daemon on a virtual board made of Linux
// namespaces (bubblewrap), with the board's own writable folders under a
// directory DIR of the host, a real local broker and Redis on the board's
// loopback, and recording stand-ins for the board tools that must never act
// on the host.
//
//   vboard start DIR     build/boot the board, return once the daemon serves
//                        its LAN ports
//   vboard exec DIR -- CMD...   run CMD inside the board
//   vboard logs DIR      the daemon's output so far
//   vboard stop DIR      end every process of the board (DIR keeps its files)
//   vboard run DIR [--devices N]  start with N simulated devices in the LAN
//                        (default 3, or $VBOARD_DEVICES), say up and the next
//                        step, follow the daemon's log; Ctrl-C stops it all
//   vboard status DIR    is the board up, and the daemon? does it serve?
//   vboard lan DIR -- CMD...    run CMD in the board's LAN (simulated peers, the app)
#include <cJSON.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vboard.h"

using namespace vboard;

namespace {

constexpr unsigned kStartTimeoutMs = 30000;
// From its first line until it serves its LAN ports: a sanitized daemon on
// a loaded machine may take a while.
constexpr unsigned kServeTimeoutMs = 60000;
// From their start until every simulated device has its socket.
constexpr unsigned kDevicesTimeoutMs = 20000;

void usage(FILE *to = stderr) {
    fprintf(to,
            "usage: vboard start DIR [--speed N]\n"
            "       vboard exec DIR -- CMD [ARG...]\n"
            "       vboard logs DIR\n"
            "       vboard stop DIR\n"
            "       vboard run DIR [--devices N]\n"
            "       vboard status DIR\n"
            "       vboard lan DIR -- CMD [ARG...]\n"
            "       vboard provision DIR [--home-mac MAC] [--home-key KEY] [--qnet-key HEX8]\n"
            "  --speed N    the daemon's clocks and timers run N times faster (1..100; tests)\n"
            "  --devices N  simulated devices `run` starts in the LAN (0..%d; default 3, or $VBOARD_DEVICES)\n"
            "start and run return or say \"up\" once the daemon serves UDP %u and TCP %u on the board\n"
            "(and, for run, the simulated devices run); see README.md.\n",
            kLanDeviceAddrs, kHostUdpPort, kHostTcpPort);
}

// A whole decimal number in [lo, hi]; false for anything else ("3x", "", "-").
bool parse_count(const std::string &s, int lo, int hi, int &out) {
    if (s.empty() || s.size() > 6 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    const int v = atoi(s.c_str());
    if (v < lo || v > hi) return false;
    out = v;
    return true;
}

volatile sig_atomic_t g_stop_requested = 0;
void on_stop_signal(int) {
    g_stop_requested = 1;
}

std::string absolute(const std::string &dir) {
    if (!dir.empty() && dir[0] == '/') return dir;
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) return dir;
    return std::string(cwd) + "/" + dir;
}

// Normalises DIR without requiring it to exist yet.
std::string board_dir(const std::string &arg) {
    std::string abs = absolute(arg);
    char real[PATH_MAX];
    if (::realpath(abs.c_str(), real)) return real;
    while (abs.size() > 1 && abs.back() == '/')
        abs.pop_back();
    return abs;
}

struct BoardPids {
    pid_t init = -1;
    unsigned long long init_start = 0;
    pid_t bwrap = -1;
    unsigned long long bwrap_start = 0;
};

bool read_pids(const Layout &l, BoardPids &p) {
    std::string text;
    if (!read_file(l.pid_file, text)) return false;
    long long a, c;
    unsigned long long b, d;
    if (sscanf(text.c_str(), "%lld %llu %lld %llu", &a, &b, &c, &d) != 4) return false;
    p.init = static_cast<pid_t>(a);
    p.init_start = b;
    p.bwrap = static_cast<pid_t>(c);
    p.bwrap_start = d;
    return true;
}

// The pids are only trusted while their start times still match: a pid
// reused by an unrelated process is never signalled.
// A start time of 0 is what a process that is already gone reads as, never
// a live one's.
bool init_alive(const BoardPids &p) {
    return p.init > 0 && p.init_start != 0 && process_start_time(p.init) == p.init_start;
}
bool bwrap_alive(const BoardPids &p) {
    return p.bwrap > 0 && p.bwrap_start != 0 && process_start_time(p.bwrap) == p.bwrap_start;
}

bool board_running(const Layout &l, BoardPids *out = nullptr) {
    BoardPids p;
    if (!read_pids(l, p) || !init_alive(p)) return false;
    if (out) *out = p;
    return true;
}

// The host's /bin, /sbin, /lib... as the host has them: symlinks into /usr
// on a merged-/usr system, read-only binds otherwise.
void add_top_level_links(std::vector<std::string> &a) {
    for (const char *name : {"bin", "sbin", "lib", "lib32", "lib64", "libx32"}) {
        std::string p = std::string("/") + name;
        char target[PATH_MAX];
        ssize_t n = ::readlink(p.c_str(), target, sizeof target - 1);
        if (n > 0) {
            a.insert(a.end(), {"--symlink", std::string(target, static_cast<size_t>(n)), p});
        } else if (is_dir(p)) {
            a.insert(a.end(), {"--ro-bind", p, p});
        }
    }
}

// /etc is the host's, read-only, except the board's own broker and Redis
// configuration. Each entry is bound on its own into a tmpfs so that the two
// board files can sit beside them, then the whole of /etc is made read-only.
void add_etc(std::vector<std::string> &a, const Layout &l) {
    const std::vector<std::string> board_files = {"mosquitto.conf", "redis.conf"};
    a.insert(a.end(), {"--tmpfs", "/etc"});
    if (DIR *d = ::opendir("/etc")) {
        while (struct dirent *e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == "..") continue;
            bool ours = false;
            for (const auto &f : board_files)
                ours = ours || f == n;
            if (ours) continue;
            std::string p = "/etc/" + n;
            char target[PATH_MAX];
            ssize_t len = ::readlink(p.c_str(), target, sizeof target - 1);
            if (len > 0) {
                a.insert(a.end(), {"--symlink", std::string(target, static_cast<size_t>(len)), p});
            } else {
                a.insert(a.end(), {"--ro-bind", p, p});
            }
        }
        ::closedir(d);
    }
    for (const auto &f : board_files)
        a.insert(a.end(), {"--ro-bind", l.root + "/etc/" + f, "/etc/" + f});
    a.insert(a.end(), {"--remount-ro", "/etc"});
}

std::vector<std::string> bwrap_argv(const std::string &bwrap, const Layout &l, const std::string &daemon,
                                    const std::string &standins) {
    // Own IPC, PID, network and UTS namespaces but the host's user namespace
    // (the broker's privilege drop fails inside a user namespace), with the
    // capabilities of root, and our init as pid 1.
    std::vector<std::string> a = {bwrap, "--unshare-ipc", "--unshare-pid", "--unshare-net", "--unshare-uts"};
    a.insert(a.end(), {"--hostname", "vboard", "--cap-add", "ALL", "--as-pid-1"});
    a.insert(a.end(), {"--ro-bind", "/usr", "/usr"});
    add_top_level_links(a);
    add_etc(a, l);
    a.insert(a.end(), {"--dev", "/dev", "--proc", "/proc"});
    const char *writable[] = {"/sys", "/tmp", "/run", "/data/domivault", "/home/root", "/usr/local/etc"};
    for (const char *p : writable)
        a.insert(a.end(), {"--bind", l.root + p, p});
    a.insert(a.end(), {"--bind", l.vb, "/vboard"});
    a.insert(a.end(), {"--ro-bind", standins, kStandinDir});
    a.insert(a.end(), {"--ro-bind", self_exe(), kInitPath});
    std::string bin_dir = self_exe().substr(0, self_exe().rfind('/'));
    a.insert(a.end(), {"--ro-bind", bin_dir, kPeerDir});
    // The build's codec plug-ins, which the board's boot seeds into its library folder.
    std::string lib_dir = bin_dir.substr(0, bin_dir.rfind('/')) + "/lib";
    if (is_dir(lib_dir)) a.insert(a.end(), {"--ro-bind", lib_dir, kPeerLibDir});
    a.insert(a.end(), {"--ro-bind", daemon, kDaemonPath});
    // Nothing outside the board's folders is writable, not even the root.
    a.insert(a.end(), {"--remount-ro", "/", "--chdir", "/", "--info-fd", "4"});
    a.insert(a.end(), {"--", kInitPath, "__init", "3"});
    return a;
}

const char kMosquittoConf[] =
    "# Local MQTT broker of the board: loopback only, every client authenticated.\n"
    "user root\n"
    "pid_file /run/mosquitto.pid\n"
    "listener 1883 127.0.0.1\n"
    "allow_anonymous false\n"
    "password_file /data/domivault/configs/mqtt_passwd\n"
    "persistence true\n"
    "persistence_location /data/domivault/data/\n"
    "persistence_file mosquitto.db\n"
    "log_dest stderr\n";

const char kRedisConf[] =
    "# Local Redis store of the board: loopback only, state under the data folder.\n"
    "bind 127.0.0.1\n"
    "port 6379\n"
    "protected-mode yes\n"
    "daemonize no\n"
    "pidfile /run/redis.pid\n"
    "logfile \"\"\n"
    "dir /data/domivault/data\n"
    "dbfilename host.rdb\n"
    "appendonly yes\n"
    "appendfilename \"host.aof\"\n"
    "appenddirname \"appendonlydir\"\n"
    "save 900 1\n"
    "save 300 10\n";

// The host side of the board's folders. Persistent ones are created once and
// kept; /tmp, /run and /sys are emptied or rewritten by the board's init at
// every boot.
// A board directory, or one to become one: missing or empty. It is marked
// as a board's (DIR/vboard) before anything else is written there.
bool claim_board_dir(const Layout &l, std::string &err) {
    if (l.dir == "/") {
        err = "refusing to use / as a board directory";
        return false;
    }
    if (is_dir(l.dir) && !is_dir(l.vb)) {
        DIR *d = ::opendir(l.dir.c_str());
        int entries = 0;
        while (struct dirent *e = d ? ::readdir(d) : nullptr) {
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) ++entries;
        }
        if (d) ::closedir(d);
        if (entries > 0) {
            err = l.dir + " is neither empty nor a board directory";
            return false;
        }
    }
    if (!mkdirs(l.vb)) {
        err = "cannot create " + l.vb + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool prepare(const Layout &l, std::string &err) {
    if (!claim_board_dir(l, err)) return false;
    for (const char *p : {"/sys", "/tmp", "/run/media/mmcblk1p1", "/data/domivault", "/home/root",
                          "/usr/local/etc", "/etc"}) {
        if (!mkdirs(l.root + p)) {
            err = "cannot create " + l.root + p + ": " + strerror(errno);
            return false;
        }
    }
    if (!mkdirs(l.vb + "/state") || !write_file(l.root + "/etc/mosquitto.conf", kMosquittoConf) ||
        !write_file(l.root + "/etc/redis.conf", kRedisConf)) {
        err = "cannot write the board's files under " + l.dir + ": " + strerror(errno);
        return false;
    }
    // A board's /usr/local/etc is bound over the host's folder, which must exist.
    if (!is_dir("/usr/local/etc") && !mkdirs("/usr/local/etc")) {
        err = "/usr/local/etc is missing on the host and cannot be created";
        return false;
    }
    // This boot's logs start empty; the previous boot's daemon log is kept beside.
    ::rename(l.daemon_log().c_str(), (l.daemon_log() + ".1").c_str());
    for (const char *f : {"/daemon.pid", "/daemon.exit", "/board.log"})
        ::unlink((l.vb + f).c_str());
    return true;
}

// Runs once the board's namespaces exist and before its init boots: the
// board's loopback and its eth0 to the LAN of simulated peers.
bool setup_network(const Layout &l, pid_t init, std::string &err) {
    return lan_start(l, err) && lan_setup_network(l, init, err);
}

std::string tail_of(const std::string &path) {
    std::string text;
    read_file(path, text);
    if (text.size() > 2000) text = "..." + text.substr(text.size() - 2000);
    return text;
}

off_t file_size(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Waits until the daemon listens on its LAN ports in the board's network
// (UDP 5000, TCP 1813): from then on a packet of the app or of a device is
// served. False, with the reason, when the daemon or the board ends first,
// when a stop is asked for, or at the deadline (the board then stays up for
// inspection).
bool wait_serving(const Layout &l, pid_t init, pid_t bwrap) {
    const std::string exit_path = l.vb + "/daemon.exit";
    for (unsigned waited = 0;; waited += 100) {
        if (udp_sockets(init, kHostUdpPort) > 0 && tcp_listeners(init, kHostTcpPort) > 0) return true;
        if (exists(exit_path)) {
            std::string why;
            read_file(exit_path, why);
            fprintf(stderr, "vboard: the daemon ended before it served its LAN ports: %s", why.c_str());
            return false;
        }
        if (::waitpid(bwrap, nullptr, WNOHANG) == bwrap || process_start_time(init) == 0) {
            ::unlink(l.pid_file.c_str());
            fprintf(stderr, "vboard: the board stopped while the daemon started:\n%s\n",
                    tail_of(l.board_log()).c_str());
            return false;
        }
        if (g_stop_requested) return false;
        if (waited >= kServeTimeoutMs) {
            fprintf(stderr,
                    "vboard: the daemon does not serve UDP %u and TCP %u on the board after %u s; the board "
                    "stays up (vboard logs %s, vboard stop %s)\n",
                    kHostUdpPort, kHostTcpPort, kServeTimeoutMs / 1000, l.dir.c_str(), l.dir.c_str());
            return false;
        }
        sleep_ms(100);
    }
}

// Ends the board: TERM to its init (which ends every process and exits;
// the kernel then kills whatever is left in its PID namespace), KILL when
// that takes too long.
int do_stop(const Layout &l, bool quiet = false) {
    lan_stop(l);
    BoardPids p;
    if (!read_pids(l, p)) {
        if (!quiet) fprintf(stderr, "vboard: no board running in %s\n", l.dir.c_str());
        return 0;
    }
    auto gone = [&] {
        if (p.bwrap > 0) ::waitpid(p.bwrap, nullptr, WNOHANG);  // reaps it when it is our child (run)
        return !init_alive(p) && !bwrap_alive(p);
    };
    if (init_alive(p)) ::kill(p.init, SIGTERM);
    for (int i = 0; i < 200 && !gone(); ++i)
        sleep_ms(50);
    if (!gone()) {
        if (init_alive(p)) ::kill(p.init, SIGKILL);
        if (bwrap_alive(p)) ::kill(p.bwrap, SIGKILL);
        // A KILL always lands, but not while its target waits inside the
        // kernel: a board still setting up its mounts on a busy machine can
        // take many seconds to get there.
        for (int i = 0; i < 1200 && !gone(); ++i)
            sleep_ms(50);
    }
    if (!gone()) {
        fprintf(stderr, "vboard: the board in %s does not stop (init pid %d)\n", l.dir.c_str(), p.init);
        return 1;
    }
    ::unlink(l.pid_file.c_str());
    return 0;
}

int do_start(const Layout &l, const std::string &daemon_arg, int speed) {
    BoardPids running;
    if (board_running(l, &running)) {
        fprintf(stderr, "vboard: a board already runs in %s (init pid %d); stop it first\n", l.dir.c_str(),
                running.init);
        return 1;
    }
    ::unlink(l.pid_file.c_str());
    std::string err;
    if (!prepare(l, err)) {
        fprintf(stderr, "vboard: %s\n", err.c_str());
        return 1;
    }
    // Kept in the board's folder so an in-board reboot keeps the pace.
    if (speed > 1)
        write_file(l.vb + "/speed", std::to_string(speed) + "\n");
    else
        ::unlink((l.vb + "/speed").c_str());
    std::string exe = self_exe();
    std::string daemon =
        daemon_arg.empty() ? exe.substr(0, exe.rfind('/')) + "/orvi_hc" : absolute(daemon_arg);
    if (::access(daemon.c_str(), X_OK) != 0) {
        fprintf(stderr, "vboard: no daemon to run at %s\n", daemon.c_str());
        return 1;
    }
    std::string standins = ORVI_SOURCE_DIR "/tools/vboard/standins";
    std::string bwrap = find_program("bwrap");
    if (bwrap.empty()) {
        fprintf(stderr, "vboard: bwrap (package bubblewrap) is not installed\n");
        return 1;
    }
    std::vector<std::string> args = bwrap_argv(bwrap, l, daemon, standins);

    int go[2], info[2];
    if (::pipe2(go, O_CLOEXEC) != 0 || ::pipe2(info, O_CLOEXEC) != 0) {
        perror("vboard: pipe");
        return 1;
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        perror("vboard: fork");
        return 1;
    }
    if (pid == 0) {
        // The board outlives this command: its own session, no terminal, its
        // messages in DIR/vboard/board.log. Descriptor 3 carries the go,
        // 4 the sandbox's pid.
        ::setsid();
        int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        int out = ::open(l.board_log().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        int g = ::fcntl(go[0], F_DUPFD_CLOEXEC, 10);
        int i = ::fcntl(info[1], F_DUPFD_CLOEXEC, 10);
        if (in < 0 || out < 0 || g < 0 || i < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 ||
            ::dup2(out, 2) < 0 || ::dup2(g, 3) < 0 || ::dup2(i, 4) < 0) {
            _exit(127);
        }
        ::close_range(5, ~0U, 0);
        std::vector<char *> cargv;
        for (auto &a : args)
            cargv.push_back(const_cast<char *>(a.c_str()));
        cargv.push_back(nullptr);
        std::string path = std::string("PATH=") + kBoardPath;
        char *envp[] = {const_cast<char *>(path.c_str()), const_cast<char *>(kAsanOptions),
                        const_cast<char *>(kUbsanOptions), nullptr};
        ::execve(bwrap.c_str(), cargv.data(), envp);
        _exit(127);
    }
    ::close(go[0]);
    ::close(info[1]);

    // bwrap reports the pid (in the host's numbering) of the board's init.
    std::string json;
    for (;;) {
        struct pollfd pf = {info[0], POLLIN, 0};
        if (::poll(&pf, 1, 15000) != 1) break;
        char buf[256];
        ssize_t n = ::read(info[0], buf, sizeof buf);
        if (n <= 0) break;
        json.append(buf, static_cast<size_t>(n));
        if (json.find('}') != std::string::npos) break;
    }
    ::close(info[0]);
    pid_t init = -1;
    size_t k = json.find("\"child-pid\"");
    if (k != std::string::npos)
        init = static_cast<pid_t>(strtol(json.c_str() + json.find(':', k) + 1, nullptr, 10));
    if (init <= 0) {
        ::close(go[1]);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        fprintf(stderr, "vboard: the board did not come up:\n%s\n", tail_of(l.board_log()).c_str());
        return 1;
    }
    // The sandbox can name its init and fail right after (a / that is not a
    // mount point): a board whose init is already gone is not recorded, or
    // it would read as running for ever.
    const unsigned long long init_start = process_start_time(init);
    if (init_start == 0) {
        ::close(go[1]);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        fprintf(stderr, "vboard: the board did not come up:\n%s\n", tail_of(l.board_log()).c_str());
        return 1;
    }
    std::string pids = std::to_string(init) + " " + std::to_string(init_start) + " " + std::to_string(pid) + " " +
                       std::to_string(process_start_time(pid)) + "\n";
    write_file(l.pid_file, pids);

    std::string net_err;
    if (!setup_network(l, init, net_err)) {
        ::close(go[1]);
        do_stop(l, true);
        fprintf(stderr, "vboard: cannot set up the board's network: %s\n", net_err.c_str());
        // The sandbox's own complaint, when it had one, is usually the same
        // cause seen first.
        const std::string board_log = tail_of(l.board_log());
        if (!board_log.empty()) fprintf(stderr, "vboard: board log:\n%s\n", board_log.c_str());
        return 1;
    }
    if (::write(go[1], "g", 1) != 1) {
        ::close(go[1]);
        do_stop(l, true);
        fprintf(stderr, "vboard: the board's init is gone:\n%s\n", tail_of(l.board_log()).c_str());
        return 1;
    }
    ::close(go[1]);

    // Up when the daemon's pid is known and its log got its first line.
    std::string pid_path = l.vb + "/daemon.pid", exit_path = l.vb + "/daemon.exit";
    for (unsigned waited = 0;; waited += 50) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            ::unlink(l.pid_file.c_str());
            fprintf(stderr, "vboard: the board stopped while booting:\n%s\n", tail_of(l.board_log()).c_str());
            return 1;
        }
        if (exists(pid_path) && file_size(l.daemon_log()) > 0) break;
        if (exists(pid_path) && exists(exit_path)) {
            std::string why;
            read_file(exit_path, why);
            fprintf(stderr, "vboard: the daemon ended before writing anything: %s", why.c_str());
            return 1;
        }
        if (waited >= kStartTimeoutMs) {
            do_stop(l, true);
            fprintf(stderr, "vboard: the daemon wrote nothing within %u s; board stopped. Board log:\n%s\n",
                    kStartTimeoutMs / 1000, tail_of(l.board_log()).c_str());
            return 1;
        }
        sleep_ms(50);
    }
    if (exists(exit_path)) {
        std::string why;
        read_file(exit_path, why);
        fprintf(stderr, "vboard: note: the daemon already ended: %s", why.c_str());
        return daemon_arg.empty() ? 1 : 0;  // the build's daemon serves nobody now
    }
    // A stand-in daemon (tests of the board itself) serves nothing: it is up
    // once it wrote. The build's daemon is up once the app and the devices
    // can reach it, whatever it logged before.
    if (!daemon_arg.empty()) return 0;
    return wait_serving(l, init, pid) ? 0 : 1;
}

int do_exec(const Layout &l, const std::vector<std::string> &cmd) {
    BoardPids p;
    if (!board_running(l, &p)) {
        fprintf(stderr, "vboard: no board running in %s\n", l.dir.c_str());
        return 125;
    }
    std::string nsenter = find_program("nsenter");
    std::vector<std::string> a = {nsenter,
                                  "-t",
                                  std::to_string(p.init),
                                  "-m",
                                  "-i",
                                  "-p",
                                  "-n",
                                  "-u",
                                  "-r",
                                  "-w",
                                  "--",
                                  "/usr/bin/env",
                                  "-i",
                                  std::string("PATH=") + kBoardPath,
                                  "HOME=/home/root"};
    if (const char *term = getenv("TERM")) a.push_back(std::string("TERM=") + term);
    a.insert(a.end(), cmd.begin(), cmd.end());
    std::vector<char *> cargv;
    for (auto &s : a)
        cargv.push_back(const_cast<char *>(s.c_str()));
    cargv.push_back(nullptr);
    char *envp[] = {nullptr};
    ::execve(nsenter.c_str(), cargv.data(), envp);
    fprintf(stderr, "vboard: cannot run nsenter: %s\n", strerror(errno));
    return 126;
}

int do_logs(const Layout &l) {
    std::string text;
    if (!read_file(l.daemon_log(), text)) {
        fprintf(stderr, "vboard: no daemon log in %s\n", l.dir.c_str());
        return 1;
    }
    fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

// The home the app's BLE provisioning would leave on the flash. `make run`
// gives a fresh board this one so the app and devices can bind at once.
constexpr const char *kDemoHomeMac = "HOMEVB00000000A1";
constexpr const char *kDemoHomeKey = "homevbkey0000001";
// The demo home's lighting network key (8 hex digits), sent to the module.
constexpr const char *kDemoQnetKey = "5a5a0001";

std::string params_path(const Layout &l) {
    return l.root + "/data/domivault/data/orvi_params.json";
}

bool provisioned(const Layout &l) {
    std::string text;
    if (!read_file(params_path(l), text)) return false;
    cJSON *cfg = cJSON_Parse(text.c_str());
    const cJSON *mac = cJSON_GetObjectItemCaseSensitive(cfg, "homeMac");
    const bool yes = cJSON_IsString(mac) && mac->valuestring[0] != '\0';
    cJSON_Delete(cfg);
    return yes;
}

// Stores a home MAC and key (and a lighting network key, when given) in the board's configuration, keeping what the
// daemon wrote there. The board must be down: the daemon rewrites the file
// from memory.
int do_provision(const Layout &l, const std::string &mac, const std::string &key, const std::string &qnet_key) {
    if (board_running(l)) {
        fprintf(stderr, "vboard: stop the board before provisioning it\n");
        return 1;
    }
    if (mac.empty() || mac.size() > 16 || key.size() != 16) {
        fprintf(stderr, "vboard: the home MAC takes 1 to 16 characters and the home key 16\n");
        return 2;
    }
    if (!qnet_key.empty() &&
        (qnet_key.size() != 8 || qnet_key.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)) {
        fprintf(stderr, "vboard: the lighting network key takes 8 hex digits\n");
        return 2;
    }
    std::string err;
    if (!claim_board_dir(l, err)) {
        fprintf(stderr, "vboard: %s\n", err.c_str());
        return 1;
    }
    std::string text;
    cJSON *cfg = read_file(params_path(l), text) ? cJSON_Parse(text.c_str()) : nullptr;
    if (!cJSON_IsObject(cfg)) {
        cJSON_Delete(cfg);
        cfg = cJSON_CreateObject();
    }
    cJSON_DeleteItemFromObjectCaseSensitive(cfg, "homeMac");
    cJSON_DeleteItemFromObjectCaseSensitive(cfg, "homeKey");
    cJSON_AddStringToObject(cfg, "homeMac", mac.c_str());
    cJSON_AddStringToObject(cfg, "homeKey", key.c_str());
    if (!qnet_key.empty()) {
        cJSON_DeleteItemFromObjectCaseSensitive(cfg, "Qnetkey");
        cJSON_AddStringToObject(cfg, "Qnetkey", qnet_key.c_str());
    }
    char *out = cJSON_Print(cfg);
    cJSON_Delete(cfg);
    mkdirs(l.root + "/data/domivault/data");
    const bool ok = out && write_file(params_path(l), std::string(out) + "\n", 0600);
    cJSON_free(out);
    if (!ok) {
        fprintf(stderr, "vboard: cannot write %s\n", params_path(l).c_str());
        return 1;
    }
    fprintf(stderr, "vboard: home MAC %s, home key %s\n", mac.c_str(), key.c_str());
    return 0;
}

int do_status(const Layout &l) {
    if (!is_dir(l.vb)) {
        printf("no board in %s\n", l.dir.c_str());
        return 4;
    }
    BoardPids p;
    if (!board_running(l, &p)) {
        printf("stopped\n");
        return 3;
    }
    std::string dpid, dexit;
    read_file(l.vb + "/daemon.pid", dpid);
    read_file(l.vb + "/daemon.exit", dexit);
    while (!dpid.empty() && (dpid.back() == '\n' || dpid.back() == ' '))
        dpid.pop_back();
    printf("running (init pid %d)\n", p.init);
    if (!dexit.empty()) {
        printf("daemon: %s", dexit.c_str());
    } else if (!dpid.empty()) {
        const bool serving = udp_sockets(p.init, kHostUdpPort) > 0 && tcp_listeners(p.init, kHostTcpPort) > 0;
        printf("daemon: running (board pid %s), %s UDP %u and TCP %u\n", dpid.c_str(),
               serving ? "serving" : "not yet serving", kHostUdpPort, kHostTcpPort);
    }
    return 0;
}

// The peer program `name` beside this vboard, and whether it is built.
std::string peer_program(const char *name) {
    const std::string exe = self_exe();
    return exe.substr(0, exe.rfind('/')) + "/" + name;
}
bool built(const std::string &program) {
    return ::access(program.c_str(), X_OK) == 0;
}

// Runs `argv` in the board's LAN in a session of its own (Ctrl-C goes to
// vboard, which stops the LAN and the peer with it), standard input from
// /dev/null and its output appended to `log`. The child's pid, or -1.
pid_t spawn_in_lan(const Layout &l, const std::vector<std::string> &argv, const std::string &log) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::setsid();
    int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (in < 0 || out < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) _exit(127);
    lan_exec(l, argv);
    _exit(127);
}

// The simulated devices of `vboard run`, in the LAN, logging to
// DIR/vboard/simdev.log. They end with the LAN. True once every device has
// its socket in the LAN (so the app can bind it at once), false with the
// reason when they cannot run.
bool start_devices(const Layout &l, int devices) {
    if (devices <= 0) return true;
    const std::string simdev = peer_program("simdev");
    const std::string log = l.vb + "/simdev.log";
    if (!built(simdev)) {
        fprintf(stderr, "vboard: %s is not built; no simulated devices\n", simdev.c_str());
        return false;
    }
    const off_t log_start = file_size(log) > 0 ? file_size(log) : 0;
    const pid_t pid = spawn_in_lan(l, {simdev, "--count", std::to_string(devices)}, log);
    if (pid < 0) {
        perror("vboard: fork");
        return false;
    }
    // Each device binds its own address, and one socket takes the
    // broadcasts for all of them.
    const pid_t lan = lan_pid(l);
    for (unsigned waited = 0;; waited += 100) {
        if (udp_sockets(lan, kDeviceUdpPort) > devices) return true;
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            std::string text;
            read_file(log, text);
            fprintf(stderr, "vboard: the simulated devices ended at start:\n%s\n",
                    text.substr(std::min(text.size(), static_cast<size_t>(log_start))).c_str());
            return false;
        }
        if (g_stop_requested) return false;
        if (waited >= kDevicesTimeoutMs) {
            fprintf(stderr, "vboard: the simulated devices are not all up after %u s (log: %s)\n",
                    kDevicesTimeoutMs / 1000, log.c_str());
            return false;
        }
        sleep_ms(100);
    }
}

// The maker's cloud in the LAN (simcloud: dispatch server on 192.0.2.1:7000,
// cloud broker on 192.0.2.1:1884); its files and log under DIR/vboard/cloud.
void start_cloud(const Layout &l) {
    const std::string simcloud = peer_program("simcloud");
    if (built(simcloud)) spawn_in_lan(l, {simcloud, "--dir", l.vb + "/cloud"}, l.vb + "/simcloud.log");
}

// The lighting module and its devices on the board's lighting UART
// (simmodule, in the LAN so it ends with it). Its devices come from
// DIR/vboard/state/simmodule.devices, written once with the demo home's
// lights so a user may change it; its frames are logged to
// DIR/vboard/simmodule.frames and commands go to DIR/vboard/state/simmodule.ctl.
constexpr const char *kDemoModuleDevices =
    "# ADDR MAC MODEL [silent] [room=N] [status=HEX]: the demo home's lighting devices\n"
    "17 02b100000011 70314 room=1 status=60800000000000\n"
    "18 02b100000012 70314 room=1 status=60000000000000\n"
    "19 02b100000013 70713 room=1 status=7000320000000021\n"
    "20 02b100000014 80401 room=1 status=4001001701\n"
    "21 02b100000015 70727 room=1 status=2101\n"
    "300 02b10000012c 70314 room=1 status=60000000000000\n";

void start_module(const Layout &l) {
    const std::string simmodule = peer_program("simmodule");
    if (!built(simmodule)) return;
    const std::string devices = l.vb + "/state/simmodule.devices";
    std::string text;
    if (!read_file(devices, text)) {
        mkdirs(l.vb + "/state");
        write_file(devices, kDemoModuleDevices, 0644);
    }
    spawn_in_lan(l, {simmodule, "--board", l.dir, "--devices", devices, "--log", l.vb + "/simmodule.frames"},
                 l.vb + "/simmodule.log");
}

// A board without a dispatch server is given simcloud's (board down).
void ensure_dispatch(const Layout &l) {
    std::string text;
    cJSON *cfg = read_file(params_path(l), text) ? cJSON_Parse(text.c_str()) : nullptr;
    if (!cJSON_IsObject(cfg) || cJSON_GetObjectItemCaseSensitive(cfg, "dishost")) {
        cJSON_Delete(cfg);
        return;
    }
    cJSON_AddStringToObject(cfg, "dishost", kLanAddr);
    cJSON_AddNumberToObject(cfg, "disport", 7000);
    char *out = cJSON_Print(cfg);
    cJSON_Delete(cfg);
    if (out) write_file(params_path(l), std::string(out) + "\n", 0600);
    cJSON_free(out);
}

// The demo's line device: a CAN heater of the simulated line services, so
// the cloud can switch a device whose status the host relays back to it
// (the state file is the board's own once it exists).
constexpr const char *kDemoLineDevices =
    R"({"devices":[{"mac":"a1b2c3d4e5f6","mid":"70101","bus":"can","key":"linedevkey000001",)"
    R"("cols":["Pow"],"dat":[0]}]})";

void ensure_line_devices(const Layout &l) {
    const std::string path = l.vb + "/state/simsvc.json";
    std::string text;
    if (read_file(path, text)) return;
    mkdirs(l.vb + "/state");
    write_file(path, std::string(kDemoLineDevices) + "\n", 0644);
}

// `word` as one word for the shell.
std::string shell_word(const std::string &word) {
    if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                                                "/._-+=:,@") == std::string::npos)
        return word;
    std::string q = "'";
    for (char c : word)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The command that plays the demo against this board from where the user
// stands: scripts/demo defaults to the tree's .vboard and build-run.
std::string demo_command(const Layout &l) {
    const std::string src = ORVI_SOURCE_DIR;
    const std::string exe = self_exe();
    const std::string bin = exe.substr(0, exe.rfind('/'));
    const std::string build = bin.substr(0, bin.rfind('/'));
    std::string cmd;
    if (l.dir != src + "/.vboard") cmd += "BOARD_DIR=" + shell_word(l.dir) + " ";
    if (build != src + "/build-run") cmd += "BUILD=" + shell_word(build) + " ";
    char cwd[PATH_MAX];
    const bool in_src = ::getcwd(cwd, sizeof cwd) && src == cwd;
    return cmd + (in_src ? std::string("scripts/demo") : shell_word(src + "/scripts/demo"));
}

int do_run(const Layout &l, const std::string &daemon, int speed, int devices) {
    // `run` owns the board it starts: a Ctrl-C here stops it. Attaching to a
    // board another terminal runs would let this one stop it.
    BoardPids running;
    if (board_running(l, &running)) {
        fprintf(stderr,
                "vboard: a board already runs in %s (init pid %d); run starts a board of its own. "
                "Its log: vboard logs %s; to stop it: vboard stop %s\n",
                l.dir.c_str(), running.init, l.dir.c_str(), l.dir.c_str());
        return 1;
    }
    struct sigaction sa = {};
    sa.sa_handler = on_stop_signal;
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &sa, nullptr);
    if (!provisioned(l) && do_provision(l, kDemoHomeMac, kDemoHomeKey, kDemoQnetKey) != 0) return 1;
    ensure_dispatch(l);
    ensure_line_devices(l);
    int rc = do_start(l, daemon, speed);
    if (rc == 0) {
        start_cloud(l);
        start_module(l);
    }
    if (rc != 0 && !board_running(l)) return rc;
    if (rc == 0 && start_devices(l, devices)) {
        std::string devs = devices > 0 ? ", " + std::to_string(devices) + " simulated device(s) in its LAN (log " +
                                             l.vb + "/simdev.log)"
                                       : "";
        fprintf(stderr, "vboard: board up in %s: the daemon serves UDP %u and TCP %u%s; Ctrl-C stops it all\n",
                l.dir.c_str(), kHostUdpPort, kHostTcpPort, devs.c_str());
        fprintf(stderr, "vboard: next, in a second terminal: %s\n", demo_command(l).c_str());
    } else if (!g_stop_requested) {
        fprintf(stderr, "vboard: the board in %s is not ready (see above); its log follows; Ctrl-C stops it\n",
                l.dir.c_str());
    }
    off_t shown = 0;
    for (;;) {
        std::string text;
        if (read_file(l.daemon_log(), text) && static_cast<off_t>(text.size()) > shown) {
            fwrite(text.data() + shown, 1, text.size() - static_cast<size_t>(shown), stdout);
            fflush(stdout);
            shown = static_cast<off_t>(text.size());
        }
        if (g_stop_requested) break;
        if (!board_running(l)) {
            fprintf(stderr, "vboard: the board stopped\n");
            ::unlink(l.pid_file.c_str());
            lan_stop(l);
            return 1;
        }
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        sleep_ms(200);
    }
    fprintf(stderr, "\nvboard: stopping the board\n");
    return do_stop(l);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc >= 3 && !strcmp(argv[1], "__init")) init_main(atoi(argv[2]));
    if (argc >= 2 && !strcmp(argv[1], "__lan")) lan_init_main();
    if (argc >= 2 && (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h") || !strcmp(argv[1], "help"))) {
        usage(stdout);
        return 0;
    }
    std::vector<std::string> args(argv + 1, argv + argc);
    // --devices N: simulated devices started by `run` (default 3 or $VBOARD_DEVICES).
    int devices = 3;
    if (const char *env = getenv("VBOARD_DEVICES")) {
        if (!parse_count(env, 0, kLanDeviceAddrs, devices)) {
            fprintf(stderr, "vboard: VBOARD_DEVICES takes a number from 0 to %d, not '%s'\n", kLanDeviceAddrs,
                    env);
            return 2;
        }
    }
    // --daemon PATH: run another program as the daemon (tests of the board itself).
    // --speed N: the daemon's clocks run N times faster (accelerated tests).
    std::string daemon, speed = "1";
    for (size_t i = 0; i < args.size();) {
        if (args[i] == "--") break;
        if (args[i] == "--help" || args[i] == "-h") {
            usage(stdout);
            return 0;
        }
        if (args[i] != "--daemon" && args[i] != "--speed" && args[i] != "--devices") {
            ++i;
            continue;
        }
        if (i + 1 >= args.size()) {
            fprintf(stderr, "vboard: %s needs a value\n", args[i].c_str());
            return 2;
        }
        if (args[i] == "--devices" && !parse_count(args[i + 1], 0, kLanDeviceAddrs, devices)) {
            fprintf(stderr, "vboard: --devices takes a number from 0 to %d, not '%s'\n", kLanDeviceAddrs,
                    args[i + 1].c_str());
            return 2;
        }
        if (args[i] == "--daemon") daemon = args[i + 1];
        if (args[i] == "--speed") speed = args[i + 1];
        args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
    }
    if (args.size() < 2) {
        usage();
        return 2;
    }
    const std::string &cmd = args[0];
    Layout l(board_dir(args[1]));
    if (cmd == "start" || cmd == "run") {
        int n = 1;
        if (!parse_count(speed, 1, 100, n)) {
            fprintf(stderr, "vboard: --speed takes a number from 1 to 100, not '%s'\n", speed.c_str());
            return 2;
        }
        if (cmd == "start") return do_start(l, daemon, n);
        return do_run(l, daemon, n, devices);
    }
    if (cmd == "stop") return do_stop(l);
    if (cmd == "logs") return do_logs(l);
    if (cmd == "status") return do_status(l);
    if (cmd == "provision") {
        std::string mac = kDemoHomeMac, key = kDemoHomeKey, qnet;
        for (size_t i = 2; i < args.size(); ++i) {
            if ((args[i] == "--home-mac" || args[i] == "--home-key" || args[i] == "--qnet-key") && i + 1 < args.size()) {
                (args[i] == "--home-mac" ? mac : args[i] == "--home-key" ? key : qnet) = args[i + 1];
                ++i;
            } else {
                usage();
                return 2;
            }
        }
        return do_provision(l, mac, key, qnet);
    }
    if (cmd == "lan") {
        size_t first = 2;
        if (first < args.size() && args[first] == "--") ++first;
        if (first >= args.size()) {
            usage();
            return 2;
        }
        return lan_exec(l, std::vector<std::string>(args.begin() + static_cast<long>(first), args.end()));
    }
    if (cmd == "exec") {
        size_t first = 2;
        if (first < args.size() && args[first] == "--") ++first;
        if (first >= args.size()) {
            usage();
            return 2;
        }
        return do_exec(l, std::vector<std::string>(args.begin() + static_cast<long>(first), args.end()));
    }
    usage();
    return 2;
}
