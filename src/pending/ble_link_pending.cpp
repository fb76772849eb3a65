// Stand-in for the BLE data channel until it is built: records
// "orvi_bt_data_send <data>".
#include "pending/ble_link_pending.h"

#include <string>

#include "pending/pending_calls.h"

int orvi_bt_data_send(const char *data, size_t size) {
    pending_record("orvi_bt_data_send", {std::string(data ? data : "", data ? size : 0)});
    return pending_result();
}
