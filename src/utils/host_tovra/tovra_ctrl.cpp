// Lighting requests.
//
// A control request names a lighting device by its MAC; its command goes
// through the device model's codec, whose output names the queued command
// (`tovra_cmd_to_at`). Colour gradients and panel backlights, which the
// codecs do not carry, are queued from the request itself.
//
// Room group control: lights are switched by one group command to the room, sent three times on
// the scene queue (the broadcast reaches every light of the room at once, so
// no light is asked alone). Curtains get the curtain scene of their per cent
// and then one command each, since each model moves on its own form.
// Each command is followed by a provisional status stating the commanded
// values before the devices answer, and a controlled device is asked for
// its real status a few seconds later.
#include "tovra_ctrl.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "orvi_aes.h"
#include "orvi_codec.h"
#include "orvi_field.h"
#include "orvi_json.h"
#include "orvi_log.h"
#include "orvi_product.h"
#include "product_subdev.h"
#include "tovra_poll.h"
#include "tovra_queue.h"
#include "tovra_sql.h"
#include "tovra_uart.h"

using orvi_json::json_ptr;

namespace {

const int kDevTypeCurtain = 7;
const int kDevTypeLight = 8;

int lights_ctrl(int room, int pow, int lum, int color_temp) {
    uint8_t data[6] = {0};
    int len = 0;
    if (pow == 0) {
        data[0] = 0x00;
        len = 1;
    } else if (pow == 1) {
        data[0] = 0x80;
        len = 1;
    } else if (pow == 2 && lum != 0) {
        // The app's per cent; the lights take 0 to 127.
        data[0] = static_cast<uint8_t>(std::clamp(lum, 0, 100) * 127 / 100);
        len = 1;
    } else if (pow == 3) {
        const int k = std::clamp(color_temp, 2700, 5000);
        const int t = (k - 2700) * 255 / 2300;
        const uint8_t b[6] = {0x80, 0, 0, 0, static_cast<uint8_t>(255 - t), static_cast<uint8_t>(t)};
        memcpy(data, b, sizeof b);
        len = 6;
    } else {
        ORVI_LOGW("[TOVRA]room %d lights: Pow %d with Lum %d asks nothing", room, pow, lum);
        return -1;
    }
    return at_tovra_all_ctrl_msg_add_queue(static_cast<uint16_t>(room), data, len);
}

bool curtain_model(const char *mid) {
    return strcmp(mid, "70710") == 0 || strcmp(mid, "70711") == 0 || strcmp(mid, "70713") == 0;
}

int curtains_ctrl(int room, int cur) {
    const int percent = std::clamp(cur, 0, 100);
    int rc = at_scene_ctrl_msg_add_queue(static_cast<uint32_t>(TOVRA_CURTAIN_SCENE_BASE + percent));
    std::set<int32_t> done;
    for (const orvi_subdev_ptr &dev : product_subdev_list_snapshot()) {
        const orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
        if (f.dev_type != DEV_TYPE_TOVRA || !curtain_model(f.mid)) continue;
        if (room != 0 && roomId_to_sId(f.roomId) != room) continue;
        if (f.macId < 0 || f.macId > 0xFFFF || !done.insert(f.macId).second) continue;
        const int flag = strcmp(f.mid, "70713") == 0 ? 1 : 0;
        if (at_three_parties_curtain_group_ctrl_msg_add_queue(static_cast<uint16_t>(f.macId),
                                                              static_cast<uint8_t>(percent), flag) != 0)
            rc = -1;
        if (tovra_curpercent_provisional_send(static_cast<uint16_t>(f.macId), percent) != 0)
            ORVI_LOGI("[TOVRA]The room curtain group ctrl is not equipped with a limit stop!\n\r");
    }
    return rc;
}

}  // namespace

int tovra_room_group_ctrl(int Room_ID, int Pow, int DevType, int Lum, int ColorTemp, int CurPercent) {
    ORVI_LOGI("[TOVRA]tovra_device_all_ctrl: Room_ID %d,  Pow %d, DevType %d, Lum %d, ColorTemp %d, CurPercent %d\n\r",
              Room_ID, Pow, DevType, Lum, ColorTemp, CurPercent);
    if (Room_ID < 0 || Room_ID > 0xFF) {
        ORVI_LOGW("[TOVRA]room %d is not a short room id", Room_ID);
        return -1;
    }
    if (DevType == kDevTypeLight) {
        const int rc = lights_ctrl(Room_ID, Pow, Lum, ColorTemp);
        if (rc == 0) tovra_led_false_kind_device_query(CurPercent, Room_ID, DevType, Pow, Lum, ColorTemp);
        return rc;
    }
    if (DevType == kDevTypeCurtain) {
        tovra_led_false_kind_device_query(std::clamp(CurPercent, 0, 100), Room_ID, DevType, Pow, Lum, ColorTemp);
        return curtains_ctrl(Room_ID, CurPercent);
    }
    ORVI_LOGW("[TOVRA]tovra_device_all_ctrl DevType is error: %d\n\r", DevType);
    return -1;
}

