// Commands and orders: JSON commands to a subdevice, the app's opaque
// configuration buffer, the schedules of a subdevice, the firmware upgrade
// order, and the status and event reports a gateway makes for its
// sub-subdevices. All run on the request task.
#include <strings.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "event_msg.h"
#include "event_publish.h"
#include "local_mqtt.h"
#include "local_mqtt_pack.h"
#include "orvi_codec.h"
#include "orvi_handlers.h"
#include "orvi_host_event.h"
#include "orvi_log.h"
#include "orvi_ota.h"
#include "orvi_port.h"
#include "orvi_product.h"
#include "orvi_status_handlers.h"
#include "orvi_status_util.h"
#include "orvi_subdev_ctrl.h"
#include "orvi_timer_app.h"

using namespace orvi_status;

namespace {

constexpr const char *kConfigBufferPath = "/data/domivault/data/config_buffer";
constexpr size_t kMacField = sizeof(orvi_subdev_fields_t::mac);
constexpr size_t kMidField = sizeof(orvi_subdev_fields_t::mid);

bool type_in_range(dev_type_t t) {
    return t >= DEV_TYPE_CAN && t <= DEV_TYPE_MJGATEWAY;
}

// True when `text` (null counts as absent and fits) fits a field of `size`
// bytes with its terminator; logs the refusal naming `what`.
bool text_fits(const char *text, size_t size, const char *what) {
    if (!text || strnlen(text, size) < size) return true;
    ORVI_LOGW("%s of %zu or more characters refused: '%.20s...'", what, size, text);
    return false;
}

// An integral JSON number within [lo, hi] into *out.
bool int_of(const cJSON *j, long lo, long hi, int *out) {
    if (!cJSON_IsNumber(j)) return false;
    const double v = j->valuedouble;
    if (!(v >= static_cast<double>(lo) && v <= static_cast<double>(hi)) || std::floor(v) != v) return false;
    *out = static_cast<int>(v);
    return true;
}

// ---- Schedules --------------------------------------------------------------

enum class timing_op { add, update, remove };

// The schedule action of an add or an update: 200, or 500/501/503 as the
// store reports.
int timing_change(timing_op op, const cJSON *json, int timeid, const char *mac,
                  const orvi_subdev_ptr &target) {
    const cJSON *action = cJSON_GetObjectItemCaseSensitive(json, "action");
    const cJSON *mday = cJSON_GetObjectItemCaseSensitive(json, "mday");
    const cJSON *hour = cJSON_GetObjectItemCaseSensitive(json, "hour");
    const cJSON *min = cJSON_GetObjectItemCaseSensitive(json, "min");
    const cJSON *enable = cJSON_GetObjectItemCaseSensitive(json, "enable");
    if (!cJSON_IsNumber(mday) || !cJSON_IsNumber(hour) || !cJSON_IsNumber(min) || !cJSON_IsObject(action) ||
        !cJSON_IsNumber(enable)) {
        ORVI_LOGW("json_mday json_hour json_min json_action json_enable is null");
        return 500;
    }
    int pday = 0, h = 0, m = 0, en = 0;
    if (!int_of(mday, 0, 127, &pday) || !int_of(hour, 0, 23, &h) || !int_of(min, 0, 59, &m) ||
        !int_of(enable, 0, 1, &en)) {
        ORVI_LOGW("'%s' timer %d refused: mday 0..127, hour 0..23, min 0..59, enable 0 or 1", mac, timeid);
        return 500;
    }
    const orvi_subdev_fields_t f = orvi_subdev_snapshot(target);
    const int multi = f.dev_type == DEV_TYPE_CENTCTRL ? 1 : 0;
    const std::string cmd = print(action);
    if (op == timing_op::update)
        return timer_node_Modify(&timer_app_list, mac, timeid, pday, h, m, en, cmd.c_str(), multi) == 0 ? 200
                                                                                                        : 500;
    timer_node_ptr node = timer_node_create(timeid, pday, h, m, en, cmd.c_str());
    if (!node) return 500;
    const int max = orvi_timer_max_quantity_get(std::string(orvi_field_view(f.mid)).c_str());
    switch (timer_node_Add(&timer_app_list, std::move(node), mac, multi, max)) {
        case 0:
            return 200;
        case -1:
            return 500;
        case -2:
            return 501;
        default:
            return 503;
    }
}

// The schedule answer goes back on the bus, unsealed, to the service that
// asked: "TimerRsp/<home>/<sender>".
void timing_answer_publish(const cJSON *answer, const std::string &mac, const std::string &sender) {
    const std::string home = product_get_mac_str();
    if (!event_topic_level_ok(home, "home MAC") || !event_topic_level_ok(sender, "sender MAC")) {
        ORVI_LOGW("timer answer not published: no topic for sender '%.20s'", sender.c_str());
        return;
    }
    const std::string topic = "TimerRsp/" + home + "/" + sender;
    cJSON *payload = event_msg_payload_aseemble(home.c_str(), mac.size() < kMacField ? mac.c_str() : "",
                                                product_get_mid_str().c_str(), cJSON_Duplicate(answer, 1));
    json_ptr owned_payload(payload);
    if (!payload) return;
    json_ptr pack(event_msg_package_aseemble(product_get_host_mac_str().c_str(), AES_KEY_TYPE_NONE,
                                             sender.c_str(), 0, print(payload).c_str()));
    const std::string text = print(pack.get());
    if (text.empty() || mqtt_event_publish(topic.c_str(), text.c_str(), text.size(), 0) != 0)
        ORVI_LOGW("timer answer to '%s' not published", topic.c_str());
}

// ---- Sub-subdevices --------------------------------------------------------

// What a gateway's report of a sub-subdevice carries once checked.
struct sub_report {
    orvi_subdev_ptr gateway;
    const cJSON *inner = nullptr;
    const char *mac = nullptr;
    const char *mid = nullptr;
};

// The common checks of "binSubStatus" and "binSubEvent" (`kind`) with the
// inner data member `data_key`. False (logged) when the report is refused.
bool sub_report_check(const cJSON *json, const char *kind, const char *data_key, sub_report *out) {
    const cJSON *t = cJSON_GetObjectItemCaseSensitive(json, "t");
    const cJSON *mac = cJSON_GetObjectItemCaseSensitive(json, "mac");
    const cJSON *inner = cJSON_GetObjectItemCaseSensitive(json, kind);
    if (!t || !mac || !inner) {
        ORVI_LOGW("t_json or mac_json or status_json is NULL!");
        return false;
    }
    if (!cJSON_IsString(t) || !cJSON_IsString(mac) || !cJSON_IsObject(inner)) {
        ORVI_LOGW("t_json or mac_json or status_json type illegal!");
        return false;
    }
    if (!text_fits(mac->valuestring, kMacField, "gateway mac")) return false;
    out->gateway =
        std::strcmp(t->valuestring, kind) == 0 ? product_get_subdev_form_host(mac->valuestring) : nullptr;
    if (!out->gateway) {
        ORVI_LOGW("type isn't %s package or haven't %s sub device!", kind, mac->valuestring);
        return false;
    }
    const char *it = str_of(inner, "t");
    out->mac = str_of(inner, "mac");
    out->mid = str_of(inner, "mid");
    if (!it || !out->mac || !out->mid || !str_of(inner, data_key)) {
        ORVI_LOGW("json_t or json_mac or json_mid or json_status is NULL!");
        return false;
    }
    if (std::strcmp(kind, "binSubStatus") == 0 && std::strcmp(it, "binStatus") != 0) {
        ORVI_LOGW("type isn't binStatus package!");
        return false;
    }
    out->inner = inner;
    return true;
}

// Converts the report's inner object with the sub-subdevice's codec; the
// text, or empty (logged) on failure. A sub-subdevice's text is a success
// only with the result 0.
std::string sub_report_decode(const sub_report &r, const orvi_subdev_ptr &subsub) {
    const std::string mid(orvi_field_view(orvi_subdev_snapshot(subsub).mid));
    std::vector<char> out(ORVI_SUBDEV_DATA_SIZE, '\0');
    if (hex_to_json(mid.c_str(), print(r.inner).c_str(), out.data(), out.size()) != 0) {
        ORVI_LOGW("hex_to_json failed!,mid:%s", mid.c_str());
        return "";
    }
    std::string text(out.data(), strnlen(out.data(), out.size()));
    if (text.empty()) ORVI_LOGW("hex_to_json failed!,mid:%s (empty result)", mid.c_str());
    return text;
}

}  // namespace

