// The local MQTT event transport onto the board's broker (127.0.0.1:1883):
// the publisher pool draining the control and status lists, the two kinds
// of subscription and the event package. Any thread may publish.
#pragma once

#include <cstddef>

int local_mqtt_service(void);
// Queues a copy of `message` for `topic`. 0, or -1 when refused.
int mqtt_event_publish(const char *topic, const char *message, size_t length, int retain);
// Removes the retained message of `topic` (an empty retained publish).
int delete_mqtt_retain(const char *topic);
