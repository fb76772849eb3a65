// Entry of the host daemon: the start-up sequence, then the main thread
// waits on the basic timer thread for the life of the process.
//
// The daemon takes no options. "--help" and "--version" answer and exit
// before anything else happens, and any other argument is refused just as
// early: run by mistake on a development machine, the daemon would create
// /data/domivault and could run the machine's own reboot or systemctl.
#include <cstdio>
#include <cstring>

#include "orvi_main.h"
#include "orvi_product.h"

namespace {
const char kUsage[] =
    "usage: orvi_hc [--help | --version]\n"
    "The resident daemon of the smart-home gateway. The board starts it once at boot, without\n"
    "options, and it runs until the board reboots; everything it keeps is under /data/domivault/.\n"
    "It acts on the machine it runs on (/data, reboot, systemctl): on a development machine run it\n"
    "on the virtual board (vboard start DIR, see README.md), never directly.\n"
    "  --help     this text\n"
    "  --version  the firmware identifier\n";
}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h"))) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && !strcmp(argv[1], "--version")) {
        printf("%s\n", ORVI_FIRMWARE_ID);
        return 0;
    }
    if (argc > 1) {
        fprintf(stderr, "orvi_hc: takes no options, not '%s' (orvi_hc --help)\n", argv[1]);
        return 2;
    }
    return orvi_main();
}
