#include "event_msg.h"

#include <cstring>

#include "orvi_log.h"

cJSON *event_msg_plaintext_aseemble(cJSON *cols, cJSON *dat) {
    if (!cols || !dat) {
        BOARD_LOG(BOARD_LOG_CLASS_8, "cols or  dat array json create fail!!!\n\n");
        cJSON_Delete(cols);
        cJSON_Delete(dat);
        return nullptr;
    }
    cJSON *plain = cJSON_CreateObject();
    if (!plain) {
        BOARD_LOG(BOARD_LOG_CLASS_8, "plaintext  json create fail!!!\n\n");
        cJSON_Delete(cols);
        cJSON_Delete(dat);
        return nullptr;
    }
    cJSON_AddItemToObject(plain, "cols", cols);
    cJSON_AddItemToObject(plain, "dat", dat);
    return plain;
}

cJSON *event_msg_payload_aseemble(const char *mac, const char *sub, const char *mid, cJSON *plaintext) {
    // The payload's MAC fields are 16-character identifiers on every peer;
    // a longer one would be cut into someone else's identity downstream.
    if (!plaintext || (mac && strlen(mac) > 16) || (sub && strlen(sub) > 16)) {
        BOARD_LOG(BOARD_LOG_CLASS_8, "payload_json json create fail!!!\n\n");
        cJSON_Delete(plaintext);
        return nullptr;
    }
    cJSON *payload = cJSON_CreateObject();
    if (!payload) {
        BOARD_LOG(BOARD_LOG_CLASS_8, "payload_json json create fail!!!\n\n");
        cJSON_Delete(plaintext);
        return nullptr;
    }
    cJSON_AddStringToObject(payload, "mac", mac ? mac : "");
    cJSON_AddStringToObject(payload, "sub", sub ? sub : "");
    cJSON_AddStringToObject(payload, "mid", mid ? mid : "");
    cJSON_AddItemToObject(payload, "plaintext", plaintext);
    return payload;
}

cJSON *event_msg_send_aseemble(int type, const char *topic, cJSON *payload, const char *source,
                               const char *cmd, unsigned char retain) {
    cJSON *msg = payload ? cJSON_CreateObject() : nullptr;
    if (!msg) {
        BOARD_LOG(BOARD_LOG_CLASS_8, "msg_send json create fail!!!\n\n");
        cJSON_Delete(payload);
        return nullptr;
    }
    cJSON_AddNumberToObject(msg, "type", type);
    cJSON_AddStringToObject(msg, "topic", topic ? topic : "");
    cJSON_AddItemToObject(msg, "payload", payload);
    cJSON_AddStringToObject(msg, "source", source ? source : "");
    cJSON_AddStringToObject(msg, "cmd", cmd ? cmd : "");
    cJSON_AddBoolToObject(msg, "retain", retain ? 1 : 0);
    return msg;
}
