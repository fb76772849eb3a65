// orvictl: the operator's tool for the gateway's packets and services.
// Dispatches the first word to the subcommand table; product code linked in
// keeps its log lines to itself so standard output carries only results.
#include <cstdio>
#include <string>
#include <vector>

#include "orvi_log.h"
#include "orvictl.h"

namespace {
void print_commands(FILE *f) {
    fprintf(f, "usage: orvictl <command> [options]\n\ncommands:\n");
    for (const auto &kv : orvictl_commands())
        fprintf(f, "  %-8s %s\n", kv.first.c_str(), kv.second.summary);
    fprintf(f, "\n'orvictl <command> --help' shows a command's options.\n");
}
}  // namespace

int main(int argc, char **argv) {
    orvi_log_level_set(ORVI_LOG_NONE);
    if (argc < 2) {
        print_commands(stderr);
        return ORVICTL_USAGE;
    }
    std::string name = argv[1];
    if (name == "help" || name == "-h" || name == "--help") {
        print_commands(stdout);
        return ORVICTL_OK;
    }
    auto it = orvictl_commands().find(name);
    if (it == orvictl_commands().end()) {
        fprintf(stderr, "orvictl: unknown command '%s'\n\n", name.c_str());
        print_commands(stderr);
        return ORVICTL_USAGE;
    }
    return it->second.run(std::vector<std::string>(argv + 2, argv + argc));
}
