// The builders: the only producers of queued lighting commands.
//
// Addresses above 255. The library's payloads carry the whole 16-bit
// address. The frames the host builds itself ("AT+CTRL", "AT+BYPASS") were
// laid out for one address byte; for an address above 255 they carry it
// whole instead:
//   "AT+CTRL": the kind byte (the second byte, 0x02) gets bit 7 set (0x82)
//   and the one address byte becomes two, high byte first; the leading byte
//   grows by one with the frame. An address up to 255 keeps the short form
//   byte for byte.
//   "AT+BYPASS" list: byte 3 (0x00 before) is the high byte of the lowest
//   address, byte 4 its low byte.
#include <algorithm>
#include <cstring>
#include <vector>

#include "tovra_hooks.h"
#include "tovra_payload.h"
#include "tovra_queue.h"

namespace {

typedef int (*queue_add_fn)(const tovra_msg_t *);

tovra_msg_t make(const char *atcmd, uint16_t addr, uint8_t repeat) {
    tovra_msg_t m;
    memset(&m, 0, sizeof m);
    strncpy(m.atcmd, atcmd, sizeof m.atcmd - 1);
    m.addr = addr;
    m.repeat_times = repeat;
    return m;
}

// Queues `copies` copies; -1 when any was dropped.
int queue(queue_add_fn add, const tovra_msg_t &m, int copies) {
    int rc = 0;
    for (int i = 0; i < copies; i++)
        if (add(&m) != 0)
            rc = -1;
    return rc;
}

// A payload the library refused leaves nothing to send.
bool payload_ok(const char *who, tovra_msg_t &m, int len) {
    if (len < 0 || len > TOVRA_ATDATA_MAX) {
        TOVRA_LOG(TOVRA_DEBUG_ERROR, "[%s]payload for %u failed (%d): command dropped", who, m.addr, len);
        return false;
    }
    m.atlen = (uint8_t)len;
    return true;
}

int group_of(uint16_t addr) {
    return addr > 0xFF ? 1 : 0;
}

void set_reqid(tovra_msg_t &m, const char *reqId) {
    if (reqId != nullptr)
        strncpy(m.scene_reqId, reqId, sizeof m.scene_reqId - 1);
}

// An "AT+CTRL" payload: lead, kind 0x02, the address, then `rest`.
void ctrl_payload(tovra_msg_t &m, uint8_t lead, uint16_t addr, std::initializer_list<uint8_t> rest) {
    uint8_t n = 0;
    if (addr > 0xFF) {
        m.atdata[n++] = (uint8_t)(lead + 1);
        m.atdata[n++] = 0x82;
        m.atdata[n++] = (uint8_t)(addr >> 8);
        m.atdata[n++] = (uint8_t)(addr & 0xFF);
    } else {
        m.atdata[n++] = lead;
        m.atdata[n++] = 0x02;
        m.atdata[n++] = (uint8_t)addr;
    }
    for (uint8_t b : rest)
        m.atdata[n++] = b;
    m.atlen = n;
}

int simple(const char *atcmd) {
    tovra_msg_t m = make(atcmd, 0, 1);
    return queue(tovra_msg_queue_add, m, 1);
}

struct mode_bytes {
    uint8_t b[5];
    int n;
};
const mode_bytes kColorModes[] = {
    {{0x02, 0x01, 0x04, 0x05, 0x06}, 5}, {{0x02, 0x01, 0x03}, 3}, {{0x01, 0x04, 0x05}, 3},
    {{0x02, 0x04, 0x06}, 3},             {{0x82, 0x01, 0x04, 0x05, 0x06}, 5}, {{0x02, 0x04, 0x01}, 3},
    {{0x82, 0x04, 0x01}, 3},             {{0x06, 0x04, 0x06}, 3}, {{0x86, 0x04}, 2},
    {{0x82, 0x04}, 2},                   {{0x04, 0x00}, 2},       {{0x02, 0x00}, 2},
    {{0x01, 0x00}, 2},                   {{0x82, 0x00}, 2},       {{0x81, 0x00}, 2},
    {{0x84, 0x00}, 2},
};
const mode_bytes kTempModes[] = {
    {{0x10, 0x08, 0x18}, 3}, {{0x88, 0x10}, 2}, {{0x10, 0x00}, 2}, {{0x90, 0x00}, 2},
    {{0x08, 0x00}, 2},       {{0x88, 0x00}, 2}, {{0x07, 0x00}, 2}, {{0x87, 0x00}, 2},
};

int led_mode(const char *who, uint16_t addr, int mode, uint8_t jiffies, const mode_bytes *table, int count) {
    mode_bytes none = {{0}, 0};
    const mode_bytes &mb = (mode >= 1 && mode <= count) ? table[mode - 1] : none;
    tovra_msg_t m = make("AT+IHG", addr, 1);
    if (!payload_ok(who, m, tovra_device_color_mode(addr, jiffies, mb.b, mb.n, m.atdata, TOVRA_ATDATA_MAX)))
        return -1;
    return queue(tovra_scene_msg_queue_add, m, 1);
}

int panel(const char *who, queue_add_fn add, int copies, uint8_t repeat, uint32_t scene_id, uint8_t keyid,
          uint16_t addr, const char *reqId, int bind,
          int (*lib)(uint32_t, uint16_t, uint8_t, uint8_t *, int, int)) {
    tovra_msg_t m = make("AT+IHG", addr, repeat);
    if (!payload_ok(who, m, lib(scene_id, addr, keyid, m.atdata, TOVRA_ATDATA_MAX, group_of(addr))))
        return -1;
    set_reqid(m, reqId);
    m.scene_bind = (uint8_t)bind;
    return queue(add, m, copies);
}

}  // namespace

