// The plug-in package service as start-up uses it: loading the plug-in
// configuration and starting the refresh threads that install announced
// codec plug-in versions. Not built yet: until start-up installs it, nothing
// is loaded or started and each call says "not built". Called by start-up.
#pragma once

// Starts the plug-in refresh threads. 0 or -1.
int orvi_so_refresh_server(void);
// Loads the plug-in configuration. 0 or -1.
int orvi_so_config_load(void);

typedef struct orvi_so_update_ops_s {
    int (*refresh_server)(void);
    int (*config_load)(void);
} orvi_so_update_ops_t;

extern const orvi_so_update_ops_t orvi_so_update_not_built;
// Start-up installs the plug-in package service; null puts "not built" back.
void orvi_so_update_install(const orvi_so_update_ops_t *ops);
