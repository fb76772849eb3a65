#include "tovra_uart.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <bitset>
#include <cerrno>
#include <cstring>

#include "orvi_lock_order.h"
#include "orvi_port.h"
#include "orvi_product.h"
#include "orvi_system.h"
#include "tovra_hooks.h"
#include "tovra_queue.h"

std::atomic<uint8_t> tovra_debug{0x0F};
std::atomic<int> tovra_uart_fd{-1};

// The module's MAC and the scene ids the host broadcast itself: written by
// the receive thread, the builders and the 100 ms tick.
orvi::Mutex tovra_link_mu;

namespace {

constexpr int kSentSceneSlots = 1024;
// Tenths of a second an id the host broadcast stays "its own".
constexpr int kSentSceneTicks = 10;

struct sent_scene {
    uint32_t sceneid;
    int32_t time;
};
sent_scene g_sent[kSentSceneSlots] GUARDED_BY(tovra_link_mu);
char g_fa_mac[13] GUARDED_BY(tovra_link_mu) = "";
// Deleted devices already sent their resets: their further status frames
// draw no more.
std::bitset<65536> g_reset_sent GUARDED_BY(tovra_link_mu);

std::atomic<uint32_t> g_trivox_scene_id{0};
std::atomic<uint32_t> g_default_scene_id{0};

void hex_dump(const char *title, const uint8_t *p, size_t n) {
    if (!(tovra_debug.load(std::memory_order_relaxed) & TOVRA_DEBUG_HEX))
        return;
    char text[3 * TOVRA_FRAME_MAX + 16];
    size_t at = 0;
    for (size_t i = 0; i < n && at + 4 < sizeof text; i++)
        at += (size_t)snprintf(text + at, sizeof text - at, "%02x ", p[i]);
    text[at] = '\0';
    orvi_log_write('D', __func__, __LINE__, "%s%s", title, text);
}

// First "AT+" in p[from, n), or n.
size_t find_marker(const uint8_t *p, size_t n, size_t from) {
    for (size_t i = from; i + 3 <= n; i++)
        if (p[i] == 'A' && p[i + 1] == 'T' && p[i + 2] == '+')
            return i;
    return n;
}

// How many bytes at the end of p[0, n) could begin a marker ("A", "AT").
size_t marker_prefix_at_end(const uint8_t *p, size_t n) {
    if (n >= 2 && p[n - 2] == 'A' && p[n - 1] == 'T')
        return 2;
    if (n >= 1 && p[n - 1] == 'A')
        return 1;
    return 0;
}

bool has_keyword(const uint8_t *p, size_t n, const char *kw) {
    size_t k = strlen(kw);
    if (k > n)
        return false;
    for (size_t i = 0; i + k <= n; i++)
        if (memcmp(p + i, kw, k) == 0)
            return true;
    return false;
}

bool starts_with(const uint8_t *p, size_t n, const char *kw) {
    size_t k = strlen(kw);
    return n >= k && memcmp(p, kw, k) == 0;
}

// Frames whose keyword fixes their length: whole as soon as that many bytes
// are in.
struct fixed_frame {
    const char *kw;
    size_t len;
};
const fixed_frame kFixed[] = {
    {"AT+ACKTYPE", 10}, {"AT+ACKSET", 9},  {"AT+ACKSTART", 11}, {"AT+ACKSAVE", 10},
    {"AT+ACKSTOP", 11}, {"AT+ACKCTRL", 10}, {"AT+ACKMON", 9},    {"AT+ACKBYP", 9},
};

size_t fixed_length(const uint8_t *p, size_t n) {
    for (const auto &f : kFixed)
        if (starts_with(p, n, f.kw))
            return f.len;
    return 0;
}

}  // namespace

// ---------------------------------------------------------------- serial port

int uart_open_device(const char *path) {
    if (path == nullptr)
        return -1;
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        TOVRA_LOG(TOVRA_DEBUG_ERROR, "open %s: %s", path, strerror(errno));
    return fd;
}

