// Stand-in for the status upload worker until it is built.
#include "pending/status_later_pending.h"

#include "pending/pending_calls.h"

int mqtt_upload_all_devices_status_thread(void) {
    pending_record("mqtt_upload_all_devices_status_thread", {});
    return 0;
}
