// Hooks into the lighting service that the host event loop calls. Recording
// stand-ins (tovra_later_pending.cpp) until the lighting service lands in
// src/utils/host_tovra/ and replaces this header.
#pragma once

#include <string>

// Asks the lighting service for a full refresh of its device list.
void tovra_all_refresh_list(void);

// The lighting module's own MAC (12 lower-case hex digits), empty until the
// module reported it.
std::string tovra_get_tovra_mac(void);
// A tovra device was added by the app: its room is queued and its status is
// asked for after the next device-table refresh.
void new_online_device_list(const char *mac);
