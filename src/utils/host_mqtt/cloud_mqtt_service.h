// The start of the cloud MQTT link: its service thread and the local
// subscription that relays subdevice status to the cloud. Not built yet:
// until start-up installs it, nothing starts and the call says "not built".
// Called once, by start-up.
#pragma once

// 0, or -1 when the link's service could not be started.
int service_mqtt(void);

typedef struct cloud_mqtt_service_ops_s {
    int (*service)(void);
} cloud_mqtt_service_ops_t;

extern const cloud_mqtt_service_ops_t cloud_mqtt_service_not_built;
// Start-up installs the link's start; null puts "not built" back.
void cloud_mqtt_service_install(const cloud_mqtt_service_ops_t *ops);
