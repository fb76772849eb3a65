// Helpers the BLE tests share to read the CP packets the host sends and to
// make replies of a given length.
#pragma once

#include <cJSON.h>

#include <string>

#include "orvi_json.h"

namespace ble_cp_packets {

inline orvi_json::json_ptr parse(const std::string &text) {
    return orvi_json::json_ptr(cJSON_Parse(text.c_str()));
}

// A chunk packet as the app sends it.
inline std::string cp(int pins, int pin, const std::string &tag, const std::string &chunk) {
    orvi_json::json_ptr j = orvi_json::new_object();
    cJSON_AddStringToObject(j.get(), "t", "CP");
    cJSON_AddNumberToObject(j.get(), "pins", pins);
    cJSON_AddNumberToObject(j.get(), "pin", pin);
    cJSON_AddStringToObject(j.get(), "tag", tag.c_str());
    cJSON_AddStringToObject(j.get(), "CP", chunk.c_str());
    return orvi_json::print(j.get());
}

// A member of a CP packet as text; "<missing>" when it is absent.
inline std::string cp_field(const std::string &packet, const char *name) {
    orvi_json::json_ptr j = parse(packet);
    const cJSON *m = cJSON_GetObjectItemCaseSensitive(j.get(), name);
    if (cJSON_IsString(m)) return m->valuestring;
    if (cJSON_IsNumber(m)) return std::to_string(m->valueint);
    return "<missing>";
}

// A reply text of `n` bytes like those the app receives: an envelope with
// quotes in it, which a chunk carries escaped.
inline std::string reply_of(size_t n) {
    std::string s = "{\"t\":\"pack\",\"i\":1,\"pack\":\"";
    while (s.size() < n - 2)
        s += static_cast<char>('A' + s.size() % 26);
    s += "\"}";
    return s;
}

}  // namespace ble_cp_packets
