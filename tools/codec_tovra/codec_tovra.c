/* Codec plug-in of a simulated lighting model, one build per model id
 * (TOVRA_MID). It turns the host's normalised status record into named
 * values: the input is {"t":"bin","mac":..,"atcmd":"AT+MDATA","bin":"<hex>"}
 * where the record is "AT+MDATA", the address's low byte, 0x00, then the
 * model's status bytes (class byte first). Output: {"opt":[names],"p":[values]}.
 *
 * Status bytes, by kind of model (the forms the host's own provisional
 * records use):
 *   lights    60 L 00 00 00 W C   L: 0 off, 0x80 on, else the brightness
 *                                 (1 to 127 for 1 to 100 per cent);
 *                                 W + C = 255: colour temperature C
 *   curtains  70 00 P ...         P: open per cent
 *   shutter   90 00 P 0 0 0 0 U D  ("70710": P open per cent, U and D
 *                                 its upper and lower limits set)
 *   switches  40 M ..  / 20 M ..  M: bit k is key k+1 on ("Sw1".."Sw4")
 *   sensors   21 S  / 20 S ..     S: the sensor's state
 *   others    every status byte as "B1".."Bn"
 *
 * json_to_hex: a command {"t":"cmd","opt":[names],"p":[values],...} becomes
 * the status bytes the device is to take, after a length byte that counts
 * itself: {"bin":"<hex>","atcmd":"AT+CTRL"}, or with "fasceneid" the same
 * bytes as a scene's ({"atcmd":"AT+SCENE","fasceneid":id}). Lights take
 * "Pow", "Lum" (per cent) and "ColorTemp" (2700 to 5000 K), curtains
 * "CurPercent", switches "Sw1".."Sw4". A request without "opt" (room, key,
 * scene or device bindings, scene removal) is handed back with its
 * "roomid", "keyid", "fasceneid", "addr", "devicetype" and "type".
 * Depends on libc alone; the input is parsed by hand (flat members, strings
 * without escapes, integer values), which is all the host sends. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define CODEC_EXPORT __attribute__((visibility("default")))
CODEC_EXPORT int hex_to_json(const char *in, char *out);
CODEC_EXPORT int json_to_hex(const char *in, char *out);

#ifndef TOVRA_MID
#error "TOVRA_MID names the model"
#endif

/* The host's status buffer is 5,120 bytes; nothing here comes near it. */
#define OUT_MAX 512
#define HEAD 10 /* "AT+MDATA", address, 0x00 */
#define REC_MAX 64
/* Longest command text looked at. */
#define IN_MAX_TEXT 4096

static int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* The record's bytes, or -1 when "bin" is missing or not whole hex. */
static int record_of(const char *in, unsigned char *rec, int cap) {
    const char *p = strstr(in, "\"bin\":\"");
    if (!p) return -1;
    p += 7;
    int n = 0;
    while (*p != '"') {
        int hi = hexval(p[0]), lo = hi < 0 ? -1 : hexval(p[1]);
        if (hi < 0 || lo < 0 || n >= cap) return -1;
        rec[n++] = (unsigned char)(hi << 4 | lo);
        p += 2;
    }
    return n;
}

static int in_list(const char *const *list) {
    for (; *list; ++list)
        if (strcmp(*list, TOVRA_MID) == 0) return 1;
    return 0;
}

static const char *const kLights[] = {"70314", "70315", "70361", "70362", "70710", "70722", 0};
static const char *const kCurtains[] = {"80501", "70711", "70713", 0};
static const char *const kSwitches[] = {"80401", "70721", "70726", 0};
static const char *const kSensors[] = {"70720", "70727", 0};

