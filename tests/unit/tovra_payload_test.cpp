#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tovra_payload.h"

namespace {

using bytes = std::vector<uint8_t>;

// Runs one library call into a buffer of `cap` bytes with a guard pattern
// behind it; the guard must survive every call.
struct built {
    int rc;
    bytes out;
};
built run(int cap, const std::function<int(uint8_t *, int)> &call) {
    std::vector<uint8_t> buf((size_t)cap + 8, 0xEE);
    int rc = call(buf.data(), cap);
    for (size_t i = (size_t)cap; i < buf.size(); i++)
        EXPECT_EQ(0xEE, buf[i]) << "written past the capacity at " << i;
    built b{rc, {}};
    if (rc > 0)
        b.out.assign(buf.begin(), buf.begin() + rc);
    return b;
}

const uint8_t kCtrl[] = {0x11, 0x22, 0x33};

struct op_case {
    const char *name;
    std::function<int(uint8_t *, int)> call;
    bytes want;
};

}  // namespace

TEST(TovraPayload, EachOpLaysOutOpAddressGroupLengthAndData) {
    const uint16_t list[] = {0x0012, 0x0134};
    const uint8_t modes[] = {0x82, 0x04};
    const op_case cases[] = {
        {"device control low address",
         [](uint8_t *o, int c) { return tovra_device_control(0x12, kCtrl, 3, o, c, 0); },
         {0x01, 0x00, 0x12, 0, 3, 0x11, 0x22, 0x33}},
        {"device control address above 255 is whole and grouped",
         [](uint8_t *o, int c) { return tovra_device_control(0x1A5, kCtrl, 3, o, c, 1); },
         {0x01, 0x01, 0xA5, 1, 3, 0x11, 0x22, 0x33}},
        {"device control address 256", [](uint8_t *o, int c) { return tovra_device_control(256, kCtrl, 1, o, c, 1); },
         {0x01, 0x01, 0x00, 1, 1, 0x11}},
        {"backlight takes no group flag even above 255",
         [](uint8_t *o, int c) { return tovra_device_backlight_control_v2(0x1FF, 80, o, c); },
         {0x02, 0x01, 0xFF, 0, 1, 80}},
        {"group control carries the magic first",
         [](uint8_t *o, int c) { return tovra_group_control(7, -22486, kCtrl, 2, o, c, 0); },
         {0x03, 0x00, 0x07, 0, 4, 0xA8, 0x2A, 0x11, 0x22}},
        {"colour mode", [&](uint8_t *o, int c) { return tovra_device_color_mode(0x30, 5, modes, 2, o, c); },
         {0x04, 0x00, 0x30, 0, 3, 5, 0x82, 0x04}},
        {"modify room", [](uint8_t *o, int c) { return tovra_device_modify_roomId(0x300, 9, o, c); },
         {0x05, 0x03, 0x00, 0, 1, 9}},
        {"status query lists whole addresses",
         [&](uint8_t *o, int c) { return tovra_query_all_device_status_v2(list, 2, 0x4F, o, c); },
         {0x06, 0x00, 0x00, 0, 6, 0x4F, 2, 0x00, 0x12, 0x01, 0x34}},
        {"scene bind device, 24-bit id",
         [](uint8_t *o, int c) { return tovra_scene_bind_device(0xABCDEF, 0x44, kCtrl, 2, o, c, 0); },
         {0x07, 0x00, 0x44, 0, 5, 0xAB, 0xCD, 0xEF, 0x11, 0x22}},
        {"scene remove device", [](uint8_t *o, int c) { return tovra_scene_remove_device(12345, 0x101, o, c, 1); },
         {0x08, 0x01, 0x01, 1, 3, 0x00, 0x30, 0x39}},
        {"scene bind panel", [](uint8_t *o, int c) { return tovra_scene_bind_panel(12345, 0x21, 15, o, c, 0); },
         {0x09, 0x00, 0x21, 0, 4, 0x00, 0x30, 0x39, 15}},
        {"scene bind super panel",
         [](uint8_t *o, int c) { return tovra_scene_bind_super_panel(0xFFFFFF, 0x21, 2, o, c, 0); },
         {0x0A, 0x00, 0x21, 0, 4, 0xFF, 0xFF, 0xFF, 2}},
        {"scene unbind panel", [](uint8_t *o, int c) { return tovra_scene_unbind_panel(1, 0x2FF, 3, o, c, 1); },
         {0x0B, 0x02, 0xFF, 1, 4, 0x00, 0x00, 0x01, 3}},
        {"scene control", [](uint8_t *o, int c) { return tovra_scene_control(0x010203, o, c, 0); },
         {0x0C, 0x00, 0x00, 0, 3, 0x01, 0x02, 0x03}},
    };
    for (const auto &c : cases) {
        built b = run(TOVRA_PAYLOAD_MAX, c.call);
        EXPECT_EQ((int)c.want.size(), b.rc) << c.name;
        EXPECT_EQ(c.want, b.out) << c.name;
        ASSERT_FALSE(b.out.empty()) << c.name;
        EXPECT_NE(0xFF, b.out[0]) << c.name;
    }
}

