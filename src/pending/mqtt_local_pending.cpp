// Stand-in for the local MQTT transport until it is built: logs the call and reports success.
#include "pending/main_pending.h"

#include "orvi_log.h"

int local_mqtt_service(void) {
    ORVI_LOGD("local_mqtt_service: not built yet");
    return 0;
}

#include <string>

#include "local_mqtt.h"
#include "pending/pending_calls.h"

int mqtt_event_publish(const char *topic, const char *message, size_t length, int retain) {
    pending_record("mqtt_event_publish",
                   {pending_arg(topic), std::string(message ? message : "", message ? length : 0),
                    std::to_string(retain)});
    return -1;
}

int delete_mqtt_retain(const char *topic) {
    pending_record("delete_mqtt_retain", {pending_arg(topic)});
    return -1;
}
