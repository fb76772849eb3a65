// The virtual board: the host-side commands (start, exec, logs, stop, run,
// status) and the init that runs as pid 1 inside the board's namespaces.
// Single-threaded; every file here is used by one process at a time.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vboard {

// Paths inside the board.
constexpr const char *kBoardPath = "/vboard/bin:/usr/sbin:/usr/bin:/sbin:/bin";
constexpr const char *kStandinDir = "/vboard/bin";
constexpr const char *kInitPath = "/opt/vboard/vboard";
constexpr const char *kDaemonPath = "/opt/orvi/orvi_hc";
// The build's programs (simulated peers, board services), read-only.
constexpr const char *kPeerDir = "/opt/vboard/bin";
// The build's libraries (codec plug-ins, the time-warp preload), read-only.
constexpr const char *kPeerLibDir = "/opt/vboard/lib";
// Accelerated mode: a speed factor in /vboard/speed preloads this library
// into the daemon (only the daemon) so its clocks and timers run faster.
constexpr const char *kTimewarpLib = "/opt/vboard/lib/libtimewarp.so";
constexpr const char *kDaemonLog = "/vboard/daemon.log";
constexpr const char *kDaemonPid = "/vboard/daemon.pid";
constexpr const char *kDaemonExit = "/vboard/daemon.exit";
// The sanitizer runtime of a sanitized daemon: report on stderr (the daemon
// log), no leak check at exit (the daemon has no orderly exit).
constexpr const char *kAsanOptions = "ASAN_OPTIONS=detect_leaks=0:print_summary=1";
constexpr const char *kUbsanOptions = "UBSAN_OPTIONS=print_stacktrace=1";

// Where a board's files live on the host, under its directory DIR.
struct Layout {
    std::string dir;       // DIR, absolute
    std::string root;      // DIR/root: the board's writable folders, at the same paths
    std::string vb;        // DIR/vboard: /vboard inside (logs, command log, state)
    std::string pid_file;  // DIR/board.pid: host pids of the board's init and of bwrap
    explicit Layout(const std::string &abs_dir);
    std::string daemon_log() const { return vb + "/daemon.log"; }
    std::string board_log() const { return vb + "/board.log"; }
};

// Small file and process helpers.
bool read_file(const std::string &path, std::string &out);
bool write_file(const std::string &path, const std::string &text, mode_t mode = 0644);
bool append_file(const std::string &path, const std::string &text);
bool mkdirs(const std::string &path, mode_t mode = 0755);
bool exists(const std::string &path);
bool is_dir(const std::string &path);
// Removes everything below `dir` except the names in `keep` (direct children).
void empty_dir(const std::string &dir, const std::vector<std::string> &keep = {});
// Start time of a process (clock ticks since boot), 0 when it is gone or a zombie.
unsigned long long process_start_time(pid_t pid);
// Runs argv (looked up on PATH when it holds no slash) and waits; returns the
// exit status, 128+signal, or -1 when it could not be started.
int run_wait(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});
std::string find_program(const std::string &name);
// Sockets of `pid`'s network namespace on local `port`: TCP ones listening,
// UDP ones bound (IPv4 and IPv6 tables both).
int tcp_listeners(pid_t pid, unsigned port);
int udp_sockets(pid_t pid, unsigned port);
std::string self_exe();
void sleep_ms(unsigned ms);

// The board's init (vboard __init GOFD); never returns.
[[noreturn]] void init_main(int go_fd);

// ---- The board's UARTs (vboard_uart.cpp) -----------------------------------------
// Each is a pseudo-terminal: its slave at /dev/<name> inside the board, its
// master handed (SCM_RIGHTS) to whoever connects to the socket
// uart_socket_path(vb, name): /vboard/uart/<name>.sock inside the board,
// DIR/vboard/uart/<name>.sock outside.
constexpr const char *kUartNames[] = {"ttyS7", "ttyS5"};  // Bluetooth controller, lighting module
constexpr const char *kUartDevDir = "/dev";
constexpr const char *kUartSockDir = "/vboard";
std::string uart_socket_path(const std::string &vb_dir, const std::string &name);
// Called by the board's init at every boot: makes the pairs and the links,
// and starts the process that holds them; its pid, or -1.
pid_t uarts_start();

// ---- The board's LAN (vboard_lan.cpp) ----------------------------------------
// Test addresses only (TEST-NET-1): the board's eth0, the LAN side of the
// pair, and a block of addresses for simulated devices.
constexpr const char *kBoardAddr = "192.0.2.10";
constexpr const char *kLanAddr = "192.0.2.1";
constexpr const char *kLanIface = "lan0";
constexpr int kLanFirstDevice = 101;  // 192.0.2.101 ...
constexpr int kLanDeviceAddrs = 64;   // ... 192.0.2.164
// The daemon's LAN ports (UDP in, TCP) and the devices' UDP port.
constexpr unsigned kHostUdpPort = 5000;
constexpr unsigned kHostTcpPort = 1813;
constexpr unsigned kDeviceUdpPort = 5001;

// Creates the LAN's namespaces and its init; its pid goes to DIR/lan.pid.
bool lan_start(const Layout &l, std::string &err);
// The LAN init's host pid, -1 when no LAN runs.
pid_t lan_pid(const Layout &l);
// The veth pair between the board (its init's namespace) and the LAN, and
// the addresses on both sides.
bool lan_setup_network(const Layout &l, pid_t board_init, std::string &err);
// Ends every process of the LAN; the pair goes with its namespace.
void lan_stop(const Layout &l);
// Runs cmd in the LAN (its network and PID namespaces, the caller's files
// and environment); returns only when it cannot.
int lan_exec(const Layout &l, const std::vector<std::string> &cmd);
// The LAN's init (vboard __lan); never returns.
[[noreturn]] void lan_init_main();

}  // namespace vboard
