// simmodule: the lighting module and its population of lights, panels,
// curtains and sensors, on the UART the daemon opens as "/dev/ttyS5". It
// answers the host's AT frames as the module does, decodes the payloads of
// the host's builder library and applies them to its devices, reports their
// status as raw "AT+MDATA" frames, and on request from its control channel
// presses keys, pairs devices and sends its MAC. It can misbehave on the
// line (noise, joined frames, split frames, over-long frames). Every frame
// either way goes to the frame log with a monotonic time stamp.
//
// Single-threaded: one poll loop over the UART, the control FIFO and the
// queue of frames still to send.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <sstream>
#include <string>
#include <vector>

#include "uart_handover.h"
#include "module_wire.h"
#include "orvi_log.h"
#include "orvi_port.h"

using namespace simmodule;

namespace {

const char kUsage[] =
    "usage: simmodule [options]\n"
    "  The lighting module and its devices on the board's lighting UART.\n"
    "  --uart PATH        a hand-over socket (default /vboard/uart/ttyS5.sock) or a serial device\n"
    "  --board DIR        the board in DIR (DIR/vboard/uart/ttyS5.sock, control in DIR/vboard/state)\n"
    "  --device SPEC      one device: ADDR,MAC,MODEL[,silent][,room=N][,status=HEX][,len=N]\n"
    "                     (MAC 12 hex digits; len= for a model the module does not know)\n"
    "  --devices FILE     one device a line, the same words separated by blanks; '#' comments\n"
    "  --mac HEX          the module's own MAC (default 025a00000001), sent in AT+RSPC\n"
    "  --log FILE         the frame log (default simmodule.log): one line a frame,\n"
    "                     \"<monotonic s.us> <in|out|noise> <length> <hex>\"\n"
    "  --control PATH     the control FIFO (default /vboard/state/simmodule.ctl on a board,\n"
    "                     none elsewhere); created when missing\n"
    "  --announce         every device reports its status once at start\n"
    " pacing and misbehaving (each also a control command \"set NAME VALUE\"):\n"
    "  --gap MS           at least MS between two writes (default 30)\n"
    "  --delay MS         a device answers MS after the frame that asked (default 50)\n"
    "  --join 0|1         two frames in one write\n"
    "  --split N          each frame written as its first N bytes, then the rest\n"
    "  --noise N          N noise bytes (never \"AT+\") in a write of their own before each frame\n"
    "  --long N           status frames padded with zeros to N bytes\n"
    " control commands, one a line, written to the FIFO:\n"
    "  press ADDR KEY     panel ADDR presses key KEY: the devices of its bound scene run it\n"
    "                     and the module reports AT+SCENE\n"
    "  scene ID [KIND]    AT+SCENE with scene ID (kind default 2)\n"
    "  pair [ADDR MAC MODEL]  AT+PAIRSUCC (11 bytes); with a device: the device joins and\n"
    "                     the 19-byte form carries its MAC and address\n"
    "  silent ADDR 0|1    a device stops (1) or starts (0) answering\n"
    "  status ADDR        the device reports its status now\n"
    "  state ADDR HEX     the device's status bytes change (a sensor trips) and it reports\n"
    "  mac                AT+RSPC with the module's MAC\n"
    "  noise N            N noise bytes once      raw HEX   these bytes, one write\n"
    "  set NAME VALUE     gap, delay, join, split, noise, long as above\n"
    "Runs until SIGTERM or SIGINT.\n";

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

// Pause between the two writes of a split frame.
const uint64_t kSplitPauseMs = 3;

struct Pacing {
    unsigned gap_ms = 30;
    unsigned delay_ms = 50;
    bool join = false;
    size_t split = 0;
    size_t noise = 0;
};

struct Options {
    std::string uart = "/vboard/uart/ttyS5.sock";
    std::string log = "simmodule.log";
    std::string control;
    bool control_given = false;
    bool announce = false;
    Pacing pacing;
};

void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    printf("simmodule: ");
    vprintf(fmt, ap);
    printf("\n");
    fflush(stdout);
    va_end(ap);
}

