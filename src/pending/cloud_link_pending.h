// The cloud MQTT link's publish entry used by the LAN write routine. The
// link is not built yet: the stand-in (cloud_link_pending.cpp) records the
// call and returns pending_result().
#pragma once

#include <cstddef>

// Publishes `size` bytes on `topic` with the given quality of service and
// retain flag. 0 when handed to the link, -1 otherwise.
int mqtt_response_api(const char *topic, const char *data, size_t size, int qos, int retain);
