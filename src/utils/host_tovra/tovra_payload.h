// The lighting payload library: builds the broadcast payloads that travel
// inside "AT+IHG" frames to the lighting module. The board may link a closed
// library with the same entry points in its place, so they are plain C.
//
// Every payload is
//   byte 0      op (never 0xFF: that byte alone is the host's own
//               whole-network scene broadcast)
//   bytes 1, 2  16-bit address, high byte first (a room id, or 0 where the
//               op takes none)
//   byte 3      group flag: 1 when the address is above 255, for the ops
//               that take a group flag; 0 otherwise
//   byte 4      n, the number of data bytes that follow
//   bytes 5..   data
// The `group` argument of the calls that take one is kept for their callers'
// argument lists; the flag itself follows the address, so a payload never
// carries a flag that disagrees with it. 5 + n is at most TOVRA_PAYLOAD_MAX. Scene ids are 24-bit, written most
// significant byte first.
//
// Every call returns the payload length, or a negative value (nothing
// written) when an argument is invalid (-2) or the payload would not fit
// the capacity or TOVRA_PAYLOAD_MAX (-1). The calls share no scratch state:
// any thread may call any of them at any time.
#pragma once

#include <stdint.h>

#define TOVRA_PAYLOAD_MAX 50
#define TOVRA_PAYLOAD_HEAD 5

enum tovra_payload_op_e {
    TOVRA_OP_DEVICE_CONTROL = 0x01,
    TOVRA_OP_BACKLIGHT = 0x02,
    TOVRA_OP_GROUP_CONTROL = 0x03,
    TOVRA_OP_COLOR_MODE = 0x04,
    TOVRA_OP_MODIFY_ROOM = 0x05,
    TOVRA_OP_STATUS_QUERY = 0x06,
    TOVRA_OP_SCENE_BIND_DEVICE = 0x07,
    TOVRA_OP_SCENE_REMOVE_DEVICE = 0x08,
    TOVRA_OP_SCENE_BIND_PANEL = 0x09,
    TOVRA_OP_SCENE_BIND_SUPER_PANEL = 0x0A,
    TOVRA_OP_SCENE_UNBIND_PANEL = 0x0B,
    TOVRA_OP_SCENE_CONTROL = 0x0C,
};

// Most addresses one status query carries.
#define TOVRA_QUERY_ADDR_MAX 21

#ifdef __cplusplus
extern "C" {
#endif

// Records the 4-byte home network key. This library sends payloads in the
// clear: the key is kept only so that a library that encrypts could use it.
// 0, or -2 for a null key.
int tovra_variable_init(const uint8_t *key, int flag);
// The recorded key (zeros before the first init).
void tovra_variable_key(uint8_t out[4]);

int tovra_device_control(uint16_t addr, const uint8_t *data, int data_len, uint8_t *out, int cap, int group);
int tovra_device_backlight_control_v2(uint16_t addr, uint8_t brightness, uint8_t *out, int cap);
int tovra_group_control(uint16_t roomid, int16_t magic, const uint8_t *data, int data_len, uint8_t *out, int cap,
                        int group);
int tovra_device_color_mode(uint16_t addr, uint8_t jiffies, const uint8_t *modes, int mode_count, uint8_t *out,
                            int cap);
int tovra_device_modify_roomId(uint16_t addr, uint8_t roomid, uint8_t *out, int cap);
int tovra_query_all_device_status_v2(const uint16_t *addrs, int count, uint8_t flag, uint8_t *out, int cap);
int tovra_scene_bind_device(uint32_t scene_id, uint16_t addr, const uint8_t *data, int data_len, uint8_t *out,
                            int cap, int group);
int tovra_scene_remove_device(uint32_t scene_id, uint16_t addr, uint8_t *out, int cap, int group);
int tovra_scene_bind_panel(uint32_t scene_id, uint16_t addr, uint8_t keyid, uint8_t *out, int cap, int group);
int tovra_scene_bind_super_panel(uint32_t scene_id, uint16_t addr, uint8_t keyid, uint8_t *out, int cap,
                                 int group);
int tovra_scene_unbind_panel(uint32_t scene_id, uint16_t addr, uint8_t keyid, uint8_t *out, int cap, int group);
int tovra_scene_control(uint32_t scene_id, uint8_t *out, int cap, int group);

#ifdef __cplusplus
}
#endif