std::vector<std::string> words_of(const std::string &line, char sep) {
    std::vector<std::string> out;
    std::string w;
    for (char c : line) {
        const bool blank = sep == ' ' ? isspace(static_cast<unsigned char>(c)) != 0 : c == sep;
        if (blank) {
            if (!w.empty()) out.push_back(w);
            w.clear();
        } else {
            w += c;
        }
    }
    if (!w.empty()) out.push_back(w);
    return out;
}

// The keyword of a frame, for the console.
std::string label(const Bytes &f) {
    std::string s;
    for (size_t i = 0; i < f.size() && i < 12 && f[i] > 0x20 && f[i] < 0x7f; ++i) s += static_cast<char>(f[i]);
    return s;
}

// ---- the frame log --------------------------------------------------------------

class FrameLog {
  public:
    bool open(const std::string &path) {
        f_ = fopen(path.c_str(), "a");
        return f_ != nullptr;
    }
    ~FrameLog() {
        if (f_) fclose(f_);
    }
    void line(const char *dir, const uint8_t *p, size_t n, const struct timespec *at = nullptr) {
        if (!f_) return;
        struct timespec ts;
        if (at) ts = *at;
        else clock_gettime(CLOCK_MONOTONIC, &ts);
        fprintf(f_, "%lld.%06ld %s %zu %s\n", static_cast<long long>(ts.tv_sec), ts.tv_nsec / 1000, dir, n,
                hex(p, n).c_str());
        fflush(f_);
    }

  private:
    FILE *f_ = nullptr;
};

// ---- the line -------------------------------------------------------------------

int open_uart(const std::string &path) { return uart_open_line(path, "simmodule", B38400); }

uint64_t now_ms() { return orvi_port_monotonic_ms(); }

// ---- the module on its line -------------------------------------------------------

class Sim {
  public:
    Sim(Module &m, const Options &o) : m_(m), o_(o), pace_(o.pacing) {}
    int run();

  private:
    struct Pending {
        uint64_t due;
        Bytes bytes;
        const char *kind;  // "out" (a frame, logged), "noise" (logged), "" (the rest of a split frame)
    };
    void queue(const std::vector<Reply> &replies);
    void queue_one(Bytes b, uint64_t earliest, const char *kind);
    void pump();
    void write_now(const Bytes &b);
    void on_bytes(const uint8_t *p, size_t n);
    void take_frames(bool quiet);
    void on_control_line(const std::string &line);
    bool set_option(const std::string &name, const std::string &value);
    Bytes noise_bytes(size_t n);

    Module &m_;
    const Options &o_;
    Pacing pace_;
    FrameLog log_;
    int fd_ = -1;
    int ctl_fd_ = -1;
    bool made_fifo_ = false;
    Bytes in_;
    uint64_t last_in_ms_ = 0;
    // When the bytes at the front of `in_` arrived: a frame is logged at
    // its arrival, not when the line's going quiet ended it.
    struct timespec in_at_ = {0, 0}, last_read_at_ = {0, 0};
    std::deque<Pending> out_;
    uint64_t last_due_ = 0;  // when the last queued write goes
    Bytes unsent_;           // what the line did not take yet
    std::string ctl_buf_;
    uint32_t noise_seed_ = 0x2545F491u;
};

Bytes Sim::noise_bytes(size_t n) {
    Bytes b;
    while (b.size() < n) {
        noise_seed_ = noise_seed_ * 1103515245u + 12345u;
        const uint8_t v = static_cast<uint8_t>(noise_seed_ >> 16);
        if (v != 'A') b.push_back(v);  // never the start of a keyword
    }
    return b;
}

void Sim::queue_one(Bytes b, uint64_t earliest, const char *kind) {
    uint64_t due = std::max(earliest, last_due_ ? last_due_ + pace_.gap_ms : 0);
    out_.push_back({due, std::move(b), kind});
    last_due_ = due;
}

void Sim::queue(const std::vector<Reply> &replies) {
    const uint64_t now = now_ms();
    for (const Reply &r : replies) {
        const uint64_t earliest = now + (r.from_device ? pace_.delay_ms : 0);
        if (pace_.noise) queue_one(noise_bytes(pace_.noise), earliest, "noise");
        queue_one(r.bytes, earliest, "out");
    }
}

