/* Codec plug-in of the simulated model "90001" (see sample_model.h), and the
 * failure variants the host's tests load, all from this one source:
 *   CODEC_SAMPLE_NO_JSON_TO_HEX  the "json_to_hex" entry point is missing
 *   CODEC_SAMPLE_FAIL            both entry points return -1
 *   CODEC_SAMPLE_RESULT_SIZE=n   both write n characters and a terminator (one
 *                                byte past a buffer of n) and return n
 *   CODEC_SAMPLE_HOST_SYMBOL     needs a function only the host defines
 *
 * Contract: int fn(const char *in, char *out). `in` is a short JSON text;
 * `out` holds ORVI_CODEC_OUT_SIZE bytes (the host's status buffer). The result
 * is the number of characters written (text terminated), 0 for a
 * sub-subdevice's text, or -1.
 *   hex_to_json, device status {"base64Param":"<b64>","originLength":n}:
 *       writes {"cols":["Pow","Lum"],"dat":[pow,lum]}, returns its length.
 *   hex_to_json, sub-subdevice object {"t":..,"mac":..,"mid":..,"binStatus":"<b64>"}
 *       or with "binEvent": writes {"cols":[...],"dat":[...]}, returns 0.
 *   json_to_hex, {"requestParam":"<b64 of command>","binParam":"<b64 of status>", "ver":".."}:
 *       writes {"t":"binCmd","bin":"<b64 of the command frame>"}, returns its length.
 * The inputs are parsed by hand: only flat members, strings without escapes
 * and integer arrays, which is all the host sends. Depends on libc alone. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sample_model.h"

#ifdef __cplusplus
extern "C" {
#endif
#define CODEC_EXPORT __attribute__((visibility("default")))
CODEC_EXPORT int hex_to_json(const char *in, char *out);
#ifndef CODEC_SAMPLE_NO_JSON_TO_HEX
CODEC_EXPORT int json_to_hex(const char *in, char *out);
#endif
#ifdef __cplusplus
}
#endif

/* The host's status buffer; nothing written here comes near it. */
#define ORVI_CODEC_OUT_SIZE 5120
/* Longest input looked at; a longer one is refused. */
#define IN_MAX 16384
#define CMD_TEXT_MAX 1536
#define OPT_MAX 8
#define NAME_MAX_LEN 32

#if defined(CODEC_SAMPLE_FAIL) || defined(CODEC_SAMPLE_RESULT_SIZE)

static int variant_result(char *out) {
#ifdef CODEC_SAMPLE_FAIL
    (void)out;
    return -1;
#else
    memset(out, 'x', CODEC_SAMPLE_RESULT_SIZE);
    out[CODEC_SAMPLE_RESULT_SIZE] = '\0';
    return CODEC_SAMPLE_RESULT_SIZE;
#endif
}

int hex_to_json(const char *in, char *out) {
    (void)in;
    return variant_result(out);
}

int json_to_hex(const char *in, char *out) {
    (void)in;
    return variant_result(out);
}

#else

#ifdef CODEC_SAMPLE_HOST_SYMBOL
/* The host's core log function under its linker name. The host exports no
 * symbols, so a plug-in that needs one must fail to load. */
extern void host_log_write(char letter, const char *func, int line, const char *fmt,
                           ...) __asm__("_Z14orvi_log_writecPKciS0_z");
#endif

/* Start of the value of member `key` (after the colon and blanks), or NULL. */
static const char *find_value(const char *in, const char *key) {
    char quoted[NAME_MAX_LEN + 3];
    size_t klen = strlen(key);
    const char *p = in;
    if (klen > NAME_MAX_LEN) return NULL;
    quoted[0] = '"';
    memcpy(quoted + 1, key, klen);
    quoted[klen + 1] = '"';
    quoted[klen + 2] = '\0';
    while ((p = strstr(p, quoted)) != NULL) {
        const char *v = p + klen + 2;
        while (*v == ' ')
            ++v;
        if (*v == ':') {
            ++v;
            while (*v == ' ')
                ++v;
            return v;
        }
        ++p;
    }
    return NULL;
}

/* Copies a string value without escapes; its length, or -1. */
static int get_string_at(const char *v, char *out, size_t cap, const char **end) {
    size_t n = 0;
    if (!v || *v != '"') return -1;
    ++v;
    while (v[n] && v[n] != '"') {
        if (v[n] == '\\' || n + 1 >= cap) return -1;
        out[n] = v[n];
        ++n;
    }
    if (v[n] != '"') return -1;
    out[n] = '\0';
    if (end) *end = v + n + 1;
    return (int)n;
}

static int get_string(const char *in, const char *key, char *out, size_t cap) {
    return get_string_at(find_value(in, key), out, cap, NULL);
}

static int get_int_at(const char *v, long *val, const char **end) {
    char *e;
    long x;
    if (!v || !((*v >= '0' && *v <= '9') || *v == '-')) return -1;
    x = strtol(v, &e, 10);
    if (e == v || *e == '.' || *e == 'e' || *e == 'E') return -1;
    *val = x;
    if (end) *end = e;
    return 0;
}

/* Decodes member `key` (Base64 text) into `buf`; the byte count, or -1. */
static int get_b64(const char *in, const char *key, uint8_t *buf, size_t cap) {
    char text[CMD_TEXT_MAX * 4 / 3 + 8];
    int n = get_string(in, key, text, sizeof text);
    if (n < 0) return -1;
    return sample_b64_decode(text, (size_t)n, buf, cap);
}

static int input_ok(const char *in, char *out) {
    return in && out && strnlen(in, IN_MAX) < IN_MAX;
}

