// simcloud: the maker's cloud for the virtual board, run in the board's LAN.
// It starts the cloud broker(s) (a real mosquitto each, with a password file
// and persistence, listening on the LAN address only) and serves the
// dispatch exchange: one request line in, the reply sealed with the default
// key out. Each dispatch connection plays the next mode of --modes (the last
// one repeats), so a test scripts the server's failures in order; each "ok"
// or "split" reply names the next broker of --broker-ports in turn.
#include <arpa/inet.h>
#include <cJSON.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "split_list.h"
#include "orvi_aes.h"
#include "orvi_product.h"

namespace {

struct options {
    std::string dir = "/tmp/simcloud";
    std::string listen = "192.0.2.1";
    int dis_port = 7000;
    std::vector<int> broker_ports{1884};
    std::string broker_host;  // the name the reply gives; the listen address by default
    std::string user = "cloud";
    std::string password = "cloudpw00000001";
    std::vector<std::string> modes{"ok"};
    bool no_broker = false;
};

const char kUsage[] =
    "usage: simcloud [--dir DIR] [--listen ADDR] [--dis-port N] [--broker-ports N[,N...]]\n"
    "                [--broker-host NAME] [--user U] [--password P] [--modes M[,M...]] [--no-broker]\n"
    "  modes, one per dispatch connection (the last repeats):\n"
    "    ok       the reply in one send        split    the reply in two sends 300 ms apart\n"
    "    silent   no reply; closed after 10 s  empty    closed at once without a word\n"
    "    garbage  a line that is not a reply   refused  the listener closes for 3 s\n"
    "  files in DIR: broker-<port>.conf/.log/.pid, passwd, <port>/ (persistence), dispatch.log\n"
    "  signals: USR1 restarts every broker (a crash: killed, started on its persistence),\n"
    "           USR2 restarts them without their persistence (every session lost)\n";

volatile sig_atomic_t g_restart = 0;  // 1: keep persistence, 2: drop it
void on_usr1(int) { g_restart = 1; }
void on_usr2(int) { g_restart = 2; }

bool parse(int argc, char **argv, options &o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help") {
            printf("%s", kUsage);
            exit(0);
        }
        if (a == "--no-broker") {
            o.no_broker = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        std::string v = argv[++i];
        if (a == "--dir") o.dir = v;
        else if (a == "--listen") o.listen = v;
        else if (a == "--dis-port") o.dis_port = atoi(v.c_str());
        else if (a == "--broker-ports") {
            o.broker_ports.clear();
            for (const auto &p : split_list(v)) o.broker_ports.push_back(atoi(p.c_str()));
        } else if (a == "--broker-host") o.broker_host = v;
        else if (a == "--user") o.user = v;
        else if (a == "--password") o.password = v;
        else if (a == "--modes") o.modes = split_list(v);
        else return false;
    }
    if (o.broker_host.empty()) o.broker_host = o.listen;
    return !o.modes.empty() && !o.broker_ports.empty();
}

void log_line(const options &o, const std::string &line) {
    printf("simcloud: %s\n", line.c_str());
    fflush(stdout);
    std::ofstream(o.dir + "/dispatch.log", std::ios::app) << line << "\n";
}

pid_t start_broker(const options &o, int port) {
    const std::string p = std::to_string(port);
    const std::string conf = o.dir + "/broker-" + p + ".conf";
    mkdir((o.dir + "/" + p).c_str(), 0755);
    std::ofstream(conf) << "user root\n"
                        << "listener " << port << " " << o.listen << "\n"
                        << "allow_anonymous false\n"
                        << "password_file " << o.dir << "/passwd\n"
                        << "persistence true\n"
                        << "persistence_location " << o.dir << "/" << p << "/\n"
                        << "log_dest file " << o.dir << "/broker-" << p << ".log\n"
                        << "log_type all\n"
                        << "max_queued_messages 10000\n";
    pid_t pid = fork();
    if (pid == 0) {
        execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    std::ofstream(o.dir + "/broker-" + p + ".pid") << pid << "\n";
    return pid;
}

std::string reply_for(const options &o, int port) {
    cJSON *inner = cJSON_CreateObject();
    cJSON *mqtt = cJSON_AddObjectToObject(inner, "mqttInfo");
    cJSON_AddStringToObject(mqtt, "host", o.broker_host.c_str());
    cJSON_AddNumberToObject(mqtt, "port", port);
    cJSON_AddStringToObject(mqtt, "username", o.user.c_str());
    cJSON_AddStringToObject(mqtt, "password", o.password.c_str());
    cJSON *nlu = cJSON_AddObjectToObject(inner, "nluInfo");
    cJSON_AddStringToObject(nlu, "nluHost", "nlu.simcloud");
    cJSON_AddNumberToObject(nlu, "nluPort", 9000);
    char *text = cJSON_PrintUnformatted(inner);
    std::string plain(text);
    cJSON_free(text);
    cJSON_Delete(inner);
    orvi_aes_encrypt(ORVI_DEFAULT_KEY, plain);
    return "{\"pack\":\"" + plain + "\"}";
}

int open_listener(const options &o) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(o.dis_port));
    inet_pton(AF_INET, o.listen.c_str(), &a.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 8) != 0) {
        fprintf(stderr, "simcloud: cannot listen on %s:%d: %s\n", o.listen.c_str(), o.dis_port, strerror(errno));
        exit(1);
    }
    return fd;
}

}  // namespace

