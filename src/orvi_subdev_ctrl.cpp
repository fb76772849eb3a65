// The command path to a subdevice by its type, its batch forms, the UDP
// scene, room and report-frequency commands, the binary request publish and
// the scene broadcast to the lighting service.
#include "orvi_subdev_ctrl.h"

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "event_publish.h"
#include "orvi_aes.h"
#include "orvi_bincmd.h"
#include "orvi_codec.h"
#include "orvi_log.h"
#include "orvi_product.h"
#include "orvi_subdev_ctrl_util.h"
#include "tovra_service.h"
#include "utils/host_mqtt/local_mqtt.h"
#include "utils/host_mqtt/local_mqtt_pack.h"

using namespace subdev_ctrl;

namespace {

std::atomic<int> g_scene_id_default{SCENE_ID_DEFAULT_IDLE};

const char kDefaultSceneCmd[] = "{\"t\":\"cmd\",\"opt\":[\"Pow\"],\"p\":[1]}";
const char kReportFreqCmd[] = "{\"t\":\"cmd\",\"opt\":[\"ReportFreq\"],\"p\":[60]}";

// What the control path needs of a record, read under its lock.
struct ctrl_view {
    std::string mid;
    dev_type_t type = DEV_TYPE_NONE;
    bool has_template = false;
    uint8_t scene = 0;
    uint32_t roomId = 0;
};

bool has_template(const orvi_subdev_list_t &d) {
    return !d.binParam.empty() && d.binParam[0] != '\0';
}

ctrl_view view_of(const orvi_subdev_ptr &dev) {
    return orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) {
        ctrl_view v;
        v.mid = std::string(orvi_field_view(d.mid));
        v.type = d.dev_type;
        v.has_template = has_template(d);
        v.scene = d.scene;
        v.roomId = d.roomId;
        return v;
    });
}

// Makes sure the record's command buffer can hold `cmd`: created on first
// use (4 x the template's size, 1024 without one, the command's length + 256
// when that is too small), replaced by one of length + 512 when the command
// reaches its size. A buffer is never changed in place: the new one carries
// the command when `store` is set, else the old buffer's text, so a send that
// already took the old one still finds its command. All under the record's
// lock; *published (when given) receives the record's fields with the new
// buffer, as one consistent copy.
void bincmd_prepare(const orvi_subdev_ptr &dev, const std::string &cmd, bool store,
                    orvi_subdev_fields_t *published) {
    size_t cur = 0, size = 0;
    bool created = false;
    orvi_subdev_locked(dev, [&](orvi_subdev_list_t &d) {
        cur = d.binCmd ? d.binCmd->size() : 0;
        size = cur;
        created = !d.binCmd;
        if (created) {
            size = has_template(d) ? 4 * d.binParam.size() : ORVI_BINCMD_DEFAULT_SIZE;
            if (cmd.size() >= size) size = cmd.size() + ORVI_BINCMD_FIRST_GROW;
        } else if (cmd.size() >= cur) {
            size = cmd.size() + ORVI_BINCMD_EXPAND_GROW;
        }
        if (store || size != cur) {
            auto buf = std::make_shared<std::vector<char>>(size, '\0');
            if (store) {
                std::memcpy(buf->data(), cmd.data(), cmd.size());
            } else if (d.binCmd) {
                std::memcpy(buf->data(), d.binCmd->data(), strnlen(d.binCmd->data(), cur));
            }
            d.binCmd = std::move(buf);
        }
        if (published) *published = d;
    });
    if (created) {
        ORVI_LOGI("'%s' applied for memory of binCmd for the first time,size:%d", mac_of(dev).c_str(),
                  static_cast<int>(size));
    } else if (size != cur) {
        ORVI_LOGI("command size [%d] is more than bincmd_size [%d],expanded it", static_cast<int>(cmd.size()),
                  static_cast<int>(cur));
    }
}

// Wired and tovra devices: the command becomes the record's pending command
// and goes to the owning service on the bus. The publisher is handed a copy
// of the record taken together with the new buffer, so a command queued at
// the same moment by another thread can never be published in its place.
int bus_ctrl(const orvi_subdev_ptr &dev, const std::string &cmd) {
    auto copy = std::make_shared<orvi_subdev_list_t>();
    orvi_subdev_fields_t fields;
    bincmd_prepare(dev, cmd, true, &fields);
    static_cast<orvi_subdev_fields_t &>(*copy) = fields;
    if (even_dev_ctrl_publish(copy, UDS_TYPE_CTRL) != 0) {
        ORVI_LOGW("'%s' even_dev_ctrl_publish fail!", fields.mac);
        return -1;
    }
    ORVI_LOGI("even_dev_ctrl_publish  ok.");
    return 0;
}

