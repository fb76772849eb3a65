// Hooks into the status handlers that the host event loop calls. Recording
// stand-ins (status_later_pending.cpp) until the status handlers land and
// replace this header.
#pragma once

// Starts the upload of every subdevice's status to the cloud. 0 or -1.
int mqtt_upload_all_devices_status_thread(void);
