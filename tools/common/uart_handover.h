// The board's UART hand-over, both ends: a peer (simphone, simmodule)
// connects to the board's /vboard/uart/<name>.sock and receives the
// pseudo-terminal's master descriptor with SCM_RIGHTS; the board's holder
// (or a test playing it) passes it with `uart_send_fd`. Header-only: the
// tools and the tests include it, the daemon never does.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

// The descriptor passed over `sock`, or -1.
inline int uart_receive_fd(int sock) {
    char byte;
    struct iovec iov = {&byte, 1};
    union {
        char buf[CMSG_SPACE(sizeof(int))];
        struct cmsghdr align;
    } ctl;
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = ctl.buf;
    msg.msg_controllen = sizeof ctl.buf;
    if (recvmsg(sock, &msg, MSG_CMSG_CLOEXEC) != 1) return -1;
    for (struct cmsghdr *cm = CMSG_FIRSTHDR(&msg); cm; cm = CMSG_NXTHDR(&msg, cm)) {
        if (cm->cmsg_level == SOL_SOCKET && cm->cmsg_type == SCM_RIGHTS) {
            int fd;
            memcpy(&fd, CMSG_DATA(cm), sizeof fd);
            return fd;
        }
    }
    return -1;
}

// Passes `fd` over the connected socket `sock`; true when it went.
inline bool uart_send_fd(int sock, int fd) {
    char byte = 'u';
    struct iovec iov = {&byte, 1};
    union {
        char buf[CMSG_SPACE(sizeof(int))];
        struct cmsghdr align;
    } ctl = {};
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = ctl.buf;
    msg.msg_controllen = sizeof ctl.buf;
    struct cmsghdr *cm = CMSG_FIRSTHDR(&msg);
    cm->cmsg_level = SOL_SOCKET;
    cm->cmsg_type = SCM_RIGHTS;
    cm->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(cm), &fd, sizeof(int));
    return sendmsg(sock, &msg, MSG_NOSIGNAL) == 1;
}

// The line at `path`, non-blocking: a hand-over socket's descriptor, or a
// serial device opened (and, when `raw_speed` is not 0, set raw at that
// speed). -1 with a line on stderr naming `who` when there is none.
inline int uart_open_line(const std::string &path, const char *who, speed_t raw_speed = 0) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        fprintf(stderr, "%s: %s: %s\n", who, path.c_str(), strerror(errno));
        return -1;
    }
    int fd = -1;
    if (S_ISSOCK(st.st_mode)) {
        struct sockaddr_un sa = {};
        sa.sun_family = AF_UNIX;
        if (path.size() >= sizeof sa.sun_path) {
            fprintf(stderr, "%s: %s: path too long\n", who, path.c_str());
            return -1;
        }
        memcpy(sa.sun_path, path.c_str(), path.size() + 1);
        int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0 || connect(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
            fprintf(stderr, "%s: %s: %s\n", who, path.c_str(), strerror(errno));
            if (s >= 0) close(s);
            return -1;
        }
        fd = uart_receive_fd(s);
        close(s);
    } else {
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        struct termios tio;
        if (fd >= 0 && raw_speed != 0 && tcgetattr(fd, &tio) == 0) {
            cfmakeraw(&tio);
            cfsetspeed(&tio, raw_speed);
            tcsetattr(fd, TCSANOW, &tio);
        }
    }
    if (fd < 0) {
        fprintf(stderr, "%s: no UART from %s\n", who, path.c_str());
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}