// UDP devices: a "cmd" goes through the model's codec, anything else as it
// stands; either is queued and announced as a binary request.
int udp_ctrl(const orvi_subdev_ptr &dev, const ctrl_view &v, const std::string &cmd) {
    json_ptr j(cJSON_Parse(cmd.c_str()));
    if (!j) {
        ORVI_LOGW("j_cmd is NULL");
        return -1;
    }
    std::string out = cmd;
    const cJSON *t = cJSON_GetObjectItemCaseSensitive(j.get(), "t");
    if (cJSON_IsString(t) && std::strcmp(t->valuestring, "cmd") == 0) {
        std::vector<char> buf(ORVI_CTRL_CODEC_OUT_SIZE, '\0');
        if (orvi_json_to_hex_to_buffer(cmd.c_str(), dev, buf.data(), static_cast<int>(buf.size())) != 0) {
            ORVI_LOGW("It's not binCmd,orvi_json_to_hex_handle failed:mid:%s", v.mid.c_str());
            return -1;
        }
        out.assign(buf.data(), strnlen(buf.data(), buf.size()));
    }
    if (subdev_udp_bincmd_ctrl(dev, out.c_str()) != 0) return -1;
    pub_binReques_event(dev, out.c_str(), out.size());
    return 0;
}

bool type_in_range(int type) {
    return type >= DEV_TYPE_CAN && type <= DEV_TYPE_MJGATEWAY;
}

// Runs the command on each record `match` selects; the last result, or -1
// when none matched.
template <class Match>
int batch(const char *command, bool first_only, Match &&match) {
    int rc = -1;
    bool any = false;
    for (const orvi_subdev_ptr &dev : product_subdev_list_snapshot()) {
        if (!dev) continue;
        const bool hit = orvi_subdev_locked(dev, [&](orvi_subdev_list_t &d) { return match(d); });
        if (!hit) continue;
        any = true;
        rc = product_subdev_ctrl_handle(dev, command, std::strlen(command));
        if (first_only) break;
    }
    if (!any) ORVI_LOGW("no device matches, command not sent: %s", command);
    return rc;
}

}  // namespace

// ---- The command path ------------------------------------------------------------

int product_subdev_ctrl_handle(const orvi_subdev_ptr &dev, const char *command, size_t length) {
    if (!dev || !command) {
        ORVI_LOGW("subdev or command is null");
        return -1;
    }
    const std::string cmd(command, strnlen(command, length));
    if (cmd.empty()) {
        ORVI_LOGW("subdev or command is null");
        return -1;
    }
    const ctrl_view v = view_of(dev);
    switch (v.type) {
        case DEV_TYPE_HOST:
            return host_cloud_cmd_handle(cmd.c_str());
        case DEV_TYPE_CAN:
        case DEV_TYPE_485:
        case DEV_TYPE_TOVRA:
        case DEV_TYPE_CENTCTRL:
        case DEV_TYPE_OPGATEWAY:
        case DEV_TYPE_OPDEV:
        case DEV_TYPE_MJGATEWAY:
            return bus_ctrl(dev, cmd);
        case DEV_TYPE_UDP:
            if (!v.has_template) {
                ORVI_LOGW("subdev type is UDP,but binParam is NULL");
                return -1;
            }
            bincmd_prepare(dev, cmd, false, nullptr);
            return udp_ctrl(dev, v, cmd);
        case DEV_TYPE_WIFI:
            bincmd_prepare(dev, cmd, false, nullptr);
            return subdev_udp_bincmd_ctrl(dev, cmd.c_str());
        case DEV_TYPE_PWRGATEWAY:
        case DEV_TYPE_GATEWAY:
        case DEV_TYPE_BLE:
            bincmd_prepare(dev, cmd, false, nullptr);
            return 0;
        default:
            ORVI_LOGW("device type error,type:%s!", product_get_subdev_type_str(v.type));
            return -1;
    }
}

