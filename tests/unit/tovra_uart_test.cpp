#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "orvi_product.h"
#include "scratch_root.h"
#include "tovra_link_fakes.h"
#include "tovra_queue.h"
#include "tovra_uart.h"

using tovra_fake::Fixture;
using tovra_fake::S;
using strings = std::vector<std::string>;

namespace {

// "AT+MDATA" with the address byte at 13, the 0xC1 mark at 9 when `high`, and
// `status` from byte 15; `len` bytes in all.
std::string mdata(uint8_t addr_low, const std::vector<uint8_t> &status, size_t len, bool high = false) {
    std::string f = "AT+MDATA";
    f.resize(len, '\0');
    if (len > 9 && high)
        f[9] = (char)0xC1;
    if (len > 13)
        f[13] = (char)addr_low;
    for (size_t i = 0; i < status.size() && 15 + i < len; i++)
        f[15 + i] = (char)status[i];
    return f;
}

// ---- framing ----
strings g_frames;
void capture(const tovra_data_buf_t *b) {
    g_frames.push_back(std::string((const char *)b->data, b->data_len));
}

struct framing_case {
    const char *name;
    strings reads;
    strings before_quiet;  // handed over as the reads arrive
    strings after_quiet;   // and once the line falls quiet
};

}  // namespace

TEST(TovraFraming, CutsJoinsAndBoundsFrames) {
    const std::string md30 = mdata(0x12, {1, 2, 3}, 30);
    const std::string md40 = mdata(0x12, {1, 2, 3}, 40);
    const std::string longf = "AT+MDATA" + std::string(120, 'x');
    std::string many;
    strings many_frames;
    for (int i = 0; i < 120; i++) {
        many += "AT+ACKCTRL";
        many_frames.push_back("AT+ACKCTRL");
    }
    const framing_case cases[] = {
        {"an acknowledgement then a status frame", {"AT+ACKCTRL" + md30}, {"AT+ACKCTRL"}, {md30}},
        {"a status frame from byte 0 is whole", {md30}, {}, {md30}},
        {"noise before a frame is dropped, the frame kept", {std::string("\x07", 1) + md30}, {}, {md30}},
        {"a read without any marker is dropped", {"noise only"}, {}, {}},
        {"a frame of 40 bytes passes whole", {md40}, {}, {md40}},
        {"a frame split across two reads is joined", {md30.substr(0, 11), md30.substr(11)}, {}, {md30}},
        {"a marker split across two reads", {"AT+ACKMONA", "T+ACKCTRL"}, {"AT+ACKMON", "AT+ACKCTRL"}, {}},
        {"a marker split after its first two bytes", {"AT+ACKBYPAT", "+ACKSET"}, {"AT+ACKBYP", "AT+ACKSET"}, {}},
        {"a fixed-length acknowledgement split in two", {"AT+ACK", "TYPE"}, {"AT+ACKTYPE"}, {}},
        {"a frame longer than the frame buffer, between two markers, is dropped",
         {longf + "AT+ACKCTRL"},
         {"AT+ACKCTRL"},
         {}},
        {"an over-long last frame is dropped and the next one kept",
         {longf.substr(0, 60), longf.substr(60), "AT+ACKMON"},
         {"AT+ACKMON"},
         {}},
        {"a read of more than the reassembly buffer", {many}, many_frames, {}},
    };
    for (const auto &c : cases) {
        g_frames.clear();
        tovra_framer f(capture);
        for (const auto &r : c.reads)
            f.feed((const uint8_t *)r.data(), r.size());
        EXPECT_EQ(c.before_quiet, g_frames) << c.name;
        g_frames.clear();
        f.flush();
        EXPECT_EQ(c.after_quiet, g_frames) << c.name;
    }
}

// ---- dispatch and handlers ----

namespace {
struct recv_case {
    const char *name;
    std::string frame;
    strings calls;        // the hooks called, in order
    strings main_queue;   // atcmd of every main-queue command afterwards
};

strings main_queue_cmds() {
    strings out;
    tovra_msg_t m;
    // The first command by name, each one after it as "+".
    int n = tovra_queue_count(TOVRA_QUEUE_MAIN);
    if (n > 0 && tovra_queue_inflight(TOVRA_QUEUE_MAIN, &m))
        out.push_back(m.atcmd);
    for (int i = 1; i < n; i++)
        out.push_back("+");
    return out;
}

void deliver(const std::string &frame) {
    tovra_data_buf_t b;
    memset(&b, 0, sizeof b);
    memcpy(b.data, frame.data(), frame.size());
    b.data_len = (uint16_t)frame.size();
    tovra_recv_data_handle(&b);
}
}  // namespace