int uart_speed_set(int fd, int speed) {
    static const struct {
        int baud;
        speed_t code;
    } speeds[] = {{38400, B38400}, {19200, B19200}, {9600, B9600}, {4800, B4800},
                  {2400, B2400},   {1200, B1200},   {300, B300}};
    for (const auto &s : speeds) {
        if (s.baud != speed)
            continue;
        struct termios opt;
        if (tcgetattr(fd, &opt) != 0) {
            ORVI_LOGE("tcgetattr fd ");
            return -1;
        }
        tcflush(fd, TCIOFLUSH);
        cfsetispeed(&opt, s.code);
        cfsetospeed(&opt, s.code);
        if (tcsetattr(fd, TCSANOW, &opt) != 0) {
            ORVI_LOGE("tcsetattr fd ");
            return -1;
        }
        tcflush(fd, TCIOFLUSH);
        return 0;
    }
    return -1;
}

int uart_parity_set(int fd, int data_bits, int stop_bits, int parity) {
    struct termios opt;
    if (tcgetattr(fd, &opt) != 0) {
        ORVI_LOGE("tcgetattr fd error ");
        return -1;
    }
    opt.c_cflag |= CLOCAL | CREAD;
    opt.c_cflag &= ~CSIZE;
    switch (data_bits) {
    case 7:
        opt.c_cflag |= CS7;
        break;
    case 8:
        opt.c_cflag |= CS8;
        break;
    default:
        ORVI_LOGE("Unsupported data size.");
        return -1;
    }
    switch (parity) {
    case 'n':
    case 'N':
        opt.c_cflag &= ~PARENB;
        opt.c_iflag &= ~INPCK;
        break;
    case 'o':
    case 'O':
        opt.c_cflag |= PARENB | PARODD;
        opt.c_iflag |= INPCK;
        break;
    case 'e':
    case 'E':
        opt.c_cflag |= PARENB;
        opt.c_cflag &= ~PARODD;
        opt.c_iflag |= INPCK;
        break;
    case 's':
    case 'S':
        opt.c_cflag &= ~PARENB;
        opt.c_cflag &= ~CSTOPB;
        break;
    default:
        ORVI_LOGE("Unsupported parity.");
        return -1;
    }
    switch (stop_bits) {
    case 1:
        opt.c_cflag &= ~CSTOPB;
        break;
    case 2:
        opt.c_cflag |= CSTOPB;
        break;
    default:
        ORVI_LOGE("Unsupported stopbits.");
        return -1;
    }
    opt.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    opt.c_oflag &= ~(OPOST | ONLCR | OCRNL);
    opt.c_iflag &= ~(IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR);
    opt.c_cc[VMIN] = 0;
    opt.c_cc[VTIME] = 0;
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &opt) != 0) {
        ORVI_LOGE("tcsetattr fd error ");
        return -1;
    }
    return 0;
}

int uart_open(const char *path, int speed, int data_bits, int stop_bits, int parity) {
    int fd = uart_open_device(path);
    if (fd < 0)
        return -1;
    if (uart_speed_set(fd, speed) != 0) {
        ORVI_LOGE("set uart_speed_set faield ");
        close(fd);
        return -1;
    }
    if (uart_parity_set(fd, data_bits, stop_bits, parity) != 0) {
        ORVI_LOGE("set uart_parity_set faield ");
        close(fd);
        return -1;
    }
    return fd;
}

// ---------------------------------------------------------------- hex helpers

int HexToString(const uint8_t *src, int srclen, char *des, int deslen) {
    if (des == nullptr || deslen <= 0 || srclen < 0 || (srclen > 0 && src == nullptr))
        return 0;
    memset(des, 0, (size_t)deslen);
    // Room for the digits and the terminating NUL.
    if (deslen < 2 * srclen + 1)
        return 0;
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < srclen; i++) {
        des[2 * i] = digits[src[i] >> 4];
        des[2 * i + 1] = digits[src[i] & 0x0F];
    }
    return 2 * srclen;
}

