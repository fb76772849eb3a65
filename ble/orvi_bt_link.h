// The BLE data channel as the rest of the host sees it: one narrow interface
// whose send entry `orvi_bt_data_send` is the one way to send to the app over
// BLE, and the writer of the BLE channel built on it. The BLE service is not
// built yet: until an implementation is installed every send answers "not
// built". Any thread may send; the request task does.
#pragma once

#include <cstddef>

#include "orvi_types.h"
#include "product_subdev.h"

// What an implementation of the channel provides.
typedef struct orvi_bt_link_s {
    // Sends `size` bytes to the connected app. 0 or -1.
    int (*data_send)(const char *data, size_t size);
} orvi_bt_link_t;

// Installs the channel (null, or one without `data_send`: not built). The
// channel must outlive the process.
void orvi_bt_link_set(const orvi_bt_link_t *link);

// Sends through the installed channel: its answer, or -1 with a log line
// saying the channel is not built.
int orvi_bt_data_send(const char *data, size_t size);

// The writer of the BLE channel (orvi_transport.h). 0, or -1
// ("orvi_bt_data_send is fail!").
int orvi_bt_link_write(const char *data, size_t size, const dev_socket_t *to, const orvi_subdev_ptr &dev);
