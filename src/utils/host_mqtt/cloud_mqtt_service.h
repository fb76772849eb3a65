// The cloud MQTT link of the daemon: the service start-up runs once, the
// publish entry every reply and status to the cloud goes through, the API
// subscriptions other services ask for, the disconnect of the "reset"
// command, and the link-state report. Any thread may call every function
// but service_mqtt (start-up, once).
#pragma once

#include <cstddef>

#include "cloud_link.h"

// Starts the link: parameters from the dispatch server, the connection and
// its monitor, publisher and receive threads, and the local subscription of
// "/jsonStatus/#" and "/fakeStatus/#" whose statuses it relays. 0 or -1.
int service_mqtt(void);

// Queues one message for the cloud (QoS clamped to 2, retained only for
// retain 1; only the latest subdevice status per topic waits). 0, or -1
// when topic or payload is missing, the length is 0 or the topic too long.
int mqtt_publish_api(const char *topic, int qos, int retain, const char *payload, size_t length);

// Subscribes `topics` (QoS 1) now if the link is up, and again on every
// later connection. 0, or -1 for a bad list or before service_mqtt.
int cloud_sub_topic(const char *const *topics, int count);

// Takes the link down; it is built again with fresh parameters.
void cloud_mqtt_disconnect(void);

// Reports the link state: the cloud connection state (2 up, 0 down) to the
// event loop (event 4105) and "connect" 1 or 0 on the local topic "mqtt/connect".
void evn_mqtt_connect_publish(int connected);

// The link as the request path's MQTT writer publishes through it
// (cloud_link_set at start-up).
extern const cloud_link_t cloud_mqtt_link_iface;
