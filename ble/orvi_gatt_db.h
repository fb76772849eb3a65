// The provisioning GATT database: a fixed table of attributes whose handles
// the app relies on, and its Database Hash. Values of the static attributes
// live here; the dynamic ones (the app's data paths and the notification
// switch) are served by the host's listener.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

enum : uint8_t {
    ORVI_GATT_READ = 0x01,
    ORVI_GATT_WRITE = 0x02,    // Write Request, Write Command, long writes
    ORVI_GATT_DYNAMIC = 0x80,  // value served by the listener
};

enum : uint16_t {
    ORVI_UUID_PRIMARY_SERVICE = 0x2800,
    ORVI_UUID_SECONDARY_SERVICE = 0x2801,
    ORVI_UUID_INCLUDE = 0x2802,
    ORVI_UUID_CHARACTERISTIC = 0x2803,
    ORVI_UUID_CHAR_EXT_PROPERTIES = 0x2900,
    ORVI_UUID_CHAR_USER_DESCRIPTION = 0x2901,
    ORVI_UUID_CCC = 0x2902,
    ORVI_UUID_SCC = 0x2903,
    ORVI_UUID_PRESENTATION_FORMAT = 0x2904,
    ORVI_UUID_AGGREGATE_FORMAT = 0x2905,
    ORVI_UUID_DEVICE_NAME = 0x2A00,
    ORVI_UUID_DATABASE_HASH = 0x2B2A,
};

struct OrviGattAttr {
    uint16_t handle;
    std::vector<uint8_t> type;  // 2 or 16 bytes, little endian
    uint8_t flags;              // ORVI_GATT_*
    std::vector<uint8_t> value; // static value (empty for dynamic ones)

    bool type_is16(uint16_t uuid) const { return type.size() == 2 && type[0] == (uuid & 0xFF) && type[1] == (uuid >> 8); }
};

// The database, in handle order, with the Database Hash filled in.
const std::vector<OrviGattAttr> &orvi_gatt_db(void);
// The attribute of `handle`, or null.
const OrviGattAttr *orvi_gatt_find(uint16_t handle);

// The Database Hash of `db`: AES-CMAC with an all-zero key over, in handle
// order, handle || type || value of every service, include and
// characteristic declaration and characteristic extended properties, and
// handle || type of every user description, client and server
// configuration, presentation and aggregate format descriptor; the other
// attributes do not take part. The message is built from the little-endian
// wire form of each field; the 128-bit result is stored little endian, as
// every multi-byte ATT value. 0, or -1 when the cipher is unavailable.
int orvi_gatt_db_hash(const std::vector<OrviGattAttr> &db, uint8_t out[16]);

// AES-CMAC (RFC 4493) of `msg` under `key`, most significant byte first as
// the RFC writes it. 0 or -1.
int orvi_aes_cmac(const uint8_t key[16], const uint8_t *msg, size_t len, uint8_t out[16]);
