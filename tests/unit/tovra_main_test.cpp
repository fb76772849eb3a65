// The lighting service's start-up pieces that run alone: the log-level file
// and the network key handed over by provisioning.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tovra_main.h"
#include "tovra_queue.h"
#include "tovra_uart.h"

namespace {

// A scratch file standing for the log-level file.
struct LevelFile {
    char path[64] = "/tmp/tovralog.XXXXXX";
    int fd = mkstemp(path);
    ~LevelFile() {
        close(fd);
        unlink(path);
    }
    void put(const std::string &s) const {
        ASSERT_EQ(0, ftruncate(fd, 0));
        ASSERT_EQ(static_cast<ssize_t>(s.size()), pwrite(fd, s.data(), s.size(), 0));
    }
    off_t size() const { return lseek(fd, 0, SEEK_END); }
};

struct DebugRestore {
    uint8_t saved = tovra_debug.load();
    ~DebugRestore() { tovra_debug = saved; }
};

// What is written into the file becomes the switches at the next pass, and
// the file is emptied; what is not a byte-sized number leaves them alone.
TEST(TovraLogLevel, TheFileSetsTheSwitchesAndIsEmptiedAfterwards) {
    DebugRestore restore;
    struct Case {
        const char *text;
        int read;        // the pass's result
        uint8_t after;   // the switches after it
    } cases[] = {
        {"1", 1, 0x01},        // errors only
        {"15\n", 1, 0x0F},     // everything, with the editor's newline
        {"", 0, 0x0F},         // nothing written: nothing changes
        {"lots", 1, 0x0F},     // not a number: kept, file emptied
        {"300", 1, 0x0F},      // not a byte: kept
        {"4", 1, 0x04},
    };
    LevelFile f;
    ASSERT_GE(f.fd, 0);
    tovra_debug = 0x0F;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        f.put(c.text);
        EXPECT_EQ(c.read, tovra_log_level_poll(f.fd));
        EXPECT_EQ(c.after, tovra_debug.load());
        EXPECT_EQ(0, f.size());
    }
}

// Provisioning's network key reaches the module only when it is one: 8 hex
// digits make one set-info command, anything else none.
TEST(TovraKeySet, OnlyAnEightHexDigitKeyIsSentToTheModule) {
    struct Case {
        const char *key;
        int rc;
    } cases[] = {
        {"5a5a0001", 0}, {"ABCDEF01", 0}, {"qk123456", -1}, {"5a5a001", -1}, {"5a5a00012", -1}, {"", -1}, {nullptr, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key ? c.key : "(null)");
        tovra_queue_reset();
        EXPECT_EQ(c.rc, tovra_key_set(c.key));
        EXPECT_EQ(c.rc == 0 ? 1 : 0, tovra_queue_count(TOVRA_QUEUE_MAIN));
    }
    tovra_queue_reset();
}

}  // namespace