// ---- Commands ---------------------------------------------------------------

ORVI_HANDLER(request_handle_jsonCmd) {
    const char *t = str_of(json, "t");
    const bool json_cmd = t && strcasecmp(t, "jsonCmd") == 0;
    const char *mac = str_of(json, "mac");
    const char *sub = str_of(json, "sub");
    const char *mid = str_of(json, "mid");
    if (!text_fits(mac, kMacField, "command mac") || !text_fits(sub, kMacField, "command sub") ||
        !text_fits(mid, kMidField, "command mid"))
        return -1;
    orvi_subdev_ptr target = dev;
    if (json_cmd) {
        if (!mac) {
            ORVI_LOGW("jsonCmd packet have not 'mac' key!");
            return -1;
        }
        target = product_get_subdev_form_host(mac);
    }
    const cJSON *opt = cJSON_GetObjectItemCaseSensitive(json, "opt");
    const cJSON *p = cJSON_GetObjectItemCaseSensitive(json, "p");
    if (!cJSON_IsArray(opt) || !cJSON_IsArray(p)) {
        ORVI_LOGW("%s packet have not 'opt' and 'p' arrays!", json_cmd ? "jsonCmd" : "cmd");
        return -1;
    }
    json_ptr cmd = make_object();
    cJSON_AddStringToObject(cmd.get(), "t", "cmd");
    cJSON_AddItemToObject(cmd.get(), "opt", cJSON_Duplicate(opt, 1));
    cJSON_AddItemToObject(cmd.get(), "p", cJSON_Duplicate(p, 1));
    if (sub) cJSON_AddStringToObject(cmd.get(), "sub", sub);
    if (mid) cJSON_AddStringToObject(cmd.get(), "mid", mid);
    if (mac) {
        cJSON_AddStringToObject(cmd.get(), "mac", mac);
        if (!sub) cJSON_AddStringToObject(cmd.get(), "sub", mac);
    }
    if (!target) {
        ORVI_LOGW("'%s' device is not bound!", mac ? mac : "");
        return -1;
    }
    const orvi_subdev_fields_t f = orvi_subdev_snapshot(target);
    if (!type_in_range(f.dev_type)) {
        ORVI_LOGW("device type error!");
        return -1;
    }
    const std::string text = print(cmd.get());
    const int rc = product_subdev_ctrl_handle(target, text.c_str(), text.size());
    if (rc != 0) ORVI_LOGW("'%s' command was not passed on: %s", mac_of(f).c_str(), text.c_str());

    // An offline device is told 405 (the command still went its way); a
    // command that could not be passed on is not reported as done.
    json_ptr out = make_object();
    cJSON_AddStringToObject(out.get(), "t", "res");
    if (json_cmd) {
        cJSON_AddNumberToObject(out.get(), "r", rc == 0 ? 200 : 500);
        cJSON_AddStringToObject(out.get(), "mac", mac_of(f).c_str());
    } else {
        cJSON_AddNumberToObject(out.get(), "r", f.online != 1 ? 405 : rc == 0 ? 200 : 500);
        if (mac) {
            cJSON_AddStringToObject(out.get(), "mac", mac);
        } else if (sub) {
            cJSON_AddStringToObject(out.get(), "sub", sub);
        } else {
            cJSON_AddStringToObject(out.get(), "mac", mac_of(f).c_str());
        }
        cJSON_AddItemToObject(out.get(), "opt", cJSON_Duplicate(opt, 1));
        cJSON_AddItemToObject(out.get(), "p", cJSON_Duplicate(p, 1));
    }
    orvi_request_set_response(req, out.get(), AES_KEY_TYPE_RANDOM);
    return 0;
}

