// Stand-in for the cloud MQTT link's publish until the link is built: records
// "mqtt_response_api <topic> <data> <qos> <retain>".
#include "pending/cloud_link_pending.h"

#include <string>

#include "pending/pending_calls.h"

int mqtt_response_api(const char *topic, const char *data, size_t size, int qos, int retain) {
    pending_record("mqtt_response_api", {pending_arg(topic), std::string(data ? data : "", data ? size : 0),
                                         std::to_string(qos), std::to_string(retain)});
    return pending_result();
}
