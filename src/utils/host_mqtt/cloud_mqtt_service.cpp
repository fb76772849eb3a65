// The daemon's one cloud link, assembled from its parts: parameters from the
// dispatch server, messages handled by the receive side, statuses from the
// local bus re-keyed and queued, link state reported to the event loop and
// the siblings.
#include "cloud_mqtt_service.h"

#include <pthread.h>

#include <atomic>
#include <mutex>

#include "cloud_mqtt_parts.h"
#include "event_publish.h"
#include "local_mqtt.h"
#include "orvi_event_post.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_product.h"
#include "orvi_system.h"

namespace {

std::atomic<int> mqtt_connect_state{0};
std::atomic<cloud_mqtt_link *> g_link{nullptr};

// MQTT_Init: one pass from the dispatch server to filled parameters.
int MQTT_Init(MQTT_Info_t *info) {
    std::string dis_host;
    while ((dis_host = product_get_dis_host()).empty()) {
        ORVI_LOGI("[Parameters]:Getting dis region");
        orvi_port_sleep_ms(5000);
    }
    uint16_t dis_port;
    while ((dis_port = product_get_dis_port()) == 0) {
        ORVI_LOGI("[Parameters]:Getting dis port");
        orvi_port_sleep_ms(5000);
    }
    const std::string dis_ip = cloud_resolve_ipv4(dis_host);
    if (dis_ip.empty()) {
        ORVI_LOGW("[Parameters]:dispatch server '%s' does not resolve", dis_host.c_str());
        return -1;
    }
    std::string mac;
    while ((mac = product_get_mac_str()).size() != 16) {
        ORVI_LOGI("[Parameters]:Getting host  mac");
        orvi_port_sleep_ms(5000);
    }
    std::string reply;
    for (int attempt = 0;; ++attempt) {
        if (Connet_disServes(dis_ip.c_str(), dis_port, mac.c_str(), 1, 1, reply) != 0) return -1;
        if (!reply.empty()) break;
        if (attempt >= 20) return -1;
        ORVI_LOGW("[Parameters]:Data receivied from DisServes is empty, asking again");
        orvi_port_sleep_ms(3000u * static_cast<unsigned>(attempt + 1));
    }
    ORVI_LOGI("[Parameters]:Data receivied from DisServes");
    cloud_dis_info_t dis;
    if (cloud_dis_reply_parse(reply, product_get_default_key(), &dis) != 0) return -1;
    event_mqtt_domain_publish(dis.broker_host.c_str());
    if (!dis.nlu_host.empty()) product_set_nlu_server_info(dis.nlu_host.c_str(), static_cast<uint16_t>(dis.nlu_port));
    const std::string broker_ip = cloud_resolve_ipv4(dis.broker_host);
    if (broker_ip.empty()) {
        ORVI_LOGW("[Parameters]:broker '%s' does not resolve", dis.broker_host.c_str());
        return -1;
    }
    return cloud_mqtt_info_fill(broker_ip, dis, info);
}

// get_paras_from_dis: MQTT_Init until it succeeds, with growing pauses.
int get_paras_from_dis(MQTT_Info_t *info) {
    for (unsigned attempt = 1;; ++attempt) {
        if (MQTT_Init(info) == 0) {
            static std::atomic<bool> said{false};
            if (!said.exchange(true)) ORVI_LOGI("[Inital]:get the parameters successfully\n");
            ORVI_LOGI("[Parameters]:broker %s", info->host);
            return 0;
        }
        orvi_port_sleep_ms(attempt > 20 ? 60000u : 3000u * attempt);
    }
}

void mqtt_event_callback(const char *topic, const char *payload) {
    std::string cloud_topic, package;
    if (cloud_status_rekey(topic, payload, cloud_topic, package) != 0) return;
    mqtt_publish_api(cloud_topic.c_str(), 2, 1, package.c_str(), package.size());
}

void *orvi_jsonstatus_sub_thread(void *) {
    static const char *const topics[] = {"/jsonStatus/#", "/fakeStatus/#"};
    if (local_sub_topic_3("cloud_mqtt", topics, 2, mqtt_event_callback) < 0)
        ORVI_LOGW("the status relay's local subscription failed");
    return nullptr;
}

int link_response(const char *topic, const char *data, size_t size, int qos, int retain) {
    return mqtt_publish_api(topic, qos, retain, data, size);
}

}  // namespace

const cloud_link_t cloud_mqtt_link_iface = {link_response};

void evn_mqtt_connect_publish(int connected) {
    const int state = connected == 1 ? 2 : 0;
    mqtt_connect_state.store(state);
    orvi_event_post_value(ORVI_EVENT_HOST_STATUS, state);
    event_mqtt_connect_publish(connected == 1 ? 1 : 0);
}

int service_mqtt(void) {
    static std::once_flag once;
    int rc = 0;
    std::call_once(once, [&rc] {
        cloud_mqtt_hooks_t h;
        h.params = get_paras_from_dis;
        h.home_mac = [] { return product_get_mac_str(); };
        h.host_mac = [] { return product_get_host_mac_str(); };
        h.state = evn_mqtt_connect_publish;
        h.message = cloud_rx_handle;
        h.firmware = cloud_rx_firmware;
        // The daemon's link lives as long as the process.
        auto *link = new cloud_mqtt_link(std::move(h));
        g_link.store(link);
        rc = link->start();
        pthread_t tid;
        if (orvi_pthread_create_detach(&tid, nullptr, orvi_jsonstatus_sub_thread, nullptr,
                                       "orvi_jsonstatus_sub_thread") != 0)
            rc = -1;
    });
    return rc;
}

int mqtt_publish_api(const char *topic, int qos, int retain, const char *payload, size_t length) {
    cloud_mqtt_link *link = g_link.load();
    if (!link) {
        ORVI_LOGW("mqtt_publish_api: the cloud link is not started");
        return -1;
    }
    return link->publish(topic, qos, retain, payload, length);
}

int cloud_sub_topic(const char *const *topics, int count) {
    cloud_mqtt_link *link = g_link.load();
    if (!link) {
        ORVI_LOGW("cloud_sub_topic: the cloud link is not started");
        return -1;
    }
    return link->subscribe(topics, count);
}

void cloud_mqtt_disconnect(void) {
    if (cloud_mqtt_link *link = g_link.load()) link->disconnect();
}