// ---- The app's configuration buffer ------------------------------------------

ORVI_HANDLER(request_handle_configStatus) {
    const char *t = str_of(json, "t");
    if (!t || std::strcmp(t, "configStatus") != 0) {
        ORVI_LOGW("t isn't configStatus");
        return -1;
    }
    const cJSON *oper = cJSON_GetObjectItemCaseSensitive(json, "oper");
    if (!oper) {
        ORVI_LOGW("oper_json is NULL");
        return -1;
    }
    if (!cJSON_IsString(oper)) {
        ORVI_LOGW("oper_json value type  is error");
        return -1;
    }
    const std::string path = orvi_path(kConfigBufferPath);
    json_ptr out = make_object();
    cJSON_AddStringToObject(out.get(), "t", "configStatusAck");
    if (std::strcmp(oper->valuestring, "w") == 0) {
        const char *data = str_of(json, "data");
        if (!data) {
            ORVI_LOGW("data_json is NULL");
            return -1;
        }
        if (std::strlen(data) > ORVI_CONFIG_TEXT_MAX) {
            ORVI_LOGW("configuration data of %zu bytes refused, at most %d", std::strlen(data),
                      ORVI_CONFIG_TEXT_MAX);
            return -1;
        }
        if (!orvi_port_write_atomic(path, data)) {
            ORVI_LOGW("open [%s] fail!", path.c_str());
            return -1;
        }
    } else if (std::strcmp(oper->valuestring, "r") == 0) {
        ORVI_LOGI("read operate!");
        std::string text;
        if (orvi_port_exists(path) && !orvi_port_read(path, text, ORVI_CONFIG_TEXT_MAX)) {
            ORVI_LOGW("open [%s] fail!", path.c_str());
            return -1;
        }
        text.resize(strnlen(text.c_str(), text.size()));
        cJSON_AddStringToObject(out.get(), "data", text.c_str());
    } else {
        ORVI_LOGW("oper_json value is error,%s", oper->valuestring);
        return -1;
    }
    orvi_request_set_response(req, out.get(), AES_KEY_TYPE_RANDOM);
    return 0;
}

