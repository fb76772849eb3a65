// The subcommand table and the option, input and error helpers every
// subcommand shares, so all of them read and fail the same way.
#include "orvictl.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

std::map<std::string, orvictl_command> &orvictl_commands(void) {
    static std::map<std::string, orvictl_command> table;
    return table;
}

bool orvictl_register(const orvictl_command &cmd) {
    return orvictl_commands().emplace(cmd.name, cmd).second;
}

void orvictl_print_usage(const orvictl_command &cmd, FILE *to) {
    fprintf(to, "usage: orvictl %s\n  %s\n", cmd.usage, cmd.summary);
}

int orvictl_usage_error(const orvictl_command &cmd, const std::string &message) {
    fprintf(stderr, "orvictl %s: %s\n", cmd.name, message.c_str());
    orvictl_print_usage(cmd);
    return ORVICTL_USAGE;
}

int orvictl_fail(const orvictl_command &cmd, const std::string &message) {
    fprintf(stderr, "orvictl %s: %s\n", cmd.name, message.c_str());
    return ORVICTL_FAIL;
}

orvictl_options::orvictl_options(const orvictl_command &cmd, std::vector<std::string> names)
    : cmd_(cmd), names_(std::move(names)) {}

bool orvictl_options::parse(const std::vector<std::string> &args) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "-h" || a == "--help") {
            help_ = true;
            continue;
        }
        if (a.compare(0, 2, "--") != 0 || a.size() == 2) {
            orvictl_usage_error(cmd_, "unexpected argument '" + a + "'");
            return false;
        }
        std::string name = a.substr(2);
        std::string value;
        size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.erase(eq);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            orvictl_usage_error(cmd_, "option --" + name + " needs a value");
            return false;
        }
        if (std::find(names_.begin(), names_.end(), name) == names_.end()) {
            orvictl_usage_error(cmd_, "unknown option --" + name);
            return false;
        }
        values_[name] = value;
    }
    return true;
}

std::string orvictl_options::get(const std::string &name, const std::string &fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
}

bool orvictl_read_stdin(const orvictl_command &cmd, std::string &out, size_t limit) {
    out.clear();
    char buf[4096];
    for (;;) {
        ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            orvictl_fail(cmd, std::string("cannot read standard input: ") + strerror(errno));
            return false;
        }
        if (out.size() + static_cast<size_t>(n) > limit) {
            orvictl_fail(cmd, "standard input is larger than " + std::to_string(limit) + " bytes");
            return false;
        }
        out.append(buf, static_cast<size_t>(n));
    }
}

std::string orvictl_trim(const std::string &s) {
    const char *blanks = " \t\r\n";
    size_t b = s.find_first_not_of(blanks);
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(blanks);
    return s.substr(b, e - b + 1);
}

bool orvictl_key_ok(const orvictl_command &cmd, const std::string &key) {
    if (key.size() == 16) return true;
    orvictl_usage_error(cmd, "--key must be exactly 16 characters (got " + std::to_string(key.size()) + ")");
    return false;
}
