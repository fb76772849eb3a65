#include "orvi_ble_cp.h"

#include <cstring>

#include "orvi_json.h"
#include "orvi_log.h"

namespace {

// What one chunk packet costs beyond its escaped chunk, with "pins" and
// "pin" at their widest (three digits each).
size_t cp_overhead(const std::string &tag) {
    // {"t":"CP","pins":999,"pin":999,"tag":"<tag>","CP":"<chunk>"}
    static const size_t fixed = std::strlen("{\"t\":\"CP\",\"pins\":999,\"pin\":999,\"tag\":\"\",\"CP\":\"\"}");
    return fixed + tag.size();
}

// Bytes a character takes inside a JSON string as cJSON prints it.
size_t escaped_size(unsigned char c) {
    switch (c) {
        case '"':
        case '\\':
        case '\b':
        case '\f':
        case '\n':
        case '\r':
        case '\t':
            return 2;
        default:
            return c < 0x20 ? 6 : 1;
    }
}

std::string cp_packet(size_t pins, size_t pin, const std::string &tag, const std::string &chunk) {
    orvi_json::json_ptr j = orvi_json::new_object();
    cJSON_AddStringToObject(j.get(), "t", "CP");
    cJSON_AddNumberToObject(j.get(), "pins", static_cast<double>(pins));
    cJSON_AddNumberToObject(j.get(), "pin", static_cast<double>(pin));
    cJSON_AddStringToObject(j.get(), "tag", tag.c_str());
    cJSON_AddStringToObject(j.get(), "CP", chunk.c_str());
    return orvi_json::print(j.get());
}

// The JSON value that `len` bytes hold, with nothing but white space after it.
orvi_json::json_ptr parse_whole(const char *data, size_t len) {
    const char *end = nullptr;
    orvi_json::json_ptr j(cJSON_ParseWithLengthOpts(data, len, &end, false));
    if (!j || !end) return nullptr;
    for (const char *p = end; p < data + len; ++p)
        if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') return nullptr;
    return j;
}

}  // namespace

std::vector<std::string> orvi_ble_cp_split(const std::string &text, size_t payload, const std::string &tag) {
    std::vector<std::string> out;
    const size_t overhead = cp_overhead(tag);
    if (text.empty() || payload <= overhead) return out;
    // Cut first, so every packet can carry the final "pins": each chunk takes
    // up to 50 characters while its escaped form still fits the payload.
    const size_t room = payload - overhead;
    std::vector<std::string> chunks;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t n = 0;
        size_t used = 0;
        while (pos + n < text.size() && n < ORVI_BLE_CP_CHUNK) {
            const size_t c = escaped_size(static_cast<unsigned char>(text[pos + n]));
            if (used + c > room) break;
            used += c;
            ++n;
        }
        if (n == 0) return out;  // one character does not fit (a control character in a tiny MTU)
        chunks.push_back(text.substr(pos, n));
        pos += n;
        if (chunks.size() > ORVI_BLE_CP_SEND_PINS_MAX) return out;
    }
    for (size_t j = 0; j < chunks.size(); ++j)
        out.push_back(cp_packet(chunks.size(), j + 1, tag, chunks[j]));
    return out;
}

std::string orvi_ble_first_object(const std::string &text) {
    const size_t start = text.find('{');
    if (start == std::string::npos) return "";
    int depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (size_t i = start; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
            continue;
        }
        if (c == '"') {
            in_string = true;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}') {
            if (--depth == 0) return text.substr(start, i - start + 1);
        }
    }
    return "";
}

// ---- Gathering the app's writes ---------------------------------------------

