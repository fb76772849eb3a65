// Hooks into the lighting service that the host event loop calls. Recording
// stand-ins (tovra_later_pending.cpp) until the lighting service lands in
// src/utils/host_tovra/ and replaces this header.
#pragma once

// Asks the lighting service for a full refresh of its device list.
void tovra_all_refresh_list(void);
