// The channel pointer is read on every send and written once at start-up (or
// by a test): an atomic load is all a send costs.
#include "orvi_bt_link.h"

#include <atomic>

#include "orvi_log.h"

namespace {
std::atomic<const orvi_bt_link_t *> g_link{nullptr};
}  // namespace

void orvi_bt_link_set(const orvi_bt_link_t *link) {
    g_link.store(link && link->data_send ? link : nullptr);
}

int orvi_bt_data_send(const char *data, size_t size) {
    const orvi_bt_link_t *link = g_link.load();
    if (!link) {
        ORVI_LOGW("orvi_bt_data_send: the BLE data channel is not built, %zu bytes not sent",
                  data ? size : 0);
        return -1;
    }
    return link->data_send(data, size);
}

int orvi_bt_link_write(const char *data, size_t size, const dev_socket_t *to, const orvi_subdev_ptr &) {
    if (!data || !to) {
        ORVI_LOGW("parameters error!");
        return -1;
    }
    if (orvi_bt_data_send(data, size) != 0) {
        ORVI_LOGW("orvi_bt_data_send is fail!");
        return -1;
    }
    return 0;
}
