// Base64 sized from the input alone: the output container is resized to the
// exact result before a byte is written, so no input (short, padded in odd
// places, holding foreign characters) can make the decoder write past it or
// report a negative length.
#include "orvi_base64.h"

#include <climits>
#include <cstring>

#include "orvi_log.h"

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Encoding grows the text by a third; keep the result within an int.
constexpr size_t kMaxEncodeLen = (INT_MAX / 4 - 1) * static_cast<size_t>(3);
constexpr size_t kMaxDecodeLen = INT_MAX;

// Six-bit value of a character; anything outside the alphabet (the "=" fill
// included) counts as zero.
uint32_t sextet(char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<uint32_t>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<uint32_t>(c - 'a' + 26);
    if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0' + 52);
    if (c == '+') return 62;
    if (c == '/') return 63;
    return 0;
}
}  // namespace

int Base64Encode(const uint8_t *in, std::string &out, size_t len) {
    out.clear();
    if (len == 0) return 0;
    if (in == nullptr) {
        ORVI_LOGW("OrgString == NULL or Base64String == NULL");
        return 0;
    }
    if (len > kMaxEncodeLen) {
        ORVI_LOGW("base64 input is too long, lenth -> %zu", len);
        return 0;
    }
    out.resize((len + 2) / 3 * 4);
    char *o = &out[0];
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
        *o++ = kAlphabet[(v >> 18) & 0x3f];
        *o++ = kAlphabet[(v >> 12) & 0x3f];
        *o++ = kAlphabet[(v >> 6) & 0x3f];
        *o++ = kAlphabet[v & 0x3f];
    }
    if (i < len) {
        uint32_t v = uint32_t{in[i]} << 16;
        if (i + 1 < len) v |= uint32_t{in[i + 1]} << 8;
        *o++ = kAlphabet[(v >> 18) & 0x3f];
        *o++ = kAlphabet[(v >> 12) & 0x3f];
        *o++ = i + 1 < len ? kAlphabet[(v >> 6) & 0x3f] : '=';
        *o++ = '=';
    }
    return static_cast<int>(out.size());
}

int Base64Decode(const char *in, std::vector<uint8_t> &out, size_t len) {
    out.clear();
    if (in == nullptr) {
        ORVI_LOGW("OrgString == NULL or Base64String == NULL");
        return 0;
    }
    // A zero byte inside the given length means the text was cut or forged:
    // decode nothing rather than a text the sender never meant.
    if (std::memchr(in, 0, len) != nullptr) {
        ORVI_LOGW("OrgStringLen is equal to strlen(OrgString)");
        return 0;
    }
    if (len > kMaxDecodeLen) {
        ORVI_LOGW("base64 input is too long, lenth -> %zu", len);
        return 0;
    }
    size_t groups = len / 4;
    size_t n = groups * 3;
    // Fill can only shorten the last whole group, and at most by two bytes,
    // so the length stays within what the groups decode to.
    if (groups > 0) {
        const char *last = in + groups * 4 - 4;
        if (last[2] == '=' && last[3] == '=')
            n -= 2;
        else if (last[3] == '=')
            n -= 1;
    }
    ORVI_LOGD("OrStringLen->%d", static_cast<int>(n));
    out.resize(n);
    size_t o = 0;
    for (size_t g = 0; g < groups; ++g) {
        const char *p = in + g * 4;
        uint32_t v = (sextet(p[0]) << 18) | (sextet(p[1]) << 12) | (sextet(p[2]) << 6) | sextet(p[3]);
        for (int shift = 16; shift >= 0 && o < n; shift -= 8)
            out[o++] = static_cast<uint8_t>(v >> shift);
    }
    return static_cast<int>(n);
}

int orvi_hex_base64_encode(const uint8_t *in, size_t len, std::string &out) {
    return Base64Encode(in, out, len);
}

int orvi_hex_base64_decode(const char *in, size_t len, std::vector<uint8_t> &out) {
    return Base64Decode(in, out, len);
}
