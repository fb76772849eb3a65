#include "private_broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

namespace {

int free_loopback_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

bool listening(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

}  // namespace

PrivateBroker::PrivateBroker() {
    for (const char *p : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto", "/usr/local/sbin/mosquitto"}) {
        if (access(p, X_OK) == 0) {
            program_ = p;
            break;
        }
    }
    char tmpl[] = "/tmp/orvi-broker-XXXXXX";
    if (mkdtemp(tmpl)) dir_ = tmpl;
    port_ = free_loopback_port();
    std::ofstream(dir_ + "/mosquitto.conf") << "listener " << port_ << " 127.0.0.1\n"
                                            << "allow_anonymous true\n"
                                            << "persistence false\n"
                                            << "max_queued_messages 0\n"
                                            << "log_dest stderr\n"
                                            << "log_type all\n";
}

PrivateBroker::~PrivateBroker() {
    kill();
    if (dir_.empty()) return;
    unlink((dir_ + "/mosquitto.conf").c_str());
    unlink((dir_ + "/broker.log").c_str());
    rmdir(dir_.c_str());
}

bool PrivateBroker::start() {
    if (!available() || dir_.empty() || port_ == 0) return false;
    if (pid_ > 0) return true;
    std::string conf = dir_ + "/mosquitto.conf";
    std::string log = dir_ + "/broker.log";
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(127);
        execl(program_.c_str(), "mosquitto", "-c", conf.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    if (pid < 0) return false;
    pid_ = pid;
    for (int i = 0; i < 200; ++i) {
        if (listening(port_)) return true;
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        usleep(25000);
    }
    return false;
}

void PrivateBroker::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int st = 0;
    while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

std::string PrivateBroker::log() const {
    std::ifstream f(dir_ + "/broker.log");
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}
