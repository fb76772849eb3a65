// Owned cJSON trees and the few member readers every packet handler needs.
// Stateless; any thread. cJSON itself allocates, so a failed allocation of
// a new node goes through ORVI_NO_MEM like every other allocation.
#pragma once

#include <cJSON.h>

#include <memory>
#include <string>

#include "orvi_log.h"

namespace orvi_json {

struct json_deleter {
    void operator()(cJSON *j) const { cJSON_Delete(j); }
};
using json_ptr = std::unique_ptr<cJSON, json_deleter>;

inline json_ptr new_object() {
    json_ptr j(cJSON_CreateObject());
    if (!j) ORVI_NO_MEM(sizeof(cJSON));
    return j;
}

inline json_ptr new_array() {
    json_ptr j(cJSON_CreateArray());
    if (!j) ORVI_NO_MEM(sizeof(cJSON));
    return j;
}

// Printed unformatted; empty when printing fails.
inline std::string print(const cJSON *j) {
    char *p = j ? cJSON_PrintUnformatted(j) : nullptr;
    std::string s = p ? p : "";
    cJSON_free(p);
    return s;
}

// The member's text, or null when it is missing or not a string.
inline const char *str_of(const cJSON *obj, const char *name) {
    const cJSON *m = cJSON_GetObjectItemCaseSensitive(obj, name);
    return cJSON_IsString(m) && m->valuestring ? m->valuestring : nullptr;
}

// The member's number, or null when it is missing or not a number.
inline const cJSON *num_of(const cJSON *obj, const char *name) {
    const cJSON *m = cJSON_GetObjectItemCaseSensitive(obj, name);
    return cJSON_IsNumber(m) ? m : nullptr;
}

// The part of a status document that holds the pairs: its "jsonStatus"
// member (a full JSON status report) when it has one, else itself.
inline const cJSON *status_body(const cJSON *doc) {
    const cJSON *inner = cJSON_GetObjectItemCaseSensitive(doc, "jsonStatus");
    return cJSON_IsObject(inner) ? inner : doc;
}

// The name and value arrays of a status: "opt"/"p" when it has "opt", else
// "cols"/"dat". False when either is missing or not an array.
inline bool status_pairs(const cJSON *status, const cJSON **names, const cJSON **values) {
    const bool opt = cJSON_HasObjectItem(status, "opt");
    *names = cJSON_GetObjectItemCaseSensitive(status, opt ? "opt" : "cols");
    *values = cJSON_GetObjectItemCaseSensitive(status, opt ? "p" : "dat");
    return cJSON_IsArray(*names) && cJSON_IsArray(*values);
}

}  // namespace orvi_json
