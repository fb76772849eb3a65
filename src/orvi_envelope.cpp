// Envelope checks run in a fixed order so that each dropped packet is
// explained by exactly one line. Identifiers are refused, never cut, when
// they do not fit the 16-character fields: a cut "cid" could name a
// different subdevice.
#include "orvi_envelope.h"

#include <cstring>
#include <memory>

#include "orvi_field.h"
#include "orvi_json.h"
#include "orvi_log.h"

namespace {
using Json = orvi_json::json_ptr;

bool family_ok(double v) {
    return v == AES_KEY_TYPE_RANDOM || v == AES_KEY_TYPE_DEFAULT;
}
}  // namespace

int orvi_envelope_check(const char *text, size_t len, connect_type_t conn, const std::string &home_mac,
                        orvi_envelope_t *out) {
    ORVI_CHECK_ARG(text != nullptr && out != nullptr, -2);
    *out = orvi_envelope_t{};

    // 1. JSON with a "t"; anything but "pack" is a plain packet.
    Json root(cJSON_ParseWithLength(text, len));
    if (!root) {
        ORVI_LOGW("pack packet is err!");
        return -1;
    }
    const cJSON *t = cJSON_GetObjectItem(root.get(), "t");
    if (t == nullptr) {
        ORVI_LOGW("pack packet have not 't' key!");
        return -1;
    }
    if (!cJSON_IsString(t) || std::strcmp(t->valuestring, "pack") != 0) return 0;

    // 2. The members the channel requires.
    const bool ble = conn == SOCKET_CONNECT_TYPE_BLE;
    const bool mqtt = conn == SOCKET_CONNECT_TYPE_MQTT;
    const cJSON *pack = cJSON_GetObjectItem(root.get(), "pack");
    const cJSON *fam = cJSON_GetObjectItem(root.get(), "i");
    const cJSON *cid = cJSON_GetObjectItem(root.get(), "cid");
    const cJSON *tcid = cJSON_GetObjectItem(root.get(), "tcid");
    const cJSON *msgId = cJSON_GetObjectItem(root.get(), "msgId");
    const cJSON *pIn = cJSON_GetObjectItem(root.get(), "pIn");
    if (pack == nullptr || fam == nullptr || (!ble && (cid == nullptr || tcid == nullptr)) ||
        (!ble && !mqtt && msgId == nullptr) || (ble && pIn == nullptr)) {
        ORVI_LOGW("pack packet have not complete!");
        return -1;
    }

    // 3. Types and sizes.
    if ((cid != nullptr && !cJSON_IsString(cid)) || (tcid != nullptr && !cJSON_IsString(tcid))) {
        ORVI_LOGW("Wrong type of cid or tcid in the pack!");
        return -1;
    }
    if ((cid != nullptr && !orvi_field_set(out->cid, cid->valuestring)) ||
        (tcid != nullptr && !orvi_field_set(out->tcid, tcid->valuestring))) {
        ORVI_LOGW("cid or tcid is longer than %zu characters in the pack!", sizeof out->cid - 1);
        return -1;
    }
    if (!cJSON_IsNumber(fam) || !family_ok(fam->valuedouble)) {
        ORVI_LOGW("Wrong key family 'i' in the pack! (only 0 or 1 are wrapped)");
        return -1;
    }
    if (!cJSON_IsString(pack)) {
        ORVI_LOGW("Wrong type of pack in the pack!");
        return -1;
    }

    // 4. The host's own packet echoed back. An empty "cid" names nobody, so
    // it is never taken for the host's own, even before a home is bound.
    if (out->cid[0] != '\0' && home_mac == out->cid) {
        ORVI_LOGW("This is a package for myself!");
        return -1;
    }
    // 5. Addressed to another host.
    if (out->tcid[0] != '\0' && home_mac != out->tcid) {
        ORVI_LOGW("This package is not for the host!");
        return -1;
    }
    // 6. Nothing to decrypt.
    if (pack->valuestring[0] == '\0') {
        ORVI_LOGW("packet is null form app");
        return -1;
    }

    out->is_pack = true;
    out->key_type = static_cast<aes_key_t>(static_cast<int>(fam->valuedouble));
    if (msgId != nullptr) {
        if (cJSON_IsNumber(msgId) && msgId->valuedouble >= 0 && msgId->valuedouble <= UINT32_MAX) {
            out->msgId = static_cast<uint32_t>(msgId->valuedouble);
            out->has_msgId = true;
        } else {
            ORVI_LOGW("msgId is not a 32-bit unsigned number, ignored");
        }
    }
    if (pIn != nullptr && cJSON_IsNumber(pIn)) out->pIn = pIn->valueint;
    out->pack = pack->valuestring;
    return 0;
}