int hex_to_json(const char *in, char *out) {
    unsigned char rec[REC_MAX];
    if (!in || !out) return -1;
    const int n = record_of(in, rec, REC_MAX);
    if (n < HEAD + 2) return -1;
    const unsigned char *s = rec + HEAD;
    const int len = n - HEAD;
    int w = -1;
    if (strcmp(TOVRA_MID, "70710") == 0 && s[0] == 0x90 && len >= 3) {
        /* The roller shutter's own record, with its limits when it has them. */
        const int up = len >= 9 ? s[7] : 0, low = len >= 9 ? s[8] : 0;
        w = snprintf(out, OUT_MAX, "{\"opt\":[\"CurPercent\",\"UpLimit\",\"LowLimit\"],\"p\":[%d,%d,%d]}", s[2], up,
                     low);
    } else if (in_list(kLights) && len >= 7) {
        const int l = s[1], pow = l != 0, lum = l >= 0x80 ? 100 : l * 100 / 127;
        const int ct = s[5] + s[6] == 255 ? s[6] : 0;
        w = snprintf(out, OUT_MAX, "{\"opt\":[\"Pow\",\"Lum\",\"ColorTemp\"],\"p\":[%d,%d,%d]}", pow, lum, ct);
    } else if (in_list(kCurtains) && len >= 3) {
        w = snprintf(out, OUT_MAX, "{\"opt\":[\"CurPercent\"],\"p\":[%d]}", s[2]);
    } else if (in_list(kSwitches)) {
        const int keys = strcmp(TOVRA_MID, "80401") == 0 ? 3 : 1;
        w = snprintf(out, OUT_MAX, "{\"opt\":[");
        for (int k = 0; k < keys; ++k) w += snprintf(out + w, OUT_MAX - w, "%s\"Sw%d\"", k ? "," : "", k + 1);
        w += snprintf(out + w, OUT_MAX - w, "],\"p\":[");
        for (int k = 0; k < keys; ++k) w += snprintf(out + w, OUT_MAX - w, "%s%d", k ? "," : "", (s[1] >> k) & 1);
        w += snprintf(out + w, OUT_MAX - w, "]}");
    } else if (in_list(kSensors)) {
        w = snprintf(out, OUT_MAX, "{\"opt\":[\"State\"],\"p\":[%d]}", s[1]);
    } else {
        w = snprintf(out, OUT_MAX, "{\"opt\":[");
        for (int k = 0; k < len; ++k) w += snprintf(out + w, OUT_MAX - w, "%s\"B%d\"", k ? "," : "", k + 1);
        w += snprintf(out + w, OUT_MAX - w, "],\"p\":[");
        for (int k = 0; k < len; ++k) w += snprintf(out + w, OUT_MAX - w, "%s%d", k ? "," : "", s[k]);
        w += snprintf(out + w, OUT_MAX - w, "]}");
    }
    return w > 0 && w < OUT_MAX ? w : -1;
}

/* ---- json_to_hex ----------------------------------------------------------- */

#define NAMES_MAX 8
#define NAME_LEN 24

/* The text just after "name": in `in`, or null. */
static const char *member(const char *in, const char *name) {
    char key[40];
    snprintf(key, sizeof key, "\"%s\":", name);
    const char *p = strstr(in, key);
    return p ? p + strlen(key) : 0;
}

static int int_member(const char *in, const char *name, long *v) {
    const char *p = member(in, name);
    char *end;
    if (!p) return 0;
    *v = strtol(p, &end, 10);
    return end != p;
}

static int text_member(const char *in, const char *name, char *out, size_t size) {
    const char *p = member(in, name);
    if (!p || *p != '"') return 0;
    const char *q = strchr(p + 1, '"');
    if (!q || (size_t)(q - p - 1) >= size) return 0;
    memcpy(out, p + 1, (size_t)(q - p - 1));
    out[q - p - 1] = '\0';
    return 1;
}

/* The names of "opt" and the integers of "p"; their count, or -1. */
static int pairs(const char *in, char names[][NAME_LEN], long *values) {
    const char *o = member(in, "opt"), *v = member(in, "p");
    int n = 0, m = 0;
    if (!o || !v || *o != '[' || *v != '[') return -1;
    for (++o; *o && *o != ']' && n < NAMES_MAX;) {
        if (*o == '"') {
            const char *q = strchr(o + 1, '"');
            if (!q || q - o - 1 >= NAME_LEN) return -1;
            memcpy(names[n], o + 1, (size_t)(q - o - 1));
            names[n++][q - o - 1] = '\0';
            o = q + 1;
        } else {
            ++o;
        }
    }
    for (++v; *v && *v != ']' && m < NAMES_MAX;) {
        char *end;
        long x = strtol(v, &end, 10);
        if (end != v) {
            values[m++] = x;
            v = end;
        } else {
            ++v;
        }
    }
    return n == m ? n : -1;
}

