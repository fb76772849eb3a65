// Stand-in for the LAN transports until it is built: logs the call and reports success.
#include "pending/main_pending.h"

#include "orvi_log.h"

int bincmd_retry_thread(void) {
    ORVI_LOGD("bincmd_retry_thread: not built yet");
    return 0;
}

int orvi_socket_handle(void) {
    ORVI_LOGD("orvi_socket_handle: not built yet");
    return 0;
}

int socket_connect_start(const char *, unsigned short) {
    ORVI_LOGD("socket_connect_start: not built yet");
    return 0;
}

int orvi_subdev_tcp_server_init(void) {
    ORVI_LOGD("orvi_subdev_tcp_server_init: not built yet");
    return 0;
}

#include "orvi_socket.h"
#include "pending/pending_calls.h"

int socket_connect_write(const char *data, size_t size, const dev_socket_t *to, const orvi_subdev_ptr &dev) {
    pending_record("socket_connect_write", {std::string(data ? data : "", data ? size : 0),
                                            std::to_string(to ? to->type : -1), pending_arg(dev)});
    return -1;
}

int socket_connect_stop(void) {
    pending_record("socket_connect_stop", {});
    return 0;
}
