// The link pointer is read on every publish and written once at start-up (or
// by a test): an atomic load is all a publish costs.
#include "cloud_link.h"

#include <atomic>
#include <string>

#include "orvi_field.h"
#include "orvi_log.h"

namespace {
std::atomic<const cloud_link_t *> g_link{nullptr};
}  // namespace

void cloud_link_set(const cloud_link_t *link) {
    g_link.store(link && link->response ? link : nullptr);
}

int mqtt_response_api(const char *topic, const char *data, size_t size, int qos, int retain) {
    const cloud_link_t *link = g_link.load();
    if (!link) {
        ORVI_LOGW("mqtt_response_api: the cloud link is not built, nothing published on '%s'",
                  topic ? topic : "");
        return -1;
    }
    return link->response(topic, data, size, qos, retain);
}

int cloud_link_write(const char *data, size_t size, const dev_socket_t *to, const orvi_subdev_ptr &) {
    if (!data || !to) {
        ORVI_LOGW("parameters error!");
        return -1;
    }
    std::string topic(orvi_field_view(to->topic));
    int retain = topic.find("connect") != std::string::npos ? 1 : 0;
    if (mqtt_response_api(topic.c_str(), data, size, 1, retain) != 0) {
        ORVI_LOGW("mqtt_response_api is fail!");
        return -1;
    }
    return 0;
}