TEST(TovraPayload, RefusesWhatDoesNotFitOrIsInvalidAndWritesNothing) {
    uint8_t big[64];
    std::memset(big, 0x5A, sizeof big);
    uint16_t many[TOVRA_QUERY_ADDR_MAX + 1] = {};
    struct refusal {
        const char *name;
        int cap;
        std::function<int(uint8_t *, int)> call;
    } cases[] = {
        {"45 control bytes fill 50 exactly, one more does not fit", TOVRA_PAYLOAD_MAX,
         [&](uint8_t *o, int c) { return tovra_device_control(1, big, 46, o, c, 0); }},
        {"capacity smaller than the payload", 7,
         [](uint8_t *o, int c) { return tovra_device_control(1, kCtrl, 3, o, c, 0); }},
        {"capacity smaller than the header", 4,
         [](uint8_t *o, int c) { return tovra_device_modify_roomId(1, 2, o, c); }},
        {"scene id above 24 bits", TOVRA_PAYLOAD_MAX,
         [](uint8_t *o, int c) { return tovra_scene_control(0x1000000, o, c, 0); }},
        {"scene id above 24 bits on a panel bind", TOVRA_PAYLOAD_MAX,
         [](uint8_t *o, int c) { return tovra_scene_bind_panel(0x1000000, 1, 1, o, c, 0); }},
        {"status query of 22 addresses", TOVRA_PAYLOAD_MAX,
         [&](uint8_t *o, int c) { return tovra_query_all_device_status_v2(many, TOVRA_QUERY_ADDR_MAX + 1, 0x4F, o, c); }},
        {"control bytes missing", TOVRA_PAYLOAD_MAX,
         [](uint8_t *o, int c) { return tovra_device_control(1, nullptr, 2, o, c, 0); }},
        {"negative length", TOVRA_PAYLOAD_MAX,
         [](uint8_t *o, int c) { return tovra_scene_bind_device(1, 1, kCtrl, -1, o, c, 0); }},
        {"group control too long with its magic", TOVRA_PAYLOAD_MAX,
         [&](uint8_t *o, int c) { return tovra_group_control(1, -22486, big, 44, o, c, 0); }},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> buf((size_t)c.cap + 8, 0xEE);
        EXPECT_LT(c.call(buf.data(), c.cap), 0) << c.name;
        for (size_t i = 0; i < buf.size(); i++)
            ASSERT_EQ(0xEE, buf[i]) << c.name << ": byte " << i << " written";
    }
    EXPECT_EQ(TOVRA_PAYLOAD_MAX, run(TOVRA_PAYLOAD_MAX, [&](uint8_t *o, int c) {
                                     return tovra_device_control(1, big, 45, o, c, 0);
                                 }).rc);
    EXPECT_EQ(TOVRA_PAYLOAD_HEAD + 2 + 2 * TOVRA_QUERY_ADDR_MAX,
              run(TOVRA_PAYLOAD_MAX, [&](uint8_t *o, int c) {
                  return tovra_query_all_device_status_v2(many, TOVRA_QUERY_ADDR_MAX, 1, o, c);
              }).rc);
}

TEST(TovraPayload, KeepsTheNetworkKey) {
    const uint8_t key[4] = {0xDE, 0xAD, 0x00, 0x01};
    ASSERT_EQ(0, tovra_variable_init(key, 1));
    uint8_t got[4] = {};
    tovra_variable_key(got);
    EXPECT_EQ(0, std::memcmp(key, got, 4));
    EXPECT_LT(tovra_variable_init(nullptr, 1), 0);
}
