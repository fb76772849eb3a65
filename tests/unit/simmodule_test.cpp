// The simulated lighting module, run as the built tool on a pseudo-terminal
// pair: the test is the host on the slave end, simmodule gets the master
// through a hand-over socket as it does on the board.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "uart_handover.h"
#include "orvi_port.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(const std::string &keyword, const Bytes &fields = {}) {
    Bytes f(keyword.begin(), keyword.end());
    f.insert(f.end(), fields.begin(), fields.end());
    return f;
}

// A payload of the host's builder library: op, address, group flag, data.
Bytes payload(uint8_t op, uint16_t addr, const Bytes &data) {
    Bytes p = {op, static_cast<uint8_t>(addr >> 8), static_cast<uint8_t>(addr & 0xFF),
               static_cast<uint8_t>(addr > 255 ? 1 : 0), static_cast<uint8_t>(data.size())};
    p.insert(p.end(), data.begin(), data.end());
    return p;
}

Bytes ihg(const Bytes &p) {
    Bytes f = B("AT+IHG", {static_cast<uint8_t>(p.size())});
    f.insert(f.end(), p.begin(), p.end());
    return f;
}

Bytes query(std::initializer_list<uint16_t> addrs) {
    Bytes d = {0, static_cast<uint8_t>(addrs.size())};
    for (uint16_t a : addrs) {
        d.push_back(static_cast<uint8_t>(a >> 8));
        d.push_back(static_cast<uint8_t>(a & 0xFF));
    }
    return ihg(payload(0x06, 0, d));
}

bool starts(const Bytes &f, const std::string &k) { return f.size() >= k.size() && std::equal(k.begin(), k.end(), f.begin()); }

uint16_t mdata_addr(const Bytes &f) {
    return static_cast<uint16_t>((f[9] == 0xC1 ? 256 : 0) + f[13]);
}

std::string hex(const Bytes &b) {
    std::string s;
    char x[4];
    for (uint8_t v : b) {
        snprintf(x, sizeof x, "%02x", v);
        s += x;
    }
    return s;
}

class ModuleRig {
  public:
    explicit ModuleRig(const std::vector<std::string> &args) {
        char tmpl[] = "/tmp/simmodule-test-XXXXXX";
        dir_ = mkdtemp(tmpl) ? tmpl : "";
        const std::string sock = dir_ + "/ttyS5.sock";
        ctl_ = dir_ + "/ctl";
        int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        host_ = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        struct termios tio;
        if (host_ >= 0 && tcgetattr(host_, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(host_, TCSANOW, &tio);
        }
        int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un sa = {};
        sa.sun_family = AF_UNIX;
        memcpy(sa.sun_path, sock.c_str(), sock.size() + 1);
        if (bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(listener, 1) != 0) {
            close(listener);
            close(master);
            return;
        }
        std::vector<std::string> argv = {ORVI_BINARY_DIR "/bin/simmodule", "--uart", sock, "--log",
                                         dir_ + "/frames.log", "--control", ctl_, "--mac", "025a0000c0de"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char *> cargv;
        for (auto &a : argv) cargv.push_back(const_cast<char *>(a.c_str()));
        cargv.push_back(nullptr);
        const std::string out = dir_ + "/stdout";
        pid_ = fork();
        if (pid_ == 0) {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd >= 0) dup2(fd, 1);
            execv(cargv[0], cargv.data());
            _exit(127);
        }
        struct pollfd pf = {listener, POLLIN, 0};
        if (pid_ > 0 && poll(&pf, 1, 20000) == 1) {
            int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            handed_ = c >= 0 && uart_send_fd(c, master);
            if (c >= 0) close(c);
        }
        close(listener);
        close(master);
    }
    ~ModuleRig() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (host_ >= 0) close(host_);
        orvi_port_run_argv({"rm", "-rf", dir_});
    }
    ModuleRig(const ModuleRig &) = delete;
    ModuleRig &operator=(const ModuleRig &) = delete;

    bool up() const { return handed_ && host_ >= 0; }

