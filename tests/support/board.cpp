#include "board.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

const std::string kVboard = ORVI_BINARY_DIR "/bin/vboard";

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Runs argv with `input` on stdin; stdout is returned, stderr goes to the
// test's own.
Board::Result run_capture(const std::vector<std::string> &argv, const std::string &input) {
    Board::Result r;
    int out[2], in[2];
    if (pipe2(out, O_CLOEXEC) != 0) return r;
    if (pipe2(in, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return r;
    }
    std::vector<char *> cargv;
    for (const auto &a : argv)
        cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (pid < 0) {
        close(in[1]);
        close(out[0]);
        return r;
    }
    // Feed stdin from a thread so that a large output cannot block the writer.
    std::thread feeder([fd = in[1], &input] {
        signal(SIGPIPE, SIG_IGN);
        size_t off = 0;
        while (off < input.size()) {
            ssize_t n = write(fd, input.data() + off, input.size() - off);
            if (n <= 0 && errno != EINTR) break;
            if (n > 0) off += static_cast<size_t>(n);
        }
        close(fd);
    });
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        r.out.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    feeder.join();
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
    return r;
}

}  // namespace

Board::Board(std::string daemon) : daemon_(std::move(daemon)) {
    char tmpl[] = "/tmp/orvi-board-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    dir_ = tmpl;
}

Board::~Board() {
    stop();
    if (::testing::Test::HasFailure()) {
        fprintf(stderr, "board kept for inspection: %s\n", dir_.c_str());
        return;
    }
    run_capture({"/bin/rm", "-rf", dir_}, "");
}

Board::Result Board::vboard(const std::vector<std::string> &args, const std::string &input) const {
    std::vector<std::string> argv = {kVboard};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_capture(argv, input);
}

bool Board::start() {
    std::vector<std::string> args = {"start"};
    if (!daemon_.empty()) args.insert(args.end(), {"--daemon", daemon_});
    if (speed_ > 1) args.insert(args.end(), {"--speed", std::to_string(speed_)});
    args.push_back(dir_);
    return vboard(args).status == 0;
}

bool Board::stop() {
    if (access((dir_ + "/board.pid").c_str(), F_OK) != 0) return true;
    return vboard({"stop", dir_}).status == 0;
}

bool Board::restart() {
    return stop() && start();
}

bool Board::provision(const std::string &home_mac, const std::string &home_key, const std::string &qnet_key) {
    std::vector<std::string> args = {"provision", dir_, "--home-mac", home_mac, "--home-key", home_key};
    if (!qnet_key.empty()) args.insert(args.end(), {"--qnet-key", qnet_key});
    return stop() && vboard(args).status == 0;
}

Board::Result Board::exec(const std::vector<std::string> &argv, const std::string &input) const {
    std::vector<std::string> args = {"exec", dir_, "--"};
    args.insert(args.end(), argv.begin(), argv.end());
    return vboard(args, input);
}

Board::Result Board::lan(const std::vector<std::string> &argv, const std::string &input) const {
    std::vector<std::string> args = {"lan", dir_, "--"};
    args.insert(args.end(), argv.begin(), argv.end());
    return vboard(args, input);
}

std::string Board::logs() const {
    return slurp(dir_ + "/vboard/daemon.log");
}

bool Board::wait_for_log(const std::string &needle, std::chrono::milliseconds timeout) const {
    auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (logs().find(needle) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool Board::wait_for_log(const std::regex &re, std::chrono::milliseconds timeout) const {
    auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (std::regex_search(logs(), re)) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::vector<std::string> Board::commands() const {
    std::vector<std::string> out;
    std::istringstream in(slurp(dir_ + "/vboard/commands.log"));
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

void Board::clear_commands() const {
    unlink((dir_ + "/vboard/commands.log").c_str());
}

bool Board::ran(const std::string &line) const {
    for (const auto &c : commands()) {
        if (c == line || c.compare(0, line.size() + 1, line + " ") == 0) return true;
    }
    return false;
}

bool Board::wait_ran(const std::string &line, std::chrono::milliseconds timeout) const {
    auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (ran(line)) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::string Board::host_path(const std::string &board_path) const {
    if (board_path == "/vboard" || board_path.compare(0, 8, "/vboard/") == 0) return dir_ + board_path;
    return dir_ + "/root" + board_path;
}

std::string Board::read(const std::string &board_path) const {
    return slurp(host_path(board_path));
}

void Board::write(const std::string &board_path, const std::string &text) const {
    // Before the first start the board's folders do not exist yet; a test
    // that seeds a file then must still find it there at boot.
    const std::string path = host_path(board_path);
    run_capture({"/bin/mkdir", "-p", path.substr(0, path.rfind('/'))}, "");
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

void Board::set_state(const std::string &name, const std::string &text) const {
    run_capture({"/bin/mkdir", "-p", dir_ + "/vboard/state"}, "");
    std::ofstream f(dir_ + "/vboard/state/" + name, std::ios::binary | std::ios::trunc);
    f << text << "\n";
}

pid_t Board::init_pid() const {
    long init = -1;
    std::istringstream in(slurp(dir_ + "/board.pid"));
    if (!(in >> init) || init <= 0 || kill(static_cast<pid_t>(init), 0) != 0) return -1;
    return static_cast<pid_t>(init);
}
