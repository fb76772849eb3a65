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
std::string self_exe();
void sleep_ms(unsigned ms);

// The board's init (vboard __init GOFD); never returns.
[[noreturn]] void init_main(int go_fd);

}  // namespace vboard
