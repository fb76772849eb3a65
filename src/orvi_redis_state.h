// The scene and room state kept in the local Redis store, as start-up uses
// it: the store's append-only file check and the provisional status pusher.
// Not built yet: until start-up installs it, nothing is checked or started
// and each call says "not built". Called by start-up.
#pragma once

// Checks (and repairs) the store's append-only file. 0 or -1.
int redis_checking(void);
// Starts the provisional status pusher. 0 or -1.
int false_status_push_thread(void);

typedef struct orvi_redis_state_ops_s {
    int (*checking)(void);
    int (*false_status_push)(void);
} orvi_redis_state_ops_t;

extern const orvi_redis_state_ops_t orvi_redis_state_not_built;
// Start-up installs the Redis state service; null puts "not built" back.
void orvi_redis_state_install(const orvi_redis_state_ops_t *ops);