    void send(const Bytes &f) {
        ASSERT_EQ(static_cast<ssize_t>(f.size()), write(host_, f.data(), f.size()));
    }

    // Every frame the module sent since the last `mark()`, cut where "AT+"
    // begins; waits until `done` holds or 10 s have passed.
    std::vector<Bytes> frames_until(const std::function<bool(const std::vector<Bytes> &)> &done) {
        const uint64_t deadline = orvi_port_monotonic_ms() + 10000;
        for (;;) {
            std::vector<Bytes> frames = cut();
            if (done(frames)) return frames;
            const uint64_t now = orvi_port_monotonic_ms();
            if (now >= deadline) return frames;
            struct pollfd pf = {host_, POLLIN, 0};
            if (poll(&pf, 1, static_cast<int>(deadline - now)) <= 0) continue;
            uint8_t buf[1024];
            ssize_t n = read(host_, buf, sizeof buf);
            if (n > 0) rx_.insert(rx_.end(), buf, buf + n);
        }
    }
    // Frames up to and including the first status report of `addr`.
    std::vector<Bytes> frames_through_status_of(uint16_t addr) {
        return frames_until([addr](const std::vector<Bytes> &fs) {
            for (const Bytes &f : fs)
                if (starts(f, "AT+MDATA") && f.size() >= 15 && mdata_addr(f) == addr) return true;
            return false;
        });
    }
    void mark() {
        // Whatever was read stays read: the next case starts after it.
        rx_.clear();
    }

