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
