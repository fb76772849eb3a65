// The scene answers to the mini-app as the scene packets call them: the
// subscriptions to the scene service's outcomes. Not built yet: until
// start-up installs them, no subscription starts and each call says "not
// built". Called on the request task.
#pragma once

// Each starts one subscription. 0, or -1 when it could not be started.
int start_subscribe_scene_create_resp_service(void);
int start_subscribe_scene_delete_resp_service(void);
int start_subscribe_scene_check_rsp(void);

typedef struct orvi_scene_rsp_ops_s {
    int (*create_sub)(void);
    int (*delete_sub)(void);
    int (*check_sub)(void);
} orvi_scene_rsp_ops_t;

extern const orvi_scene_rsp_ops_t orvi_scene_rsp_not_built;
// Start-up installs the scene answers; null puts "not built" back.
void orvi_scene_rsp_install(const orvi_scene_rsp_ops_t *ops);
