// Stand-ins for the scene-answer subscriptions until they are built: each
// records its call and reports success.
#include "pending/scene_later_pending.h"

#include "pending/pending_calls.h"

int start_subscribe_scene_create_resp_service(void) {
    pending_record("start_subscribe_scene_create_resp_service", {});
    return 0;
}

int start_subscribe_scene_delete_resp_service(void) {
    pending_record("start_subscribe_scene_delete_resp_service", {});
    return 0;
}

int start_subscribe_scene_check_rsp(void) {
    pending_record("start_subscribe_scene_check_rsp", {});
    return 0;
}