static int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int StringToHex(const char *src, int srclen, uint8_t *des, int deslen) {
    if (des == nullptr || deslen <= 0 || src == nullptr || srclen < 0)
        return 0;
    memset(des, 0, (size_t)deslen);
    if (srclen < 2 * deslen)
        return 0;
    for (int i = 0; i < deslen; i++) {
        int hi = hex_digit(src[2 * i]);
        int lo = hex_digit(src[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            memset(des, 0, (size_t)deslen);
            return 0;
        }
        des[i] = (uint8_t)(hi << 4 | lo);
    }
    return deslen;
}

// ---------------------------------------------------------------- send side

namespace {

struct frame_writer {
    uint8_t *out;
    size_t cap;
    size_t n = 0;
    bool overflow = false;
    void put(const void *p, size_t len) {
        if (n + len > cap) {
            overflow = true;
            return;
        }
        memcpy(out + n, p, len);
        n += len;
    }
    void put(const char *s) { put(s, strlen(s)); }
    void put(uint8_t b) { put(&b, 1); }
    int done() const { return overflow ? -1 : (int)n; }
};

size_t payload_len(const tovra_msg_t *msg) {
    return msg->atlen <= TOVRA_ATDATA_MAX ? msg->atlen : TOVRA_ATDATA_MAX;
}

}  // namespace

int tovra_frame_build(const tovra_msg_t *msg, uint8_t *out, size_t cap) {
    if (msg == nullptr || out == nullptr)
        return -1;
    frame_writer w{out, cap};
    size_t n = payload_len(msg);
    if (strcmp(msg->atcmd, "AT+TYPE") == 0) {
        static const uint8_t tail[] = {0x2F, 0xAD, 0x2F, 0xAD};
        w.put("AT+TYPE");
        w.put(tail, sizeof tail);
    } else if (strcmp(msg->atcmd, "AT+SETINFO") == 0) {
        std::string key = product_get_Qnetkey();
        uint8_t k[4];
        // The key is the home network's secret: the log shows only that it is there.
        TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA][fa_key]%s", key.empty() ? "(none)" : "********");
        if (StringToHex(key.c_str(), (int)key.size(), k, 4) != 4) {
            // A key the module would take as zeros cuts the lights off the
            // home network: better no frame than that one.
            TOVRA_LOG(TOVRA_DEBUG_ERROR, "[TOVRA]network key of %zu characters is not 8 hex digits: AT+SETINFO not sent",
                      key.size());
            return -1;
        }
        w.put("AT+SETINFO");
        w.put((uint8_t)0x06);
        w.put(k, 4);
        w.put((uint8_t)0x01);
        w.put((uint8_t)0x00);
    } else if (strcmp(msg->atcmd, "AT+PAIRSTART") == 0) {
        w.put("AT+PAIRSTART 7");
    } else if (strcmp(msg->atcmd, "AT+PAIRSAVE") == 0) {
        w.put("AT+PAIRSAVE");
    } else if (strcmp(msg->atcmd, "AT+PAIRSTOP") == 0) {
        w.put("AT+PAIRSTOP");
    } else if (strcmp(msg->atcmd, "AT+CTRL") == 0) {
        w.put("AT+CTRL");
        w.put(msg->atdata, n);
    } else if (strcmp(msg->atcmd, "AT+MONITOR ") == 0) {
        w.put("AT+MONITOR 3");
    } else if (strcmp(msg->atcmd, "AT+BYPASS") == 0) {
        w.put("AT+BYPASS");
        w.put(msg->atdata, n);
    } else if (strcmp(msg->atcmd, "AT+IHG") == 0) {
        w.put("AT+IHG");
        w.put((uint8_t)n);
        w.put(msg->atdata, n);
    } else {
        return -1;
    }
    return w.done();
}

static int frame_send(const char *who, const tovra_msg_t *msg) {
    uint8_t frame[TOVRA_ATCMD_MAX + TOVRA_ATDATA_MAX + 8] = {};
    int n = tovra_frame_build(msg, frame, sizeof frame);
    if (n < 0)
        return -1;
    hex_dump("[TOVRA]DATA:", frame, (size_t)n);
    ssize_t w = write(tovra_uart_fd.load(std::memory_order_relaxed), frame, (size_t)n);
    if (w != n) {
        TOVRA_LOG(TOVRA_DEBUG_ERROR, "[%s]write data error", who);
        return -1;
    }
    return 0;
}

