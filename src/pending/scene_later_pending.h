// The scene-answer subscriptions the mini-app's scene requests start.
// Recording stand-ins (scene_later_pending.cpp) until the scene responses
// land and replace this header. Each is called once per process.
#pragma once

int start_subscribe_scene_create_resp_service(void);
int start_subscribe_scene_delete_resp_service(void);
int start_subscribe_scene_check_rsp(void);
