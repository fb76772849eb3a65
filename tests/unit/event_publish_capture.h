// Test helper: captures every message the event publishers hand to the
// transport and gives the host a known identity (MACs, keys, model) while it
// lives; restores both afterwards.
#pragma once

#include <cJSON.h>

#include <mutex>
#include <string>
#include <vector>

#include "event_publish.h"
#include "local_mqtt_pack.h"
#include "orvi_aes.h"
#include "orvi_field.h"
#include "orvi_product.h"

namespace publish_test {

inline const char kHostMac[] = "a0b1c2d3e4f5";
inline const char kHomeMac[] = "HOME000000000001";
inline const char kHomeKey[] = "homekey123456789";
inline const char kRandomKey[] = "randkey123456789";
inline const char kDefaultKey[] = "dfltkey123456789";
inline const char kMid[] = "70502";

struct sent_t {
    std::string topic;
    std::string text;
    int retain;
};

class PublishCapture {
  public:
    PublishCapture() {
        {
            orvi::MutexLock lk(orvi_dev_info_mutex());
            saved_ = orvi_dev_info;
            orvi_field_set(orvi_dev_info.host_mac_str, kHostMac);
            orvi_field_set(orvi_dev_info.home_mac_str, kHomeMac);
            orvi_field_set(orvi_dev_info.home_key, kHomeKey);
            orvi_field_set(orvi_dev_info.random_key, kRandomKey);
            orvi_field_set(orvi_dev_info.default_key, kDefaultKey);
            orvi_field_set(orvi_dev_info.mid_str, kMid);
        }
        clear();
        result() = 0;
        event_publish_set_sink(&PublishCapture::sink);
    }
    ~PublishCapture() {
        event_publish_set_sink(nullptr);
        orvi::MutexLock lk(orvi_dev_info_mutex());
        orvi_dev_info = saved_;
    }
    PublishCapture(const PublishCapture &) = delete;
    PublishCapture &operator=(const PublishCapture &) = delete;

    static std::vector<sent_t> sent() {
        std::lock_guard<std::mutex> lk(mu());
        return store();
    }
    static std::vector<std::string> topics() {
        std::vector<std::string> out;
        for (const sent_t &s : sent())
            out.push_back(s.topic);
        return out;
    }
    static void clear() {
        std::lock_guard<std::mutex> lk(mu());
        store().clear();
    }
    // What the capture answers the publishers (0: queued).
    static int &result() {
        static int rc = 0;
        return rc;
    }
    // Runs inside the capture, before the message is recorded.
    static void (*&hook())(const sent_t &) {
        static void (*h)(const sent_t &) = nullptr;
        return h;
    }

  private:
    static int sink(const char *topic, const char *message, size_t length, int retain) {
        sent_t s{topic ? topic : "", std::string(message ? message : "", message ? length : 0), retain};
        if (hook()) hook()(s);
        std::lock_guard<std::mutex> lk(mu());
        store().push_back(std::move(s));
        return result();
    }
    static std::mutex &mu() {
        static std::mutex m;
        return m;
    }
    static std::vector<sent_t> &store() {
        static std::vector<sent_t> v;
        return v;
    }
    orvi_dev_info_t saved_;
};

// The "pack" of a captured package opened with `key` and printed
// unformatted (key order kept); empty when it does not open.
inline std::string open_pack(const sent_t &s, const std::string &key) {
    cJSON *pkg = cJSON_Parse(s.text.c_str());
    const cJSON *pack = cJSON_GetObjectItemCaseSensitive(pkg, "pack");
    std::string text = cJSON_IsString(pack) ? pack->valuestring : "";
    cJSON_Delete(pkg);
    if (text.empty() || orvi_aes_decrypt(key.c_str(), text) != 0) return "";
    cJSON *body = cJSON_Parse(text.c_str());
    char *p = body ? cJSON_PrintUnformatted(body) : nullptr;
    std::string out = p ? p : "";
    cJSON_free(p);
    cJSON_Delete(body);
    return out;
}

// `body` as a sibling service sends it to the host: an event package from
// the host's identifier, "i" 0, sealed with the host's random key.
inline std::string sibling_item(const std::string &body) {
    cJSON *p = event_msg_package_aseemble(kHostMac, 0, "", 0, body.c_str());
    char *text = p ? cJSON_PrintUnformatted(p) : nullptr;
    std::string out = text ? text : "";
    cJSON_free(text);
    cJSON_Delete(p);
    return out;
}

// The package up to its "pack", which must be its last member: the members
// "cid", "tcid", "uid", "t", "i" as printed, closed with "}".
inline std::string package_head(const sent_t &s) {
    const size_t pos = s.text.find(",\"pack\":\"");
    if (pos == std::string::npos || s.text.find('"', pos + 9) != s.text.size() - 2) return "";
    return s.text.substr(0, pos) + "}";
}

inline std::string head(const std::string &cid, const std::string &tcid, int i) {
    return "{\"cid\":\"" + cid + "\",\"tcid\":\"" + tcid +
           "\",\"uid\":0,\"t\":\"pack\",\"i\":" + std::to_string(i) + "}";
}

}  // namespace publish_test
