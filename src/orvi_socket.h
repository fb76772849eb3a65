// The LAN transports: UDP in on 5000 and out on 5001, the TCP server on
// 1813, and the one write routine every answer and host-initiated packet
// leaves through. Writes run on the request task.
#pragma once

#include <cstddef>

#include "orvi_types.h"
#include "product_subdev.h"

// Sends one wrapped packet to `to` (by its connection type); `dev` is the
// target record (may be null for an unregistered peer). 0 or -1.
int socket_connect_write(const char *data, size_t size, const dev_socket_t *to, const orvi_subdev_ptr &dev);
int socket_connect_start(const char *host, unsigned short port);
int socket_connect_stop(void);