int pub_binReques_event(const orvi_subdev_ptr &dev, const char *text, size_t length) {
    if (!dev || !text) {
        ORVI_LOGW("subdev or text is null");
        return -1;
    }
    const std::string plain(text, strnlen(text, length));
    const std::string mac = mac_of(dev);
    const std::string key =
        orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) { return std::string(orvi_field_view(d.key)); });
    const std::string home = product_get_mac_str();
    if (!event_topic_level_ok(home, "home MAC") || !event_topic_level_ok(mac, "device MAC")) return -1;
    std::string cipher = plain;
    if (orvi_aes_encrypt(key.c_str(), cipher) != 0) {
        ORVI_LOGW("binRequest create failed");
        return -1;
    }
    json_ptr pkg(
        event_msg_package_aseemble(product_get_host_mac_str().c_str(), 2, mac.c_str(), 0, cipher.c_str()));
    if (!pkg) {
        ORVI_LOGW("binRequest create failed");
        return -1;
    }
    const std::string msg = print(pkg.get());
    const std::string topic = "/binRequest/" + home + "/" + mac;
    ORVI_LOGI("binrequest is %s,topic  --> %s", plain.c_str(), topic.c_str());
    if (mqtt_event_publish(topic.c_str(), msg.c_str(), msg.size(), 0) != 0) {
        ORVI_LOGW("local_mqtt_event_publish is fail!");
        return -1;
    }
    return 0;
}

// ---- Batches -----------------------------------------------------------------------

int subdev_ctrl_batch_by_type(int type, const char *command) {
    if (!type_in_range(type) || !command) {
        ORVI_LOGW("type or command or host is error;");
        return -1;
    }
    return batch(command, type == DEV_TYPE_OPGATEWAY,
                 [type](const orvi_subdev_list_t &d) { return d.dev_type == type; });
}

int subdev_ctrl_batch_by_roomid_devType(unsigned roomId, int type, const char *command) {
    if (!type_in_range(type) || !command) {
        ORVI_LOGW("oomid or command or host is error;");
        return -1;
    }
    return batch(command, false,
                 [=](const orvi_subdev_list_t &d) { return d.dev_type == type && d.roomId == roomId; });
}

// ---- UDP device commands -------------------------------------------------------

int orvi_udpdev_set_reportFreq(const orvi_subdev_ptr &dev) {
    if (!dev) return -1;
    const ctrl_view v = view_of(dev);
    if (v.type != DEV_TYPE_UDP) {
        ORVI_LOGW("dev type:%s", product_get_subdev_type_str(v.type));
        return -1;
    }
    if (!v.has_template) {
        ORVI_LOGW("binParam is NULL");
        return -1;
    }
    std::vector<char> out(ORVI_SCENE_CODEC_OUT_SIZE, '\0');
    if (orvi_json_to_hex_to_buffer(kReportFreqCmd, dev, out.data(), static_cast<int>(out.size())) != 0) {
        ORVI_LOGW("orvi_json_to_hex_to_buffer fail!");
        return -1;
    }
    return product_subdev_ctrl_handle(dev, out.data(), strnlen(out.data(), out.size()));
}

int orvi_udpdev_set_roomId(const orvi_subdev_ptr &dev, unsigned roomId) {
    if (!dev) return -1;
    const ctrl_view v = view_of(dev);
    if (v.type != DEV_TYPE_UDP) {
        ORVI_LOGW("dev type:%s", product_get_subdev_type_str(v.type));
        return -1;
    }
    json_ptr j(cJSON_CreateObject());
    if (!j) ORVI_NO_MEM(sizeof(cJSON));
    cJSON_AddStringToObject(j.get(), "t", "binCmd");
    cJSON_AddNumberToObject(j.get(), "roomId", roomId);
    const std::string text = print(j.get());
    if (subdev_udp_bincmd_ctrl(dev, text.c_str()) != 0) return -1;
    pub_binReques_event(dev, text.c_str(), text.size());
    ORVI_LOGI("subdev_udp_bincmd_ctrl ok.");
    return 0;
}

