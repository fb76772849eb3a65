// The lighting service's start-up and the wiring of its module link: the
// tables, the module's port, the 100 ms timer and the handle, receive, check
// and log-level threads, and the link's hooks filled with the device tables
// and the lighting events. Start-up installs `tovra_service_ops`; the
// service's own threads run everything after that.
#pragma once

#include "tovra_service.h"

// The service as the rest of the host calls it, every call built.
extern const tovra_service_ops_t tovra_service_ops;

// Fills the link's, the tables' and the events' hooks with what is built.
// Start-up calls it before the service starts; a test may call it alone.
void tovra_link_wire(void);

// The home network key changed (BLE provisioning): the module is sent its
// new key. 0, or -1 when the key is not 8 hex digits (nothing queued).
int tovra_key_set(const char *qnetkey);

// The lighting log switches file; a number written there becomes the new
// switches within 10 s.
#define TOVRA_LOG_CONFIG "/home/root/moduletest/tovralog.config"
// One pass of the log-level thread over the open file: 1 when it read a new
// level. For tests.
int tovra_log_level_poll(int fd);
