#include "orvi_gatt_db.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <cstring>

#include "orvi_bt_host.h"
#include "orvi_log.h"

namespace {

std::vector<uint8_t> u16(uint16_t v) { return {(uint8_t)(v & 0xFF), (uint8_t)(v >> 8)}; }

// A UUID written as people write it ("0000fd06-173c-...") in its little-endian wire form.
std::vector<uint8_t> u128(const char *text) {
    std::vector<uint8_t> be;
    for (const char *p = text; *p && be.size() < 16;) {
        if (*p == '-') {
            p++;
            continue;
        }
        auto nib = [](char c) { return (uint8_t)(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10); };
        be.push_back((uint8_t)(nib(p[0]) << 4 | nib(p[1])));
        p += 2;
    }
    std::reverse(be.begin(), be.end());
    return be;
}

// Characteristic properties of a declaration.
enum : uint8_t { PROP_READ = 0x02, PROP_WRITE_NO_RSP = 0x04, PROP_WRITE = 0x08, PROP_NOTIFY = 0x10 };

std::vector<uint8_t> char_decl(uint8_t props, uint16_t value_handle, const std::vector<uint8_t> &uuid) {
    std::vector<uint8_t> v{props};
    auto h = u16(value_handle);
    v.insert(v.end(), h.begin(), h.end());
    v.insert(v.end(), uuid.begin(), uuid.end());
    return v;
}

std::vector<OrviGattAttr> build(void) {
    // The app's characteristics sit on the Bluetooth base UUID, so they go
    // on the wire in their 16-bit form; the service has a 128-bit UUID of its own.
    const auto decl = u16(ORVI_UUID_CHARACTERISTIC);
    const auto prim = u16(ORVI_UUID_PRIMARY_SERVICE);
    std::vector<OrviGattAttr> db = {
        {ORVI_ATT_GAP_SERVICE, prim, ORVI_GATT_READ, u16(0x1800)},
        {0x0002, decl, ORVI_GATT_READ, char_decl(PROP_READ, ORVI_ATT_DEVICE_NAME, u16(ORVI_UUID_DEVICE_NAME))},
        {ORVI_ATT_DEVICE_NAME, u16(ORVI_UUID_DEVICE_NAME), ORVI_GATT_READ, {'O', 'r', 'v', 'i'}},
        {ORVI_ATT_GATT_SERVICE, prim, ORVI_GATT_READ, u16(0x1801)},
        {0x0005, decl, ORVI_GATT_READ,
         char_decl(PROP_READ, ORVI_ATT_DATABASE_HASH, u16(ORVI_UUID_DATABASE_HASH))},
        {ORVI_ATT_DATABASE_HASH, u16(ORVI_UUID_DATABASE_HASH), ORVI_GATT_READ, std::vector<uint8_t>(16, 0)},
        {ORVI_ATT_PROV_SERVICE, prim, ORVI_GATT_READ, u128("0000fd06-173c-93d2-488e-fe144d2e12a2")},
        {0x0008, decl, ORVI_GATT_READ, char_decl(PROP_WRITE, ORVI_ATT_FD03_VALUE, u16(0xFD03))},
        {ORVI_ATT_FD03_VALUE, u16(0xFD03), ORVI_GATT_WRITE | ORVI_GATT_DYNAMIC, {}},
        {0x000A, decl, ORVI_GATT_READ, char_decl(PROP_NOTIFY, ORVI_ATT_FD04_VALUE, u16(0xFD04))},
        {ORVI_ATT_FD04_VALUE, u16(0xFD04), ORVI_GATT_DYNAMIC, {}},
        {ORVI_ATT_FD04_CCC, u16(ORVI_UUID_CCC), ORVI_GATT_READ | ORVI_GATT_WRITE | ORVI_GATT_DYNAMIC, {}},
        {0x000D, decl, ORVI_GATT_READ, char_decl(PROP_READ, ORVI_ATT_FD05_VALUE, u16(0xFD05))},
        {ORVI_ATT_FD05_VALUE, u16(0xFD05), ORVI_GATT_READ | ORVI_GATT_DYNAMIC, {}},
        {0x000F, decl, ORVI_GATT_READ, char_decl(PROP_READ, ORVI_ATT_FD06_VALUE, u16(0xFD06))},
        {ORVI_ATT_FD06_VALUE, u16(0xFD06), ORVI_GATT_READ | ORVI_GATT_DYNAMIC, {}},
    };
    uint8_t hash[16];
    if (orvi_gatt_db_hash(db, hash) == 0) {
        db[ORVI_ATT_DATABASE_HASH - 1].value.assign(hash, hash + 16);
    } else {
        ORVI_LOGE("database hash unavailable: AES-CMAC failed");
    }
    return db;
}

}  // namespace

int orvi_aes_cmac(const uint8_t key[16], const uint8_t *msg, size_t len, uint8_t out[16]) {
    EVP_MAC *mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
    if (!mac) return -1;
    EVP_MAC_CTX *ctx = EVP_MAC_CTX_new(mac);
    int rc = -1;
    if (ctx) {
        char cipher[] = "AES-128-CBC";
        OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher, 0),
                               OSSL_PARAM_construct_end()};
        size_t n = 0;
        if (EVP_MAC_init(ctx, key, 16, params) == 1 && EVP_MAC_update(ctx, msg, len) == 1 &&
            EVP_MAC_final(ctx, out, &n, 16) == 1 && n == 16)
            rc = 0;
        EVP_MAC_CTX_free(ctx);
    }
    EVP_MAC_free(mac);
    return rc;
}

int orvi_gatt_db_hash(const std::vector<OrviGattAttr> &db, uint8_t out[16]) {
    std::vector<uint8_t> m;
    for (const auto &a : db) {
        bool with_value = a.type_is16(ORVI_UUID_PRIMARY_SERVICE) || a.type_is16(ORVI_UUID_SECONDARY_SERVICE) ||
                          a.type_is16(ORVI_UUID_INCLUDE) || a.type_is16(ORVI_UUID_CHARACTERISTIC) ||
                          a.type_is16(ORVI_UUID_CHAR_EXT_PROPERTIES);
        bool type_only = a.type_is16(ORVI_UUID_CHAR_USER_DESCRIPTION) || a.type_is16(ORVI_UUID_CCC) ||
                         a.type_is16(ORVI_UUID_SCC) || a.type_is16(ORVI_UUID_PRESENTATION_FORMAT) ||
                         a.type_is16(ORVI_UUID_AGGREGATE_FORMAT);
        if (!with_value && !type_only) continue;
        m.push_back((uint8_t)(a.handle & 0xFF));
        m.push_back((uint8_t)(a.handle >> 8));
        m.insert(m.end(), a.type.begin(), a.type.end());
        if (with_value) m.insert(m.end(), a.value.begin(), a.value.end());
    }
    static const uint8_t zero[16] = {0};
    uint8_t be[16];
    if (orvi_aes_cmac(zero, m.data(), m.size(), be) != 0) return -1;
    for (int i = 0; i < 16; i++) out[i] = be[15 - i];
    return 0;
}

const std::vector<OrviGattAttr> &orvi_gatt_db(void) {
    static const std::vector<OrviGattAttr> db = build();
    return db;
}

const OrviGattAttr *orvi_gatt_find(uint16_t handle) {
    const auto &db = orvi_gatt_db();
    if (handle == 0 || handle > db.size()) return nullptr;
    return &db[handle - 1];
}
