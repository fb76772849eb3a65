// Test helpers of the identity store suites: a scratch board whose network,
// clock and service tools are tiny recording scripts ahead of everything on
// PATH (nothing can act on the machine), and a capture of the log output.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "orvi_product.h"
#include "product_subdev.h"
#include "scratch_root.h"
#include "orvi_testing.h"

namespace identity_test {

// Every stand-in records its argv ("name arg arg ...") in the command log.
inline const char kRecord[] =
    "#!/bin/sh\necho \"$(basename \"$0\") $*\" >> \"${VBOARD_COMMAND_LOG:-/dev/null}\"\n";

// ifconfig: the board's format; MAC and IP from the state folder when set there.
inline const char kIfconfig[] = R"(st="$VBOARD_STATE"
mac=02:00:00:AA:BB:01; ip=192.168.1.10
[ -f "$st/eth0_mac" ] && mac=$(cat "$st/eth0_mac")
[ -f "$st/eth0_ip" ] && ip=$(cat "$st/eth0_ip")
[ "$1" = eth0 ] || exit 0
echo "eth0      Link encap:Ethernet  HWaddr $mac"
[ -n "$ip" ] && echo "          inet addr:$ip  Bcast:192.168.1.255  Mask:255.255.255.0"
exit 0
)";

// timedatectl: "set-time" keeps its single argument as the clock; "status"
// reports it (or a prepared status text).
inline const char kTimedatectl[] = R"(st="$VBOARD_STATE"
case "$1" in
set-time) printf '%s' "$2" > "$st/clock" ;;
status)
  if [ -f "$st/timedatectl_status" ]; then cat "$st/timedatectl_status"
  else echo "               Local time: Tue $(cat "$st/clock" 2>/dev/null) UTC"; fi ;;
esac
exit 0
)";

inline const char kNtpdate[] =
    "[ -f \"$VBOARD_STATE/ntpdate_out\" ] && cat \"$VBOARD_STATE/ntpdate_out\"\nexit 0\n";

// mosquitto_passwd -b FILE USER PASSWORD: like the real tool it rewrites the
// file in place and exits 0 even when that write is cut short (a full disk
// leaves the file empty). The hash names the password so a test can tell
// which one is in force. State "mosquitto_passwd": "fail" exits 1 without
// touching the file, "lose" rewrites the file without the user's entry.
inline const char kMosquittoPasswd[] = R"(mode=$(cat "$VBOARD_STATE/mosquitto_passwd" 2>/dev/null)
[ "$mode" = fail ] && exit 1
[ "$1" = -b ] && [ -f "$2" ] || exit 1
others=$(grep -v "^$3:" "$2")
{
  [ -n "$others" ] && printf '%s\n' "$others"
  [ "$mode" = lose ] || printf '%s:$7$101$stand-in-%s\n' "$3" "$4"
} > "$2" 2>/dev/null
exit 0
)";

// A scratch board with the stand-ins first on PATH.
class IdentityBoard {
  public:
    IdentityBoard() {
        bin_ = root.dir() + "/identity-bin";
        mkdir(bin_.c_str(), 0755);
        tool("ifconfig", kIfconfig);
        tool("timedatectl", kTimedatectl);
        tool("ntpdate", kNtpdate);
        tool("mosquitto_passwd", kMosquittoPasswd);
        for (const char *name : {"systemctl", "reboot", "sync"})
            tool(name, "exit 0\n");
        const char *p = getenv("PATH");
        old_path_ = p ? p : "";
        setenv("PATH", (bin_ + ":" + old_path_).c_str(), 1);
    }
    ~IdentityBoard() { setenv("PATH", old_path_.c_str(), 1); }

    // A file in the stand-ins' state folder.
    void state(const std::string &name, const std::string &text) const {
        root.write("/vboard/state/" + name, text);
    }
    bool ran(const std::string &prefix) const {
        for (const auto &c : root.commands())
            if (c.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }

    ScratchRoot root;

  private:
    void tool(const std::string &name, const std::string &body) const {
        std::string path = bin_ + "/" + name;
        std::ofstream(path) << kRecord << body;
        chmod(path.c_str(), 0755);
    }
    std::string bin_;
    std::string old_path_;
};

// Captures everything written to standard output while it lives.
class LogCapture {
  public:
    LogCapture() {
        fflush(stdout);
        char tmpl[] = "/tmp/orvi-log-XXXXXX";
        fd_ = mkstemp(tmpl);
        path_ = tmpl;
        saved_ = dup(STDOUT_FILENO);
        dup2(fd_, STDOUT_FILENO);
    }
    ~LogCapture() {
        restore();
        unlink(path_.c_str());
    }
    std::string text() {
        restore();
        std::ifstream f(path_);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

  private:
    void restore() {
        if (saved_ < 0) return;
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        close(fd_);
        saved_ = -1;
    }
    int fd_ = -1, saved_ = -1;
    std::string path_;
};

// Clears the host settings the identity store persists and what the
// registry copies from it at start-up (the Qnet key) or keeps (rooms).
inline void reset_registry_fields() {
    product_host_settings_reset_for_test();
    product_set_host_info_qnetkey("");
    product_roomlist_append(nullptr, 0, true);
}

}  // namespace identity_test
