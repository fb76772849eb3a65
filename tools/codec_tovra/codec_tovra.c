/* Codec plug-in of a simulated lighting model, one build per model id
 * (TOVRA_MID). It turns the host's normalised status record into named
 * values: the input is {"t":"bin","mac":..,"atcmd":"AT+MDATA","bin":"<hex>"}
 * where the record is "AT+MDATA", the address's low byte, 0x00, then the
 * model's status bytes (class byte first). Output: {"opt":[names],"p":[values]}.
 *
 * Status bytes, by kind of model (the forms the host's own provisional
 * records use):
 *   lights    60 L 00 00 00 W C   L: 0 off, 0x80 on, else the brightness;
 *                                 W + C = 255: colour temperature C
 *   curtains  70 00 P ...         P: open per cent
 *   switches  40 M ..  / 20 M ..  M: bit k is key k+1 on ("Sw1".."Sw4")
 *   sensors   21 S  / 20 S ..     S: the sensor's state
 *   others    every status byte as "B1".."Bn"
 * Depends on libc alone; the input is parsed by hand. */
#include <stdio.h>
#include <string.h>

#define CODEC_EXPORT __attribute__((visibility("default")))
CODEC_EXPORT int hex_to_json(const char *in, char *out);

#ifndef TOVRA_MID
#error "TOVRA_MID names the model"
#endif

/* The host's status buffer is 5,120 bytes; nothing here comes near it. */
#define OUT_MAX 512
#define HEAD 10 /* "AT+MDATA", address, 0x00 */
#define REC_MAX 64

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
    if (in_list(kLights) && len >= 7) {
        const int l = s[1], pow = l != 0, lum = l >= 0x80 ? 100 : l;
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
