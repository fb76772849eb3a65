// The SD card service: watches the card slot, mounts the card and copies to
// and from it. Not built yet: until start-up installs it, nothing starts and
// the call says "not built". Called once, by start-up.
#pragma once

// Starts the slot monitor. 0 or -1.
int orvi_sd_service_init(void);

typedef struct orvi_sd_service_ops_s {
    int (*init)(void);
} orvi_sd_service_ops_t;

extern const orvi_sd_service_ops_t orvi_sd_service_not_built;
// Start-up installs the SD card service; null puts "not built" back.
void orvi_sd_service_install(const orvi_sd_service_ops_t *ops);
