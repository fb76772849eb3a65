// The firmware upgrade as the rest of the host calls it: the start-up check
// of a package left by the previous run, and the download the "upgrade"
// packet starts. Not built yet: until start-up installs it, no package is
// checked or downloaded and each call says "not built". Any thread may call.
#pragma once

// Finishes an upgrade left by the previous run. 0 when a verified package
// was present, else -1.
int ota_package_verify(void);
// Starts the download of the firmware package at `url` on its own thread
// (one at a time). 0, or -1 when no download was started.
int orvi_ota_thread(const char *url);

typedef struct orvi_ota_ops_s {
    int (*package_verify)(void);
    int (*download)(const char *url);
} orvi_ota_ops_t;

extern const orvi_ota_ops_t orvi_ota_not_built;
// Start-up installs the firmware upgrade; null puts "not built" back.
void orvi_ota_install(const orvi_ota_ops_t *ops);
