// Hooks into the local event topic handlers that the host event loop needs
// but that land later: the pairing window's expiry and the host state those
// handlers keep (scene lock, last binding result, gateway tokens). Recording
// stand-ins (uds_later_pending.cpp) until that module replaces this header.
#pragma once

#include <cJSON.h>

// The pairing window expired (event 4117).
void matching_timeout_handler(void);
// The scene lock flag.
int uds_scene_lock_get(void);
// The last binding result.
int uds_bind_result_get(void);
// A copy of the gateway tokens object (the caller deletes it), or null when
// none is held.
cJSON *uds_gateway_tokens_get(void);

// Tests: the values the stand-ins report (0, 0, none at first); a copy of
// `tokens` is kept, null forgets it.
void uds_later_pending_set(int scene_lock, int bind_result, const cJSON *tokens);