TEST(TovraRecv, FramesReachTheirHandlersAtTheirLengths) {
    const recv_case cases[] = {
        {"pairing success of 11 bytes", "AT+PAIRSUCC", {"pair 1"}, {"AT+PAIRSAVE"}},
        {"pairing success of 19 bytes", "AT+PAIRSUCC" + std::string(8, '\1'), {"pair 1"}, {"AT+PAIRSAVE"}},
        {"pairing success of 15 bytes is ignored", "AT+PAIRSUCC" + std::string(4, '\1'), {}, {}},
        {"ACKSTOP of its keyword alone is ignored", "AT+ACKSTOP", {}, {}},
        {"ACKSAVE queues the pairing stop and the monitor", "AT+ACKSAVE", {}, {"AT+PAIRSTOP", "+"}},
        {"ACKTYPE queues the monitor", "AT+ACKTYPE", {}, {"AT+MONITOR "}},
        {"status of a light, its model's 7 status bytes",
         mdata(0x21, {0x11, 2, 3, 4, 5, 6, 7, 8, 9}, 30),
         {"status 33 41542b4d444154412100" "11020304050607 0", "clear 33", "online_check"},
         {}},
        {"a frame of 40 bytes only clears the address's pending queries",
         mdata(0x21, {0x11}, 40),
         {"clear 33", "online_check"},
         {}},
        {"an address above 255 is looked up whole",
         mdata(0x05, {1, 2, 3, 4, 5, 6, 7}, 22, true),
         {"status 261 41542b4d444154410500" "01020304050607 0", "clear 261", "online_check"},
         {}},
        {"a status frame too short for its model is refused",
         mdata(0x21, {0x11, 2}, 18),
         {"clear 33", "online_check"},
         {}},
        {"a status frame without its address byte is refused whole", mdata(0x21, {}, 12), {}, {}},
        {"the body sensor's long-time counter", mdata(0x30, {0x01, 0x00}, 20),
         {"rowid 48 30", "status 48 41542b4d444154413000" "0100 0",
          "online 48", "online_change", "clear 48", "online_check"},
         {}},
        {"a cube's key-3 report is a bind status with code 300", mdata(0x40, {0x13, 0}, 24),
         {"bind 64  300", "clear 64", "online_check"},
         {}},
        {"the module MAC", "AT+RSPC" + std::string("\0\0\0", 3) + std::string("\xA1\xB2\xC3\x04\x05\x66", 6), {}, {}},
        {"an unknown keyword", "AT+WHAT", {}, {}},
    };
    for (const auto &c : cases) {
        Fixture fx;
        S().devices[0x21] = tovra_fake::dev(0x21, "70314");
        S().devices[261] = tovra_fake::dev(261, "70314");
        S().devices[0x30] = tovra_fake::dev(0x30, "70727", 0);
        S().devices[0x40] = tovra_fake::dev(0x40, "80205");
        deliver(c.frame);
        EXPECT_EQ(c.calls, fx.take()) << c.name;
        EXPECT_EQ(c.main_queue, main_queue_cmds()) << c.name;
    }
    Fixture fx;
    deliver("AT+RSPC" + std::string("\0\0\0", 3) + std::string("\xA1\xB2\xC3\x04\x05\x66", 6));
    EXPECT_EQ("a1b2c3040566", tovra_link_module_mac());
}

