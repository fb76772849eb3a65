/* The simulated model "90001": a plug with a relay and a dimmer. Its binary
 * frames are shared by the model's codec plug-in (tools/codec_sample) and the
 * simulated LAN device, so both sides read them from here. Plain C, usable
 * from C and C++; every function is a bounded, stateless inline.
 *
 * Frames (all multi-byte values are single bytes):
 *  - status, reported Base64-encoded in "binStatus":
 *      [0xA5, pow (0/1), lum (0..100), flags]
 *  - command, sent Base64-encoded in {"t":"binCmd","bin":"..."}:
 *      [0x5A, mask, pow, lum, freq]
 *    mask bit0: set pow; bit1: set lum; bit2: set the report period to freq
 *    seconds (1..255). Bytes whose bit is clear carry the device's last known
 *    value (0 for freq) and must be ignored by the device.
 *  - sub-subdevice event, reported Base64-encoded in "binEvent":
 *      [0xE5, code]  (code 1: key pressed, 2: overload; others passed on)
 *  A sub-subdevice behind a gateway reports its status in the status frame.
 */
#ifndef ORVI_SAMPLE_MODEL_H
#define ORVI_SAMPLE_MODEL_H

#include <stddef.h>
#include <stdint.h>

#define SAMPLE_MODEL_MID "90001"

#define SAMPLE_STATUS_MAGIC 0xA5
#define SAMPLE_STATUS_LEN 4
#define SAMPLE_CMD_MAGIC 0x5A
#define SAMPLE_CMD_LEN 5
#define SAMPLE_EVENT_MAGIC 0xE5
#define SAMPLE_EVENT_LEN 2

#define SAMPLE_MASK_POW 0x01u
#define SAMPLE_MASK_LUM 0x02u
#define SAMPLE_MASK_FREQ 0x04u
#define SAMPLE_MASK_ALL (SAMPLE_MASK_POW | SAMPLE_MASK_LUM | SAMPLE_MASK_FREQ)

#define SAMPLE_LUM_MAX 100
#define SAMPLE_FREQ_MIN 1
#define SAMPLE_FREQ_MAX 255

/* Option names of the model's JSON commands and status columns. */
#define SAMPLE_OPT_POW "Pow"
#define SAMPLE_OPT_LUM "Lum"
#define SAMPLE_OPT_FREQ "ReportFreq"
#define SAMPLE_COL_EVENT "Evt"

typedef struct sample_status_s {
    uint8_t pow;
    uint8_t lum;
    uint8_t flags;
} sample_status_t;

typedef struct sample_cmd_s {
    uint8_t mask;
    uint8_t pow;
    uint8_t lum;
    uint8_t freq;
} sample_cmd_t;

static inline void sample_status_encode(const sample_status_t *s, uint8_t out[SAMPLE_STATUS_LEN]) {
    out[0] = SAMPLE_STATUS_MAGIC;
    out[1] = s->pow;
    out[2] = s->lum;
    out[3] = s->flags;
}

/* 0, or -1 for a frame of the wrong size, magic or value range. */
static inline int sample_status_decode(const uint8_t *in, size_t len, sample_status_t *s) {
    if (!in || len != SAMPLE_STATUS_LEN || in[0] != SAMPLE_STATUS_MAGIC) return -1;
    if (in[1] > 1 || in[2] > SAMPLE_LUM_MAX) return -1;
    s->pow = in[1];
    s->lum = in[2];
    s->flags = in[3];
    return 0;
}

static inline void sample_cmd_encode(const sample_cmd_t *c, uint8_t out[SAMPLE_CMD_LEN]) {
    out[0] = SAMPLE_CMD_MAGIC;
    out[1] = c->mask;
    out[2] = c->pow;
    out[3] = c->lum;
    out[4] = c->freq;
}

/* 0, or -1 for a frame of the wrong size or magic, an empty or unknown mask,
 * or a value out of range for a bit that is set. */
