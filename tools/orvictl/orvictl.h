// orvictl, the field engineer's tool: a table of subcommands keyed by name.
// Each subcommand lives in its own cmd_<name>.cpp and adds itself to the
// table with ORVICTL_COMMAND, so new ones never touch the dispatcher.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

// Exit statuses shared by every subcommand.
enum { ORVICTL_OK = 0, ORVICTL_FAIL = 1, ORVICTL_USAGE = 2 };

struct orvictl_command {
    const char *name;
    const char *usage;    // "seal --key KEY [--i N] ..." (without the program name)
    const char *summary;  // one line for the command list
    // Runs with the words after the subcommand's name; returns the exit status.
    int (*run)(const std::vector<std::string> &args);
};

// The table, ordered by name.
std::map<std::string, orvictl_command> &orvictl_commands(void);
bool orvictl_register(const orvictl_command &cmd);

#define ORVICTL_CAT2(a, b) a##b
#define ORVICTL_CAT(a, b) ORVICTL_CAT2(a, b)
// Adds a constant orvictl_command to the table before main runs.
#define ORVICTL_COMMAND(cmd) \
    static const bool ORVICTL_CAT(orvictl_registered_, __LINE__) = orvictl_register(cmd)

// "--name value" and "--name=value" options. Parsing refuses unknown names,
// a missing value and stray words with a message on standard error.
class orvictl_options {
  public:
    // `names` lists the accepted options without the dashes.
    orvictl_options(const orvictl_command &cmd, std::vector<std::string> names);
    bool parse(const std::vector<std::string> &args);
    bool has(const std::string &name) const { return values_.count(name) != 0; }
    std::string get(const std::string &name, const std::string &fallback = "") const;
    bool help() const { return help_; }

  private:
    const orvictl_command &cmd_;
    std::vector<std::string> names_;
    std::map<std::string, std::string> values_;
    bool help_ = false;
};

// Prints "orvictl: <message>" and the command's usage on standard error;
// returns ORVICTL_USAGE.
int orvictl_usage_error(const orvictl_command &cmd, const std::string &message);
// Prints "orvictl <name>: <message>" on standard error; returns ORVICTL_FAIL.
int orvictl_fail(const orvictl_command &cmd, const std::string &message);
// The command's usage: on standard output when asked for (--help), on
// standard error beside an error.
void orvictl_print_usage(const orvictl_command &cmd, FILE *to = stderr);

// Reads all of standard input (at most `limit` bytes; false beyond that or on
// a read error, with a message).
bool orvictl_read_stdin(const orvictl_command &cmd, std::string &out, size_t limit = 1u << 20);
// The text without leading and trailing blanks and line ends.
std::string orvictl_trim(const std::string &s);
// A key the product can use: exactly 16 characters.
bool orvictl_key_ok(const orvictl_command &cmd, const std::string &key);