static int clamp(long v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : (int)v; }

int json_to_hex(const char *in, char *out) {
    char names[NAMES_MAX][NAME_LEN];
    long values[NAMES_MAX];
    unsigned char b[16];
    int len = 0;
    if (!in || !out || strlen(in) > IN_MAX_TEXT) return -1;
    const int n = pairs(in, names, values);
    if (n < 0) {
        /* A binding or a removal: handed back as it came. */
        static const char *const kInts[] = {"roomid", "keyid", "fasceneid", "addr", "devicetype"};
        char type[16];
        long v;
        int w = snprintf(out, OUT_MAX, "{");
        for (size_t k = 0; k < sizeof kInts / sizeof kInts[0]; ++k)
            if (int_member(in, kInts[k], &v)) w += snprintf(out + w, OUT_MAX - w, "%s\"%s\":%ld", w > 1 ? "," : "", kInts[k], v);
        if (text_member(in, "type", type, sizeof type)) w += snprintf(out + w, OUT_MAX - w, "%s\"type\":\"%s\"", w > 1 ? "," : "", type);
        if (w == 1) return -1;
        w += snprintf(out + w, OUT_MAX - w, "}");
        return w < OUT_MAX ? w : -1;
    }
    if (in_list(kLights)) {
        int level = 0, warm = 0, cold = 0;
        for (int k = 0; k < n; ++k) {
            if (!strcmp(names[k], "Pow")) level = values[k] ? (level ? level : 0x80) : 0;
            if (!strcmp(names[k], "Lum")) level = clamp(values[k], 0, 100) * 127 / 100;
            if (!strcmp(names[k], "ColorTemp")) {
                cold = (clamp(values[k], 2700, 5000) - 2700) * 255 / 2300;
                warm = 255 - cold;
            }
        }
        const unsigned char l[] = {0x60, (unsigned char)level, 0, 0, 0, (unsigned char)warm, (unsigned char)cold};
        memcpy(b + 1, l, sizeof l);
        len = sizeof l;
    } else if (in_list(kCurtains)) {
        int pct = -1;
        for (int k = 0; k < n; ++k)
            if (!strcmp(names[k], "CurPercent")) pct = clamp(values[k], 0, 100);
        if (pct < 0) return -1;
        const unsigned char c[] = {0x70, 0, (unsigned char)pct, 0, 0, 0, 0, 0x21};
        memcpy(b + 1, c, sizeof c);
        len = sizeof c;
    } else if (in_list(kSwitches)) {
        int mask = 0;
        for (int k = 0; k < n; ++k)
            if (!strncmp(names[k], "Sw", 2) && names[k][2] >= '1' && names[k][2] <= '4' && !names[k][3] && values[k])
                mask |= 1 << (names[k][2] - '1');
        if (!strcmp(TOVRA_MID, "80401")) {
            const unsigned char s4[] = {0x40, (unsigned char)mask, 0, 0x17, 0x01};
            memcpy(b + 1, s4, sizeof s4);
            len = sizeof s4;
        } else {
            const unsigned char s1[] = {0x20, (unsigned char)mask, 0};
            memcpy(b + 1, s1, sizeof s1);
            len = sizeof s1;
        }
    } else {
        return -1; /* a model without commands */
    }
    b[0] = (unsigned char)(len + 1);
    char hex[2 * sizeof b + 1];
    for (int k = 0; k <= len; ++k) snprintf(hex + 2 * k, 3, "%02x", b[k]);
    long scene;
    int w;
    if (int_member(in, "fasceneid", &scene))
        w = snprintf(out, OUT_MAX, "{\"bin\":\"%s\",\"atcmd\":\"AT+SCENE\",\"fasceneid\":%ld}", hex, scene);
    else
        w = snprintf(out, OUT_MAX, "{\"bin\":\"%s\",\"atcmd\":\"AT+CTRL\"}", hex);
    return w > 0 && w < OUT_MAX ? w : -1;
}
