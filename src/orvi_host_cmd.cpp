// Commands addressed to the host itself: room group control, the scheduled
// restart settings and the cloud backup / restore settings. They arrive as
// device commands whose target is the host record and run on the caller's
// thread (request task, event loop or schedule service).
#include <cstdint>
#include <cstring>
#include <string>

#include "event_publish.h"
#include "orvi_backup.h"
#include "orvi_host_event.h"
#include "orvi_log.h"
#include "orvi_product.h"
#include "orvi_subdev_ctrl.h"
#include "orvi_subdev_ctrl_util.h"
#include "orvi_utils.h"
#include "tovra_service.h"

using namespace subdev_ctrl;

namespace {

constexpr int kOpGatewayType = 8;  // "DevType" that also goes to the OP gateway
constexpr size_t kLogCmdMax = 512;

// A room id as the app writes it: 1 to 10 decimal digits, at most 2^32 - 1.
bool parse_room_id(const char *text, uint32_t *out) {
    const size_t n = strnlen(text, 11);
    if (n == 0 || n > 10) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    if (v > UINT32_MAX) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

// A restart interval: a decimal text or an integer number, 0 .. 999999999.
bool parse_interval(const cJSON *v, int *out) {
    long l = 0;
    if (json_int_in(v, 0, 999999999, &l)) {
        *out = static_cast<int>(l);
        return true;
    }
    if (!cJSON_IsString(v)) return false;
    const char *s = v->valuestring;
    const size_t n = strnlen(s, 10);
    if (n == 0 || n > 9) return false;
    for (size_t i = 0; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        l = l * 10 + (s[i] - '0');
    }
    *out = static_cast<int>(l);
    return true;
}

// "%d月%d日%d时%d分" with a real month, day, hour and minute. Runs of more
// than four digits are refused before they are scanned (no overflow).
bool parse_restart_time(const cJSON *v, int *month, int *day, int *hour, int *minute) {
    if (!cJSON_IsString(v) || strnlen(v->valuestring, 65) > 64) return false;
    int run = 0;
    for (const char *c = v->valuestring; *c; ++c) {
        run = (*c >= '0' && *c <= '9') ? run + 1 : 0;
        if (run > 4) return false;
    }
    if (extract_time_info(v->valuestring, month, day, hour, minute) != 0) return false;
    return *month >= 1 && *month <= 12 && *day >= 1 && *day <= 31 && *hour >= 0 && *hour <= 23 &&
           *minute >= 0 && *minute <= 59;
}

// The group command as {"t":"cmd","opt","p","sub","mid"} to the first OP gateway.
void group_to_op_gateway(const cJSON *opt, const cJSON *p) {
    unsigned start = 0;
    orvi_subdev_ptr gw = product_get_dev_by_type(&start, DEV_TYPE_OPGATEWAY);
    if (!gw) {
        ORVI_LOGW("opGateway not found!");
        return;
    }
    const std::string mid =
        orvi_subdev_locked(gw, [](orvi_subdev_list_t &d) { return std::string(orvi_field_view(d.mid)); });
    json_ptr j(cJSON_CreateObject());
    if (!j) ORVI_NO_MEM(sizeof(cJSON));
    cJSON_AddStringToObject(j.get(), "t", "cmd");
    cJSON_AddItemToObject(j.get(), "opt", cJSON_Duplicate(opt, 1));
    cJSON_AddItemToObject(j.get(), "p", cJSON_Duplicate(p, 1));
    cJSON_AddStringToObject(j.get(), "sub", mac_of(gw).c_str());
    cJSON_AddStringToObject(j.get(), "mid", mid.c_str());
    const std::string text = print(j.get());
    if (product_subdev_ctrl_handle(gw, text.c_str(), text.size()) != 0)
        ORVI_LOGW("'%s' group command to opGateway failed", mac_of(gw).c_str());
}

// Value of an optional group option: absent is fine, present must be an
// integer number within [lo, hi].
bool group_value(const cJSON *opt, const cJSON *p, const char *name, long lo, long hi, bool *given,
                 long *value) {
    *given = opt_has(opt, name);
    if (!*given) return true;
    if (json_int_in(opt_value(opt, p, name), lo, hi, value)) return true;
    ORVI_LOGW("%s must be an integer %ld..%ld, group control refused", name, lo, hi);
    return false;
}

}  // namespace

int host_cloud_cmd_handle(const char *command) {
    json_ptr j(command ? cJSON_Parse(command) : nullptr);
    if (!j) {
        ORVI_LOGW("cmd parse failed:cmd:%.*s", static_cast<int>(command ? strnlen(command, kLogCmdMax) : 0),
                  command ? command : "");
        return -1;
    }
    const cJSON *sub = cJSON_GetObjectItemCaseSensitive(j.get(), "sub");
    const cJSON *opt = cJSON_GetObjectItemCaseSensitive(j.get(), "opt");
    const cJSON *p = cJSON_GetObjectItemCaseSensitive(j.get(), "p");
    if (!sub || !opt || !p) {
        ORVI_LOGW("jcmd_sub or jcmd_opt or jcmd_p is null");
        return -1;
    }
    if (!cJSON_IsArray(opt) || !cJSON_IsArray(p)) {
        ORVI_LOGW("jcmd_opt or jcmd_p isn't array type ");
        return -1;
    }
    const int n = cJSON_GetArraySize(opt);
    if (n == 0 || n != cJSON_GetArraySize(p)) {
        ORVI_LOGW("opt size or p size is invalid");
        return -1;
    }
    const std::string target = cJSON_IsString(sub) ? sub->valuestring : "";
    if (target.empty() || (target != product_get_mac_str() && target != product_get_host_mac_str())) {
        ORVI_LOGW("the target is not this host");
        return -1;
    }

    int rc = 0;
    bool any = false;
    if (opt_has(opt, "RoomID") || opt_has(opt, "Pow") || opt_has(opt, "DevType")) {
        any = true;
        if (cmd_group_ctrl_handle(j.get(), opt, p) != 0) rc = -1;
    }
    if (opt_has(opt, "restart_timer_sw") || opt_has(opt, "restart_timer_time") ||
        opt_has(opt, "restart_interval")) {
        any = true;
        if (cmd_restart_handle(opt, p) != 0) rc = -1;
    }
    if (opt_has(opt, "cloud_backup_sw") || opt_has(opt, "restore_id")) {
        any = true;
        if (cmd_web_backup_restore_handle(opt, p) != 0) rc = -1;
    }
    if (!any) {
        ORVI_LOGW("no host option in the command: %.*s", static_cast<int>(strnlen(command, kLogCmdMax)),
                  command);
        return -1;
    }
    return rc;
}

int cmd_group_ctrl_handle(const cJSON *command, const cJSON *opt, const cJSON *p) {
    if (!cJSON_IsArray(opt) || !cJSON_IsArray(p) || !command) {
        ORVI_LOGW("j_opt or j_p is NULL,or type is't jsonArray");
        return -1;
    }
    if (!opt_has(opt, "RoomID") || !opt_has(opt, "DevType")) {
        ORVI_LOGW("The opt array doesn't have roomid and devtype fields. ");
        return -1;
    }
    const cJSON *jroom = opt_value(opt, p, "RoomID");
    const cJSON *jtype = opt_value(opt, p, "DevType");
    if (!cJSON_IsString(jroom) || !cJSON_IsNumber(jtype)) {
        ORVI_LOGW("The roomid  type isn't string or the devtype  type isn't number. ");
        return -1;
    }
    // Every value is checked before anything goes out: a command that does
    // not name one room and one device type must never reach a whole home.
    uint32_t roomId = 0;
    if (!parse_room_id(jroom->valuestring, &roomId)) {
        ORVI_LOGW("RoomID '%.*s' is not a decimal room id, group control refused",
                  static_cast<int>(strnlen(jroom->valuestring, 32)), jroom->valuestring);
        return -1;
    }
    long type = 0;
    if (!json_int_in(jtype, DEV_TYPE_CAN, DEV_TYPE_MJGATEWAY, &type)) {
        ORVI_LOGW("DevType %g is not an integer 1..14, group control refused", jtype->valuedouble);
        return -1;
    }
    const int sId = roomId_to_sId(roomId);
    if (sId < 0 || sId > 0xFF) {
        ORVI_LOGW("room %u is not in the room list (short id %d), group control refused", roomId, sId);
        return -1;
    }
    // Short id 0 addresses the whole home; only the whole-home room has it
    // by right, a room the app stored without a short id does not.
    if (sId == 0 && roomId != 0) {
        ORVI_LOGW("room %u has no short id of its own, group control refused", roomId);
        return -1;
    }
    bool has_pow, has_cur, has_lum, has_ct;
    long pow = 0, cur = 0, lum = 0, ct = 0;
    if (!group_value(opt, p, "Pow", 0, 1, &has_pow, &pow) ||
        !group_value(opt, p, "CurPercent", 0, 100, &has_cur, &cur) ||
        !group_value(opt, p, "Lum", 0, 100, &has_lum, &lum) ||
        !group_value(opt, p, "ColorTemp", 0, 65535, &has_ct, &ct))
        return -1;

    publish_groupCtrl_event(command);
    if (type == kOpGatewayType) group_to_op_gateway(opt, p);
    const int t = static_cast<int>(type);
    // Every part goes its way; a part the lighting service could not carry
    // keeps the command from being answered as done.
    int rc = 0;
    auto lights = [&rc, sId, t](int pow_mode, int lum_v, int ct_v, int cur_v) {
        if (tovra_device_all_ctrl(sId, pow_mode, t, lum_v, ct_v, cur_v) != 0) {
            ORVI_LOGW("room %d group control (Pow %d) not carried by the lighting service", sId, pow_mode);
            rc = -1;
        }
    };
    if (has_pow) {
        const uint32_t sceneId = orvi_default_scene_id(static_cast<uint8_t>(sId), t, static_cast<int>(pow));
        ORVI_LOGI("sceneid broadcast:0x%x", sceneId);
        orvi_tovra_scene_broadcast(sceneId);
        lights(static_cast<int>(pow), 0, 0, 0);
    }
    if (has_cur) lights(2, 0, 0, static_cast<int>(cur));
    if (has_lum) lights(2, static_cast<int>(lum), 0, 0);
    if (has_ct) lights(3, 0, static_cast<int>(ct), 0);
    return rc;
}

int cmd_restart_handle(const cJSON *opt, const cJSON *p) {
    if (!cJSON_IsArray(opt) || !cJSON_IsArray(p)) {
        ORVI_LOGW("j_opt or j_p is NULL,or type is't jsonArray");
        return -1;
    }
    const bool has_sw = opt_has(opt, "restart_timer_sw");
    const cJSON *jtime = opt_value(opt, p, "restart_timer_time");
    const cJSON *jinterval = opt_value(opt, p, "restart_interval");
    if (!has_sw && !jtime && !jinterval) {
        ORVI_LOGW("no restart setting in the command");
        return -1;
    }
    long sw = 0;
    if (has_sw && !json_int_in(opt_value(opt, p, "restart_timer_sw"), INT32_MIN, INT32_MAX, &sw)) {
        ORVI_LOGW("restart_timer_sw is not a number, restart settings refused");
        return -1;
    }
    const int switch_on = has_sw ? static_cast<int>(sw) : product_get_restart_sw();
    // The time and the interval are stored together, and only when both are
    // valid: a half-applied or impossible schedule is never kept.
    const bool store_time = switch_on && jtime && jinterval;
    int month = 0, day = 0, hour = 0, minute = 0, interval = 0;
    if (store_time) {
        if (!parse_restart_time(jtime, &month, &day, &hour, &minute)) {
            ORVI_LOGW(
                "restart_timer_time '%.*s' is not a valid month-day-hour-minute, restart settings refused",
                cJSON_IsString(jtime) ? static_cast<int>(strnlen(jtime->valuestring, 64)) : 0,
                cJSON_IsString(jtime) ? jtime->valuestring : "");
            return -1;
        }
        if (!parse_interval(jinterval, &interval)) {
            ORVI_LOGW("restart_interval is not a decimal number, restart settings refused");
            return -1;
        }
    }
    if (has_sw) product_set_restart_sw(static_cast<int>(sw));
    if (store_time) {
        product_set_restart_interval(interval);
        product_set_restart_time("month", month);
        product_set_restart_time("day", day);
        product_set_restart_time("hour", hour);
        product_set_restart_time("minutes", minute);
        ORVI_LOGI("host restart time is %d-%d-%d-%d", month, day, hour, minute);
    }
    orvi_host_status_upload_mqtt();
    publish_cbackup_restart_event();
    ORVI_LOGI("host restart function ---> %d", product_get_restart_sw());
    return 0;
}

int cmd_web_backup_restore_handle(const cJSON *opt, const cJSON *p) {
    if (!cJSON_IsArray(opt) || !cJSON_IsArray(p)) {
        ORVI_LOGW("j_opt or j_p is NULL,or type is't jsonArray");
        return -1;
    }
    int rc = 0;
    if (opt_has(opt, "cloud_backup_sw")) {
        long sw = 0;
        if (json_int_in(opt_value(opt, p, "cloud_backup_sw"), INT32_MIN, INT32_MAX, &sw)) {
            product_set_cloud_backup_sw(static_cast<int>(sw));
            orvi_host_status_upload_mqtt();
            publish_cbackup_restart_event();
            ORVI_LOGI("cloud backup switch ---> %ld", sw);
        } else {
            ORVI_LOGW("cloud_backup_sw is not a number");
            rc = -1;
        }
    }
    if (opt_has(opt, "restore_id")) {
        long id = 0;
        if (!json_int_in(opt_value(opt, p, "restore_id"), 1, 9007199254740991L, &id)) {
            ORVI_LOGW("restore_id is not a positive integer, restore refused");
            return -1;
        }
        if (product_get_resotre_status()) {
            ORVI_LOGW("it's restoring now!!");
            return -1;
        }
        set_restore_file_id(id);
        set_restore_touch_flag(2);
        // The restore job marks the host as restoring when it starts: setting
        // the mark here, before the key event reaches the job's starter,
        // would make it refuse this very restore.
        product_set_restore_download(1);
        if (event_type_1_publish("/key", "key", "webRestore", 0, nullptr) != 0) {
            ORVI_LOGW("webRestore key event publish fail");
            return -1;
        }
        orvi_host_status_upload_mqtt();
        ORVI_LOGI("cloud restore of file %ld requested", id);
    }
    return rc;
}
