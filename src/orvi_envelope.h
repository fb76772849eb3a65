// The "pack" envelope around application packets: the checks a received
// envelope must pass, the response envelope, and the rules that pick a key.
// Pure functions of their arguments; the request task calls them, any thread may.
#pragma once

#include <cJSON.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "orvi_types.h"

// What a received packet turned out to be.
typedef struct orvi_envelope_s {
    // false: a plain packet ("t" other than "pack"), family AES_KEY_TYPE_NONE,
    // to be handed on whole; the fields below stay empty.
    bool is_pack = false;
    aes_key_t key_type = AES_KEY_TYPE_NONE;
    char cid[17] = {0};   // sender's identifier ("" when absent, as over BLE)
    char tcid[17] = {0};  // target identifier ("" when absent or empty)
    uint32_t msgId = 0;
    bool has_msgId = false;  // a numeric "msgId" was present
    int pIn = 0;             // BLE: the request's "pIn" (0 when not a number)
    std::string pack;        // the Base64 cipher text
} orvi_envelope_t;

// Checks a received packet of `len` bytes that came over `conn`, in order:
// JSON with "t"; members complete for the channel; member types and sizes;
// not the host's own echo (`home_mac`); addressed to this host; non-empty
// "pack". Returns 0 with `out` filled, -1 when the packet is to be dropped
// (its reason logged), -2 for a null argument.
int orvi_envelope_check(const char *text, size_t len, connect_type_t conn, const std::string &home_mac,
                        orvi_envelope_t *out);

// Prints the response envelope, unformatted, into `out`: "t", "i", then over
// BLE "pIn": 1 and "uid": 0, else "cid" (`home_mac`), "tcid", "msgId"; then
// "pack"; "enNet" when `enNet` >= 0; a copy of `extras` when not null.
// Returns 0, or -1 for a family that is never wrapped (AES_KEY_TYPE_NONE).
int orvi_envelope_build(aes_key_t rsp_key, connect_type_t conn, const std::string &home_mac,
                        const std::string &tcid, uint32_t msgId, const std::string &cipher_b64, int enNet,
                        const cJSON *extras, std::string &out);

// The key that opens a received envelope of `family` that came over `conn`.
// `sender_key` is the key of the record standing for the sender (the
// registered subdevice found by "cid"; over BLE the host's own record, which
// holds random_key); null when the sender is not registered. Returns one of
// the given keys, or null when none applies (logged).
const char *orvi_envelope_rx_key(aes_key_t family, connect_type_t conn, const char *default_key,
                                 const char *home_key, const char *sender_key);

// The key that seals a response of `family` leaving over `conn` for a target
// record of `target_type` holding `target_key`. Returns one of the given keys,
// or null for AES_KEY_TYPE_NONE (the response leaves in plain form) and for
// an unknown family.
const char *orvi_envelope_tx_key(aes_key_t family, connect_type_t conn, dev_type_t target_type,
                                 const char *default_key, const char *random_key, const char *target_key);