// ---- translation and control requests -------------------------------------------

namespace {

// Longest "bin" text a codec may hand over, and longest "pack".
const size_t kBinTextMax = 100;
const size_t kPackMax = 16383;
// The codec's output buffer (the host's status buffer size).
const size_t kCodecOutMax = 5120;
// Seconds after a command before the device is asked for its status.
const int kDelayedCheckS = 6;

// The roller shutter's "Limit" value `v`: 1 sets the upper limit, 2 the
// lower, 3 and 4 clear them, 5 clears both.
void shutter_limit_set(uint16_t addr, long v) {
    std::vector<host_limit_set_info_t> rows;
    tovra_limit_set_sql_table_select(TOVRA_LIMIT_SET_INFO_DB, TOVRA_LIMIT_SET_TABLE, "LIMITADDR", tovra_sql_num(addr),
                                     rows);
    if (rows.empty()) {
        host_limit_set_info_t row{};
        row.addr = addr;
        row.uplimitsetting = v == 1 ? 1 : 0;
        row.lowlimitsetting = v == 2 ? 1 : 0;
        tovra_limit_set_sql_table_insert(TOVRA_LIMIT_SET_INFO_DB, TOVRA_LIMIT_SET_TABLE, &row);
    } else {
        auto set = [addr](const char *column, int value) {
            tovra_limit_set_sql_table_update(TOVRA_LIMIT_SET_INFO_DB, TOVRA_LIMIT_SET_TABLE, addr, column,
                                             tovra_sql_num(value));
        };
        if (v == 1) set("UPLIMITSET", 1);
        if (v == 2) set("LOWLIMITSET", 1);
        if (v == 3 || v == 5) set("UPLIMITSET", 0);
        if (v == 4 || v == 5) set("LOWLIMITSET", 0);
    }
    tovra_limit_provisional_send(addr);
}

bool int_member(const cJSON *j, const char *name, long lo, long hi, long *out) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(j, name);
    if (!cJSON_IsNumber(v) || v->valuedouble < lo || v->valuedouble > hi ||
        v->valuedouble != static_cast<double>(static_cast<long>(v->valuedouble)))
        return false;
    *out = static_cast<long>(v->valuedouble);
    return true;
}

const char *text_member(const cJSON *j, const char *name, size_t max) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(j, name);
    return cJSON_IsString(v) && strlen(v->valuestring) <= max ? v->valuestring : nullptr;
}

bool is_model(const char *mid, std::initializer_list<const char *> models) {
    for (const char *m : models)
        if (strcmp(mid, m) == 0) return true;
    return false;
}

}  // namespace