int at_type_msg_send(const tovra_msg_t *msg) {
    return frame_send(__func__, msg);
}
int at_setinfo_msg_send(const tovra_msg_t *msg) {
    return frame_send(__func__, msg);
}
int at_pairstart_msg_send(const tovra_msg_t *msg) {
    return frame_send(__func__, msg);
}
int at_pairsave_msg_send(const tovra_msg_t *msg) {
    return frame_send(__func__, msg);
}
int at_pairstop_msg_send(const tovra_msg_t *msg) {
    return frame_send(__func__, msg);
}
int at_ctrl_msg_send(const tovra_msg_t *msg) {
    return frame_send(__func__, msg);
}
int at_monitor_msg_send(const tovra_msg_t *msg) {
    return frame_send(__func__, msg);
}
int at_bypass_msg_send(const tovra_msg_t *msg) {
    return frame_send(__func__, msg);
}
int at_ihg_msg_send(const tovra_msg_t *msg) {
    int rc = frame_send(__func__, msg);
    if (msg->atlen >= 1 && msg->atdata[0] == 0xFF) {
        tovra_scene_lock3_flag.store(1, std::memory_order_relaxed);
        TOVRA_HOOK(scene_lock3_send)(1);
    }
    return rc;
}

namespace {
const struct {
    const char *kw;
    tovra_send_fn fn;
} handle_list[] = {
    {"AT+TYPE", at_type_msg_send},   {"AT+SETINFO", at_setinfo_msg_send},   {"AT+PAIRSTART", at_pairstart_msg_send},
    {"AT+PAIRSAVE", at_pairsave_msg_send}, {"AT+PAIRSTOP", at_pairstop_msg_send}, {"AT+CTRL", at_ctrl_msg_send},
    {"AT+MONITOR ", at_monitor_msg_send},  {"AT+BYPASS", at_bypass_msg_send},     {"AT+IHG", at_ihg_msg_send},
};
}  // namespace

tovra_send_fn tovra_send_lookup(const char *atcmd) {
    if (atcmd == nullptr)
        return nullptr;
    for (const auto &h : handle_list)
        if (strncmp(h.kw, atcmd, TOVRA_ATCMD_MAX) == 0)
            return h.fn;
    return nullptr;
}

std::string tovra_link_module_mac(void) {
    orvi::MutexLock l(tovra_link_mu);
    return g_fa_mac;
}

// ---------------------------------------------------------------- sent scenes

void send_scene_id_add(uint32_t sceneid) {
    orvi::MutexLock l(tovra_link_mu);
    for (auto &s : g_sent) {
        if (s.sceneid == 0) {
            s.sceneid = sceneid;
            s.time = kSentSceneTicks;
            return;
        }
    }
    TOVRA_LOG(TOVRA_DEBUG_ERROR, "[TOVRA]sent scene list is full: %u not kept", sceneid);
}

bool send_scene_id_recent(uint32_t sceneid) {
    orvi::MutexLock l(tovra_link_mu);
    for (const auto &s : g_sent)
        if (s.sceneid != 0 && s.sceneid == sceneid)
            return true;
    return false;
}

void timer_100ms_handle(void) {
    orvi::MutexLock l(tovra_link_mu);
    for (auto &s : g_sent) {
        if (s.sceneid == 0)
            continue;
        if (--s.time <= 0) {
            s.sceneid = 0;
            s.time = 0;
        }
    }
}

void send_scene_ids_clear(void) {
    orvi::MutexLock l(tovra_link_mu);
    for (auto &s : g_sent)
        s = sent_scene{0, 0};
    g_reset_sent.reset();
    g_fa_mac[0] = '\0';
}

uint32_t tovra_trivox_scene_id(void) {
    return g_trivox_scene_id.load(std::memory_order_relaxed);
}
void tovra_trivox_scene_id_set(uint32_t id) {
    g_trivox_scene_id.store(id, std::memory_order_relaxed);
}

void tovra_trivox_scene_id_clear(void) {
    g_trivox_scene_id.store(0, std::memory_order_relaxed);
}
uint32_t tovra_default_scene_id(void) {
    return g_default_scene_id.load(std::memory_order_relaxed);
}

// ---------------------------------------------------------------- framing

void tovra_framer::emit(const uint8_t *p, size_t n) {
    if (n > TOVRA_FRAME_MAX) {
        TOVRA_LOG(TOVRA_DEBUG_ERROR, "[TOVRA]frame of %zu bytes is longer than %d: dropped", n, TOVRA_FRAME_MAX);
        hex_dump("[TOVRA]error data: ", p, n < TOVRA_FRAME_MAX ? n : TOVRA_FRAME_MAX);
        return;
    }
    tovra_data_buf_t buf;
    memset(&buf, 0, sizeof buf);
    memcpy(buf.data, p, n);
    buf.data_len = (uint16_t)n;
    sink_(&buf);
}

