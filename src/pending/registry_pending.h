// Stand-ins for the event-bus publishers the registry calls before their
// modules exist. Each one logs, records its arguments for tests and reports
// that nothing was delivered (-1). Thread-safe. Delete a stand-in when the
// real publisher lands; the signatures are the ones the registry calls.
#pragma once

#include <string>
#include <vector>

#include "product_subdev.h"

// Announces a new sub-subdevice under its parent.
int event_subsub_devinfo_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev);
// Announces a sub-subdevice's pending events.
int event_event_persistent_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev);
// Asks the bus service owning `type` (1 CAN, 2 RS-485, 14 MJ gateway) for a device's `oper`.
int uds_subdev_status_check_publish(int type, const char *oper, const char *mac);

// Tests: the calls recorded so far, one text each ("name arg arg ..."), and
// the result the stand-ins return (-1 unless set).
std::vector<std::string> registry_pending_calls(void);
void registry_pending_clear(void);
void registry_pending_set_result(int rc);