// ---- Schedules ----------------------------------------------------------------

ORVI_HANDLER(request_handle_time) {
    const char *t = str_of(json, "t");
    timing_op op;
    if (t && strcasecmp(t, "AddTiming") == 0) {
        op = timing_op::add;
    } else if (t && strcasecmp(t, "UpdateTiming") == 0) {
        op = timing_op::update;
    } else if (t && strcasecmp(t, "DeleteTiming") == 0) {
        op = timing_op::remove;
    } else {
        ORVI_LOGW("t is illegel,%s", t ? t : "");
        return -1;
    }
    const char *mac = str_of(json, "mac");
    const cJSON *tid = cJSON_GetObjectItemCaseSensitive(json, "timeid");
    int timeid = 0;
    int r = 500;
    orvi_subdev_ptr target;
    if (!mac || !cJSON_IsNumber(tid)) {
        ORVI_LOGW("json_mac or json_tid is null");
    } else if (!int_of(tid, INT32_MIN, INT32_MAX, &timeid)) {
        ORVI_LOGW("timeid is not a 32-bit whole number");
    } else if (!text_fits(mac, kMacField, "timer mac")) {
        // refused, logged
    } else if (!(target = product_get_subdev_form_host(mac))) {
        ORVI_LOGW("subdev is not exist");
    } else if (op == timing_op::remove) {
        const int multi = orvi_subdev_snapshot(target).dev_type == DEV_TYPE_CENTCTRL ? 1 : 0;
        r = timer_app_delete(&timer_app_list, mac, timeid, multi) == 0 ? 200 : 500;
    } else {
        r = timing_change(op, json, timeid, mac, target);
    }
    json_ptr out = make_object();
    cJSON_AddStringToObject(out.get(), "t", "tres");
    cJSON_AddNumberToObject(out.get(), "r", r);
    if (cJSON_IsNumber(tid)) cJSON_AddItemToObject(out.get(), "timeid", cJSON_Duplicate(tid, 1));
    if (mac) cJSON_AddStringToObject(out.get(), "mac", mac);
    timing_answer_publish(out.get(), mac ? mac : "", mac_of(orvi_subdev_snapshot(dev)));
    if (r == 200) {
        orvi_event_post_text(ORVI_EVENT_TIMER_BROADCAST, print(json));
        const std::string summary = timer_app_list_get_Timedat(&timer_app_list);
        if (!summary.empty()) orvi_event_post_text(ORVI_EVENT_TIMER_INFO, summary);
    }
    return 0;
}