void tovra_framer::scan(bool quiet) {
    size_t start = find_marker(buf_, fill_, 0);
    if (start == fill_) {
        // No frame begins here. Keep what may be the first bytes of the next
        // marker; the rest is noise.
        size_t keep = quiet ? 0 : marker_prefix_at_end(buf_, fill_);
        if (fill_ > keep) {
            TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA]tovra_uart_data_check data is error!");
            hex_dump("[TOVRA]error data: ", buf_, fill_ - keep);
        }
        memmove(buf_, buf_ + fill_ - keep, keep);
        fill_ = keep;
        return;
    }
    if (start > 0) {
        memmove(buf_, buf_ + start, fill_ - start);
        fill_ -= start;
    }
    // buf_ begins with a marker: hand over every frame that the next marker ends.
    for (;;) {
        size_t next = find_marker(buf_, fill_, 3);
        if (next == fill_)
            break;
        emit(buf_, next);
        memmove(buf_, buf_ + next, fill_ - next);
        fill_ -= next;
    }
    // The last frame: whole at its fixed length, or when the line is quiet.
    size_t want = fixed_length(buf_, fill_);
    size_t partial = marker_prefix_at_end(buf_, fill_);
    if (quiet) {
        emit(buf_, fill_);
        fill_ = 0;
    } else if (want != 0 && (fill_ == want || (fill_ > want && fill_ - partial == want))) {
        emit(buf_, want);
        memmove(buf_, buf_ + want, fill_ - want);
        fill_ -= want;
    } else if (fill_ > TOVRA_FRAME_MAX + 2) {
        // Longer than any frame (and its next marker's first bytes) can be.
        emit(buf_, fill_);
        fill_ = 0;
    }
}

void tovra_framer::feed(const uint8_t *data, size_t len) {
    if (data == nullptr)
        return;
    hex_dump("[TOVRA]tovra_uart_data_check_data: ", data, len);
    while (len > 0) {
        size_t room = sizeof buf_ - fill_;
        size_t take = len < room ? len : room;
        memcpy(buf_ + fill_, data, take);
        fill_ += take;
        data += take;
        len -= take;
        scan(false);
    }
}

void tovra_framer::flush(void) {
    if (fill_ > 0)
        scan(true);
}

namespace {
tovra_framer g_framer(tovra_recv_data_handle);  // the receive thread's alone
}

void tovra_uart_data_check(const uint8_t *data, size_t len) {
    g_framer.feed(data, len);
}

int tovra_uart_read_once(int fd, int wait_ms) {
    // A pending frame is whole once the line stays quiet for a few bytes'
    // time (a byte takes about 0.26 ms at 38400 baud).
    const int kQuietMs = 20;
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, g_framer.pending() ? kQuietMs : wait_ms);
    if (r < 0) {
        if (errno == EINTR)
            return 0;
        TOVRA_LOG(TOVRA_DEBUG_ERROR, "[TOVRA]select error: %s", strerror(errno));
        return -1;
    }
    if (r == 0) {
        g_framer.flush();
        return 0;
    }
    uint8_t data[TOVRA_REASSEMBLY_MAX];
    ssize_t n = read(fd, data, sizeof data);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return 0;
        TOVRA_LOG(TOVRA_DEBUG_ERROR, "[TOVRA]read error: %s", strerror(errno));
        return -1;
    }
    if (n == 0) {
        // The other end is gone (a pseudo-terminal's peer closed).
        g_framer.flush();
        return -1;
    }
    g_framer.feed(data, (size_t)n);
    return (int)n;
}

static void *tovra_recv_cb(void *) {
    for (;;) {
        if (tovra_uart_read_once(tovra_uart_fd.load(std::memory_order_relaxed), 3000) < 0)
            orvi_port_sleep_ms(10);
    }
    return nullptr;
}

