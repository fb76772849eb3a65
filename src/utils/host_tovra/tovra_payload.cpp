#include "tovra_payload.h"

#include <atomic>
#include <cstring>

namespace {

// The key as one word, so a reader never sees half of a new key.
std::atomic<uint32_t> g_netkey{0};

constexpr uint32_t kSceneIdMax = 0xFFFFFF;

// One payload under construction on the caller's stack; written out only
// when it is complete and fits, so a failed call leaves `out` untouched.
struct payload {
    uint8_t b[TOVRA_PAYLOAD_MAX];
    int n = TOVRA_PAYLOAD_HEAD;
    bool overflow = false;

    payload(uint8_t op, uint16_t addr, bool grouped) {
        std::memset(b, 0, sizeof b);
        b[0] = op;
        b[1] = (uint8_t)(addr >> 8);
        b[2] = (uint8_t)(addr & 0xFF);
        b[3] = (grouped && addr > 0xFF) ? 1 : 0;
    }
    void put(uint8_t v) {
        if (n >= TOVRA_PAYLOAD_MAX) {
            overflow = true;
            return;
        }
        b[n++] = v;
    }
    void put(const uint8_t *p, int len) {
        for (int i = 0; i < len; i++)
            put(p[i]);
    }
    void put_id(uint32_t id) {
        put((uint8_t)(id >> 16));
        put((uint8_t)(id >> 8));
        put((uint8_t)id);
    }
    int finish(uint8_t *out, int cap) {
        if (overflow || n > cap)
            return -1;
        b[4] = (uint8_t)(n - TOVRA_PAYLOAD_HEAD);
        std::memcpy(out, b, (size_t)n);
        return n;
    }
};

bool bad_out(const uint8_t *out, int cap) {
    return out == nullptr || cap < 0;
}
bool bad_data(const uint8_t *data, int len) {
    return len < 0 || (len > 0 && data == nullptr);
}

}  // namespace