int at_type_msg_add_queue(void) {
    return simple("AT+TYPE");
}
int at_setinfo_msg_add_queue(void) {
    return simple("AT+SETINFO");
}
int at_pairstart_msg_add_queue(void) {
    return simple("AT+PAIRSTART");
}
int at_pairsave_msg_add_queue(void) {
    return simple("AT+PAIRSAVE");
}
int at_pairstop_msg_add_queue(void) {
    return simple("AT+PAIRSTOP");
}
int at_monitor_msg_add_queue(void) {
    return simple("AT+MONITOR ");
}

int at_ctrl_msg_add_queue(uint16_t addr, const uint8_t *data, int data_len) {
    tovra_msg_t m = make("AT+IHG", addr, 1);
    if (!payload_ok(__func__, m,
                    tovra_device_control(addr, data, data_len, m.atdata, TOVRA_ATDATA_MAX, group_of(addr))))
        return -1;
    return queue(tovra_msg_queue_add, m, 2);
}

int at_backlight_ctrl_msg_add_queue(uint16_t addr, uint8_t brightness) {
    tovra_msg_t m = make("AT+IHG", addr, 1);
    if (!payload_ok(__func__, m, tovra_device_backlight_control_v2(addr, brightness, m.atdata, TOVRA_ATDATA_MAX)))
        return -1;
    return queue(tovra_msg_queue_add, m, 2);
}

int at_three_parties_switch_group_ctrl_msg_add_queue(uint16_t addr, int pow) {
    tovra_msg_t m = make("AT+CTRL", addr, 1);
    ctrl_payload(m, 0x04, addr, {(uint8_t)(pow == 1 ? 0x0F : 0x00)});
    return queue(tovra_msg_queue_add, m, 2);
}

int at_three_parties_curtain_group_ctrl_msg_add_queue(uint16_t addr, uint8_t curpercent, int flag) {
    tovra_msg_t m = make("AT+CTRL", addr, 1);
    ctrl_payload(m, 0x08, addr, {0x00, curpercent, 0x00, (uint8_t)(flag == 1 ? 0xFF : 0x00), 0x00, 0x00});
    return queue(tovra_msg_queue_add, m, 2);
}

int at_tovra_all_ctrl_msg_add_queue(uint16_t roomid, const uint8_t *data, int data_len) {
    tovra_msg_t m = make("AT+IHG", roomid, 3);
    if (!payload_ok(__func__, m, tovra_group_control(roomid, -22486, data, data_len, m.atdata, TOVRA_ATDATA_MAX, 0)))
        return -1;
    return queue(tovra_scene_msg_queue_add, m, 1);
}

int at_led_color_ctrl_msg_add_queue(uint16_t addr, int color, uint8_t jiffies) {
    return led_mode(__func__, addr, color, jiffies, kColorModes, (int)(sizeof kColorModes / sizeof kColorModes[0]));
}