int tovra_recv_thread_create(void) {
    pthread_t tid;
    if (orvi_pthread_create_detach(&tid, nullptr, tovra_recv_cb, nullptr, "tovra_recv_cb") != 0) {
        TOVRA_LOG(TOVRA_DEBUG_ERROR, "[%s]create failed", __func__);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------- dispatch

namespace {
typedef void (*recv_fn)(const uint8_t *, int);
// Accepted lengths: lo..hi, or `alt`; hi 0 means no upper bound.
const struct {
    const char *kw;
    recv_fn fn;
    int lo, hi, alt;
} recv_handle_list[] = {
    {"AT+ACKTYPE", at_acktype_msg_recv, 10, 10, 0},
    {"AT+ACKSET", at_ackset_msg_recv, 9, 9, 0},
    {"AT+ACKSTART", at_ackstart_msg_recv, 11, 11, 0},
    {"AT+PAIRSUCC", at_pairsucc_msg_recv, 11, 11, 19},
    {"AT+ACKSAVE", at_acksave_msg_recv, 10, 10, 0},
    // The module's acknowledgement carries one byte after its keyword.
    {"AT+ACKSTOP", at_ackstop_msg_recv, 11, 11, 0},
    {"AT+ACKCTRL", at_ackctrl_msg_recv, 10, 10, 0},
    {"AT+ACKMON", at_ackmon_msg_recv, 9, 9, 0},
    {"AT+ACKBYP", at_ackbyp_msg_recv, 9, 9, 0},
    {"AT+ACKIHG", at_ackihg_msg_recv, 0, 0, 0},
    {"AT+MDATA", at_mdata_msg_recv, 0, 0, 0},
    {"AT+RSPC", at_rspc_recv, 0, 0, 0},
    {"AT+SCENE", at_scene_msg_recv, 12, 0, 0},
};
}  // namespace

void tovra_recv_data_handle(const tovra_data_buf_t *buf) {
    if (buf == nullptr)
        return;
    size_t n = buf->data_len <= TOVRA_FRAME_MAX ? buf->data_len : TOVRA_FRAME_MAX;
    for (const auto &e : recv_handle_list) {
        if (!has_keyword(buf->data, n, e.kw))
            continue;
        TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA][tovra_recv_data]%s :", e.kw);
        hex_dump("[TOVRA]", buf->data, n);
        int len = (int)n;
        bool ok = (len >= e.lo && (e.hi == 0 || len <= e.hi)) || (e.alt != 0 && len == e.alt);
        if (!ok) {
            TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA]%s of %d bytes ignored", e.kw, len);
            return;
        }
        e.fn(buf->data, len);
        return;
    }
    TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA][tovra_recv_data]other cmd:");
}

// ---------------------------------------------------------------- handlers

void at_acktype_msg_recv(const uint8_t *, int) {
    tovra_queue_complete_main("AT+TYPE", true);
    at_monitor_msg_add_queue();
}
void at_ackset_msg_recv(const uint8_t *, int) {
    tovra_queue_complete_main("AT+SETINFO", true);
}
void at_ackstart_msg_recv(const uint8_t *, int) {
    tovra_queue_complete_main("AT+PAIRSTART", true);
}
void at_pairsucc_msg_recv(const uint8_t *, int) {
    TOVRA_HOOK(pair_send)(1);
    at_pairsave_msg_add_queue();
}
void at_acksave_msg_recv(const uint8_t *, int) {
    tovra_queue_complete_main("AT+PAIRSAVE", true);
    at_pairstop_msg_add_queue();
    at_monitor_msg_add_queue();
}
void at_ackstop_msg_recv(const uint8_t *, int) {
    tovra_queue_complete_main("AT+PAIRSTOP", true);
}
void at_ackctrl_msg_recv(const uint8_t *, int) {
    // The repeats end; the pause after the last write still runs out.
    tovra_queue_complete_main("AT+CTRL", false);
}
void at_ackmon_msg_recv(const uint8_t *, int) {
    tovra_queue_complete_main("AT+MONITOR ", true);
}
void at_ackbyp_msg_recv(const uint8_t *, int) {
    tovra_queue_complete_main("AT+BYPASS", true);
}
void at_ackihg_msg_recv(const uint8_t *, int) {
    // The module acknowledges every broadcast it takes, but only the repeats
    // of an "AT+IHG" reach the lights it did not reach the first time: the
    // acknowledgement ends a status query, never a broadcast's repeats.
    tovra_queue_complete_any("AT+BYPASS");
}

void at_rspc_recv(const uint8_t *data, int len) {
    if (len < 16) {
        TOVRA_LOG(TOVRA_DEBUG_ERROR, "[TOVRA]AT+RSPC of %d bytes holds no MAC: refused", len);
        return;
    }
    char mac[13];
    HexToString(data + 10, 6, mac, sizeof mac);
    orvi::MutexLock l(tovra_link_mu);
    memcpy(g_fa_mac, mac, sizeof g_fa_mac);
}