TEST(TovraRecv, AcknowledgementsEndOnlyTheirOwnInFlightCommand) {
    struct ack_case {
        const char *name;
        const char *queued;
        std::string ack;
        bool ends;
        bool pause_cleared;
    } cases[] = {
        {"ACKTYPE ends AT+TYPE and its pause", "AT+TYPE", "AT+ACKTYPE", true, true},
        {"ACKSET ends AT+SETINFO", "AT+SETINFO", "AT+ACKSET", true, true},
        {"ACKMON ends the monitor", "AT+MONITOR ", "AT+ACKMON", true, true},
        {"ACKSTOP of 11 bytes ends the pairing stop", "AT+PAIRSTOP", "AT+ACKSTOP0", true, true},
        {"ACKCTRL ends AT+CTRL's repeats, not its pause", "AT+CTRL", "AT+ACKCTRL", true, false},
        {"ACKCTRL leaves an AT+IHG alone", "AT+IHG", "AT+ACKCTRL", false, false},
        {"ACKIHG leaves a broadcast's repeats alone", "AT+IHG", "AT+ACKIHG", false, false},
        {"ACKIHG ends a status query", "AT+BYPASS", "AT+ACKIHG", true, false},
    };
    for (const auto &c : cases) {
        Fixture fx;
        tovra_msg_t m;
        memset(&m, 0, sizeof m);
        strcpy(m.atcmd, c.queued);
        m.repeat_times = 3;
        ASSERT_EQ(0, tovra_msg_queue_add(&m));
        tm_100ms.Msg_Send_Time = 0x4002;
        deliver(c.ack);
        ASSERT_TRUE(tovra_queue_inflight(TOVRA_QUEUE_MAIN, &m)) << c.name;
        EXPECT_EQ(c.ends ? 0 : 3, m.repeat_times) << c.name;
        EXPECT_EQ(c.pause_cleared ? 0 : 0x4002, tm_100ms.Msg_Send_Time.load()) << c.name;
    }
}

TEST(TovraRecv, ADeletedDeviceDrawsItsResetsOnce) {
    struct reset_case {
        const char *name;
        const char *mid;
        int queue;
        int slots;  // copies of each reset times its count
        int window_open;
    } cases[] = {
        {"a light: five control resets, queued twice each", "70314", TOVRA_QUEUE_RETRY, 10, 0},
        {"a cube: three scene resets on the main queue", "80205", TOVRA_QUEUE_MAIN, 6, 0},
        {"a scene switch: three resets on the retry queue", "80601", TOVRA_QUEUE_RETRY, 6, 0},
        {"none while the app's new-device window is open", "70314", TOVRA_QUEUE_RETRY, 0, 1},
    };
    for (const auto &c : cases) {
        Fixture fx;
        S().deleted[0x55] = {c.mid};
        S().window_open = c.window_open;
        const std::string f = mdata(0x55, {0x11, 0, 0, 0, 0, 0, 0}, 24);
        deliver(f);
        deliver(f);
        EXPECT_EQ(c.slots, tovra_queue_count(c.queue)) << c.name;
        tovra_msg_t m;
        if (c.slots > 0 && tovra_queue_inflight(c.queue, &m)) {
            EXPECT_EQ(0x55, m.addr) << c.name;
        }
    }
}

TEST(TovraRecv, SceneConfirmationEndsTheInFlightSceneCommand) {
    struct confirm_case {
        const char *name;
        const char *mid;
        bool bind_queue;
        std::vector<uint8_t> status;
        std::string event;
    } cases[] = {
        {"a light confirms a scene set", "70999", false, {0x02, 0}, "scene_set 80 req-1 200"},
        {"the 0x30 0x22 form", "70999", false, {0x30, 0x22}, "scene_set 80 req-1 200"},
        {"a scene switch confirms its bind", "80601", true, {0x02, 0}, "bind 80 req-1 200"},
        {"a scene switch never confirms a scene set", "80601", false, {0x02, 0}, ""},
    };
    for (const auto &c : cases) {
        Fixture fx;
        S().devices[80] = tovra_fake::dev(80, c.mid);
        if (c.bind_queue)
            ASSERT_EQ(0, at_scene_msg_bind_queue(7, 1, 80, "req-1"));
        else
            ASSERT_EQ(0, at_scene_msg_add_queue(7, 80, (const uint8_t *)"\x01", 1, "req-1"));
        deliver(mdata(80, c.status, 24));
        strings calls = fx.take();
        bool seen = false;
        for (const auto &s : calls)
            seen = seen || s == c.event;
        EXPECT_EQ(!c.event.empty(), seen) << c.name;
        tovra_msg_t m;
        ASSERT_TRUE(tovra_queue_inflight(c.bind_queue ? TOVRA_QUEUE_SCENE_BIND : TOVRA_QUEUE_SCENE, &m));
        EXPECT_EQ(c.event.empty() ? 3 : 0, m.repeat_times) << c.name;
        EXPECT_EQ(c.event.empty() ? 0 : 1, m.scene_set_flag) << c.name;
    }
}