int tovra_cmd_to_at(const cJSON *ecb, const host_tovra_devcie_info_t &dev) {
    if (!cJSON_IsObject(ecb)) return -1;
    const uint16_t addr = static_cast<uint16_t>(dev.addr);
    const char *bin = text_member(ecb, "bin", kBinTextMax);
    const char *atcmd = text_member(ecb, "atcmd", 16);
    const char *type = text_member(ecb, "type", 16);
    const char *reqId = text_member(ecb, "reqId", 127);
    long roomid = 0, keyid = 0, scene = 0, devaddr = 0, devtype = 0;
    const bool has_room = int_member(ecb, "roomid", 0, 255, &roomid);
    const bool has_key = int_member(ecb, "keyid", 0, 255, &keyid);
    const bool has_scene = int_member(ecb, "fasceneid", 0, 0xFFFFFF, &scene);
    if (bin && atcmd) {
        uint8_t bytes[kBinTextMax / 2];
        const size_t chars = strlen(bin);
        const int n = chars % 2 ? 0 : StringToHex(bin, static_cast<int>(chars), bytes, static_cast<int>(chars / 2));
        // The length byte counts itself: it must name at least one command
        // byte and no more than the codec gave.
        if (n < 2 || bytes[0] < 2 || bytes[0] > n) {
            ORVI_LOGW("[TOVRA]codec command of %d bytes with length byte %d for %d refused", n, n > 0 ? bytes[0] : -1,
                      dev.addr);
            return -1;
        }
        const int len = bytes[0] - 1;
        if (strcmp(atcmd, "AT+CTRL") == 0) {
            ORVI_LOGI("[TOVRA]AT_CTRL addr is : %d\n\r", dev.addr);
            const int rc = at_ctrl_msg_add_queue(addr, bytes + 1, len);
            tovra_delay_check_arm(dev.mid, addr, kDelayedCheckS);
            return rc;
        }
        if (strcmp(atcmd, "AT+SCENE") == 0 && reqId && has_scene && scene >= 1 && scene <= 65535 && scene != 255)
            return at_scene_msg_add_queue(static_cast<uint32_t>(scene), addr, bytes + 1, len, reqId);
        ORVI_LOGW("[TOVRA]codec command \"%s\" for %d not understood", atcmd, dev.addr);
        return -1;
    }
    if (has_room && has_key) return at_roomset_msg_add_queue(static_cast<uint8_t>(roomid), static_cast<uint8_t>(keyid), addr);
    if (has_room) return at_other_roomset_msg_add_queue(static_cast<uint8_t>(roomid), addr);
    const bool bind = type && strcmp(type, "bind") == 0, unbind = type && strcmp(type, "unbind") == 0;
    if (has_key && (bind || unbind) && has_scene && reqId) {
        const uint32_t id = static_cast<uint32_t>(scene);
        const uint8_t key = static_cast<uint8_t>(keyid);
        if (unbind) return at_scene_msg_unbind_queue(id, key, addr, reqId);
        return strcmp(dev.mid, "70726") == 0 ? at_blswitch_scene_msg_bind_queue(id, key, addr, reqId)
                                            : at_scene_msg_bind_queue(id, key, addr, reqId);
    }
    if (has_key && (bind || unbind) && int_member(ecb, "addr", 0, 0xFFFF, &devaddr) &&
        int_member(ecb, "devicetype", 0, 255, &devtype)) {
        return bind ? at_device_msg_bind_queue(static_cast<uint8_t>(keyid), addr, static_cast<uint16_t>(devaddr),
                                               static_cast<uint8_t>(devtype))
                    : at_device_msg_unbind_queue(static_cast<uint8_t>(keyid), addr, static_cast<uint16_t>(devaddr),
                                                 static_cast<uint8_t>(devtype));
    }
    if (type && strcmp(type, "delete") == 0 && has_scene)
        return at_scene_msg_delete_queue(static_cast<uint32_t>(scene), addr);
    ORVI_LOGW("[TOVRA]codec output for %d names no command", dev.addr);
    return -1;
}

