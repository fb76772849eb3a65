// The BLE provisioning service: the Bluetooth thread that start-up starts
// last, and the provisioning packets the app sends over BLE ("bind",
// "subBDev", "QnetDev", "bleCheck", "homeBind") with the Wi-Fi result message
// "bleinfo". Not built yet: until start-up installs it, the thread does not
// start and every packet is refused (no answer) with a "not built" line. The
// packet handlers are rows of the dispatch tables (orvi_handlers.h) and run
// on the request task.
#pragma once

#include "orvi_request.h"

// Starts the Bluetooth thread. 0, or -1 when it could not be started.
int orvi_combo_server(void);

typedef struct orvi_ble_service_ops_s {
    int (*combo_server)(void);
    request_handle_fn bind;
    request_handle_fn subBDev;
    request_handle_fn QnetDev;
    request_handle_fn bleCheck;
    request_handle_fn homeBind;
    request_send_fn send_bleinfo;
} orvi_ble_service_ops_t;

// Every call -1: nothing starts, no packet is answered.
extern const orvi_ble_service_ops_t orvi_ble_service_not_built;
// Start-up installs the provisioning service; null puts "not built" back.
void orvi_ble_service_install(const orvi_ble_service_ops_t *ops);