TEST(TovraRecv, SceneKeyPresses) {
    struct key_case {
        const char *name;
        std::vector<uint8_t> tail;  // bytes 8.. of the frame
        bool host_sent_it;
        strings calls;
        int main_queued;
    } cases[] = {
        {"a trivox key", {2, 0x01, 0x20, 0x05}, false,
         {"default_scene 73733", "trivox2 73733", "trivox 73733"}, 0},
        {"the host's own broadcast of the last second: step 2 only", {2, 0x01, 0x20, 0x05}, true,
         {"default_scene 73733", "trivox2 73733"}, 0},
        {"ids 2305 and 2306 are ignored", {2, 0, 9, 1}, false, {}, 0},
        {"a default scene is remembered, not reported", {2, 0, 0, 5}, false, {"default_scene 5", "trivox2 5"}, 0},
        {"factory key 1 queues the test scene", {2, 0, 1, 1}, false,
         {"default_scene 257", "trivox2 257", "factory_scene 1"}, 1},
        {"factory key 4", {2, 0, 1, 4}, false,
         {"default_scene 260", "trivox2 260", "factory_scene 0", "factory_cmd off"}, 0},
        {"a short frame is ignored", {2, 0, 1}, false, {}, 0},
    };
    for (const auto &c : cases) {
        Fixture fx;
        if (c.host_sent_it)
            send_scene_id_add(73733);
        std::string f = "AT+SCENE" + std::string(c.tail.begin(), c.tail.end());
        deliver(f);
        EXPECT_EQ(c.calls, fx.take()) << c.name;
        EXPECT_EQ(c.main_queued, tovra_queue_count(TOVRA_QUEUE_MAIN)) << c.name;
    }
}

// ---- send side ----

TEST(TovraSend, EveryKeywordWritesItsFrame) {
    ScratchRoot root;
    ASSERT_EQ(0, product_set_Qnetkey("a1B2c3d4"));
    struct send_case {
        const char *atcmd;
        std::vector<uint8_t> data;
        std::string frame;
    } cases[] = {
        {"AT+TYPE", {}, "AT+TYPE\x2F\xAD\x2F\xAD"},
        {"AT+SETINFO", {}, std::string("AT+SETINFO\x06\xA1\xB2\xC3\xD4\x01\x00", 17)},
        {"AT+PAIRSTART", {}, "AT+PAIRSTART 7"},
        {"AT+PAIRSAVE", {}, "AT+PAIRSAVE"},
        {"AT+PAIRSTOP", {}, "AT+PAIRSTOP"},
        {"AT+CTRL", {4, 2, 0x12, 0x90}, "AT+CTRL\x04\x02\x12\x90"},
        {"AT+MONITOR ", {}, "AT+MONITOR 3"},
        {"AT+BYPASS", {0, 0x40, 3, 0, 5, 3}, std::string("AT+BYPASS\x00\x40\x03\x00\x05\x03", 15)},
        {"AT+IHG", {0x0C, 0, 0, 0, 3, 1, 2, 3}, std::string("AT+IHG\x08\x0C\x00\x00\x00\x03\x01\x02\x03", 15)},
        {"AT+MONITOR", {}, ""},
    };
    for (const auto &c : cases) {
        tovra_msg_t m;
        memset(&m, 0, sizeof m);
        strcpy(m.atcmd, c.atcmd);
        if (!c.data.empty())
            memcpy(m.atdata, c.data.data(), c.data.size());
        m.atlen = (uint8_t)c.data.size();
        uint8_t out[80];
        int n = tovra_frame_build(&m, out, sizeof out);
        if (c.frame.empty()) {
            EXPECT_LT(n, 0) << c.atcmd;
            EXPECT_EQ(nullptr, tovra_send_lookup(c.atcmd)) << c.atcmd;
            continue;
        }
        ASSERT_GT(n, 0) << c.atcmd;
        EXPECT_EQ(c.frame, std::string((const char *)out, (size_t)n)) << c.atcmd;
        EXPECT_NE(nullptr, tovra_send_lookup(c.atcmd)) << c.atcmd;
    }
    ASSERT_EQ(0, product_set_Qnetkey("zz112233"));
    tovra_msg_t m;
    memset(&m, 0, sizeof m);
    strcpy(m.atcmd, "AT+SETINFO");
    uint8_t out[80];
    EXPECT_LT(tovra_frame_build(&m, out, sizeof out), 0) << "a key that is not hex is not sent";
}

