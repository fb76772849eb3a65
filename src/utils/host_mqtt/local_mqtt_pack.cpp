#include "local_mqtt_pack.h"

#include <string>

#include "orvi_aes.h"
#include "orvi_log.h"
#include "orvi_product.h"

cJSON *event_msg_package_aseemble(const char *cid, int i, const char *tcid, int uid, const char *payload) {
    if (i < 0 || i > 2) {
        ORVI_LOGW("i value input is error %d\n", i);
        return nullptr;
    }
    std::string body = payload ? payload : "";
    if (i == 0 || i == 1) {
        std::string key;
        if (i == 1)
            key = product_get_default_key();
        else if (cid && cid[0] && product_get_mac_str() == cid)
            key = product_get_home_key();  // a host without a home yet has no home MAC to match
        else
            key = product_get_random_key();
        if (orvi_aes_encrypt(key.c_str(), body) != 0) {
            ORVI_LOGW("aes encrypt fail,pack is %s,random_key is %s\n", payload ? payload : "", key.c_str());
            return nullptr;
        }
    }
    cJSON *pack = cJSON_CreateObject();
    if (!pack) return nullptr;
    cJSON_AddStringToObject(pack, "cid", cid ? cid : "");
    cJSON_AddStringToObject(pack, "tcid", tcid ? tcid : "");
    cJSON_AddNumberToObject(pack, "uid", uid);
    cJSON_AddStringToObject(pack, "t", "pack");
    cJSON_AddNumberToObject(pack, "i", i);
    cJSON_AddStringToObject(pack, "pack", body.c_str());
    return pack;
}

cJSON *local_mqtt_get_pack_str(const char *package, const char *key, int plain_only) {
    if (!key) {
        ORVI_LOGW("aes_key is NULL\n");
        return nullptr;
    }
    cJSON *outer = package ? cJSON_Parse(package) : nullptr;
    if (!outer) {
        ORVI_LOGW("input data is cjson type\n");
        return nullptr;
    }
    const cJSON *jpack = cJSON_GetObjectItemCaseSensitive(outer, "pack");
    if (!cJSON_IsString(jpack)) {
        ORVI_LOGW("pack_json is null\n");
        cJSON_Delete(outer);
        return nullptr;
    }
    std::string text = jpack->valuestring;
    cJSON_Delete(outer);
    cJSON *payload = orvi_aes_decrypt(key, text) == 0 ? cJSON_Parse(text.c_str()) : nullptr;
    if (!payload) {
        ORVI_LOGW("payload_json is null\n");
        return nullptr;
    }
    if (plain_only != 1) return payload;
    cJSON *plain = cJSON_GetObjectItemCaseSensitive(payload, "plaintext");
    cJSON *copy = plain ? cJSON_Duplicate(plain, 1) : nullptr;
    if (!copy) ORVI_LOGW("plain_json is null\n");
    cJSON_Delete(payload);
    return copy;
}
