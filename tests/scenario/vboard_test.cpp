// The virtual board itself: its folders, brokers, stand-ins, isolation and
// life cycle. Most tests run a small stand-in daemon so that they do not
// depend on what the real daemon does at start.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "board.h"
#include "orvi_port.h"

namespace {

using namespace std::chrono_literals;

const std::string kVboard = ORVI_BINARY_DIR "/bin/vboard";

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Runs argv with its standard error joined to its output; killed when it
// still runs after `deadline`.
Board::Result run_joined(const std::vector<std::string> &argv, std::chrono::milliseconds deadline = 120s) {
    std::vector<std::string> a = {"/bin/sh", "-c", "exec \"$@\" 2>&1", "sh"};
    a.insert(a.end(), argv.begin(), argv.end());
    Board::Result r;
    orvi_run_opts o;
    o.out = &r.out;
    o.timeout_ms = static_cast<unsigned>(deadline.count());
    r.status = orvi_port_run_argv(a, o);
    return r;
}

// Polls `pred` every 50 ms; false when it still fails after `timeout`.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(50ms);
    }
}

// A command running in the background with its output in a file, as in a
// terminal of its own; interrupted (Ctrl-C) and reaped by its owner.
class Background {
  public:
    Background(const std::vector<std::string> &argv, std::string out) : out_(std::move(out)) {
        pid_ = fork();
        if (pid_ != 0) return;
        int fd = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(127);
        std::vector<char *> cargv;
        for (const auto &s : argv)
            cargv.push_back(const_cast<char *>(s.c_str()));
        cargv.push_back(nullptr);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    ~Background() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    std::string output() const { return slurp(out_); }
    bool ended() {
        int st = 0;
        if (status_ < 0 && waitpid(pid_, &st, WNOHANG) == pid_)
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return status_ >= 0;
    }
    // Ctrl-C; the exit status, or -1 when it does not end within `timeout`.
    int interrupt(std::chrono::milliseconds timeout) {
        if (!ended()) kill(pid_, SIGINT);
        eventually([&] { return ended(); }, timeout);
        return status_;
    }

  private:
    std::string out_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// A daemon that says it is up, writes down its environment and working
// folder, and stays.
const char kStubDaemon[] =
    "#!/bin/sh\n"
    "env > /tmp/daemon.env\n"
    "pwd > /tmp/daemon.cwd\n"
    "echo \"stub daemon up\"\n"
    "exec sleep 100000\n";

class VboardTest : public ::testing::Test {
  protected:
    // A stub daemon script in a folder of its own; removed after the test.
    std::string stub(const std::string &script = kStubDaemon) {
        char tmpl[] = "/tmp/orvi-stub-XXXXXX";
        if (!mkdtemp(tmpl)) return "";
        stub_dir_ = tmpl;
        std::string path = stub_dir_ + "/daemon";
        std::ofstream(path) << script;
        chmod(path.c_str(), 0755);
        return path;
    }
    void TearDown() override {
        if (!stub_dir_.empty()) {
            unlink((stub_dir_ + "/daemon").c_str());
            rmdir(stub_dir_.c_str());
        }
    }
    std::string stub_dir_;
};

std::string ns_of(pid_t pid, const char *ns) {
    char buf[PATH_MAX];
    std::string link = "/proc/" + std::to_string(pid) + "/ns/" + ns;
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

// Host pids of every process inside the PID namespace `pidns`.
// The start time of a live process (0 when it is gone or a zombie): with
// the pid it names one process for good.
unsigned long long process_start_time(pid_t pid) {
    const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    const size_t p = stat.rfind(')');
    if (p == std::string::npos || p + 2 >= stat.size()) return 0;
    const char *s = stat.c_str() + p + 2;
    if (*s == 'Z' || *s == 'X') return 0;
    for (int field = 3; field < 22; ++field) {
        s = strchr(s, ' ');
        if (!s) return 0;
        ++s;
    }
    return strtoull(s, nullptr, 10);
}

std::set<long> processes_in(const std::string &pidns) {
    std::set<long> out;
    DIR *d = opendir("/proc");
    if (!d) return out;
    while (struct dirent *e = readdir(d)) {
        char *end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (*e->d_name && !*end && ns_of(static_cast<pid_t>(pid), "pid") == pidns) out.insert(pid);
    }
    closedir(d);
    return out;
}

TEST_F(VboardTest, BoardHasItsFoldersReadOnlyHostSystemAndStandInSys) {
    Board b(stub());
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(b.wait_for_log("stub daemon up"));

    // Writable board folders, seen from the host under the board directory.
    for (const char *dir : {"/data/domivault", "/data/domivault/configs", "/data/domivault/data",
                            "/home/root", "/usr/local/etc", "/run/media/mmcblk1p1", "/tmp", "/run"}) {
        std::string file = std::string(dir) + "/probe";
        EXPECT_EQ(0, b.exec({"sh", "-c", "echo hi > \"$0\"", file}).status) << file;
        EXPECT_EQ("hi\n", b.read(file)) << file;
    }
    // The host's system is read-only.
    for (const char *file : {"/usr/bin/probe", "/etc/probe", "/etc/mosquitto.conf", "/probe"}) {
        EXPECT_NE(0, b.exec({"sh", "-c", "echo x > \"$0\"", file}).status) << file;
    }
    // The board's own broker and Redis configuration in /etc.
    std::string mq = b.exec({"cat", "/etc/mosquitto.conf"}).out;
    EXPECT_NE(std::string::npos, mq.find("allow_anonymous false"));
    EXPECT_NE(std::string::npos, mq.find("password_file /data/domivault/configs/mqtt_passwd"));
    EXPECT_NE(std::string::npos, mq.find("listener 1883 127.0.0.1"));
    std::string rd = b.exec({"cat", "/etc/redis.conf"}).out;
    EXPECT_NE(std::string::npos, rd.find("dir /data/domivault/data"));
    EXPECT_NE(std::string::npos, rd.find("dbfilename host.rdb"));
    EXPECT_NE(std::string::npos, rd.find("appendonly yes"));

    // /sys stand-ins: the Ethernet carrier and the five LEDs.
    EXPECT_EQ("1\n", b.exec({"cat", "/sys/class/net/eth0/carrier"}).out);
    for (const char *led : {"led_sys", "led_core", "led_CAN", "led_485", "led_net"}) {
        std::string d = std::string("/sys/class/leds/") + led;
        EXPECT_EQ(0, b.exec({"test", "-f", d + "/brightness", "-a", "-f", d + "/trigger"}).status) << led;
    }
    b.write("/sys/class/net/eth0/carrier", "0\n");
    EXPECT_EQ("0\n", b.exec({"cat", "/sys/class/net/eth0/carrier"}).out);

    // The message-queue limit is the board's own, and writable.
    EXPECT_EQ(0, b.sh("echo 163840 > /proc/sys/kernel/msgmnb").status);
    EXPECT_EQ("163840\n", b.exec({"cat", "/proc/sys/kernel/msgmnb"}).out);
    std::ifstream host_msgmnb("/proc/sys/kernel/msgmnb");
    long host_value = 0;
    host_msgmnb >> host_value;
    EXPECT_NE(163840, host_value);
    // The rest of /proc/sys is not.
    EXPECT_NE(0, b.sh("echo 1 > /proc/sys/vm/overcommit_memory").status);

    // The daemon: empty environment but PATH and the sanitizer settings, cwd /.
    std::string env = b.read("/tmp/daemon.env");
    EXPECT_NE(std::string::npos, env.find("PATH=/vboard/bin:/usr/sbin:/usr/bin:/sbin:/bin\n"));
    EXPECT_EQ(std::string::npos, env.find("HOME="));
    EXPECT_EQ(std::string::npos, env.find("VBOARD_"));
    EXPECT_EQ("/\n", b.read("/tmp/daemon.cwd"));
}

TEST_F(VboardTest, BrokerRefusesAnonymousClientsAndRedisAnswers) {
    Board b(stub());
    ASSERT_TRUE(b.start());
    Board::Result sub = b.exec({"mosquitto_sub", "-h", "127.0.0.1", "-p", "1883", "-t", "probe", "-E"});
    EXPECT_NE(0, sub.status);
    // The broker answers the refusal before it writes its log line.
    EXPECT_TRUE(eventually([&] { return b.read("/vboard/mosquitto.log").find("not authorised") != std::string::npos; },
                           10s));
    EXPECT_EQ("PONG\n", b.exec({"redis-cli", "-h", "127.0.0.1", "ping"}).out);
    // Redis keeps its files where the board keeps them.
    EXPECT_EQ(0, b.exec({"redis-cli", "save"}).status);
    EXPECT_EQ(0, b.exec({"test", "-f", "/data/domivault/data/host.rdb"}).status);
    EXPECT_EQ(0, b.exec({"test", "-d", "/data/domivault/data/appendonlydir"}).status);
}

TEST_F(VboardTest, SystemctlRestartTakesTheConfigsCopy) {
    Board b(stub());
    ASSERT_TRUE(b.start());
    // What the daemon does on first start: copy the image's file, add a user,
    // restart the service. An extra listener proves which file was read.
    ASSERT_EQ(0, b.sh("cp /etc/mosquitto.conf /data/domivault/configs/ && "
                      "echo 'listener 1884 127.0.0.1' >> /data/domivault/configs/mosquitto.conf && "
                      "mosquitto_passwd -b /data/domivault/configs/mqtt_passwd hostuser secret1")
                     .status);
    std::string before = b.read("/run/vboard/mosquitto.pid");
    ASSERT_EQ(0, b.exec({"systemctl", "restart", "mosquitto"}).status);
    EXPECT_NE(before, b.read("/run/vboard/mosquitto.pid"));
    EXPECT_EQ(0, b.exec({"mosquitto_sub", "-h", "127.0.0.1", "-p", "1884", "-u", "hostuser", "-P", "secret1",
                         "-t", "probe", "-E"})
                     .status);
    EXPECT_NE(0, b.exec({"mosquitto_sub", "-h", "127.0.0.1", "-p", "1883", "-u", "hostuser", "-P", "wrong",
                         "-t", "probe", "-E"})
                     .status);

    ASSERT_EQ(0, b.sh("cp /etc/redis.conf /data/domivault/configs/ && "
                      "echo 'requirepass secret2' >> /data/domivault/configs/redis.conf")
                     .status);
    ASSERT_EQ(0, b.exec({"systemctl", "restart", "redis"}).status);
    EXPECT_NE(std::string::npos, b.exec({"redis-cli", "ping"}).out.find("NOAUTH"));
    EXPECT_EQ("PONG\n", b.exec({"redis-cli", "-a", "secret2", "--no-auth-warning", "ping"}).out);

    // Stop really stops; the unit alias works.
    EXPECT_EQ(0, b.exec({"systemctl", "stop", "redis-server"}).status);
    EXPECT_EQ("inactive\n", b.exec({"systemctl", "is-active", "redis"}).out);
    EXPECT_TRUE(b.ran("systemctl restart mosquitto"));
    EXPECT_TRUE(b.ran("systemctl stop redis-server"));
}

TEST_F(VboardTest, StandInsRecordTheirArgumentsAndAnswerLikeTheBoard) {
    Board b(stub());
    ASSERT_TRUE(b.start());
    b.clear_commands();
    b.set_state("eth0_mac", "02:00:00:12:34:56");
    b.set_state("eth0_ip", "192.0.2.77");
    struct Case {
        const char *cmd;
        const char *out;
    } cases[] = {
        {"ifconfig eth0 | grep 'HWaddr' | awk '{ print $5}'", "02:00:00:12:34:56\n"},
        {"ifconfig eth0 | grep 'inet addr' | awk '{ print $2}' | awk -F: '{print $2}'", "192.0.2.77\n"},
        {"ping -w 3 203.0.113.5 | grep 'loss' | awk '{print $7}'", "0%\n"},
        {"timedatectl set-time \"2024-05-02 10:00:00\" && timedatectl status | grep 'Local time' | "
         "awk '{print $4\" \"substr($5,1,5)}'",
         "2024-05-02 10:00\n"},
        {"ntpdate pool.example | grep -c offset", "1\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.out, b.sh(c.cmd).out) << c.cmd;
    b.set_state("ping", "fail");
    EXPECT_EQ("100%\n", b.sh("ping -w 3 203.0.113.5 | grep 'loss' | awk '{print $7}'").out);

    EXPECT_TRUE(b.ran("ifconfig eth0"));
    EXPECT_TRUE(b.ran("ping -w 3 203.0.113.5"));
    EXPECT_TRUE(b.ran("timedatectl set-time 2024-05-02 10:00:00"));
    EXPECT_TRUE(b.ran("ntpdate pool.example"));

    // The Wi-Fi supplicant: started in the background, found by pidof,
    // configured through wpa_cli, stopped by kill.
    EXPECT_EQ(
        0, b.exec({"wpa_supplicant", "-i", "wlan0", "-c", "/etc/wpa_supplicant.conf", "-D", "nl80211", "-B"})
               .status);
    std::string pid = b.exec({"pidof", "wpa_supplicant"}).out;
    ASSERT_FALSE(pid.empty());
    EXPECT_EQ("0\n", b.exec({"wpa_cli", "-i", "wlan0", "add_network"}).out);
    EXPECT_EQ("OK\n", b.sh("wpa_cli -i wlan0 set_network 0 ssid '\"home net\"'").out);
    EXPECT_EQ("OK\n", b.exec({"wpa_cli", "-i", "wlan0", "enable_network", "0"}).out);
    EXPECT_NE(std::string::npos,
              b.exec({"wpa_cli", "-i", "wlan0", "status"}).out.find("wpa_state=COMPLETED"));
    EXPECT_EQ(0, b.exec({"timeout", "5", "sh", "-c",
                         "kill \"$0\" && while pidof wpa_supplicant >/dev/null; do sleep 0.05; done",
                         pid.substr(0, pid.find('\n'))})
                     .status);
    EXPECT_NE(0, b.exec({"wpa_cli", "-i", "wlan0", "status"}).status);
}

TEST_F(VboardTest, BoardHasNoRouteOffTheMachine) {
    Board b(stub());
    ASSERT_TRUE(b.start());
    // Loopback and eth0 to the board's LAN (test addresses), no default
    // route: nothing can leave the machine.
    Board::Result routes = b.exec({"ip", "route", "show"});
    ASSERT_EQ(0, routes.status);
    EXPECT_EQ(
        "192.0.2.0/24 dev eth0 proto kernel scope link src 192.0.2.10 \n"
        "255.255.255.255 dev eth0 scope link \n",
        routes.out);
    EXPECT_EQ("", b.exec({"ip", "-6", "route", "show", "default"}).out);
    Board::Result links = b.exec({"ip", "-o", "link", "show"});
    EXPECT_NE(std::string::npos, links.out.find(": lo:"));
    EXPECT_NE(std::string::npos, links.out.find(": eth0@"));
    EXPECT_EQ(2, std::count(links.out.begin(), links.out.end(), '\n')) << links.out;
    // The LAN side has no way out either.
    EXPECT_EQ("", b.lan({"ip", "route", "show", "default"}).out);
    // With no route a connection fails in the kernel, before any packet.
    Board::Result r = b.sh("redis-cli -h 198.51.100.1 -p 6379 ping 2>&1");
    EXPECT_NE(std::string::npos, r.out.find("unreachable")) << r.out;
    // No host systemd or D-Bus socket is visible.
    EXPECT_NE(0, b.exec({"test", "-e", "/run/systemd/private"}).status);
    EXPECT_NE(0, b.exec({"test", "-e", "/run/dbus/system_bus_socket"}).status);
}

TEST_F(VboardTest, TwoBoardsRunAtOnceWithoutClashing) {
    std::string daemon = stub();
    Board a(daemon), b(daemon);
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    EXPECT_NE(ns_of(a.init_pid(), "net"), ns_of(b.init_pid(), "net"));
    EXPECT_NE(ns_of(a.init_pid(), "ipc"), ns_of(b.init_pid(), "ipc"));
    EXPECT_NE(ns_of(a.init_pid(), "pid"), ns_of(b.init_pid(), "pid"));
    // Each has its own broker and Redis on the same loopback address.
    EXPECT_EQ(0, a.exec({"redis-cli", "set", "who", "a"}).status);
    EXPECT_EQ(0, b.exec({"redis-cli", "set", "who", "b"}).status);
    EXPECT_EQ("a\n", a.exec({"redis-cli", "get", "who"}).out);
    EXPECT_EQ("b\n", b.exec({"redis-cli", "get", "who"}).out);
    // Each has its own folders and command log.
    a.exec({"sh", "-c", "echo a > /data/domivault/who"});
    EXPECT_NE(0, b.exec({"test", "-e", "/data/domivault/who"}).status);
    a.exec({"udhcpc", "-i", "eth0"});
    EXPECT_TRUE(a.ran("udhcpc -i eth0"));
    EXPECT_FALSE(b.ran("udhcpc -i eth0"));
}

TEST_F(VboardTest, StopLeavesNoProcessOfTheBoard) {
    Board b(stub());
    ASSERT_TRUE(b.start());
    // A process detached from everything is still ended.
    b.exec({"sh", "-c", "setsid sleep 1000 </dev/null >/dev/null 2>&1 &"});
    std::string pidns = ns_of(b.init_pid(), "pid");
    ASSERT_FALSE(pidns.empty());
    const std::set<long> before = processes_in(pidns);
    EXPECT_GE(before.size(), 5u);  // init, broker, Redis, daemon, sleep
    std::map<long, unsigned long long> started;
    for (long pid : before) started[pid] = process_start_time(static_cast<pid_t>(pid));
    ASSERT_TRUE(b.stop());
    // Checked by process, not by namespace: a board another test starts at
    // the same moment may be given the freed namespace's number.
    for (const auto &[pid, start] : started) {
        const unsigned long long now = process_start_time(static_cast<pid_t>(pid));
        EXPECT_TRUE(now == 0 || now != start) << "process " << pid << " of the board still runs";
    }
    EXPECT_EQ(-1, b.init_pid());
    EXPECT_NE(0, b.exec({"true"}).status);
}

TEST_F(VboardTest, SecondStartKeepsTheFlashAndEmptiesTmpAndRun) {
    Board b(stub());
    ASSERT_TRUE(b.start());
    ASSERT_EQ(0, b.sh("echo keep > /data/domivault/data/f && echo keep > /home/root/f && "
                      "echo keep > /usr/local/etc/f && echo keep > /run/media/mmcblk1p1/f && "
                      "echo gone > /tmp/f && echo gone > /run/f")
                     .status);
    b.write("/sys/class/net/eth0/carrier", "0\n");
    ASSERT_TRUE(b.restart());
    for (const char *f :
         {"/data/domivault/data/f", "/home/root/f", "/usr/local/etc/f", "/run/media/mmcblk1p1/f"}) {
        EXPECT_EQ("keep\n", b.exec({"cat", f}).out) << f;
    }
    EXPECT_NE(0, b.exec({"test", "-e", "/tmp/f"}).status);
    EXPECT_NE(0, b.exec({"test", "-e", "/run/f"}).status);
    EXPECT_EQ("1\n", b.read("/sys/class/net/eth0/carrier"));
    EXPECT_EQ("PONG\n", b.exec({"redis-cli", "ping"}).out);
}

TEST_F(VboardTest, RebootRestartsTheBoardInPlaceOrHaltsIt) {
    Board b(stub());
    ASSERT_TRUE(b.start());
    b.exec({"sh", "-c", "echo gone > /tmp/f; echo keep > /data/domivault/f"});
    b.exec({"reboot"});
    EXPECT_TRUE(b.ran("reboot"));
    ASSERT_TRUE(b.wait_for_log("vboard: reboot\n"));
    // The daemon comes up a second time, on the same flash, with a fresh /tmp.
    auto up_again = [&] {
        std::string log = b.logs();
        return log.find("stub daemon up", log.find("vboard: reboot\n")) != std::string::npos;
    };
    for (int i = 0; i < 200 && !up_again(); ++i)
        usleep(50000);
    ASSERT_TRUE(up_again());
    EXPECT_EQ("keep\n", b.exec({"cat", "/data/domivault/f"}).out);
    EXPECT_NE(0, b.exec({"test", "-e", "/tmp/f"}).status);
    EXPECT_EQ("PONG\n", b.exec({"redis-cli", "ping"}).out);

    // State "reboot" = "halt": the board stays down after a reboot. The
    // halt is told once it is done, even with a process that takes the whole
    // grace period to end: nothing of the board answers any more.
    b.set_state("reboot", "halt");
    ASSERT_EQ(0, b.sh("setsid sh -c 'trap \"\" TERM; while :; do sleep 0.1; done' stubborn "
                      "</dev/null >/dev/null 2>&1 &")
                     .status);
    b.exec({"reboot"});
    ASSERT_TRUE(b.wait_for_log("vboard: reboot: halting the board"));
    EXPECT_NE(0, b.exec({"pgrep", "-f", "stubborn"}).status);
    EXPECT_NE(0, b.exec({"redis-cli", "ping"}).status);
    EXPECT_NE(0, b.exec({"pidof", "mosquitto", "redis-server"}).status);
}

TEST_F(VboardTest, DaemonEndIsLoggedAndNotRestarted) {
    Board b(stub("#!/bin/sh\necho 'short life'\nsleep 0.3\nexit 3\n"));
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(b.wait_for_log("vboard: orvi_hc exited with status 3"));
    // The board stays up for inspection.
    EXPECT_EQ("PONG\n", b.exec({"redis-cli", "ping"}).out);
    std::string log = b.logs();
    EXPECT_EQ(log.find("short life"), log.rfind("short life"));
}

// What `vboard status` says of a running board whose daemon is `serving`
// or "not yet serving".
std::string status_text(const Board &b, const std::string &serving) {
    std::string daemon_pid = b.read("/vboard/daemon.pid");
    daemon_pid.erase(daemon_pid.find_last_not_of("\n") + 1);
    return "running (init pid " + std::to_string(b.init_pid()) + ")\ndaemon: running (board pid " + daemon_pid +
           "), " + serving + " UDP 5000 and TCP 1813\n";
}

TEST_F(VboardTest, StartReturnsOnceTheRealDaemonServesItsLanPorts) {
    Board b;
    ASSERT_TRUE(b.start());
    // At once, not eventually: the app may send as soon as start returns.
    EXPECT_NE("", b.exec({"ss", "-Hlun", "( sport = :5000 )"}).out);
    EXPECT_NE("", b.exec({"ss", "-Hltn", "( sport = :1813 )"}).out);
    EXPECT_EQ(status_text(b, "serving"), run_joined({kVboard, "status", b.dir()}).out);
}

// `make run`: up is said once the app can be served and the demo devices
// answer; the next step is named; Ctrl-C ends the board, its LAN and all.
TEST_F(VboardTest, RunSaysUpWhenTheDaemonServesAndTheDevicesRunAndCtrlCStopsIt) {
    Board b;
    Background run({kVboard, "run", b.dir(), "--devices", "2"}, b.dir() + ".run.out");
    ASSERT_TRUE(eventually([&] { return run.output().find("board up") != std::string::npos || run.ended(); },
                           120s));
    ASSERT_FALSE(run.ended()) << run.output();
    EXPECT_NE("", b.exec({"ss", "-Hlun", "( sport = :5000 )"}).out);
    EXPECT_NE("", b.exec({"ss", "-Hltn", "( sport = :1813 )"}).out);
    const std::string devices = b.lan({"ss", "-Hlun", "( sport = :5001 )"}).out;
    for (const char *addr : {"192.0.2.101:5001", "192.0.2.102:5001"})
        EXPECT_NE(std::string::npos, devices.find(addr)) << devices;
    EXPECT_NE(std::string::npos, run.output().find("next, in a second terminal: BOARD_DIR=" + b.dir() + " "))
        << run.output();
    EXPECT_NE(std::string::npos, run.output().find("scripts/demo\n")) << run.output();

    const pid_t init = b.init_pid();
    EXPECT_EQ(0, run.interrupt(30s)) << run.output();
    EXPECT_NE(0, kill(init, 0));
    EXPECT_NE(0, b.lan({"true"}).status);
    unlink((b.dir() + ".run.out").c_str());
}

TEST_F(VboardTest, RunRefusesABoardThatAlreadyRuns) {
    const std::string daemon = stub();
    Board b(daemon);
    ASSERT_TRUE(b.start());
    const pid_t init = b.init_pid();
    // A second terminal's `run`, Ctrl-C'd should it wait instead.
    Board::Result r = run_joined({"/usr/bin/timeout", "-s", "INT", "20", kVboard, "run", "--daemon", daemon,
                                  "--devices", "0", b.dir()});
    EXPECT_EQ(1, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("a board already runs in " + b.dir())) << r.out;
    // The board of the first terminal is untouched.
    EXPECT_EQ(init, b.init_pid());
    EXPECT_EQ("PONG\n", b.exec({"redis-cli", "ping"}).out);
}

TEST_F(VboardTest, CommandLineMistakesAreRefusedAndStatusLinesAreWhole) {
    Board b(stub());
    ASSERT_TRUE(b.start());
    // A board directory that must never come to be.
    const std::string none = b.dir() + ".none";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
        bool whole;  // the whole output, else its beginning
    } cases[] = {
        {{"--help"}, 0, "usage: vboard start DIR", false},
        {{}, 2, "usage: vboard start DIR", false},
        {{"status", none}, 4, "no board in " + none + "\n", true},
        {{"status", b.dir()}, 0, status_text(b, "not yet serving"), true},
        {{"run", none, "--devices", "x"}, 2,
         "vboard: --devices takes a number from 0 to 64, not 'x'\n", true},
        {{"run", none, "--devices", "65"}, 2,
         "vboard: --devices takes a number from 0 to 64, not '65'\n", true},
        {{"start", none, "--speed", "3x"}, 2,
         "vboard: --speed takes a number from 1 to 100, not '3x'\n", true},
        {{"start", none, "--speed"}, 2, "vboard: --speed needs a value\n", true},
    };
    for (const Case &c : cases) {
        std::vector<std::string> argv = {kVboard};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Board::Result r = run_joined(argv, 30s);
        EXPECT_EQ(c.status, r.status) << r.out;
        EXPECT_EQ(c.out, c.whole ? r.out : r.out.substr(0, c.out.size()));
    }
    EXPECT_NE(0, access(none.c_str(), F_OK));
    if (access(none.c_str(), F_OK) == 0) {
        run_joined({kVboard, "stop", none});
        run_joined({"/bin/rm", "-rf", none});
    }
}

// Every program of the build answers --help with its usage and status 0,
// and does nothing else: each runs inside a board (all of them are there
// under /opt/vboard/bin), so one that started its service instead would
// touch nothing of this machine, and is ended at the deadline.
TEST_F(VboardTest, EveryProgramAnswersHelpWithItsUsage) {
    Board b(stub());
    ASSERT_TRUE(b.start());
    const std::string gtest = "This program contains tests written using Google Test";
    struct Case {
        const char *name;
        std::string usage;
    } cases[] = {
        {"orvi_hc", "usage: orvi_hc"}, {"vboard", "usage: vboard"},       {"orvictl", "usage: orvictl"},
        {"simdev", "usage: simdev"},   {"simsvc", "usage: simsvc"},       {"simbus", "usage: simbus"},
        {"mqttcheck", "usage: mqttcheck"}, {"buscheck", "usage: buscheck"}, {"simcloud", "usage: simcloud"},
        {"simphone", "usage: simphone"},
        {"simmodule", "usage: simmodule"},
        {"unit_tests", gtest},
        {"scenario_tests", gtest},     {"tsan_tests", gtest},
    };
    std::set<std::string> checked;
    for (const Case &c : cases) {
        if (access((ORVI_BINARY_DIR "/bin/" + std::string(c.name)).c_str(), X_OK) != 0) continue;
        checked.insert(c.name);
        Board::Result r =
            b.exec({"timeout", "-s", "KILL", "30", "sh", "-c", "exec \"$0\" --help 2>&1", std::string("/opt/vboard/bin/") + c.name});
        EXPECT_EQ(0, r.status) << c.name << "\n" << r.out;
        EXPECT_NE(std::string::npos, r.out.find(c.usage)) << c.name << "\n" << r.out;
    }
    // The daemon's only other answer, and a stray option: no side effect.
    EXPECT_EQ("OH7050200+HC01V1.0.3.img\n", b.exec({"/opt/vboard/bin/orvi_hc", "--version"}).out);
    EXPECT_EQ(2, b.exec({"timeout", "-s", "KILL", "30", "/opt/vboard/bin/orvi_hc", "-d"}).status);
    EXPECT_NE(0, b.exec({"test", "-e", "/data/domivault/data/orvi_params.json"}).status);
    // Benchmarks answer in Google Benchmark's words; anything else in the
    // folder is a program this table must learn about.
    DIR *d = opendir(ORVI_BINARY_DIR "/bin");
    ASSERT_NE(nullptr, d);
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name[0] == '.') continue;
        if (name.compare(0, 6, "bench_") == 0) {
            Board::Result r = b.exec({"timeout", "-s", "KILL", "30", "/opt/vboard/bin/" + name, "--help"});
            EXPECT_EQ(0, r.status) << name;
            EXPECT_NE(std::string::npos, r.out.find("--benchmark_filter")) << name << "\n" << r.out;
            continue;
        }
        EXPECT_TRUE(checked.count(name)) << name << " is not in the table";
    }
    closedir(d);
}

// From a chroot (a build container's usual home): a board needs / to be a
// mount point there, and says so when it is not; once it is, the LAN's
// commands run in the chroot, where the project's files are, rather than in
// the machine's root. Each chroot lives in a private mount namespace and
// ends with the script.
TEST_F(VboardTest, FromAChrootTheCauseIsToldAndTheLanSeesTheChroot) {
    char tmpl[] = "/tmp/orvi-chroot-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    const std::string root = tmpl;
    std::ofstream(root + "/stub") << kStubDaemon;
    chmod((root + "/stub").c_str(), 0755);
    std::ofstream(root + "/only-in-the-chroot") << "chroot\n";
    // $1: the chroot, $2: 1 to make its / a mount point, $3: the script run there.
    const char *const enter = R"sh(
set -e
root=$1
[ "$2" = 1 ] && mount --bind "$root" "$root"
for d in usr etc dev proc sys; do mkdir -p "$root/$d"; mount --rbind "/$d" "$root/$d"; done
for d in bin sbin lib lib32 lib64; do [ -L "/$d" ] && ln -sfn "$(readlink "/$d")" "$root/$d"; done
for d in "$SRC" "$BIN"; do mkdir -p "$root$d"; mount --bind "$d" "$root$d"; done
mkdir -p "$root/tmp"
exec chroot "$root" /bin/sh -c "$3"
)sh";
    auto in_chroot = [&](bool mount_point, const std::string &script) {
        return run_joined({"/usr/bin/env", "SRC=" ORVI_SOURCE_DIR, "BIN=" ORVI_BINARY_DIR, "unshare", "-m",
                           "--propagation", "private", "/bin/sh", "-c", enter, "sh", root,
                           mount_point ? "1" : "0", script});
    };
    const std::string vb = kVboard;
    Board::Result r = in_chroot(false, vb + " start --daemon /stub /tmp/board");
    EXPECT_EQ(1, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("cannot change root filesystem propagation")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("/ is not a mount point")) << r.out;

    r = in_chroot(true, "trap '" + vb + " stop /tmp/board' EXIT; " + vb + " start --daemon /stub /tmp/board && " +
                            vb + " lan /tmp/board -- cat /only-in-the-chroot");
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("chroot\n")) << r.out;
    run_joined({"/bin/rm", "-rf", "--one-file-system", root});
}

}  // namespace