extern "C" {

int tovra_variable_init(const uint8_t *key, int flag) {
    (void)flag;
    if (key == nullptr)
        return -2;
    g_netkey.store((uint32_t)key[0] << 24 | (uint32_t)key[1] << 16 | (uint32_t)key[2] << 8 | key[3],
                   std::memory_order_relaxed);
    return 0;
}

void tovra_variable_key(uint8_t out[4]) {
    uint32_t k = g_netkey.load(std::memory_order_relaxed);
    out[0] = (uint8_t)(k >> 24);
    out[1] = (uint8_t)(k >> 16);
    out[2] = (uint8_t)(k >> 8);
    out[3] = (uint8_t)k;
}

int tovra_device_control(uint16_t addr, const uint8_t *data, int data_len, uint8_t *out, int cap, int group) {
    (void)group;
    if (bad_out(out, cap) || bad_data(data, data_len))
        return -2;
    payload p(TOVRA_OP_DEVICE_CONTROL, addr, true);
    p.put(data, data_len);
    return p.finish(out, cap);
}

int tovra_device_backlight_control_v2(uint16_t addr, uint8_t brightness, uint8_t *out, int cap) {
    if (bad_out(out, cap))
        return -2;
    payload p(TOVRA_OP_BACKLIGHT, addr, false);
    p.put(brightness);
    return p.finish(out, cap);
}

int tovra_group_control(uint16_t roomid, int16_t magic, const uint8_t *data, int data_len, uint8_t *out, int cap,
                        int group) {
    (void)group;
    if (bad_out(out, cap) || bad_data(data, data_len))
        return -2;
    payload p(TOVRA_OP_GROUP_CONTROL, roomid, true);
    uint16_t m = (uint16_t)magic;
    p.put((uint8_t)(m >> 8));
    p.put((uint8_t)(m & 0xFF));
    p.put(data, data_len);
    return p.finish(out, cap);
}

int tovra_device_color_mode(uint16_t addr, uint8_t jiffies, const uint8_t *modes, int mode_count, uint8_t *out,
                            int cap) {
    if (bad_out(out, cap) || bad_data(modes, mode_count))
        return -2;
    payload p(TOVRA_OP_COLOR_MODE, addr, false);
    p.put(jiffies);
    p.put(modes, mode_count);
    return p.finish(out, cap);
}

int tovra_device_modify_roomId(uint16_t addr, uint8_t roomid, uint8_t *out, int cap) {
    if (bad_out(out, cap))
        return -2;
    payload p(TOVRA_OP_MODIFY_ROOM, addr, false);
    p.put(roomid);
    return p.finish(out, cap);
}

int tovra_query_all_device_status_v2(const uint16_t *addrs, int count, uint8_t flag, uint8_t *out, int cap) {
    if (bad_out(out, cap) || count < 0 || (count > 0 && addrs == nullptr))
        return -2;
    if (count > TOVRA_QUERY_ADDR_MAX)
        return -1;
    payload p(TOVRA_OP_STATUS_QUERY, 0, false);
    p.put(flag);
    p.put((uint8_t)count);
    for (int i = 0; i < count; i++) {
        p.put((uint8_t)(addrs[i] >> 8));
        p.put((uint8_t)(addrs[i] & 0xFF));
    }
    return p.finish(out, cap);
}

int tovra_scene_bind_device(uint32_t scene_id, uint16_t addr, const uint8_t *data, int data_len, uint8_t *out,
                            int cap, int group) {
    (void)group;
    if (bad_out(out, cap) || bad_data(data, data_len) || scene_id > kSceneIdMax)
        return -2;
    payload p(TOVRA_OP_SCENE_BIND_DEVICE, addr, true);
    p.put_id(scene_id);
    p.put(data, data_len);
    return p.finish(out, cap);
}

int tovra_scene_remove_device(uint32_t scene_id, uint16_t addr, uint8_t *out, int cap, int group) {
    (void)group;
    if (bad_out(out, cap) || scene_id > kSceneIdMax)
        return -2;
    payload p(TOVRA_OP_SCENE_REMOVE_DEVICE, addr, true);
    p.put_id(scene_id);
    return p.finish(out, cap);
}

static int panel_payload(uint8_t op, uint32_t scene_id, uint16_t addr, uint8_t keyid, uint8_t *out, int cap) {
    if (bad_out(out, cap) || scene_id > kSceneIdMax)
        return -2;
    payload p(op, addr, true);
    p.put_id(scene_id);
    p.put(keyid);
    return p.finish(out, cap);
}

int tovra_scene_bind_panel(uint32_t scene_id, uint16_t addr, uint8_t keyid, uint8_t *out, int cap, int group) {
    (void)group;
    return panel_payload(TOVRA_OP_SCENE_BIND_PANEL, scene_id, addr, keyid, out, cap);
}

int tovra_scene_bind_super_panel(uint32_t scene_id, uint16_t addr, uint8_t keyid, uint8_t *out, int cap,
                                 int group) {
    (void)group;
    return panel_payload(TOVRA_OP_SCENE_BIND_SUPER_PANEL, scene_id, addr, keyid, out, cap);
}

int tovra_scene_unbind_panel(uint32_t scene_id, uint16_t addr, uint8_t keyid, uint8_t *out, int cap, int group) {
    (void)group;
    return panel_payload(TOVRA_OP_SCENE_UNBIND_PANEL, scene_id, addr, keyid, out, cap);
}

int tovra_scene_control(uint32_t scene_id, uint8_t *out, int cap, int group) {
    (void)group;
    if (bad_out(out, cap) || scene_id > kSceneIdMax)
        return -2;
    payload p(TOVRA_OP_SCENE_CONTROL, 0, true);
    p.put_id(scene_id);
    return p.finish(out, cap);
}

}  // extern "C"