OrviBleRxGather::result OrviBleRxGather::add(const char *data, size_t len, std::string *out) {
    if (!data || len == 0) return buf_.empty() ? DISCARDED : NEED_MORE;
    if (buf_.size() + len > ORVI_BLE_RX_MAX) {
        // The bound holds for what is gathered as a whole: what came before
        // never became a JSON text, so it goes; the piece is judged alone.
        ORVI_LOGW("gathered data would pass %zu bytes: %zu bytes dropped", ORVI_BLE_RX_MAX, buf_.size());
        buf_.clear();
        if (len > ORVI_BLE_RX_MAX) {
            ORVI_LOGW("a write of %zu bytes is longer than %zu: dropped", len, ORVI_BLE_RX_MAX);
            return DISCARDED;
        }
    }
    buf_.append(data, len);
    if (buf_[0] != '{') {
        ORVI_LOGW("first byte isn't {");
        buf_.clear();
        return DISCARDED;
    }
    orvi_json::json_ptr j = parse_whole(buf_.data(), buf_.size());
    if (!j && buf_.size() > len && data[0] == '{') {
        // What was gathered never completed, and this piece is a whole text
        // of its own: the app started afresh (the app's packets hold no
        // nested object, so a continuation is never whole by itself).
        j = parse_whole(data, len);
        if (j) {
            ORVI_LOGW("%zu gathered bytes never completed: dropped", buf_.size() - len);
            buf_.assign(data, len);
        }
    }
    if (!j) {
        ORVI_LOGI("data is incomplete,");
        return NEED_MORE;
    }
    *out = orvi_json::print(j.get());
    buf_.clear();
    return COMPLETE;
}

// ---- Joining chunk packets ------------------------------------------------------

void OrviCpReassembler::clear() {
    slots_.clear();
    total_pins_ = 0;
    filled_ = 0;
    bytes_ = 0;
    current_tag_[0] = '\0';
}

OrviCpReassembler::result OrviCpReassembler::take(const cJSON *packet, std::string *out) {
    const cJSON *pins = orvi_json::num_of(packet, "pins");
    const cJSON *pin = orvi_json::num_of(packet, "pin");
    const char *tag = orvi_json::str_of(packet, "tag");
    const char *cp = orvi_json::str_of(packet, "CP");
    if (!pins || !pin || !tag || !cp) {
        ORVI_LOGW("Invalid JSON structure in CP pack");
        return CP_INVALID;
    }
    const double npins = pins->valuedouble;
    if (!(npins >= 1 && npins <= ORVI_BLE_CP_RECV_PINS_MAX) || npins != static_cast<int>(npins)) {
        ORVI_LOGW("CP pack announces %g pins (1 to %d taken): dropped", npins, ORVI_BLE_CP_RECV_PINS_MAX);
        return CP_DROPPED;
    }
    const int want = static_cast<int>(npins);
    char tag6[sizeof current_tag_] = {0};
    std::strncpy(tag6, tag, ORVI_BLE_CP_TAG_LEN);
    if (total_pins_ == 0 || want != total_pins_ || std::strcmp(tag6, current_tag_) != 0) {
        if (total_pins_ != 0) ORVI_LOGW("CP message '%s' abandoned with %d of %d pins", current_tag_, filled_, total_pins_);
        clear();
        slots_.resize(static_cast<size_t>(want));
        total_pins_ = want;
        std::memcpy(current_tag_, tag6, sizeof current_tag_);
        ORVI_LOGI("receive initial");
    }
    const double npin = pin->valuedouble;
    if (!(npin >= 1 && npin <= total_pins_) || npin != static_cast<int>(npin)) {
        ORVI_LOGW("CP pin %g outside 1 .. %d: dropped", npin, total_pins_);
        return CP_DROPPED;
    }
    std::optional<std::string> &slot = slots_[static_cast<size_t>(npin) - 1];
    const size_t len = std::strlen(cp);
    const size_t old = slot ? slot->size() : 0;
    if (bytes_ - old + len > ORVI_BLE_RX_MAX) {
        ORVI_LOGW("CP message '%s' would pass %zu bytes: abandoned", current_tag_, ORVI_BLE_RX_MAX);
        clear();
        return CP_DROPPED;
    }
    if (!slot) ++filled_;
    bytes_ = bytes_ - old + len;
    slot = std::string(cp, len);
    ORVI_LOGI("receive %d pack", static_cast<int>(npin));
    if (filled_ < total_pins_) return CP_STORED;

    std::string joined;
    joined.reserve(bytes_);
    for (const std::optional<std::string> &s : slots_)
        joined += *s;
    clear();
    std::string object = orvi_ble_first_object(joined);
    if (object.empty()) {
        ORVI_LOGW("CP message of %zu bytes holds no complete JSON object: dropped", joined.size());
        return CP_DROPPED;
    }
    *out = std::move(object);
    return CP_COMPLETE;
}
