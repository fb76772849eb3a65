// Unit test entry. Before any test runs, the board tools on PATH become the
// recording stand-ins, so a test that reaches "reboot" or "systemctl" only
// leaves a line in a log, the registry and the configuration store are
// wired to the publishers and identity as start-up wires them, and the
// subsystems still to come answer through recording implementations, so a
// test sees what was asked of them.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "orvi_main_registry.h"
#include "recording_seams.h"
#include "scratch_root.h"

int main(int argc, char **argv) {
    const char *path = getenv("PATH");
    std::string p = standin_dir() + ":" + (path ? path : "/usr/sbin:/usr/bin:/sbin:/bin");
    setenv("PATH", p.c_str(), 1);
    setenv("VBOARD_COMMAND_LOG", "/dev/null", 1);
    orvi_registry_wire();
    recording_seams_install();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