TEST(TovraHex, ConvertsBothWaysWithinBounds) {
    char text[13];
    const uint8_t mac[6] = {0xA1, 0x02, 0xFF, 0, 0x10, 0x9c};
    EXPECT_EQ(12, HexToString(mac, 6, text, sizeof text));
    EXPECT_STREQ("a102ff00109c", text);
    EXPECT_EQ(0, HexToString(mac, 6, text, 12)) << "no room for the terminator";
    EXPECT_STREQ("", text);
    struct hex_case {
        const char *text;
        int want;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"a1B2c3d4", 4, {0xA1, 0xB2, 0xC3, 0xD4}},
        {"a1b2c3", 0, {0, 0, 0, 0}},
        {"a1b2c3dz", 0, {0, 0, 0, 0}},
        {"a1b2c3d4e5", 4, {0xA1, 0xB2, 0xC3, 0xD4}},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> out(4, 0x77);
        EXPECT_EQ(c.want, StringToHex(c.text, (int)strlen(c.text), out.data(), 4)) << c.text;
        EXPECT_EQ(c.bytes, out) << c.text;
    }
}

// The writer and the reader over a pseudo-terminal, the way the module's
// serial port carries them.
TEST(TovraUart, WritesAndReadsFramesOverASerialLine) {
    Fixture fx;
    int master = -1, slave = -1;
    ASSERT_EQ(0, openpty(&master, &slave, nullptr, nullptr, nullptr));
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    char name[64];
    ASSERT_EQ(0, ttyname_r(slave, name, sizeof name));
    int fd = uart_open(name, 38400, 8, 1, 'N');
    ASSERT_GE(fd, 0);
    EXPECT_EQ(-1, uart_speed_set(fd, 57600)) << "a speed outside the table";
    EXPECT_EQ(-1, uart_parity_set(fd, 6, 1, 'N'));
    EXPECT_EQ(-1, uart_parity_set(fd, 8, 3, 'N'));
    EXPECT_EQ(-1, uart_parity_set(fd, 8, 1, 'x'));
    struct termios t;
    ASSERT_EQ(0, tcgetattr(fd, &t));
    EXPECT_EQ(B38400, cfgetospeed(&t));
    EXPECT_EQ(0u, t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_EQ((tcflag_t)CS8, t.c_cflag & CSIZE);
    tovra_uart_fd = fd;

    // Host to module: one write per frame, bytes as they are (raw mode).
    tovra_msg_t m;
    memset(&m, 0, sizeof m);
    strcpy(m.atcmd, "AT+CTRL");
    const uint8_t payload[] = {0x04, 0x02, 0x0A, 0x0D, 0x00};
    memcpy(m.atdata, payload, sizeof payload);
    m.atlen = sizeof payload;
    ASSERT_EQ(0, at_ctrl_msg_send(&m));
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.size() < 12 && std::chrono::steady_clock::now() < deadline) {
        struct pollfd p = {master, POLLIN, 0};
        poll(&p, 1, 100);
        char b[64];
        ssize_t n = read(master, b, sizeof b);
        if (n > 0)
            got.append(b, (size_t)n);
    }
    EXPECT_EQ(std::string("AT+CTRL\x04\x02\x0A\x0D\x00", 12), got);

    // Module to host: an acknowledgement and a status frame split across
    // two writes reach their handlers.
    S().devices[0x21] = tovra_fake::dev(0x21, "70314");
    const std::string f = mdata(0x21, {0x11, 2, 3, 4, 5, 6, 7}, 24);
    const std::string first = "AT+ACKCTRL" + f.substr(0, 12), second = f.substr(12);
    ASSERT_EQ((ssize_t)first.size(), write(master, first.data(), first.size()));
    strings calls;
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool wrote_second = false;
    while (std::chrono::steady_clock::now() < deadline) {
        tovra_uart_read_once(fd, 50);
        if (!wrote_second) {
            ASSERT_EQ((ssize_t)second.size(), write(master, second.data(), second.size()));
            wrote_second = true;
        }
        for (auto &s : fx.take())
            calls.push_back(s);
        if (!calls.empty() && calls.back() == "online_check")
            break;
    }
    EXPECT_EQ((strings{"status 33 41542b4d444154412100" "11020304050607 0", "clear 33", "online_check"}), calls);
    tovra_uart_fd = -1;
    close(fd);
    close(slave);
    close(master);
}