int main(int argc, char **argv) {
    options o;
    if (!parse(argc, argv, o)) {
        fprintf(stderr, "%s", kUsage);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    mkdir(o.dir.c_str(), 0755);
    std::vector<pid_t> brokers;
    if (!o.no_broker) {
        const std::string pw = o.dir + "/passwd";
        unlink(pw.c_str());
        std::ofstream(pw).close();
        std::string cmd = "mosquitto_passwd -b '" + pw + "' '" + o.user + "' '" + o.password + "'";
        if (system(cmd.c_str()) != 0) {
            fprintf(stderr, "simcloud: mosquitto_passwd failed\n");
            return 1;
        }
        for (int port : o.broker_ports) brokers.push_back(start_broker(o, port));
    }
    int lfd = open_listener(o);
    log_line(o, "dispatch on " + o.listen + ":" + std::to_string(o.dis_port) + ", modes " +
                    std::to_string(o.modes.size()));
    size_t conn = 0, next_broker = 0;
    signal(SIGUSR1, on_usr1);
    signal(SIGUSR2, on_usr2);
    for (;;) {
        if (g_restart) {
            const bool drop = g_restart == 2;
            g_restart = 0;
            for (size_t k = 0; k < brokers.size(); ++k) {
                kill(brokers[k], SIGKILL);
                waitpid(brokers[k], nullptr, 0);
                const std::string p = std::to_string(o.broker_ports[k]);
                if (drop) unlink((o.dir + "/" + p + "/mosquitto.db").c_str());
                brokers[k] = start_broker(o, o.broker_ports[k]);
            }
            log_line(o, std::string("brokers restarted") + (drop ? " without persistence" : ""));
        }
        pollfd pfd{lfd, POLLIN, 0};
        if (poll(&pfd, 1, 200) <= 0) continue;
        int c = accept(lfd, nullptr, nullptr);
        if (c < 0) {
            if (errno == EINTR) continue;
            break;
        }
        const std::string mode = o.modes[std::min(conn, o.modes.size() - 1)];
        ++conn;
        char buf[512];
        timeval tv{5, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ssize_t n = recv(c, buf, sizeof buf - 1, 0);
        std::string req = n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
        while (!req.empty() && (req.back() == '\n' || req.back() == '\r')) req.pop_back();
        std::string what = mode;
        if (mode == "ok" || mode == "split") {
            const int port = o.broker_ports[next_broker++ % o.broker_ports.size()];
            const std::string r = reply_for(o, port);
            what += " -> " + o.broker_host + ":" + std::to_string(port);
            if (mode == "ok") {
                send(c, r.data(), r.size(), MSG_NOSIGNAL);
            } else {
                send(c, r.data(), r.size() / 2, MSG_NOSIGNAL);
                usleep(300000);
                send(c, r.data() + r.size() / 2, r.size() - r.size() / 2, MSG_NOSIGNAL);
            }
        } else if (mode == "garbage") {
            send(c, "garbage, not a reply\n", 21, MSG_NOSIGNAL);
        } else if (mode == "silent") {
            std::thread([c] {
                sleep(10);
                close(c);
            }).detach();
            log_line(o, "request " + req + " : " + what);
            continue;
        } else if (mode == "refused") {
            close(c);
            close(lfd);
            log_line(o, "request " + req + " : refused, listener closed for 3 s");
            sleep(3);
            lfd = open_listener(o);
            continue;
        }
        log_line(o, "request " + req + " : " + what);
        close(c);
    }
    for (pid_t b : brokers) kill(b, SIGTERM);
    return 0;
}
