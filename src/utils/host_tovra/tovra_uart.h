// The link to the lighting module on its serial port: port set-up, the AT
// frames the host writes, the receive framing and the handlers of the frames
// the module sends. Frames are an ASCII keyword beginning "AT+" followed
// directly by raw bytes; nothing marks where a frame ends but the next
// "AT+", the keyword's known length, or the line falling quiet.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "orvi_log.h"

// ---- log switches of the lighting service ----
enum {
    TOVRA_DEBUG_ERROR = 0x01,
    TOVRA_DEBUG_LOG = 0x02,
    TOVRA_DEBUG_HEX = 0x04,
    TOVRA_DEBUG_JSON = 0x08,
};
// 0x0F at start; the log-level file changes it.
extern std::atomic<uint8_t> tovra_debug;
#define TOVRA_LOG(bit, fmt, ...)                                                  \
    do {                                                                          \
        if (tovra_debug.load(std::memory_order_relaxed) & (bit))                  \
            orvi_log_write((bit) == TOVRA_DEBUG_ERROR ? 'E' : 'I', __func__, __LINE__, \
                           fmt, ##__VA_ARGS__);                                   \
    } while (0)

#define TOVRA_ATDATA_MAX 50
#define TOVRA_ATCMD_MAX 20
#define TOVRA_REQID_MAX 128
// Longest frame the receive side hands to a handler.
#define TOVRA_FRAME_MAX 100
#define TOVRA_REASSEMBLY_MAX 1024

// One command waiting to be sent.
typedef struct tovra_msg_s {
    uint16_t addr;
    char atcmd[TOVRA_ATCMD_MAX];
    uint8_t atdata[TOVRA_ATDATA_MAX];
    uint8_t atlen;  // never above TOVRA_ATDATA_MAX
    uint8_t repeat_times;
    uint8_t scene_set_flag;
    char scene_reqId[TOVRA_REQID_MAX];
    uint8_t scene_bind;
} tovra_msg_t;

// One received frame.
typedef struct tovra_data_buf_s {
    uint16_t data_len;
    uint8_t data[TOVRA_FRAME_MAX + 1];  // one more for the terminating NUL
} tovra_data_buf_t;

// ---- serial port ----
// The open port, -1 while none: written by start-up, read by the writer and
// the receive thread.
extern std::atomic<int> tovra_uart_fd;
int uart_open_device(const char *path);
// 0, or -1 for a speed outside the table or a failed tcsetattr.
int uart_speed_set(int fd, int speed);
// 0, or -1 (the reason logged).
int uart_parity_set(int fd, int data_bits, int stop_bits, int parity);
// The descriptor, or -1.
int uart_open(const char *path, int speed, int data_bits, int stop_bits, int parity);

// ---- hex helpers ----
// Two lower-case digits a byte into `des` (cleared first); 0 when `des` is
// too small, else the number of digits written.
int HexToString(const uint8_t *src, int srclen, char *des, int deslen);
// Pairs of hex digits from `src` into the `deslen` bytes of `des` (cleared
// first); 0 when `src` holds too few digits or a non-digit comes first, else
// `deslen`.
int StringToHex(const char *src, int srclen, uint8_t *des, int deslen);

// ---- send side ----
typedef int (*tovra_send_fn)(const tovra_msg_t *msg);
int at_type_msg_send(const tovra_msg_t *msg);
int at_setinfo_msg_send(const tovra_msg_t *msg);
int at_pairstart_msg_send(const tovra_msg_t *msg);
int at_pairsave_msg_send(const tovra_msg_t *msg);
int at_pairstop_msg_send(const tovra_msg_t *msg);
int at_ctrl_msg_send(const tovra_msg_t *msg);
int at_monitor_msg_send(const tovra_msg_t *msg);
int at_bypass_msg_send(const tovra_msg_t *msg);
int at_ihg_msg_send(const tovra_msg_t *msg);
// The send function of a queued `atcmd` (exact compare), or null.
tovra_send_fn tovra_send_lookup(const char *atcmd);
// Builds the frame of `msg` into `out`; its length, or -1 for a command
// outside the send table or a frame that would not fit.
int tovra_frame_build(const tovra_msg_t *msg, uint8_t *out, size_t cap);

// The module's MAC, 12 lower-case hex digits, empty until "AT+RSPC".
std::string tovra_link_module_mac(void);

// ---- scene ids the host broadcast itself during the last second ----
void send_scene_id_add(uint32_t sceneid);
bool send_scene_id_recent(uint32_t sceneid);
// The 100 ms countdown of those ids.
void timer_100ms_handle(void);
void send_scene_ids_clear(void);

// The remembered ids of the scene key presses.
uint32_t tovra_trivox_scene_id(void);
void tovra_trivox_scene_id_clear(void);
// A scene the host itself ran: remembered as the trivox scene id.
void tovra_trivox_scene_id_set(uint32_t id);
uint32_t tovra_default_scene_id(void);

// ---- receive side ----
typedef void (*tovra_frame_sink)(const tovra_data_buf_t *buf);

// Cuts a byte stream into frames. A frame runs from one "AT+" to the next;
// the last one of a read stays pending until it is known to be whole: its
// keyword's fixed length is reached, the next "AT+" arrives, or the line
// falls quiet (flush). So a frame split across two reads is joined, and
// nothing is cut short or overruns: a frame longer than TOVRA_FRAME_MAX is
// dropped with a log line.
class tovra_framer {
  public:
    explicit tovra_framer(tovra_frame_sink sink) : sink_(sink) {}
    void feed(const uint8_t *data, size_t len);
    // Hands over the pending frame (the line fell quiet).
    void flush(void);
    bool pending(void) const { return fill_ > 0; }
    void reset(void) { fill_ = 0; }

  private:
    void scan(bool quiet);
    void emit(const uint8_t *p, size_t n);
    tovra_frame_sink sink_;
    uint8_t buf_[TOVRA_REASSEMBLY_MAX];
    size_t fill_ = 0;
};

// Frames one read into the link's own framer (dispatching to
// tovra_recv_data_handle).
void tovra_uart_data_check(const uint8_t *data, size_t len);
// Dispatches one frame through the receive table.
void tovra_recv_data_handle(const tovra_data_buf_t *buf);
// One step of the receive thread: waits up to `wait_ms` for bytes on `fd`
// and frames them; a pending frame is flushed when the line stays quiet.
// -1 on a wait or read error, else the bytes read.
int tovra_uart_read_once(int fd, int wait_ms);
// Starts the detached receive thread on tovra_uart_fd; 0, or -1.
int tovra_recv_thread_create(void);

// The handlers of the receive table.
void at_acktype_msg_recv(const uint8_t *data, int len);
void at_ackset_msg_recv(const uint8_t *data, int len);
void at_ackstart_msg_recv(const uint8_t *data, int len);
void at_pairsucc_msg_recv(const uint8_t *data, int len);
void at_acksave_msg_recv(const uint8_t *data, int len);
void at_ackstop_msg_recv(const uint8_t *data, int len);
void at_ackctrl_msg_recv(const uint8_t *data, int len);
void at_ackmon_msg_recv(const uint8_t *data, int len);
void at_ackbyp_msg_recv(const uint8_t *data, int len);
void at_ackihg_msg_recv(const uint8_t *data, int len);
void at_mdata_msg_recv(const uint8_t *data, int len);
void at_rspc_recv(const uint8_t *data, int len);
void at_scene_msg_recv(const uint8_t *data, int len);

// The number of status bytes of a model's status record (0 for a model
// outside the table).
int tovra_mdata_status_len(const char *mid);