int at_led_temp_ctrl_msg_add_queue(uint16_t addr, int color, uint8_t jiffies) {
    return led_mode(__func__, addr, color, jiffies, kTempModes, (int)(sizeof kTempModes / sizeof kTempModes[0]));
}

int at_ctrl_reset_msg_add_queue(uint16_t addr) {
    tovra_msg_t m = make("AT+CTRL", addr, 1);
    ctrl_payload(m, 0x04, addr, {0x90});
    return queue(tovra_retry_msg_queue_add, m, 2);
}

int at_roomset_msg_add_queue(uint8_t roomid, uint8_t keyid, uint16_t addr) {
    tovra_msg_t m = make("AT+CTRL", addr, 1);
    ctrl_payload(m, 0x05, addr, {0x80, keyid, roomid});
    return queue(tovra_retry_msg_queue_add, m, 1);
}

int at_other_roomset_msg_add_queue(uint8_t roomid, uint16_t addr) {
    tovra_msg_t m = make("AT+IHG", addr, 1);
    if (!payload_ok(__func__, m, tovra_device_modify_roomId(addr, roomid, m.atdata, TOVRA_ATDATA_MAX)))
        return -1;
    return queue(tovra_retry_msg_queue_add, m, 1);
}

int at_bypass_msg_add_queue(uint16_t addr) {
    tovra_msg_t m = make("AT+IHG", addr, 1);
    if (!payload_ok(__func__, m, tovra_query_all_device_status_v2(&addr, 1, 0x4F, m.atdata, TOVRA_ATDATA_MAX)))
        return -1;
    int rc = queue(tovra_msg_queue_add, m, 1);
    tm_100ms.Query_Wait_Time = 0x401E;
    return rc;
}

int at_bypass_list_msg_add_queue(const uint16_t *addr_list, int addr_num) {
    if (addr_list == nullptr || addr_num <= 0)
        return -1;
    if (addr_num == 1)
        return at_bypass_msg_add_queue(addr_list[0]);
    std::vector<uint16_t> addrs(addr_list, addr_list + addr_num);
    std::sort(addrs.begin(), addrs.end());
    addrs.erase(std::unique(addrs.begin(), addrs.end()), addrs.end());
    // The bit map runs from byte 5 to the end of the payload: a batch whose
    // addresses lie further apart than it can mark is split into frames that
    // each fit.
    const size_t kSpan = (size_t)(TOVRA_ATDATA_MAX - 5) * 8;
    int rc = 0;
    size_t i = 0;
    while (i < addrs.size()) {
        size_t j = i;
        while (j < addrs.size() && (size_t)(addrs[j] - addrs[i]) < kSpan)
            j++;
        size_t n = j - i;
        if (n == 1) {
            if (at_bypass_msg_add_queue(addrs[i]) != 0)
                rc = -1;
            i = j;
            continue;
        }
        uint16_t low = addrs[i];
        tovra_msg_t m = make("AT+BYPASS", low, 1);
        unsigned mask = n >= 8 ? 0xFF : (1u << n) - 1;
        m.atdata[0] = 0x00;
        m.atdata[1] = 0x40;
        m.atdata[2] = (uint8_t)mask;
        m.atdata[3] = (uint8_t)(low >> 8);
        m.atdata[4] = (uint8_t)(low & 0xFF);
        size_t hi = 0;
        for (size_t k = i; k < j; k++) {
            size_t d = (size_t)(addrs[k] - low);
            m.atdata[5 + d / 8] |= (uint8_t)(1u << (d & 7));
            hi = std::max(hi, d / 8);
        }
        m.atlen = (uint8_t)(6 + hi);
        if (queue(tovra_msg_queue_add, m, 1) != 0)
            rc = -1;
        tm_100ms.Query_Wait_Time = (uint16_t)(0x4005 + mask * 15 / 100);
        i = j;
    }
    return rc;
}

int at_scene_msg_add_queue(uint32_t scene_id, uint16_t addr, const uint8_t *data, int data_len, const char *reqId) {
    tovra_msg_t m = make("AT+IHG", addr, 3);
    if (!payload_ok(__func__, m,
                    tovra_scene_bind_device(scene_id, addr, data, data_len, m.atdata, TOVRA_ATDATA_MAX,
                                            group_of(addr))))
        return -1;
    set_reqid(m, reqId);
    return queue(tovra_scene_msg_queue_add, m, 1);
}