int tovra_mdata_status_len(const char *mid) {
    static const struct {
        const char *mid;
        int n;
    } lens[] = {
        {"80401", 5},  {"80601", 5},  {"80501", 8},  {"70711", 8},  {"70713", 8},  {"80802", 11},
        {"70314", 7},  {"70315", 7},  {"70361", 7},  {"70362", 7},  {"70710", 7},  {"70722", 7},
        {"70701", 4},  {"70702", 4},  {"70703", 4},  {"70704", 6},  {"80205", 6},  {"70720", 3},
        {"70721", 3},  {"70726", 3},  {"70723", 15}, {"70727", 2},
    };
    if (mid == nullptr)
        return 0;
    for (const auto &l : lens)
        if (strcmp(l.mid, mid) == 0)
            return l.n;
    return 0;
}

namespace {

constexpr int kMdataHead = 10;     // "AT+MDATA", address low byte, 0x00
constexpr int kMdataStatusAt = 15;  // first status byte of a raw frame

void mdata_unknown_device(uint16_t addr) {
    char mids[TOVRA_DELETED_MAX][16];
    int n = TOVRA_HOOK(deleted_lookup)(addr, mids, TOVRA_DELETED_MAX);
    if (n <= 0)
        return;
    if (TOVRA_HOOK(new_device_window_open)() != 0)
        return;
    {
        orvi::MutexLock l(tovra_link_mu);
        if (g_reset_sent.test(addr))
            return;
        g_reset_sent.set(addr);
    }
    for (int i = 0; i < n && i < TOVRA_DELETED_MAX; i++) {
        mids[i][15] = '\0';
        if (strcmp(mids[i], "80205") == 0) {
            TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA]device is unknown cube equipment");
            for (int k = 0; k < 3; k++)
                at_cube_reset_msg_queue(TOVRA_RESET_SCENE_ID, TOVRA_RESET_KEY_ID, addr);
        } else if (strcmp(mids[i], "80601") == 0) {
            TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA]device is unknown scene switch equipment");
            for (int k = 0; k < 3; k++)
                at_scene_switch_reset_msg_queue(TOVRA_RESET_SCENE_ID, TOVRA_RESET_KEY_ID, addr);
        } else {
            TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA]device is unknown equipment");
            for (int k = 0; k < 5; k++)
                at_ctrl_reset_msg_add_queue(addr);
        }
    }
}

void mark_online(const tovra_link_dev_t &dev) {
    if (dev.online == 0) {
        TOVRA_HOOK(device_set_online)(dev.addr);
        TOVRA_HOOK(online_change_raise)();
    }
}

