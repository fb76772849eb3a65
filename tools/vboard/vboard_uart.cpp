// The board's UARTs: each is a pseudo-terminal whose slave stands at the
// device path the daemon opens ("/dev/ttyS7", "/dev/ttyS5") and whose master
// is handed to a peer (the simulated controller, the simulated module) over a
// Unix socket: a peer connects to /vboard/uart/<name>.sock (DIR/vboard/uart/
// outside the board) and receives the master descriptor with SCM_RIGHTS.
//
// A small holder process keeps both ends open for the life of the boot, so
// the daemon's line never hangs up when no peer is attached and a peer can
// come, go and come back. The slave is set raw before anyone opens it: a
// peer that writes before the daemon configured the line gets no echo.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "uart_handover.h"
#include "vboard.h"

namespace vboard {
namespace {

struct Uart {
    std::string name;
    int master = -1;
    int slave = -1;
    int listener = -1;
};

void note(const std::string &msg) {
    std::string line = "vboard: " + msg + "\n";
    if (::write(2, line.data(), line.size()) < 0) {
    }
}

bool open_pair(Uart &u, std::string &err) {
    u.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (u.master < 0 || ::grantpt(u.master) != 0 || ::unlockpt(u.master) != 0) {
        err = std::string("no pseudo-terminal: ") + strerror(errno);
        return false;
    }
    const char *slave = ::ptsname(u.master);
    if (!slave) {
        err = "no slave name";
        return false;
    }
    u.slave = ::open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (u.slave < 0) {
        err = std::string("cannot open ") + slave + ": " + strerror(errno);
        return false;
    }
    struct termios tio;
    if (::tcgetattr(u.slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(u.slave, TCSANOW, &tio);
    }
    const std::string dev = kUartDevDir + std::string("/") + u.name;
    ::unlink(dev.c_str());
    if (::symlink(slave, dev.c_str()) != 0) {
        err = "cannot link " + dev + " to " + slave + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool listen_on(Uart &u, std::string &err) {
    const std::string path = uart_socket_path(kUartSockDir, u.name);
    struct sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path) {
        err = path + ": path too long";
        return false;
    }
    memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    u.listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (u.listener < 0 || ::bind(u.listener, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0 ||
        ::listen(u.listener, 8) != 0) {
        err = path + ": " + strerror(errno);
        return false;
    }
    return true;
}

void hand_over(const Uart &u) {
    int c = ::accept4(u.listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return;
    if (!uart_send_fd(c, u.master)) note("uart " + u.name + ": hand-over failed: " + strerror(errno));
    ::close(c);
}

[[noreturn]] void holder_loop(std::vector<Uart> &uarts) {
    for (;;) {
        std::vector<struct pollfd> fds;
        for (const Uart &u : uarts)
            fds.push_back({u.listener, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            _exit(1);
        }
        for (size_t i = 0; i < fds.size(); ++i)
            if (fds[i].revents & POLLIN) hand_over(uarts[i]);
    }
}

}  // namespace

std::string uart_socket_path(const std::string &vb_dir, const std::string &name) {
    return vb_dir + "/uart/" + name + ".sock";
}

pid_t uarts_start() {
    mkdirs(kUartSockDir + std::string("/uart"));
    std::vector<Uart> uarts;
    for (const char *name : kUartNames) {
        Uart u;
        u.name = name;
        std::string err;
        if (!open_pair(u, err) || !listen_on(u, err)) {
            note("uart " + u.name + ": " + err);
            continue;
        }
        uarts.push_back(u);
    }
    if (uarts.empty()) return -1;
    pid_t pid = ::fork();
    if (pid != 0) {
        // The holder owns the descriptors now.
        for (Uart &u : uarts) {
            ::close(u.master);
            ::close(u.slave);
            ::close(u.listener);
        }
        return pid;
    }
    sigset_t none;
    sigemptyset(&none);
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGUSR1})
        sigaction(s, &dfl, nullptr);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    ::setsid();
    holder_loop(uarts);
}

}  // namespace vboard