// ---- Firmware upgrade -----------------------------------------------------------

ORVI_HANDLER(request_handle_upgrade) {
    const char *t = str_of(json, "t");
    const char *mac = str_of(json, "mac");
    const char *url = str_of(json, "url");
    if (!t || !mac || !url) {
        ORVI_LOGW("t_json or mac_json or url_json is null!");
        return -1;
    }
    if (std::strcmp(t, "upgrade") != 0) {
        ORVI_LOGW("this isn't upgrade!");
        return -1;
    }
    if (product_get_mac_str() != mac) {
        ORVI_LOGW("the target host isn't this machine");
        return -1;
    }
    const size_t len = strnlen(url, ORVI_UPGRADE_URL_MAX + 1);
    if (len > 8 && len <= ORVI_UPGRADE_URL_MAX) {
        orvi_ota_thread(url);
    } else {
        ORVI_LOGW("url is error!");
    }
    orvi_request_set_response(req, json, AES_KEY_TYPE_RANDOM);
    return 0;
}

// ---- Sub-subdevices -------------------------------------------------------------

ORVI_HANDLER(request_handle_binSubStatus) {
    sub_report r;
    if (!sub_report_check(json, "binSubStatus", "binStatus", &r)) return -1;
    orvi_subdev_ptr subsub = product_get_subsubdev_form_host(r.gateway->mac, r.mac);
    if (!subsub) {
        if (strnlen(r.mac, kMacField) >= kMacField) {
            ORVI_LOGW("json_mac valuestring length bigger than 15!");
            return -1;
        }
        if (!text_fits(r.mid, kMidField, "sub-subdevice mid")) return -1;
        orvi_subdev_list_t rec;
        orvi_field_set(rec.mac, r.mac);
        orvi_field_set(rec.mid, r.mid);
        subsub = product_add_subsubdev_to_host(r.gateway.get(), &rec);
        if (!subsub) {
            ORVI_LOGW("product_add_subsubdev_to_host failed!");
            return -1;
        }
    }
    const std::string text = sub_report_decode(r, subsub);
    if (text.empty()) return -1;
    if (product_subdev_set_data(subsub, text) != 0) {
        ORVI_LOGW("'%s' status of %zu bytes does not fit the status buffer, last status kept", r.mac,
                  text.size());
        return -1;
    }
    event_sub_subdev_status_publish(r.gateway, subsub);
    return 0;
}

ORVI_HANDLER(request_handle_binSubEvent) {
    sub_report r;
    if (!sub_report_check(json, "binSubEvent", "binEvent", &r)) return -1;
    const orvi_subdev_ptr subsub = product_get_subsubdev_form_host(r.gateway->mac, r.mac);
    if (!subsub) {
        ORVI_LOGW("the sub-subdevice dose not exist!");
        return -1;
    }
    if (!orvi_subdev_snapshot(subsub).has_event_list) {
        ORVI_LOGW("%s device isn't sub-sub device", r.mac);
        return -1;
    }
    const std::string text = sub_report_decode(r, subsub);
    if (text.empty()) return -1;
    json_ptr event(cJSON_Parse(text.c_str()));
    if (!event) {
        ORVI_LOGW("event:%s, is not a JSON document", text.c_str());
        return -1;
    }
    if (event_device_event_publish(r.gateway, subsub, event.get()) != 0)
        ORVI_LOGW("event:%s, publish failed!", text.c_str());
    if (product_subsubdev_event_insert(r.gateway, subsub, text.c_str(), 1) != 0) {
        ORVI_LOGW("event:%s, insert failed!", text.c_str());
        return -1;
    }
    return 0;
}