static inline int sample_cmd_decode(const uint8_t *in, size_t len, sample_cmd_t *c) {
    if (!in || len != SAMPLE_CMD_LEN || in[0] != SAMPLE_CMD_MAGIC) return -1;
    if (in[1] == 0 || (in[1] & ~SAMPLE_MASK_ALL) != 0) return -1;
    if ((in[1] & SAMPLE_MASK_POW) && in[2] > 1) return -1;
    if ((in[1] & SAMPLE_MASK_LUM) && in[3] > SAMPLE_LUM_MAX) return -1;
    if ((in[1] & SAMPLE_MASK_FREQ) && in[4] < SAMPLE_FREQ_MIN) return -1;
    c->mask = in[1];
    c->pow = in[2];
    c->lum = in[3];
    c->freq = in[4];
    return 0;
}

/* What a device does with a command: the bits that are set replace the
 * status (and the report period, when `freq` is given). */
static inline void sample_cmd_apply(const sample_cmd_t *c, sample_status_t *s, uint8_t *freq) {
    if (c->mask & SAMPLE_MASK_POW) s->pow = c->pow;
    if (c->mask & SAMPLE_MASK_LUM) s->lum = c->lum;
    if ((c->mask & SAMPLE_MASK_FREQ) && freq) *freq = c->freq;
}

/* 0, or -1 for a frame of the wrong size or magic. */
static inline int sample_event_decode(const uint8_t *in, size_t len, uint8_t *code) {
    if (!in || len != SAMPLE_EVENT_LEN || in[0] != SAMPLE_EVENT_MAGIC) return -1;
    *code = in[1];
    return 0;
}

/* Standard Base64 with "=" fill. Writes the text and its terminator into
 * `out` (capacity `cap`); returns its length, or -1 when it does not fit. */
static inline int sample_b64_encode(const uint8_t *in, size_t len, char *out, size_t cap) {
    static const char abc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t need = (len + 2) / 3 * 4;
    size_t i, o = 0;
    if (!out || need >= cap || (len && !in)) return -1;
    for (i = 0; i + 2 < len; i += 3) {
        uint32_t v = ((uint32_t)in[i] << 16) | ((uint32_t)in[i + 1] << 8) | in[i + 2];
        out[o++] = abc[(v >> 18) & 63];
        out[o++] = abc[(v >> 12) & 63];
        out[o++] = abc[(v >> 6) & 63];
        out[o++] = abc[v & 63];
    }
    if (i < len) {
        uint32_t v = (uint32_t)in[i] << 16;
        if (i + 1 < len) v |= (uint32_t)in[i + 1] << 8;
        out[o++] = abc[(v >> 18) & 63];
        out[o++] = abc[(v >> 12) & 63];
        out[o++] = i + 1 < len ? abc[(v >> 6) & 63] : '=';
        out[o++] = '=';
    }
    out[o] = '\0';
    return (int)o;
}

static inline int sample_b64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

/* Strict decoding of `len` characters: whole groups of four, "=" only as the
 * fill of the last group. Returns the byte count, or -1 for malformed text
 * or an output of more than `cap` bytes. */
static inline int sample_b64_decode(const char *in, size_t len, uint8_t *out, size_t cap) {
    size_t i, o = 0;
    if (!in || !out || len % 4 != 0) return -1;
    for (i = 0; i < len; i += 4) {
        int v[4], k, fill = 0;
        for (k = 0; k < 4; ++k) {
            char c = in[i + k];
            if (c == '=' && i + 4 == len && k >= 2) {
                v[k] = 0;
                ++fill;
                continue;
            }
            if (fill) return -1; /* data after fill */
            v[k] = sample_b64_value(c);
            if (v[k] < 0) return -1;
        }
        {
            uint32_t w =
                ((uint32_t)v[0] << 18) | ((uint32_t)v[1] << 12) | ((uint32_t)v[2] << 6) | (uint32_t)v[3];
            size_t n = 3 - (size_t)fill;
            if (o + n > cap) return -1;
            out[o++] = (uint8_t)(w >> 16);
            if (n > 1) out[o++] = (uint8_t)(w >> 8);
            if (n > 2) out[o++] = (uint8_t)w;
        }
    }
    return (int)o;
}

#endif /* ORVI_SAMPLE_MODEL_H */
