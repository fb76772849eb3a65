// Temporary: calls of the LAN transports into modules that are being built
// on other branches (the codec bridge, the mini-app pages). Removed once they land.
#pragma once

#include <cstddef>

int hex_to_json(const char *mid, const char *in, char *out, size_t size);
void checkRes_send_retry_cansle(void);
