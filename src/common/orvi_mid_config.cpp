#include "orvi_mid_config.h"

#include <string>

#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_port.h"

orvi::Mutex orvi_mid_config_mu;

namespace {
constexpr const char *kMidConfigPath = "/data/domivault/data/mid_config.json";
std::shared_ptr<const cJSON> g_doc GUARDED_BY(orvi_mid_config_mu);

std::shared_ptr<const cJSON> parse_doc(const std::string &text) {
    cJSON *j = cJSON_ParseWithLength(text.data(), text.size());
    if (!j) return nullptr;
    return std::shared_ptr<const cJSON>(j, [](const cJSON *p) { cJSON_Delete(const_cast<cJSON *>(p)); });
}

// Reads and parses the file. -1 when nothing could be read (the current
// document stays); otherwise the parsed document (null when it did not parse).
int load(std::shared_ptr<const cJSON> &out) {
    std::string text;
    if (!orvi_port_read(orvi_path(kMidConfigPath), text) || text.empty()) {
        ORVI_LOGW("read is fail form %s", kMidConfigPath);
        return -1;
    }
    out = parse_doc(text);
    if (!out) ORVI_LOGW("!!!!mid config parse to json failed!!!!");
    return 0;
}
}  // namespace

int orvi_mid_config_init(void) {
    std::shared_ptr<const cJSON> doc;
    if (load(doc) != 0) return -1;
    orvi::MutexLock lk(orvi_mid_config_mu);
    g_doc = std::move(doc);
    return 0;
}

int orvi_mid_config_update(void) {
    std::shared_ptr<const cJSON> doc;
    if (load(doc) == 0 && doc) {
        {
            orvi::MutexLock lk(orvi_mid_config_mu);
            g_doc = std::move(doc);
        }
        ORVI_LOGI("mid configuration update successed");
        return 0;
    }
    ORVI_LOGW("mid configuration update failed");
    return -1;
}

std::shared_ptr<const cJSON> get_mid_config_json(void) {
    orvi::MutexLock lk(orvi_mid_config_mu);
    return g_doc;
}