void Sim::write_now(const Bytes &b) {
    unsent_.insert(unsent_.end(), b.begin(), b.end());
    while (!unsent_.empty()) {
        ssize_t n = write(fd_, unsent_.data(), unsent_.size());
        if (n > 0) {
            unsent_.erase(unsent_.begin(), unsent_.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return;  // the rest when the line takes it
    }
}

void Sim::pump() {
    const uint64_t now = now_ms();
    while (!out_.empty() && out_.front().due <= now) {
        Pending p = std::move(out_.front());
        out_.pop_front();
        Bytes w;
        auto add = [&](Pending &x) {
            if (*x.kind) log_.line(x.kind, x.bytes.data(), x.bytes.size());
            w.insert(w.end(), x.bytes.begin(), x.bytes.end());
        };
        add(p);
        if (pace_.join && !std::strcmp(p.kind, "out")) {
            // The next frame rides along in the same write, whenever it was due.
            auto next = std::find_if(out_.begin(), out_.end(), [](const Pending &x) { return !std::strcmp(x.kind, "out"); });
            if (next != out_.end()) {
                Pending q = std::move(*next);
                out_.erase(next);
                add(q);
            }
        }
        // A frame cut in two, as a UART driver hands a read over: the rest
        // follows within a few milliseconds, not a whole gap later.
        const bool splits = pace_.split && *p.kind && w.size() > pace_.split;
        if (splits) {
            const uint64_t soon = now + std::min<uint64_t>(pace_.gap_ms, kSplitPauseMs);
            Bytes rest(w.begin() + static_cast<long>(pace_.split), w.end());
            w.resize(pace_.split);
            out_.push_front({soon, std::move(rest), ""});
            last_due_ = std::max(last_due_, soon);
        }
        write_now(w);
        if (!splits && !out_.empty()) out_.front().due = std::max(out_.front().due, now + pace_.gap_ms);
        break;  // one write per gap
    }
}

// Host frames end where the next "AT+" begins or where the line goes quiet
// (the host writes each frame in one write), except "AT+IHG", whose length
// byte says where it ends. A frame of the wrong length for its keyword is
// then refused whole instead of eating the start of the next one.
void Sim::take_frames(bool quiet) {
    static const uint8_t kAt[3] = {'A', 'T', '+'};
    for (;;) {
        if (in_.empty()) return;
        auto at = std::search(in_.begin(), in_.end(), kAt, kAt + 3);
        if (at != in_.begin()) {
            // Bytes before a keyword (or a lone "A", "AT" at the end that may
            // begin one) are line noise.
            size_t keep = 0;
            if (at == in_.end()) {
                if (!quiet && in_.back() == 'A') keep = 1;
                if (!quiet && in_.size() >= 2 && in_[in_.size() - 2] == 'A' && in_.back() == 'T') keep = 2;
            }
            const size_t drop = static_cast<size_t>(at - in_.begin()) - (at == in_.end() ? keep : 0);
            if (drop) {
                log_.line("in", in_.data(), drop, &in_at_);
                say("%zu bytes before any keyword dropped", drop);
                in_.erase(in_.begin(), in_.begin() + static_cast<long>(drop));
                in_at_ = last_read_at_;
            }
            if (at == in_.end() || keep) return;
            continue;
        }
        std::string kw;
        size_t fixed = 0;
        bool partial = false;
        const bool known = Module::host_keyword(in_.data(), in_.size(), kw, fixed, partial);
        if (!known && partial && !quiet) return;
        size_t len;
        if (known && kw == "AT+IHG" && in_.size() >= 7 && in_.size() >= 7u + in_[6]) {
            len = 7u + in_[6];  // its payload may hold anything, "AT+" too
        } else {
            auto next = std::search(in_.begin() + 3, in_.end(), kAt, kAt + 3);
            if (next == in_.end() && !quiet) return;
            len = static_cast<size_t>(next - in_.begin());
        }
        Bytes f(in_.begin(), in_.begin() + static_cast<long>(len));
        in_.erase(in_.begin(), in_.begin() + static_cast<long>(len));
        log_.line("in", f.data(), f.size(), &in_at_);
        in_at_ = last_read_at_;
        std::vector<Reply> replies;
        std::vector<std::string> notes;
        m_.on_host_frame(f, replies, notes);
        say("< %s (%zu bytes)%s", (kw.empty() ? label(f) : kw).c_str(), f.size(), replies.empty() ? "" : ", answered");
        for (const std::string &n : notes) say("  %s", n.c_str());
        queue(replies);
    }
}

void Sim::on_bytes(const uint8_t *p, size_t n) {
    clock_gettime(CLOCK_MONOTONIC, &last_read_at_);
    if (in_.empty()) in_at_ = last_read_at_;
    in_.insert(in_.end(), p, p + n);
    last_in_ms_ = now_ms();
    take_frames(false);
}

bool Sim::set_option(const std::string &name, const std::string &value) {
    const unsigned long v = strtoul(value.c_str(), nullptr, 0);
    if (name == "gap") pace_.gap_ms = static_cast<unsigned>(v);
    else if (name == "delay") pace_.delay_ms = static_cast<unsigned>(v);
    else if (name == "join") pace_.join = v != 0;
    else if (name == "split") pace_.split = v;
    else if (name == "noise") pace_.noise = std::min<unsigned long>(v, 4096);
    else if (name == "long") m_.long_len = std::min<unsigned long>(v, 1024);
    else return false;
    return true;
}

void Sim::on_control_line(const std::string &line) {
    const std::vector<std::string> w = words_of(line, ' ');
    if (w.empty()) return;
    std::vector<Reply> replies;
    auto device = [&](size_t i) -> Device * {
        Device *d = i < w.size() ? m_.find(static_cast<uint16_t>(strtoul(w[i].c_str(), nullptr, 0))) : nullptr;
        if (!d) say("control: %s: no such device", line.c_str());
        return d;
    };
    const std::string &c = w[0];
    if (c == "press" && w.size() == 3) {
        Device *d = device(1);
        if (!d) return;
        const uint8_t key = static_cast<uint8_t>(strtoul(w[2].c_str(), nullptr, 0));
        auto it = d->keys.find(key);
        if (it == d->keys.end()) {
            say("control: key %u of %u is bound to no scene", key, d->addr);
            return;
        }
        // The press goes out on the air: the module hears the panel and the
        // scene's devices run the scene themselves.
        if (!d->silent) replies.push_back({scene_frame(2, it->second, d, key), true});
        std::vector<std::string> notes;
        m_.run_scene(it->second, replies, notes);
        for (const std::string &n : notes) say("%s", n.c_str());
    } else if (c == "scene" && (w.size() == 2 || w.size() == 3)) {
        const uint32_t id = static_cast<uint32_t>(strtoul(w[1].c_str(), nullptr, 0)) & 0xFFFFFF;
        const uint8_t kind = w.size() == 3 ? static_cast<uint8_t>(strtoul(w[2].c_str(), nullptr, 0)) : 2;
        replies.push_back({scene_frame(kind, id, nullptr, 0), true});
    } else if (c == "pair" && w.size() == 1) {
        replies.push_back({pair_frame(nullptr), false});
    } else if (c == "pair" && w.size() == 4) {
        Device d;
        std::string err;
        if (!parse_device({w[1], w[2], w[3]}, d, err)) {
            say("control: %s", err.c_str());
            return;
        }
        if (Device *old = m_.find(d.addr)) *old = d;
        else m_.devices.push_back(d);
        replies.push_back({pair_frame(&d), false});
    } else if (c == "silent" && w.size() == 3) {
        Device *d = device(1);
        if (!d) return;
        d->silent = w[2] != "0";
        say("device %u %s", d->addr, d->silent ? "silent" : "answers again");
    } else if (c == "status" && w.size() == 2) {
        if (Device *d = device(1)) m_.report(*d, replies);
    } else if (c == "state" && w.size() == 3) {
        Device *d = device(1);
        Bytes b;
        if (!d) return;
        if (!parse_hex(w[2], b)) {
            say("control: %s is not hex", w[2].c_str());
            return;
        }
        for (size_t i = 0; i < b.size() && i < d->status.size(); ++i) d->status[i] = b[i];
        m_.report(*d, replies);
    } else if (c == "mac" && w.size() == 1) {
        replies.push_back({mac_frame(m_.mac), false});
    } else if (c == "noise" && w.size() == 2) {
        queue_one(noise_bytes(std::min<unsigned long>(strtoul(w[1].c_str(), nullptr, 0), 4096)), now_ms(), "noise");
    } else if (c == "raw" && w.size() >= 2) {
        Bytes b;
        std::string h;
        for (size_t i = 1; i < w.size(); ++i) h += w[i];
        if (!parse_hex(h, b)) {
            say("control: raw takes hex");
            return;
        }
        queue_one(b, now_ms(), "out");
    } else if (c == "set" && w.size() == 3) {
        if (!set_option(w[1], w[2])) say("control: no option %s", w[1].c_str());
    } else {
        say("control: %s: not understood", line.c_str());
        return;
    }
    say("control: %s", line.c_str());
    // Asked for, not answering anything the host sent: no pause before it.
    for (Reply &r : replies) r.from_device = false;
    queue(replies);
}

int Sim::run() {
    fd_ = open_uart(o_.uart);
    if (fd_ < 0) return 1;
    if (!log_.open(o_.log)) fprintf(stderr, "simmodule: %s: %s (no frame log)\n", o_.log.c_str(), strerror(errno));
    if (!o_.control.empty()) {
        struct stat st;
        if (stat(o_.control.c_str(), &st) != 0) {
            if (mkfifo(o_.control.c_str(), 0600) == 0) made_fifo_ = true;
        } else if (!S_ISFIFO(st.st_mode)) {
            fprintf(stderr, "simmodule: %s is not a FIFO\n", o_.control.c_str());
            return 1;
        }
        // Read-write: the FIFO never reports end of file between writers.
        ctl_fd_ = open(o_.control.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (ctl_fd_ < 0) {
            fprintf(stderr, "simmodule: %s: %s\n", o_.control.c_str(), strerror(errno));
            return 1;
        }
    }
    say("on %s, %zu devices, control %s", o_.uart.c_str(), m_.devices.size(),
        o_.control.empty() ? "none" : o_.control.c_str());
    if (o_.announce) {
        std::vector<Reply> r;
        for (const Device &d : m_.devices) m_.report(d, r);
        queue(r);
    }
    while (!g_stop) {
        const uint64_t now = now_ms();
        int timeout = 1000;
        if (!out_.empty()) timeout = static_cast<int>(out_.front().due > now ? out_.front().due - now : 0);
        if (!in_.empty()) timeout = std::min(timeout, 20);
        struct pollfd pf[2] = {{fd_, static_cast<short>(POLLIN | (unsent_.empty() ? 0 : POLLOUT)), 0},
                               {ctl_fd_, POLLIN, 0}};
        int rc = poll(pf, ctl_fd_ >= 0 ? 2 : 1, timeout);
        if (rc < 0 && errno != EINTR) break;
        if (rc > 0 && (pf[0].revents & POLLOUT)) write_now({});
        if (rc > 0 && (pf[0].revents & POLLIN)) {
            uint8_t buf[2048];
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n > 0) on_bytes(buf, static_cast<size_t>(n));
            else if (n == 0 || (errno != EAGAIN && errno != EINTR)) usleep(50000);
        } else if (rc > 0 && (pf[0].revents & (POLLHUP | POLLERR))) {
            // Nobody holds the line's other end yet: wait for the host.
            usleep(50000);
        }
        if (rc > 0 && ctl_fd_ >= 0 && (pf[1].revents & POLLIN)) {
            char buf[1024];
            ssize_t n = read(ctl_fd_, buf, sizeof buf);
            if (n > 0) ctl_buf_.append(buf, static_cast<size_t>(n));
            size_t nl;
            while ((nl = ctl_buf_.find('\n')) != std::string::npos) {
                const std::string line = ctl_buf_.substr(0, nl);
                ctl_buf_.erase(0, nl + 1);
                on_control_line(line);
            }
            if (ctl_buf_.size() > 4096) ctl_buf_.clear();
        }
        if (!in_.empty() && now_ms() - last_in_ms_ >= 20) take_frames(true);
        pump();
    }
    say("stopping");
    if (ctl_fd_ >= 0) close(ctl_fd_);
    if (made_fifo_) unlink(o_.control.c_str());
    close(fd_);
    return 0;
}

bool load_devices(const std::string &path, Module &m) {
    FILE *f = fopen(path.c_str(), "r");
    if (!f) {
        fprintf(stderr, "simmodule: %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    char line[512];
    int no = 0;
    bool ok = true;
    while (fgets(line, sizeof line, f)) {
        ++no;
        std::string s = line;
        const size_t hash = s.find('#');
        if (hash != std::string::npos) s.resize(hash);
        const std::vector<std::string> w = words_of(s, ' ');
        if (w.empty()) continue;
        Device d;
        std::string err;
        if (!parse_device(w, d, err)) {
            fprintf(stderr, "simmodule: %s:%d: %s\n", path.c_str(), no, err.c_str());
            ok = false;
            break;
        }
        m.devices.push_back(d);
    }
    fclose(f);
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    Module m;
    orvi_log_level_set(ORVI_LOG_ERROR);
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto val = [&]() -> std::string {
            if (i + 1 >= argc) {
                fprintf(stderr, "simmodule: %s needs a value\n%s", a.c_str(), kUsage);
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 0;
        } else if (a == "--uart") {
            o.uart = val();
        } else if (a == "--board") {
            const std::string dir = val();
            o.uart = dir + "/vboard/uart/ttyS5.sock";
            if (!o.control_given) o.control = dir + "/vboard/state/simmodule.ctl";
        } else if (a == "--device") {
            Device d;
            std::string err;
            if (!parse_device(words_of(val(), ','), d, err)) {
                fprintf(stderr, "simmodule: --device: %s\n", err.c_str());
                return 2;
            }
            m.devices.push_back(d);
        } else if (a == "--devices") {
            if (!load_devices(val(), m)) return 2;
        } else if (a == "--mac") {
            Bytes mac;
            if (!parse_hex(val(), mac) || mac.size() != 6) {
                fprintf(stderr, "simmodule: --mac takes 12 hex digits\n");
                return 2;
            }
            memcpy(m.mac, mac.data(), 6);
        } else if (a == "--log") {
            o.log = val();
        } else if (a == "--control") {
            o.control = val();
            o.control_given = true;
        } else if (a == "--announce") {
            o.announce = true;
        } else if (a == "--gap") {
            o.pacing.gap_ms = static_cast<unsigned>(atoi(val().c_str()));
        } else if (a == "--delay") {
            o.pacing.delay_ms = static_cast<unsigned>(atoi(val().c_str()));
        } else if (a == "--join") {
            o.pacing.join = atoi(val().c_str()) != 0;
        } else if (a == "--split") {
            o.pacing.split = static_cast<size_t>(atoi(val().c_str()));
        } else if (a == "--noise") {
            o.pacing.noise = std::min<size_t>(static_cast<size_t>(atoi(val().c_str())), 4096);
        } else if (a == "--long") {
            m.long_len = std::min<size_t>(static_cast<size_t>(atoi(val().c_str())), 1024);
        } else {
            fprintf(stderr, "simmodule: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    for (size_t i = 0; i < m.devices.size(); ++i)
        for (size_t j = i + 1; j < m.devices.size(); ++j)
            if (m.devices[i].addr == m.devices[j].addr) {
                fprintf(stderr, "simmodule: address %u given twice\n", m.devices[i].addr);
                return 2;
            }
    if (!o.control_given && o.control.empty()) {
        struct stat st;
        if (stat("/vboard/state", &st) == 0 && S_ISDIR(st.st_mode)) o.control = "/vboard/state/simmodule.ctl";
    }
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    Sim sim(m, o);
    return sim.run();
}
