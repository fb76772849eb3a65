// The BLE data channel's send entry used by the LAN write routine. The BLE
// service is not built yet: the stand-in (ble_link_pending.cpp) records the
// call and returns pending_result().
#pragma once

#include <cstddef>

// Sends `size` bytes to the connected app over BLE. 0 or -1.
int orvi_bt_data_send(const char *data, size_t size);