static int write_status(char *out, const sample_status_t *s) {
    return snprintf(out, ORVI_CODEC_OUT_SIZE,
                    "{\"cols\":[\"" SAMPLE_OPT_POW "\",\"" SAMPLE_OPT_LUM "\"],\"dat\":[%u,%u]}",
                    (unsigned)s->pow, (unsigned)s->lum);
}

int hex_to_json(const char *in, char *out) {
    uint8_t frame[16];
    sample_status_t s;
    int n;
#ifdef CODEC_SAMPLE_HOST_SYMBOL
    host_log_write('I', "hex_to_json", __LINE__, "%s", "plug-in calls the host");
#endif
    if (!input_ok(in, out)) return -1;
    if (find_value(in, "base64Param")) { /* the device's own status */
        char text[64];
        long origin;
        int tlen = get_string(in, "base64Param", text, sizeof text);
        if (tlen < 0) return -1;
        if (get_int_at(find_value(in, "originLength"), &origin, NULL) == 0 && origin != tlen) return -1;
        n = sample_b64_decode(text, (size_t)tlen, frame, sizeof frame);
        if (n < 0 || sample_status_decode(frame, (size_t)n, &s) < 0) return -1;
        return write_status(out, &s);
    }
    if ((n = get_b64(in, "binStatus", frame, sizeof frame)) >= 0) { /* a sub-subdevice's status */
        if (sample_status_decode(frame, (size_t)n, &s) < 0) return -1;
        write_status(out, &s);
        return 0;
    }
    if ((n = get_b64(in, "binEvent", frame, sizeof frame)) >= 0) { /* a sub-subdevice's event */
        uint8_t code;
        if (sample_event_decode(frame, (size_t)n, &code) < 0) return -1;
        snprintf(out, ORVI_CODEC_OUT_SIZE, "{\"cols\":[\"" SAMPLE_COL_EVENT "\"],\"dat\":[%u]}",
                 (unsigned)code);
        return 0;
    }
    return -1;
}

#ifndef CODEC_SAMPLE_NO_JSON_TO_HEX
static const char *skip_blanks(const char *p) {
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')
        ++p;
    return p;
}

/* Reads an array of strings (names != NULL) or of integers; the element
 * count, or -1 for anything else or more than OPT_MAX elements. */
static int get_array(const char *in, const char *key, char names[][NAME_MAX_LEN], long *nums) {
    const char *p = find_value(in, key);
    int n = 0;
    if (!p || *p != '[') return -1;
    p = skip_blanks(p + 1);
    if (*p == ']') return 0;
    for (;;) {
        if (n >= OPT_MAX) return -1;
        if (names ? get_string_at(p, names[n], NAME_MAX_LEN, &p) < 0 : get_int_at(p, &nums[n], &p) < 0)
            return -1;
        ++n;
        p = skip_blanks(p);
        if (*p == ']') return n;
        if (*p != ',') return -1;
        p = skip_blanks(p + 1);
    }
}

int json_to_hex(const char *in, char *out) {
    uint8_t cmd_text[CMD_TEXT_MAX + 1];
    uint8_t status_frame[16];
    uint8_t frame[SAMPLE_CMD_LEN];
    char names[OPT_MAX][NAME_MAX_LEN];
    char type[16];
    char bin[16];
    long vals[OPT_MAX];
    sample_status_t last = {0, 0, 0};
    sample_cmd_t c = {0, 0, 0, 0};
    int n, nopt, i;
    if (!input_ok(in, out)) return -1;
    n = get_b64(in, "requestParam", cmd_text, CMD_TEXT_MAX);
    if (n <= 0) return -1;
    cmd_text[n] = '\0';
    if (memchr(cmd_text, '\0', (size_t)n)) return -1;
    {
        const char *cmd = (const char *)cmd_text;
        if (get_string(cmd, "t", type, sizeof type) < 0 || strcmp(type, "cmd") != 0) return -1;
        nopt = get_array(cmd, "opt", names, NULL);
        if (nopt < 0 || get_array(cmd, "p", NULL, vals) != nopt) return -1;
    }
    /* Bits left clear carry the last reported state. */
    n = get_b64(in, "binParam", status_frame, sizeof status_frame);
    if (n >= 0) sample_status_decode(status_frame, (size_t)n, &last);
    c.pow = last.pow;
    c.lum = last.lum;
    for (i = 0; i < nopt; ++i) {
        long v = vals[i];
        if (strcmp(names[i], SAMPLE_OPT_POW) == 0) {
            if (v < 0 || v > 1) return -1;
            c.pow = (uint8_t)v;
            c.mask |= SAMPLE_MASK_POW;
        } else if (strcmp(names[i], SAMPLE_OPT_LUM) == 0) {
            if (v < 0 || v > SAMPLE_LUM_MAX) return -1;
            c.lum = (uint8_t)v;
            c.mask |= SAMPLE_MASK_LUM;
        } else if (strcmp(names[i], SAMPLE_OPT_FREQ) == 0) {
            if (v < SAMPLE_FREQ_MIN || v > SAMPLE_FREQ_MAX) return -1;
            c.freq = (uint8_t)v;
            c.mask |= SAMPLE_MASK_FREQ;
        }
    }
    if (c.mask == 0) return -1;
    sample_cmd_encode(&c, frame);
    if (sample_b64_encode(frame, sizeof frame, bin, sizeof bin) < 0) return -1;
    return snprintf(out, ORVI_CODEC_OUT_SIZE, "{\"t\":\"binCmd\",\"bin\":\"%s\"}", bin);
}
#endif

#endif