int at_scene_msg_delete_queue(uint32_t scene_id, uint16_t addr) {
    tovra_msg_t m = make("AT+IHG", addr, 1);
    if (!payload_ok(__func__, m,
                    tovra_scene_remove_device(scene_id, addr, m.atdata, TOVRA_ATDATA_MAX, group_of(addr))))
        return -1;
    return queue(tovra_scene_msg_queue_add, m, 1);
}

int at_bigscene_msg_add_queue(uint32_t scene_id) {
    (void)scene_id;  // the whole-network broadcast names no scene
    tovra_msg_t m = make("AT+IHG", 0, 1);
    m.atdata[0] = 0xFF;
    m.atlen = 1;
    return queue(tovra_retry_msg_queue_add, m, 1);
}

int at_scene_msg_bind_queue(uint32_t scene_id, uint8_t keyid, uint16_t addr, const char *reqId) {
    return panel(__func__, tovra_scene_bind_msg_queue_add, 1, 3, scene_id, keyid, addr, reqId, 1,
                 tovra_scene_bind_panel);
}

int at_blswitch_scene_msg_bind_queue(uint32_t scene_id, uint8_t keyid, uint16_t addr, const char *reqId) {
    return panel(__func__, tovra_scene_bind_msg_queue_add, 1, 3, scene_id, keyid, addr, reqId, 1,
                 tovra_scene_bind_super_panel);
}

int at_scene_msg_unbind_queue(uint32_t scene_id, uint8_t keyid, uint16_t addr, const char *reqId) {
    return panel(__func__, tovra_scene_bind_msg_queue_add, 1, 3, scene_id, keyid, addr, reqId, 0,
                 tovra_scene_unbind_panel);
}

int at_cube_reset_msg_queue(uint32_t scene_id, uint8_t keyid, uint16_t addr) {
    return panel(__func__, tovra_msg_queue_add, 2, 1, scene_id, keyid, addr, nullptr, 0, tovra_scene_bind_panel);
}

int at_scene_switch_reset_msg_queue(uint32_t scene_id, uint8_t keyid, uint16_t addr) {
    return panel(__func__, tovra_retry_msg_queue_add, 2, 1, scene_id, keyid, addr, nullptr, 0,
                 tovra_scene_bind_panel);
}

// The bound device's address travels in the scene-id field, whole: the
// field holds 24 bits, so a device above 255 is not taken for another.
int at_device_msg_bind_queue(uint8_t keyid, uint16_t addr, uint16_t deviceaddr, uint8_t kind) {
    return panel(__func__, tovra_msg_queue_add, 1, 1, deviceaddr, (uint8_t)((kind << 4) | (keyid & 0x0F)), addr,
                 nullptr, 0, tovra_scene_bind_panel);
}

int at_device_msg_unbind_queue(uint8_t keyid, uint16_t addr, uint16_t deviceaddr, uint8_t kind) {
    return panel(__func__, tovra_msg_queue_add, 1, 1, deviceaddr, (uint8_t)((kind << 4) | (keyid & 0x0F)), addr,
                 nullptr, 0, tovra_scene_unbind_panel);
}

int at_scene_ctrl_msg_add_queue(uint32_t scene_id) {
    tovra_msg_t m = make("AT+IHG", 0, 1);
    if (!payload_ok(__func__, m, tovra_scene_control(scene_id, m.atdata, TOVRA_ATDATA_MAX, 0)))
        return -1;
    send_scene_id_add(scene_id);
    return queue(tovra_msg_queue_add, m, 3);
}

int at_scene_test_ctrl_msg_add_queue(uint32_t scene_id) {
    tovra_msg_t m = make("AT+CTRL", 0, 1);
    const uint8_t p[] = {0x04, 0x0B, (uint8_t)(scene_id >> 16), (uint8_t)(scene_id >> 8), (uint8_t)scene_id};
    memcpy(m.atdata, p, sizeof p);
    m.atlen = sizeof p;
    return queue(tovra_msg_queue_add, m, 1);
}
