// The lighting service's pieces that run alone: the log-level file, the
// network key handed over by provisioning and the translation of a model
// codec's output into queued commands.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <cJSON.h>

#include "tovra_ctrl.h"
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

namespace {

int queued_total() {
    int n = 0;
    for (int q = 0; q < 4; ++q) n += tovra_queue_count(q);
    return n;
}

// A model codec's output becomes the command it names; a length byte that
// does not fit the bytes given, an id out of range or an unknown form queues
// nothing.
TEST(TovraCmdToAt, TheCodecsFormsQueueTheirCommandsAndNothingElse) {
    host_tovra_devcie_info_t dev{};
    dev.addr = 0x11;
    snprintf(dev.mid, sizeof dev.mid, "70314");
    struct Case {
        const char *json;
        int rc;
        int queued;
    } cases[] = {
        {R"({"bin":"086080000000ffff","atcmd":"AT+CTRL"})", 0, 2},           // device control, two copies
        {R"({"bin":"0260","atcmd":"AT+CTRL"})", 0, 2},                       // one command byte
        {R"({"bin":"0960","atcmd":"AT+CTRL"})", -1, 0},                      // length past the bytes
        {R"({"bin":"0160","atcmd":"AT+CTRL"})", -1, 0},                      // no command byte
        {R"({"bin":"zz60","atcmd":"AT+CTRL"})", -1, 0},                      // not hex
        {R"({"bin":"0360ff","atcmd":"AT+SCENE","fasceneid":300,"reqId":"r1"})", 0, 1},  // written three times
        {R"({"bin":"0360ff","atcmd":"AT+SCENE","fasceneid":255,"reqId":"r1"})", -1, 0},  // the whole network's
        {R"({"bin":"0360ff","atcmd":"AT+SCENE","fasceneid":300})", -1, 0},   // no request id
        {R"({"bin":"0360ff","atcmd":"AT+RESET"})", -1, 0},
        {R"({"roomid":3,"keyid":1})", 0, -1},
        {R"({"roomid":3})", 0, -1},
        {R"({"roomid":300})", -1, 0},
        {R"({"keyid":2,"type":"bind","fasceneid":7,"reqId":"r2"})", 0, -1},
        {R"({"keyid":2,"type":"bind","addr":18,"devicetype":1})", 0, -1},
        {R"({"type":"delete","fasceneid":7})", 0, -1},
        {R"({})", -1, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.json);
        tovra_queue_reset();
        cJSON *j = cJSON_Parse(c.json);
        EXPECT_EQ(c.rc, tovra_cmd_to_at(j, dev));
        cJSON_Delete(j);
        if (c.queued >= 0)
            EXPECT_EQ(c.queued, queued_total());
        else
            EXPECT_GT(queued_total(), 0);
    }
    tovra_queue_reset();
}

}  // namespace