int orvi_envelope_build(aes_key_t rsp_key, connect_type_t conn, const std::string &home_mac,
                        const std::string &tcid, uint32_t msgId, const std::string &cipher_b64, int enNet,
                        const cJSON *extras, std::string &out) {
    if (!family_ok(rsp_key)) {
        ORVI_LOGW("key family %d is never wrapped!", static_cast<int>(rsp_key));
        return -1;
    }
    Json root(cJSON_CreateObject());
    if (!root) ORVI_NO_MEM(sizeof(cJSON));
    cJSON *r = root.get();
    cJSON_AddStringToObject(r, "t", "pack");
    cJSON_AddNumberToObject(r, "i", rsp_key);
    if (conn == SOCKET_CONNECT_TYPE_BLE) {
        cJSON_AddNumberToObject(r, "pIn", 1);
        cJSON_AddNumberToObject(r, "uid", 0);
    } else {
        cJSON_AddStringToObject(r, "cid", home_mac.c_str());
        cJSON_AddStringToObject(r, "tcid", tcid.c_str());
        cJSON_AddNumberToObject(r, "msgId", msgId);
    }
    cJSON_AddStringToObject(r, "pack", cipher_b64.c_str());
    if (enNet >= 0) cJSON_AddNumberToObject(r, "enNet", enNet);
    if (extras != nullptr) cJSON_AddItemToObject(r, "extras", cJSON_Duplicate(extras, 1));
    char *printed = cJSON_PrintUnformatted(r);
    if (printed == nullptr) ORVI_NO_MEM(cipher_b64.size() + 256);
    out.assign(printed);
    cJSON_free(printed);
    return 0;
}

const char *orvi_envelope_rx_key(aes_key_t family, connect_type_t conn, const char *default_key,
                                 const char *home_key, const char *sender_key) {
    switch (family) {
        case AES_KEY_TYPE_DEFAULT:
            return default_key;
        case AES_KEY_TYPE_RANDOM:
            if (conn == SOCKET_CONNECT_TYPE_MQTT) return home_key;
            if (sender_key == nullptr) {
                ORVI_LOGW("Unbound device cannot be decrypted with private key!");
                return nullptr;
            }
            return sender_key;
        default:
            ORVI_LOGW("key family %d opens no envelope!", static_cast<int>(family));
            return nullptr;
    }
}

const char *orvi_envelope_tx_key(aes_key_t family, connect_type_t conn, dev_type_t target_type,
                                 const char *default_key, const char *random_key, const char *target_key) {
    switch (family) {
        case AES_KEY_TYPE_DEFAULT:
            return default_key;
        case AES_KEY_TYPE_RANDOM:
            if (conn == SOCKET_CONNECT_TYPE_MULTICAST) return random_key;
            if (conn == SOCKET_CONNECT_TYPE_MQTT &&
                (target_type == DEV_TYPE_PWRGATEWAY || target_type == DEV_TYPE_CENTCTRL))
                return random_key;
            return target_key;
        case AES_KEY_TYPE_NONE:
            return nullptr;
        default:
            ORVI_LOGW("key family %d is unknown!", static_cast<int>(family));
            return nullptr;
    }
}
