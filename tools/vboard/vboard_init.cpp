// The board's init: pid 1 of the board's PID namespace. It boots the board
// (fresh /tmp, /run and /sys stand-ins, the local broker and Redis, then the
// daemon), reaps every orphan, logs the daemon's end without restarting it,
// reboots the board in place when the reboot stand-in asks (SIGUSR1), and on
// SIGTERM ends every process of the board and exits, which tears the
// namespaces down.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "vboard.h"

namespace vboard {
namespace {

pid_t g_daemon = -1;
int g_boots = 0;

void say(const std::string &msg) {
    std::string line = "vboard: " + msg + "\n";
    if (::write(2, line.data(), line.size()) < 0) {
    }
}

// A line in the daemon's log, where whoever reads the log sees it in order.
void say_in_daemon_log(const std::string &msg) {
    say(msg);
    append_file(kDaemonLog, "vboard: " + msg + "\n");
}

void noop_handler(int) {}

const int kSignals[] = {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGUSR1};

// Pid 1 of a namespace only receives signals it has a handler for, so each
// gets a (never-run) handler and is then blocked and taken with sigtimedwait.
void setup_signals(sigset_t &set) {
    sigemptyset(&set);
    struct sigaction sa = {};
    sa.sa_handler = noop_handler;
    for (int s : kSignals) {
        sigaction(s, &sa, nullptr);
        sigaddset(&set, s);
    }
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

// /proc/sys is mostly the machine's, not the namespace's: make it read-only
// except the message-queue limits, which belong to the board's IPC
// namespace and which the daemon raises at start.
void protect_proc() {
    if (::mount("/proc/sys", "/proc/sys", nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
        ::mount(nullptr, "/proc/sys", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
        say(std::string("cannot make /proc/sys read-only: ") + strerror(errno));
    }
    for (const char *f : {"/proc/sys/kernel/msgmnb", "/proc/sys/kernel/msgmax", "/proc/sys/kernel/msgmni"}) {
        if (::mount(f, f, nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(nullptr, f, nullptr, MS_REMOUNT | MS_BIND, nullptr) != 0) {
            say(std::string("cannot make ") + f + " writable: " + strerror(errno));
        }
    }
    const char *trig = "/proc/sysrq-trigger";
    if (exists(trig) && (::mount(trig, trig, nullptr, MS_BIND, nullptr) != 0 ||
                         ::mount(nullptr, trig, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)) {
        say(std::string("cannot make /proc/sysrq-trigger read-only: ") + strerror(errno));
    }
}

// The LED names of the board's device tree.
const char *const kLeds[] = {"led_sys", "led_core", "led_CAN", "led_485", "led_net"};

void write_sys() {
    empty_dir("/sys");
    mkdirs("/sys/class/net/eth0");
    write_file("/sys/class/net/eth0/carrier", "1\n");
    write_file("/sys/class/net/eth0/operstate", "up\n");
    write_file("/sys/class/net/eth0/address", "02:00:00:aa:bb:01\n");
    for (const char *led : kLeds) {
        std::string d = std::string("/sys/class/leds/") + led;
        mkdirs(d);
        write_file(d + "/brightness", "0\n");
        write_file(d + "/max_brightness", "1\n");
        write_file(d + "/trigger", "[none] timer heartbeat default-on\n");
    }
}

// A reboot clears the System V objects a previous daemon left behind.
void remove_ipc_objects() {
    struct Kind {
        const char *file;
        void (*rm)(int);
    };
    const Kind kinds[] = {
        {"/proc/sysvipc/msg", [](int id) { ::msgctl(id, IPC_RMID, nullptr); }},
        {"/proc/sysvipc/shm", [](int id) { ::shmctl(id, IPC_RMID, nullptr); }},
        {"/proc/sysvipc/sem", [](int id) { ::semctl(id, 0, IPC_RMID); }},
    };
    for (const Kind &k : kinds) {
        std::string text;
        if (!read_file(k.file, text)) continue;
        std::istringstream in(text);
        std::string line;
        std::getline(in, line);  // header
        while (std::getline(in, line)) {
            std::istringstream f(line);
            long key = 0, id = -1;
            if (f >> key >> id && id >= 0) k.rm(static_cast<int>(id));
        }
    }
}

// Number of processes in the board besides this one.
int other_processes() {
    int n = 0;
    DIR *d = ::opendir("/proc");
    if (!d) return 0;
    while (struct dirent *e = ::readdir(d)) {
        char *end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (*e->d_name && !*end && pid > 1 && process_start_time(static_cast<pid_t>(pid)) != 0) ++n;
    }
    ::closedir(d);
    return n;
}

std::string describe_exit(int st) {
    if (WIFEXITED(st)) return "orvi_hc exited with status " + std::to_string(WEXITSTATUS(st));
    if (WIFSIGNALED(st)) {
        return "orvi_hc killed by signal " + std::to_string(WTERMSIG(st)) + " (" + strsignal(WTERMSIG(st)) +
               ")";
    }
    return "orvi_hc ended";
}

void reap() {
    int st = 0;
    pid_t pid;
    while ((pid = ::waitpid(-1, &st, WNOHANG)) > 0) {
        if (pid == g_daemon) {
            g_daemon = -1;
            std::string what = describe_exit(st);
            write_file(kDaemonExit, what + "\n");
            say_in_daemon_log(what);
        }
    }
}

// Ends every process of the board but this one: TERM, a grace period, KILL.
// Returns how many are still there (stuck in the kernel), normally none.
int halt_all() {
    ::kill(-1, SIGTERM);
    for (int i = 0; i < 60 && other_processes() > 0; ++i) {
        reap();
        sleep_ms(50);
    }
    ::kill(-1, SIGKILL);
    for (int i = 0; i < 100 && other_processes() > 0; ++i) {
        reap();
        sleep_ms(20);
    }
    reap();
    return other_processes();
}

std::vector<std::string> service_env() {
    return {std::string("PATH=") + kBoardPath, "VBOARD_COMMAND_LOG=/dev/null"};
}

// The board's own services that run beside the daemon (the board image
// starts them before it): each is a program of the build, started from
// kPeerDir with its output in /vboard/<name>.log. Add one line per service.
const char *const kBoardServices[] = {
    "simbus",
    "simsvc",
    nullptr,
};

// Starts `path` in a session of its own with default signals, standard
// input from /dev/null and its output appended to `log`; -1 when fork fails.
pid_t spawn_program(const std::string &path, const char *argv0, const char *log, std::vector<std::string> env) {
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    sigset_t none;
    sigemptyset(&none);
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    for (int s : kSignals)
        sigaction(s, &dfl, nullptr);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    ::setsid();
    int in = ::open("/dev/null", O_RDONLY);
    int out = ::open(log, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || out < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) _exit(127);
    if (in > 2) ::close(in);
    if (out > 2) ::close(out);
    if (::chdir("/") != 0) _exit(127);
    std::vector<char *> envp;
    for (auto &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    char *argv[] = {const_cast<char *>(argv0), nullptr};
    ::execve(path.c_str(), argv, envp.data());
    std::string msg = "vboard: cannot run " + path + ": " + strerror(errno) + "\n";
    if (::write(2, msg.data(), msg.size()) < 0) {
    }
    _exit(127);
}

std::vector<std::string> program_env() { return {std::string("PATH=") + kBoardPath, kAsanOptions, kUbsanOptions}; }

void start_board_services() {
    for (const char *name : kBoardServices) {
        if (!name) continue;
        std::string path = std::string(kPeerDir) + "/" + name;
        if (!exists(path)) {
            say(std::string("board service ") + name + " is not built");
            continue;
        }
        std::string log = std::string("/vboard/") + name + ".log";
        if (spawn_program(path, name, log.c_str(), program_env()) < 0)
            say(std::string("cannot start ") + name + ": " + strerror(errno));
    }
}

// The simulated models of the LAN's devices, one per variant of the sample
// codec plug-in: UDP (type 3) lights (class 8); and the simulated
// multi-gang switch (simdev --gangs), a tovra-type (4) switch (class 3); and
// the lighting module's devices (simmodule), tovra-type: lights (class 8),
// curtains (7), switches (3) and a body sensor.
const char kMidConfig[] =
    "{\n"
    "  \"90001\": {\"type_value\": 3, \"class_value\": 8},\n"
    "  \"90002\": {\"type_value\": 3, \"class_value\": 8},\n"
    "  \"90003\": {\"type_value\": 3, \"class_value\": 8},\n"
    "  \"90004\": {\"type_value\": 3, \"class_value\": 8},\n"
    "  \"90005\": {\"type_value\": 3, \"class_value\": 8},\n"
    "  \"90010\": {\"type_value\": 4, \"class_value\": 3},\n"
    "  \"70101\": {\"type_value\": 1, \"class_value\": 3},\n"
    "  \"70201\": {\"type_value\": 2, \"class_value\": 3},\n"
    "  \"70314\": {\"type_value\": 4, \"class_value\": 8},\n"
    "  \"70315\": {\"type_value\": 4, \"class_value\": 8},\n"
    "  \"80501\": {\"type_value\": 4, \"class_value\": 7},\n"
    "  \"70713\": {\"type_value\": 4, \"class_value\": 7},\n"
    "  \"80401\": {\"type_value\": 4, \"class_value\": 3},\n"
    "  \"70721\": {\"type_value\": 4, \"class_value\": 3},\n"
    "  \"70727\": {\"type_value\": 4, \"class_value\": 11}\n"
    "}\n";

bool is_plugin_name(const std::string &n) {
    if (n.size() < 7 || n.compare(0, 3, "lib") != 0 || n.compare(n.size() - 3, 3, ".so") != 0) return false;
    return n.find_first_not_of("0123456789_", 3) == n.size() - 3;
}

time_t mtime_of(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

// What the board image and the plug-in service would have put there: the
// model configuration (kept once written, so a test may change it) and the
// build's codec plug-ins (refreshed when the build has a newer one).
void seed_board_image() {
    const char *mid = "/data/domivault/data/mid_config.json";
    if (!exists(mid) && !write_file(mid, kMidConfig)) say(std::string("cannot write ") + mid);
    DIR *d = ::opendir(kPeerLibDir);
    if (!d) return;  // the build has no plug-ins (yet)
    while (struct dirent *e = ::readdir(d)) {
        std::string name = e->d_name;
        if (!is_plugin_name(name)) continue;
        std::string src = std::string(kPeerLibDir) + "/" + name;
        std::string dst = "/data/domivault/data/lib/" + name;
        if (exists(dst) && mtime_of(dst) >= mtime_of(src)) continue;
        std::string bytes;
        if (!read_file(src, bytes) || !write_file(dst, bytes, 0755)) say("cannot copy the plug-in " + name);
    }
    ::closedir(d);
}

void start_daemon() {
    ::unlink(kDaemonExit);
    std::vector<std::string> env = program_env();
    std::string speed;
    if (read_file("/vboard/speed", speed) && atoi(speed.c_str()) > 1 && exists(kTimewarpLib)) {
        // The sanitizer runtime is not first among preloads then; that is expected.
        env[1] += ":verify_asan_link_order=0";
        env.push_back(std::string("LD_PRELOAD=") + kTimewarpLib);
        env.push_back("TIMEWARP_SPEED=" + std::to_string(atoi(speed.c_str())));
    }
    pid_t pid = spawn_program(kDaemonPath, "orvi_hc", kDaemonLog, env);
    if (pid < 0) {
        say_in_daemon_log(std::string("cannot start orvi_hc: ") + strerror(errno));
        return;
    }
    g_daemon = pid;
    write_file(kDaemonPid, std::to_string(pid) + "\n");
}

void boot() {
    ++g_boots;
    // What a board's image and boot scripts provide: empty /tmp and /run
    // (the boot partition under /run/media stays), the kernel's /sys files,
    // the data folders and the broker's password file (the broker refuses to
    // start without one).
    empty_dir("/tmp");
    empty_dir("/run", {"media"});
    mkdirs("/run/media/mmcblk1p1");
    write_sys();
    for (const char *d : {"/data/domivault/data/lib", "/data/domivault/configs", "/data/domivault/logs",
                          "/data/domivault/SoftWDT", "/home/root"}) {
        mkdirs(d);
    }
    if (!exists("/data/domivault/configs/mqtt_passwd"))
        write_file("/data/domivault/configs/mqtt_passwd", "", 0600);
    seed_board_image();
    remove_ipc_objects();
    for (const char *unit : {"mosquitto", "redis"}) {
        if (run_wait({std::string(kStandinDir) + "/systemctl", "start", unit}, service_env()) != 0) {
            say(std::string(unit) + " did not start (see /vboard/" + unit + ".log)");
        }
    }
    // The UARTs exist before the daemon opens them.
    if (uarts_start() < 0) say("the board has no UARTs");
    start_board_services();
    start_daemon();
}

bool reboot_halts() {
    std::string v;
    read_file("/vboard/state/reboot", v);
    return v.compare(0, 4, "halt") == 0;
}

}  // namespace

void init_main(int go_fd) {
    if (::getpid() != 1) {
        fprintf(stderr, "vboard: __init runs only as the init of a board\n");
        _exit(2);
    }
    sigset_t set;
    setup_signals(set);
    protect_proc();

    // The host side sets up the board's network from outside first.
    struct pollfd p = {go_fd, POLLIN, 0};
    char go = 0;
    if (::poll(&p, 1, 30000) != 1 || ::read(go_fd, &go, 1) != 1) {
        say("no go from the host side; giving up");
        _exit(1);
    }
    ::close(go_fd);

    boot();
    for (;;) {
        siginfo_t info;
        struct timespec ts = {1, 0};
        int sig = ::sigtimedwait(&set, &info, &ts);
        reap();
        if (sig == SIGTERM || sig == SIGINT || sig == SIGHUP) {
            halt_all();
            say("board stopped");
            _exit(0);
        }
        if (sig == SIGUSR1) {
            // A halt is announced once it is done: whoever reads the line may
            // rely on every service of the board being gone.
            if (reboot_halts()) {
                const int left = halt_all();
                say_in_daemon_log(left == 0 ? std::string("reboot: halting the board")
                                            : "reboot: halting the board; " + std::to_string(left) +
                                                  " process(es) would not end");
            } else {
                say_in_daemon_log("reboot");
                halt_all();
                boot();
            }
        }
    }
}

}  // namespace vboard