    // A control line, applied once simmodule says so on its output.
    void control(const std::string &line) {
        const uint64_t deadline = orvi_port_monotonic_ms() + 10000;
        int fd = -1;
        while ((fd = open(ctl_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 && orvi_port_monotonic_ms() < deadline)
            orvi_port_sleep_ms(10);
        ASSERT_GE(fd, 0) << "no control FIFO";
        const std::string text = line + "\n";
        ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
        close(fd);
        const std::string said = "simmodule: control: " + line + "\n";
        std::string out;
        while (orvi_port_monotonic_ms() < deadline) {
            orvi_port_read(dir_ + "/stdout", out);
            if (out.find(said, said_from_) != std::string::npos) {
                said_from_ = out.find(said, said_from_) + said.size();
                return;
            }
            orvi_port_sleep_ms(10);
        }
        FAIL() << "control line not taken: " << line << "\n" << out;
    }

    std::string frame_log() const {
        std::string s;
        orvi_port_read(dir_ + "/frames.log", s);
        return s;
    }

  private:
    std::vector<Bytes> cut() const {
        std::vector<Bytes> frames;
        for (size_t i = 0; i + 3 <= rx_.size(); ++i) {
            if (rx_[i] == 'A' && rx_[i + 1] == 'T' && rx_[i + 2] == '+') frames.emplace_back();
            if (!frames.empty()) frames.back().push_back(rx_[i]);
            if (i + 3 == rx_.size())
                for (size_t j = i + 1; j < rx_.size() && !frames.empty(); ++j) frames.back().push_back(rx_[j]);
        }
        return frames;
    }

    std::string dir_, ctl_;
    pid_t pid_ = -1;
    int host_ = -1;
    bool handed_ = false;
    Bytes rx_;
    size_t said_from_ = 0;
};

const std::vector<std::string> kPopulation = {
    "--device", "5,a1b2c3000005,70314,room=2",  "--device", "6,a1b2c3000006,70314,silent",
    "--device", "7,a1b2c3000007,80501,room=2",  "--device", "9,a1b2c3000009,70723",
    "--device", "12,a1b2c300000c,70727",        "--device", "8,a1b2c3000008,80601",
    "--device", "300,a1b2c300012c,70314",       "--device", "301,a1b2c300012d,70314,silent",
};

// Every host frame gets its acknowledgement at the exact length the host
// accepts; a frame of the wrong length gets nothing.
TEST(SimModule, AcknowledgesEveryHostFrameAtItsLength) {
    ModuleRig m(kPopulation);
    ASSERT_TRUE(m.up());
    struct Case {
        Bytes frame;
        std::string ack;  // "" : no answer at all
        size_t len;
    } cases[] = {
        {B("AT+TYPE", {0x2F, 0xAD, 0x2F, 0xAD}), "AT+ACKTYPE", 10},
        {B("AT+SETINFO", {0x06, 0x12, 0x34, 0x56, 0x78, 0x01, 0x00}), "AT+ACKSET", 9},
        {B("AT+PAIRSTART 7"), "AT+ACKSTART", 11},
        {B("AT+PAIRSAVE"), "AT+ACKSAVE", 10},
        {B("AT+PAIRSTOP"), "AT+ACKSTOP", 11},
        {B("AT+MONITOR 3"), "AT+ACKMON", 9},
        {B("AT+CTRL", {0x04, 0x02, 0x05, 0x0F}), "AT+ACKCTRL", 10},
        {B("AT+BYPASS", {0x00, 0x40, 0x01, 0x00, 0x05, 0x01}), "AT+ACKBYP", 9},
        {ihg(payload(0x01, 5, {0x60, 0x80})), "AT+ACKIHG", 9},
        {ihg({0xFF}), "AT+ACKIHG", 9},
        {B("AT+TYPE", {0x2F, 0xAD, 0x2F}), "", 0},
        {B("AT+MONITOR 3x"), "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(hex(c.frame));
        m.mark();
        m.send(c.frame);
        // A status query of device 9 behind it: the case's answer comes
        // first, or the query's own acknowledgement when there is none, and
        // everything the case made has come once device 9 reported.
        m.send(query({9}));
        auto fs = m.frames_through_status_of(9);
        ASSERT_FALSE(fs.empty());
        const std::string want = c.ack.empty() ? "AT+ACKIHG" : c.ack;
        EXPECT_TRUE(starts(fs[0], want)) << std::string(fs[0].begin(), fs[0].end());
        EXPECT_EQ(c.ack.empty() ? 9u : c.len, fs[0].size());
    }

    // The type query also gets the module's MAC, at byte 10 of "AT+RSPC".
    m.mark();
    m.send(B("AT+TYPE", {0x2F, 0xAD, 0x2F, 0xAD}));
    auto fs = m.frames_until([](const std::vector<Bytes> &f) { return f.size() >= 2 && f[1].size() >= 16; });
    ASSERT_EQ(2u, fs.size());
    EXPECT_EQ(10u, fs[0].size());
    ASSERT_TRUE(starts(fs[1], "AT+RSPC"));
    EXPECT_EQ("025a0000c0de", hex(Bytes(fs[1].begin() + 10, fs[1].begin() + 16)));
}

// A control payload changes the device's status bytes, and its report is a
// raw status frame of its model's length: byte 9 0xC1 and byte 13 the low
// address byte above 255.
TEST(SimModule, ControlPayloadsChangeTheReportedStatus) {
    ModuleRig m(kPopulation);
    ASSERT_TRUE(m.up());
    struct Case {
        const char *what;
        Bytes frame;
        uint16_t addr;
        size_t len;
        Bytes status;  // expected from byte 15
    } cases[] = {
        {"device control", ihg(payload(0x01, 5, {0x60, 0x80, 0, 0, 0, 0xFF, 0xFF})), 5, 22,
         {0x60, 0x80, 0, 0, 0, 0xFF, 0xFF}},
        {"above 255", ihg(payload(0x01, 300, {0x60, 0x33})), 300, 22, {0x60, 0x33, 0, 0, 0, 0, 0}},
        {"bounded by the model", ihg(payload(0x01, 12, {0x21, 0x01, 0x99, 0x98})), 12, 17, {0x21, 0x01}},
        {"long model", ihg(payload(0x01, 9, Bytes(20, 0x44))), 9, 30, Bytes(15, 0x44)},
        {"host switch command", B("AT+CTRL", {0x04, 0x02, 0x05, 0x00}), 5, 22, {0x60, 0x00, 0, 0, 0, 0xFF, 0xFF}},
        {"host switch command above 255", B("AT+CTRL", {0x05, 0x82, 0x01, 0x2C, 0x0F}), 300, 22,
         {0x60, 0x0F, 0, 0, 0, 0, 0}},
        {"curtain", B("AT+CTRL", {0x08, 0x02, 0x07, 0x00, 0x40, 0x00, 0xFF, 0x00, 0x00}), 7, 23,
         {0x70, 0x00, 0x40, 0, 0, 0, 0, 0}},
        {"room group control reaches the room's lights", ihg(payload(0x03, 2, {0xA8, 0x2A, 0x80})), 5, 22,
         {0x60, 0x80, 0, 0, 0, 0xFF, 0xFF}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        m.mark();
        m.send(c.frame);
        auto fs = m.frames_through_status_of(c.addr);
        ASSERT_FALSE(fs.empty());
        const Bytes &f = fs.back();
        ASSERT_TRUE(starts(f, "AT+MDATA"));
        ASSERT_EQ(c.len, f.size()) << hex(f);
        EXPECT_EQ(c.addr > 255 ? 0xC1 : 0xC0, f[9]);
        EXPECT_EQ(c.addr & 0xFF, f[13]);
        EXPECT_EQ(hex(c.status), hex(Bytes(f.begin() + 15, f.end())));
    }
}

// Status queries, by list or by address, are answered by the devices that
// are not silent, and a device made silent or audible while the module runs
// follows at once.
TEST(SimModule, StatusQueriesAreAnsweredOnlyByDevicesThatAreNotSilent) {
    ModuleRig m(kPopulation);
    ASSERT_TRUE(m.up());
    struct Case {
        const char *what;
        std::vector<std::string> control;
        Bytes frame;
        std::vector<uint16_t> answers;
    } cases[] = {
        {"list", {}, B("AT+BYPASS", {0x00, 0x40, 0x07, 0x00, 0x05, 0x07}), {5, 7}},
        {"addresses", {}, query({300, 301, 6, 7}), {300, 7}},
        {"made silent", {"silent 7 1"}, query({7, 300}), {300}},
        {"made audible", {"silent 6 0", "silent 301 0"}, query({6, 7, 301}), {6, 301}},
        {"status asked for", {"status 300"}, query({}), {300}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::string &line : c.control) m.control(line);
        m.mark();
        m.send(c.frame);
        // Device 9 always answers, and after everything asked before it.
        m.send(query({9}));
        auto fs = m.frames_through_status_of(9);
        std::vector<uint16_t> got;
        for (const Bytes &f : fs)
            if (starts(f, "AT+MDATA") && f.size() >= 15) got.push_back(mdata_addr(f));
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(9, got.back());
        got.pop_back();
        EXPECT_EQ(c.answers, got);
    }
}

// The control channel presses keys, pairs devices and sends the module's
// MAC; scene payloads bind keys and run scenes.
TEST(SimModule, ControlChannelAndScenesDriveThePopulation) {
    ModuleRig m(kPopulation);
    ASSERT_TRUE(m.up());
    const uint32_t scene = 0x01ABCD;
    struct Case {
        const char *what;
        std::string control;  // or a host frame
        Bytes frame;
        std::string keyword;  // the frame checked: the last of `count` with this keyword
        size_t count;
        std::function<void(const Bytes &)> check;
    } cases[] = {
        {"mac", "mac", {}, "AT+RSPC", 1,
         [](const Bytes &f) { EXPECT_EQ("025a0000c0de", hex(Bytes(f.begin() + 10, f.end()))); }},
        {"pair", "pair", {}, "AT+PAIRSUCC", 1, [](const Bytes &f) { EXPECT_EQ(11u, f.size()); }},
        {"pair a device", "pair 20 a1b2c3000014 70314", {}, "AT+PAIRSUCC", 1,
         [](const Bytes &f) { EXPECT_EQ("a1b2c30000140014", hex(Bytes(f.begin() + 11, f.end()))); }},
        {"scene key", "scene 2305", {}, "AT+SCENE", 1, [](const Bytes &f) { EXPECT_EQ("02000901", hex(Bytes(f.begin() + 8, f.begin() + 12))); }},
        {"bind a panel key: confirmed", "",
         ihg(payload(0x09, 8, {0x01, 0xAB, 0xCD, 3})), "AT+MDATA", 1,
         [](const Bytes &f) { EXPECT_EQ(0x02, f[15] & 0x0F); }},
        {"press the bound key", "press 8 3", {}, "AT+SCENE", 1,
         [&](const Bytes &f) {
             EXPECT_EQ(2, f[8]);
             EXPECT_EQ(scene, static_cast<uint32_t>(f[9] << 16 | f[10] << 8 | f[11]));
         }},
        {"bind a light to the scene: confirmed", "", ihg(payload(0x07, 300, {0x01, 0xAB, 0xCD, 0x60, 0x11})),
         "AT+MDATA", 2, [](const Bytes &f) { EXPECT_EQ("6011", hex(Bytes(f.begin() + 15, f.begin() + 17))); }},
        {"the scene runs", "", ihg(payload(0x0C, 0, {0x01, 0xAB, 0xCD})), "AT+MDATA", 1,
         [](const Bytes &f) { EXPECT_EQ(300, mdata_addr(f)); }},
        {"a sensor trips", "state 12 2100", {}, "AT+MDATA", 1,
         [](const Bytes &f) { EXPECT_EQ("2100", hex(Bytes(f.begin() + 15, f.end()))); }},
        {"the paired device answers", "", query({20}), "AT+MDATA", 1, [](const Bytes &f) { EXPECT_EQ(20, f[13]); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        m.mark();
        if (!c.control.empty()) m.control(c.control);
        if (!c.frame.empty()) m.send(c.frame);
        const bool status = c.keyword == "AT+MDATA";
        auto fs = m.frames_until([&](const std::vector<Bytes> &f) {
            size_t n = 0;
            for (const Bytes &x : f)
                if (starts(x, c.keyword) && (!status || x.size() >= 17)) ++n;
            return n >= c.count;
        });
        auto it = std::find_if(fs.rbegin(), fs.rend(), [&](const Bytes &x) { return starts(x, c.keyword); });
        ASSERT_NE(fs.rend(), it);
        c.check(*it);
    }
}

// Misbehaving on request: over-long status frames; the frame log holds
// every frame either way with a monotonic time stamp, in order.
TEST(SimModule, LongFramesAndTheFrameLog) {
    std::vector<std::string> args = kPopulation;
    args.insert(args.end(), {"--long", "45"});
    ModuleRig m(args);
    ASSERT_TRUE(m.up());
    const Bytes ask = query({5});
    m.send(ask);
    auto fs = m.frames_through_status_of(5);
    ASSERT_FALSE(fs.empty());
    EXPECT_EQ(45u, fs.back().size());

    const std::string in = " in " + std::to_string(ask.size()) + " " + hex(ask) + "\n";
    const std::string out = " out 45 " + hex(fs.back()) + "\n";
    std::string log;
    const uint64_t deadline = orvi_port_monotonic_ms() + 10000;
    while ((log = m.frame_log()).find(out) == std::string::npos && orvi_port_monotonic_ms() < deadline)
        orvi_port_sleep_ms(10);
    const size_t at_in = log.find(in), at_out = log.find(out);
    ASSERT_NE(std::string::npos, at_in) << log;
    ASSERT_NE(std::string::npos, at_out) << log;
    EXPECT_LT(at_in, at_out);
    auto stamp = [&](size_t at) {
        const size_t bol = log.rfind('\n', at);
        return strtod(log.c_str() + (bol == std::string::npos ? 0 : bol + 1), nullptr);
    };
    EXPECT_GT(stamp(at_in), 0.0);
    EXPECT_GE(stamp(at_out), stamp(at_in));
}

}  // namespace
