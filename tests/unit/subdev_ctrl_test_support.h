// Fixture of the device-control tests: a scratch root with the sample codec
// plug-ins, a known host identity, publishes captured at the publishers'
// sink and in the local MQTT queue, an empty registry, retry list and
// record of the recording implementations.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "event_publish_capture.h"
#include "orvi_base64.h"
#include "orvi_bincmd.h"
#include "orvi_codec.h"
#include "orvi_product.h"
#include "orvi_subdev_ctrl.h"
#include "pending_calls.h"
#include "product_subdev.h"
#include "sample_model.h"
#include "scratch_root.h"
#include "utils/host_mqtt/local_mqtt.h"
#include "orvi_testing.h"

namespace ctrl_test {

inline const char kDevKey[] = "devicekey0000001";
inline const char kPow1[] = "{\"t\":\"cmd\",\"opt\":[\"Pow\"],\"p\":[1]}";

using json_ptr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

// The codec template a device's first binary status leaves: [0xA5, 1, 42, 0].
inline std::string template_text() {
    const uint8_t frame[SAMPLE_STATUS_LEN] = {SAMPLE_STATUS_MAGIC, 1, 42, 0};
    std::string b64;
    Base64Encode(frame, b64, sizeof frame);
    return orvi_codec_status_input(b64);
}
// binParam holds the template with its terminator.
inline size_t template_size() {
    return template_text().size() + 1;
}

// The command frame inside a plug-in's {"t":"binCmd","bin":"..."} output.
inline bool command_frame(const std::string &text, sample_cmd_t *cmd) {
    json_ptr j(cJSON_Parse(text.c_str()), &cJSON_Delete);
    const cJSON *t = cJSON_GetObjectItem(j.get(), "t");
    const cJSON *bin = cJSON_GetObjectItem(j.get(), "bin");
    if (!cJSON_IsString(t) || std::string(t->valuestring) != "binCmd" || !cJSON_IsString(bin)) return false;
    std::vector<uint8_t> frame;
    orvi_hex_base64_decode(bin->valuestring, strlen(bin->valuestring), frame);
    return sample_cmd_decode(frame.data(), frame.size(), cmd) == 0;
}

// Commands queued for a device, oldest first.
inline std::vector<std::string> queued(const std::string &mac) {
    std::vector<std::string> out;
    orvi::MutexLock lk(binCmd_Retry_List.mu);
    bincmd_retry_node_t *n = bincmd_retry_node_get(&binCmd_Retry_List, mac.c_str());
    if (n)
        for (const auto &c : n->cmd_list.cmds)
            out.push_back(c.cmd);
    return out;
}

// Binary requests queued on the local MQTT transport.
inline std::vector<local_pub_msg_t> bin_requests() {
    std::vector<local_pub_msg_t> out;
    for (int list : {LOCAL_PUB_LIST_CONTROL, LOCAL_PUB_LIST_STATUS})
        for (const local_pub_msg_t &m : local_mqtt_pending(list))
            if (m.topic.rfind("/binRequest/", 0) == 0) out.push_back(m);
    return out;
}

// Recorded calls whose name starts with `prefix`.
inline std::vector<std::string> calls(const std::string &prefix) {
    std::vector<std::string> out;
    for (const std::string &c : pending_calls())
        if (c.rfind(prefix, 0) == 0) out.push_back(c);
    return out;
}

class CtrlFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        product_registry_reset_for_test();
        bincmd_retry_reset();
        local_mqtt_pending_clear();
        pending_calls_clear();
        scene_id_default_set(SCENE_ID_DEFAULT_IDLE);
        local_device_monitor_reset();
        for (const char *mid : {"90001", "90002", "90003", "90004"})
            install(mid);
        saved_ins_ = ins_info();
    }
    void TearDown() override {
        {
            orvi::MutexLock lk(orvi_ins_info_mutex());
            orvi_ins_info = saved_ins_;
        }
        product_set_resotre_status(false);
        bincmd_retry_reset();
        local_mqtt_pending_clear();
        product_registry_reset_for_test();
    }
    static app_ins_info_t ins_info() {
        orvi::MutexLock lk(orvi_ins_info_mutex());
        return orvi_ins_info;
    }

    void install(const std::string &mid) {
        std::ifstream in(std::string(ORVI_BINARY_DIR) + "/lib/lib" + mid + ".so", std::ios::binary);
        ASSERT_TRUE(in.good()) << mid;
        std::ofstream out(root.path(std::string(ORVI_CODEC_LIB_DIR) + "lib" + mid + ".so"),
                          std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
    }

    // A registered device; with the sample codec template when `tmpl` is set.
    static orvi_subdev_ptr add(const char *mac, dev_type_t type, const char *mid, bool tmpl = false,
                               uint32_t roomId = 0) {
        orvi_subdev_list_t d;
        orvi_field_set(d.mac, mac);
        orvi_field_set(d.mid, mid);
        orvi_field_set(d.key, kDevKey);
        orvi_field_set(d.ver, "1.0.0");
        d.dev_type = type;
        d.roomId = roomId;
        orvi_subdev_ptr rec = product_add_subdev_to_host(&d);
        if (rec && tmpl) {
            const std::string t = template_text();
            orvi_subdev_locked(
                rec, [&](orvi_subdev_list_t &r) { r.binParam.assign(t.c_str(), t.c_str() + t.size() + 1); });
        }
        return rec;
    }

    ScratchRoot root;
    publish_test::PublishCapture capture;
    app_ins_info_t saved_ins_{};
};

}  // namespace ctrl_test
