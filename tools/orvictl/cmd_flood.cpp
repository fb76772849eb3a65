// "orvictl flood": one misbehaving LAN peer, for checking that the host
// keeps serving everybody else: datagrams at a steady rate to the host's
// UDP port, junk bytes, request-shaped packets no key opens, or both.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "orvictl.h"

namespace {
int run_flood(const std::vector<std::string> &args);

const orvictl_command kFlood = {
    "flood",
    "flood [--host 192.0.2.10] [--port 5000] [--from IP] [--rate N] [--seconds S] [--kind junk|request|mix]",
    "send N datagrams a second (default 1000) for S seconds (default 10) to the host's UDP port: junk "
    "bytes, request-shaped packets that no key opens, or both in turn (default mix); prints how many were sent",
    run_flood};
ORVICTL_COMMAND(kFlood);

bool parse_positive(const std::string &s, long max, long &v) {
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    v = std::strtol(s.c_str(), nullptr, 10);
    return v > 0 && v <= max;
}

int run_flood(const std::vector<std::string> &args) {
    orvictl_options opts(kFlood, {"host", "port", "from", "rate", "seconds", "kind"});
    if (!opts.parse(args)) return ORVICTL_USAGE;
    if (opts.help()) {
        orvictl_print_usage(kFlood);
        return ORVICTL_OK;
    }
    long port = 0, rate = 0, seconds = 0;
    if (!parse_positive(opts.get("port", "5000"), 65535, port))
        return orvictl_usage_error(kFlood, "--port must be a port number");
    if (!parse_positive(opts.get("rate", "1000"), 100000, rate))
        return orvictl_usage_error(kFlood, "--rate must be from 1 to 100000 datagrams a second");
    if (!parse_positive(opts.get("seconds", "10"), 86400, seconds))
        return orvictl_usage_error(kFlood, "--seconds must be from 1 to 86400");
    std::string kind = opts.get("kind", "mix");
    std::vector<std::string> packets;
    if (kind == "junk" || kind == "mix") {
        packets.push_back("junk junk junk junk");
        packets.push_back(std::string("\x01\x02\x03\x04", 4));
    }
    if (kind == "request" || kind == "mix") {
        packets.push_back(R"({"t":"hb","mac":"f100d0000001"})");
        packets.push_back(R"({"t":"pack","i":0,"cid":"f100d0000001","pack":"AAAAAAAAAAAAAAAAAAAAAA=="})");
    }
    if (packets.empty()) return orvictl_usage_error(kFlood, "--kind must be junk, request or mix");

    struct sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, opts.get("host", "192.0.2.10").c_str(), &to.sin_addr) != 1)
        return orvictl_usage_error(kFlood, "--host must be an IPv4 address");
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return orvictl_fail(kFlood, std::string("socket: ") + strerror(errno));
    if (opts.has("from")) {
        struct sockaddr_in from {};
        from.sin_family = AF_INET;
        if (inet_pton(AF_INET, opts.get("from").c_str(), &from.sin_addr) != 1) {
            close(fd);
            return orvictl_usage_error(kFlood, "--from must be an IPv4 address");
        }
        if (bind(fd, reinterpret_cast<struct sockaddr *>(&from), sizeof from) != 0) {
            close(fd);
            return orvictl_fail(kFlood, "cannot send from " + opts.get("from") + ": " + strerror(errno));
        }
    }
    const auto gap = std::chrono::nanoseconds(1000000000L / rate);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    auto next = std::chrono::steady_clock::now();
    unsigned long sent = 0;
    for (size_t i = 0; std::chrono::steady_clock::now() < end; ++i) {
        const std::string &p = packets[i % packets.size()];
        if (sendto(fd, p.data(), p.size(), 0, reinterpret_cast<struct sockaddr *>(&to), sizeof to) > 0) ++sent;
        next += gap;
        std::this_thread::sleep_until(next);
    }
    close(fd);
    printf("sent %lu datagrams in %ld s\n", sent, seconds);
    return ORVICTL_OK;
}
}  // namespace