int tovra_ctrl_handle(const char *topic, const char *item) {
    ORVI_LOGI("[TOVRA]recive ctrl event: %s\n\r", topic ? topic : "");
    json_ptr root(item ? cJSON_Parse(item) : nullptr);
    if (!root) {
        TOVRA_LOG(TOVRA_DEBUG_JSON, "[FA_CJSON][%s]cJSON_Parse error!", __func__);
        return -1;
    }
    if (cJSON_IsNumber(cJSON_GetObjectItemCaseSensitive(root.get(), "r"))) return 0;  // an answer
    const char *tcid = text_member(root.get(), "tcid", 16);
    const char *pack = text_member(root.get(), "pack", kPackMax);
    if (!tcid || !pack) {
        TOVRA_LOG(TOVRA_DEBUG_JSON, "[FA_CJSON][%s]get [pack] request string error!", __func__);
        return -1;
    }
    const std::string target_mac = std::string(tcid).substr(0, 12);
    std::vector<host_tovra_devcie_info_t> rows;
    if (tovra_info_sql_table_select(TOVRA_INFO_DB, TOVRA_INFO_TABLE, "MAC", tovra_sql_text(target_mac.c_str()), rows) < 1)
        return -1;  // not a lighting device: another service's request
    // The host seals a device's command with the device's own key; the
    // home key is what the lighting devices of a home share.
    std::vector<std::string> keys;
    if (orvi_subdev_ptr rec = product_get_subdev_form_host(tcid)) keys.push_back(std::string(orvi_field_view(orvi_subdev_snapshot(rec).key)));
    keys.push_back(product_get_home_key());
    json_ptr cmd;
    for (const std::string &key : keys) {
        std::string text = pack;
        if (key.size() >= 16 && orvi_aes_decrypt(key.c_str(), text) == 0) cmd.reset(cJSON_Parse(text.c_str()));
        if (cJSON_IsObject(cmd.get())) break;
        cmd.reset();
    }
    if (!cmd) {
        TOVRA_LOG(TOVRA_DEBUG_JSON, "[FA_CJSON][%s]cjson request parse [pack] error!", __func__);
        return -1;
    }
    const cJSON *t = cJSON_GetObjectItemCaseSensitive(cmd.get(), "t");
    if (cJSON_IsString(t) && strcmp(t->valuestring, "jsonCmd") == 0) {
        cJSON_ReplaceItemInObjectCaseSensitive(cmd.get(), "t", cJSON_CreateString("cmd"));
        ORVI_LOGI("[TOVRA]t field updated: jsonCmd -> cmd\n\r");
    }
    // A command the cloud addressed by its topic names no device inside: the
    // device it was sealed for is the one meant.
    const char *mac = text_member(cmd.get(), "sub", 14);
    if (!mac) mac = text_member(cmd.get(), "mac", 14);
    if (!mac) mac = tcid;
    rows.clear();
    if (!mac || tovra_info_sql_table_select(TOVRA_INFO_DB, TOVRA_INFO_TABLE, "MAC",
                                            tovra_sql_text(std::string(mac).substr(0, 12).c_str()), rows) < 1) {
        ORVI_LOGW("[%s]sublist do not have this mac!\n\r", __func__);
        return -1;
    }
    const cJSON *opt = cJSON_GetObjectItemCaseSensitive(cmd.get(), "opt");
    const cJSON *p = cJSON_GetObjectItemCaseSensitive(cmd.get(), "p");
    for (const host_tovra_devcie_info_t &row : rows) {
        const uint16_t addr = static_cast<uint16_t>(row.addr);
        if (is_model(row.mid, {"70314", "70315", "70361", "70362"}) && cJSON_GetArraySize(opt) >= 2) {
            long speed = -1, color = -1, temp = -1;
            for (int k = 0; k < cJSON_GetArraySize(opt) && k < cJSON_GetArraySize(p); ++k) {
                const cJSON *name = cJSON_GetArrayItem(opt, k), *v = cJSON_GetArrayItem(p, k);
                if (!cJSON_IsString(name) || !cJSON_IsNumber(v)) continue;
                if (strcmp(name->valuestring, "Speed") == 0) speed = v->valueint;
                if (strcmp(name->valuestring, "ColorGradient") == 0) color = v->valueint;
                if (strcmp(name->valuestring, "ColorTempGradient") == 0) temp = v->valueint;
            }
            if (speed >= 0 && speed <= 255 && color >= 0)
                at_led_color_ctrl_msg_add_queue(addr, static_cast<int>(color), static_cast<uint8_t>(speed));
            if (speed >= 0 && speed <= 255 && temp >= 0)
                at_led_temp_ctrl_msg_add_queue(addr, static_cast<int>(temp), static_cast<uint8_t>(speed));
        }
        if (is_model(row.mid, {"70314", "70315", "70361", "70362"})) tovra_delay_check_arm(row.mid, addr, kDelayedCheckS);
        if (strcmp(row.mid, "70710") == 0) {
            for (int k = 0; k < cJSON_GetArraySize(opt) && k < cJSON_GetArraySize(p); ++k) {
                const cJSON *name = cJSON_GetArrayItem(opt, k), *v = cJSON_GetArrayItem(p, k);
                if (!cJSON_IsString(name) || !cJSON_IsNumber(v)) continue;
                if (strcmp(name->valuestring, "Limit") == 0 && v->valueint >= 1 && v->valueint <= 5)
                    shutter_limit_set(addr, v->valueint);
                if (strcmp(name->valuestring, "CurPercent") == 0 &&
                    tovra_curpercent_provisional_send(addr, std::clamp(v->valueint, 0, 100)) != 0)
                    ORVI_LOGI("[TOVRA]The roller shutter control is not equipped with a limit stop!\n\r");
            }
        }
        if (is_model(row.mid, {"70725", "70726"})) {
            for (int k = 0; k < cJSON_GetArraySize(opt) && k < cJSON_GetArraySize(p); ++k) {
                const cJSON *name = cJSON_GetArrayItem(opt, k), *v = cJSON_GetArrayItem(p, k);
                if (cJSON_IsString(name) && strcmp(name->valuestring, "brightness") == 0 && cJSON_IsNumber(v))
                    at_backlight_ctrl_msg_add_queue(addr, static_cast<uint8_t>(std::clamp(v->valueint, 0, 255)));
            }
        }
    }
    const std::string text = orvi_json::print(cmd.get());
    ORVI_LOGI("[TOVRA]ctrl command for %s: %s", rows.front().mac, text.c_str());
    orvi_json::json_ptr ecb = tovra_codec_cmd(rows.front().mid, cmd.get());
    return ecb ? tovra_cmd_to_at(ecb.get(), rows.front()) : -1;
}

orvi_json::json_ptr tovra_codec_cmd(const char *mid, const cJSON *request) {
    const std::string text = orvi_json::print(request);
    std::vector<char> out(kCodecOutMax, '\0');
    orvi_json::json_ptr ecb;
    if (json_to_hex(mid, text.c_str(), out.data(), out.size()) >= 0) ecb.reset(cJSON_Parse(out.data()));
    if (!cJSON_IsObject(ecb.get())) {
        ORVI_LOGW("[TOVRA]model %s has no command for %s", mid, text.c_str());
        return nullptr;
    }
    return ecb;
}