int orvi_udpdev_set_scene(const orvi_subdev_ptr &dev, int if_default, int sceneId, int operType,
                          const char *command, const char *reqId) {
    if (!dev) return -1;
    const ctrl_view v = view_of(dev);
    if (v.type != DEV_TYPE_UDP && v.type != DEV_TYPE_CENTCTRL) {
        ORVI_LOGW("dev type:%s", product_get_subdev_type_str(v.type));
        return -1;
    }
    const bool udp = v.type == DEV_TYPE_UDP;
    if ((if_default && v.scene != 1) || (udp && !v.has_template) ||
        (!if_default && !command && operType != 2)) {
        ORVI_LOGW("dev_list->scene: %d,binParam:%d", v.scene, v.has_template ? 1 : 0);
        if (udp && !v.has_template) subdev_udp_statusCheck_send(dev);
        return -1;
    }

    json_ptr j;
    if (operType == 2 && !if_default) {
        j.reset(cJSON_CreateObject());
        if (!j) ORVI_NO_MEM(sizeof(cJSON));
        cJSON_AddStringToObject(j.get(), "t", udp ? "binCmd" : "cmd");
    } else {
        const char *src = if_default || !command ? kDefaultSceneCmd : command;
        std::string text = src;
        if (udp) {
            std::vector<char> out(ORVI_SCENE_CODEC_OUT_SIZE, '\0');
            if (orvi_json_to_hex_to_buffer(src, dev, out.data(), static_cast<int>(out.size())) != 0) {
                ORVI_LOGW("orvi_json_to_hex_to_buffer fail!");
                return -1;
            }
            text.assign(out.data(), strnlen(out.data(), out.size()));
        }
        j.reset(cJSON_Parse(text.c_str()));
        if (!cJSON_IsObject(j.get())) {
            ORVI_LOGW("joutbinCmd cjson prarse fail!");
            return -1;
        }
    }
    cJSON_DeleteItemFromObjectCaseSensitive(j.get(), "sceneId");
    cJSON_DeleteItemFromObjectCaseSensitive(j.get(), "operType");
    cJSON_DeleteItemFromObjectCaseSensitive(j.get(), "reqId");
    cJSON_DeleteItemFromObjectCaseSensitive(j.get(), "roomId");
    cJSON_AddNumberToObject(j.get(), "sceneId", if_default ? 1 : sceneId);
    cJSON_AddNumberToObject(j.get(), "operType", if_default ? 1 : operType);
    if (!if_default && reqId) cJSON_AddStringToObject(j.get(), "reqId", reqId);
    cJSON_AddNumberToObject(j.get(), "roomId", v.roomId);
    const std::string text = print(j.get());
    const int rc = product_subdev_ctrl_handle(dev, text.c_str(), text.size());
    if (if_default && udp) orvi_udpdev_set_reportFreq(dev);
    orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) { d.scene = 0; });
    return rc;
}

// ---- Scene broadcast and the self-check phase ---------------------------------

uint32_t orvi_default_scene_id(uint8_t sId, int devType, int pow) {
    const uint32_t action = devType == 7 ? (pow ? 100u : 0u) : (pow ? 1u : 2u);
    return static_cast<uint32_t>(sId) << 16 | (static_cast<uint32_t>(devType) & 0xFFu) << 8 | action;
}

int orvi_tovra_scene_broadcast(uint32_t sceneId) {
    if (sceneId == 0 || sceneId > 0xFFFFFFu) {
        ORVI_LOGW("scene id 0x%x out of range, not broadcast", sceneId);
        return -1;
    }
    tovra_trivox_scene_status_set(sceneId);
    tovra_trivox_scene_send(sceneId);
    // The self-check phase is the host's: it follows the home-wide default
    // the host broadcast, whether or not the lighting service carried it.
    if (sceneId == DEFAULT_SCENE_ON || sceneId == DEFAULT_SCENE_OFF)
        scene_id_default_set(static_cast<int>(sceneId));
    return orvi_send_default_scene(sceneId);
}

int orvi_send_default_scene(uint32_t sceneId) {
    if (sceneId == 0 || sceneId > 0xFFFFFFu) {
        ORVI_LOGW("default scene 0x%x out of range, ignored", sceneId);
        return -1;
    }
    ORVI_LOGI("default scene 0x%x", sceneId);
    if (sceneId != DEFAULT_SCENE_ON && sceneId != DEFAULT_SCENE_OFF) return 0;
    // Only a running check has a phase to move: a panel's all-on or all-off
    // while the host is idle must not look like a check that started.
    int phase = g_scene_id_default.load();
    while (phase != SCENE_ID_DEFAULT_IDLE &&
           !g_scene_id_default.compare_exchange_weak(phase, static_cast<int>(sceneId))) {
    }
    return 0;
}

int scene_id_default_get(void) {
    return g_scene_id_default.load();
}

void scene_id_default_set(int phase) {
    g_scene_id_default.store(phase);
}
