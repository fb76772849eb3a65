// The cloud MQTT link as the rest of the host sees it: one narrow interface
// whose publish entry `mqtt_response_api` is how every reply reaches the
// cloud, and the writer of the MQTT channel built on it. Start-up installs
// the cloud MQTT link (cloud_mqtt_service.h); until an implementation is
// installed every publish answers "not built". Any thread may publish; the
// request task does.
#pragma once

#include <cstddef>

#include "orvi_types.h"
#include "product_subdev.h"

// What an implementation of the link provides.
typedef struct cloud_link_s {
    // Publishes `size` bytes on `topic` with the given quality of service and
    // retain flag. 0 when handed to the link, -1 otherwise.
    int (*response)(const char *topic, const char *data, size_t size, int qos, int retain);
} cloud_link_t;

// Installs the link (null, or one without `response`: not built). The link
// must outlive the process.
void cloud_link_set(const cloud_link_t *link);

// Publishes through the installed link: its answer, or -1 with a log line
// saying the link is not built.
int mqtt_response_api(const char *topic, const char *data, size_t size, int qos, int retain);

// The writer of the MQTT channel (orvi_transport.h): publishes on to->topic
// with quality of service 1, retained when the topic names "connect" (the
// connection list is kept by the broker for whoever subscribes next). 0, or
// -1 ("mqtt_response_api is fail!").
int cloud_link_write(const char *data, size_t size, const dev_socket_t *to, const orvi_subdev_ptr &dev);