void mdata_status(const uint8_t *data, int len, bool high, uint16_t addr) {
    uint8_t rec[kMdataHead + 16] = {'A', 'T', '+', 'M', 'D', 'A', 'T', 'A', data[13], 0x00};
    tovra_link_dev_t dev;
    if (high) {
        TOVRA_LOG(TOVRA_DEBUG_LOG, "mdata_recv is more than 256");
        if (len < kMdataStatusAt + 7) {
            TOVRA_LOG(TOVRA_DEBUG_ERROR, "[TOVRA]AT+MDATA of %d bytes is too short: refused", len);
            return;
        }
        memcpy(rec + kMdataHead, data + kMdataStatusAt, 7);
        memset(&dev, 0, sizeof dev);
        if (TOVRA_HOOK(device_lookup)(addr, &dev) == 0) {
            TOVRA_HOOK(host_status_event_send)(&dev, rec, kMdataHead + 7, 0);
            mark_online(dev);
        }
        return;
    }
    TOVRA_LOG(TOVRA_DEBUG_LOG, "mdata_recv is not more than 256");
    memset(&dev, 0, sizeof dev);
    if (TOVRA_HOOK(device_lookup)(addr, &dev) != 0) {
        mdata_unknown_device(addr);
        return;
    }
    {
        // Back in the table: a later deletion may draw its resets again.
        orvi::MutexLock l(tovra_link_mu);
        g_reset_sent.reset(addr);
    }
    dev.mid[sizeof dev.mid - 1] = '\0';
    int n = tovra_mdata_status_len(dev.mid);
    int need = kMdataStatusAt + (n > 2 ? n : 2);
    if (len < need) {
        TOVRA_LOG(TOVRA_DEBUG_ERROR, "[TOVRA]AT+MDATA of %d bytes from model %s is too short: refused", len,
                  dev.mid);
        return;
    }
    memcpy(rec + kMdataHead, data + kMdataStatusAt, (size_t)n);
    int reclen = kMdataHead + n;
    uint8_t K = data[kMdataStatusAt], S = data[kMdataStatusAt + 1];
    bool bind_model = strcmp(dev.mid, "80601") == 0 || strcmp(dev.mid, "80205") == 0;
    if (strcmp(dev.mid, "70727") == 0) {
        if (S == 0)
            TOVRA_HOOK(device_set_rowid)(addr, 30);
        else if (S == 1)
            TOVRA_HOOK(device_set_rowid)(addr, -1);
    }
    if ((K & 0x0F) == 3) {
        if (strcmp(dev.mid, "80205") == 0)
            TOVRA_HOOK(scene_bind_status_event_send)(&dev, "", 300);
    } else if ((K & 0x0F) == 2 || (K == 0x30 && S == 0x22)) {
        tovra_msg_t m;
        if (tovra_queue_confirm_scene(addr, bind_model, &m)) {
            m.scene_reqId[sizeof m.scene_reqId - 1] = '\0';
            if (!bind_model)
                TOVRA_HOOK(scene_set_status_event_send)(&dev, m.scene_reqId, 200);
            else if (m.scene_bind)
                TOVRA_HOOK(scene_bind_status_event_send)(&dev, m.scene_reqId, 200);
            else
                TOVRA_HOOK(scene_unbind_status_event_send)(&dev, m.scene_reqId, 200);
        }
    } else if (!(strcmp(dev.mid, "80205") == 0 && reclen <= 15)) {
        TOVRA_HOOK(host_status_event_send)(&dev, rec, reclen, 0);
    }
    mark_online(dev);
}

}  // namespace

void at_mdata_msg_recv(const uint8_t *data, int len) {
    if (data == nullptr || len < 14) {
        TOVRA_LOG(TOVRA_DEBUG_ERROR, "[TOVRA]AT+MDATA of %d bytes holds no address: refused", len);
        return;
    }
    bool high = data[9] == 0xC1;
    uint16_t addr = (uint16_t)(data[13] + (high ? 256 : 0));
    if (len >= 10 && len <= 39)
        mdata_status(data, len, high, addr);
    TOVRA_HOOK(pending_query_clear)(addr);
    TOVRA_HOOK(online_change_check_send)();
}

void at_scene_msg_recv(const uint8_t *data, int len) {
    if (data == nullptr || len < 12)
        return;
    uint8_t kind = data[8], b9 = data[9], b10 = data[10], b11 = data[11];
    uint32_t id = (uint32_t)b9 << 16 | (uint32_t)b10 << 8 | b11;
    if (kind == 2 && b9 == 0 && b10 == 9 && (b11 == 1 || b11 == 2))
        return;
    if (kind == 2) {
        TOVRA_HOOK(send_default_scene)(id);
        if (id != g_trivox_scene_id.load(std::memory_order_relaxed)) {
            g_trivox_scene_id.store(id, std::memory_order_relaxed);
            tm_1s.Scene_Status_Flag_Time.store(0x4001, std::memory_order_relaxed);
            TOVRA_HOOK(trivox2_sceneid_send)(id);
        }
    }
    if (b10 != 1) {
        if (send_scene_id_recent(id))
            return;
        if (kind == 2 && b10 == 0 && b11 <= 13)
            g_default_scene_id.store(id, std::memory_order_relaxed);
        else if (kind == 2)
            TOVRA_HOOK(trivox_sceneid_send)(id);
        return;
    }
    if (kind != 2)
        return;
    if (b11 == 1 || b11 == 2) {
        at_scene_test_ctrl_msg_add_queue(b11);
        TOVRA_HOOK(factory_default_scene)(b11 == 1 ? 1 : 0);
    } else if (b11 == 3 || b11 == 4) {
        TOVRA_HOOK(factory_default_scene)(b11 == 3 ? 1 : 0);
        TOVRA_HOOK(factory_cmd_publish)(b11 == 3 ? "on" : "off");
    }
}
