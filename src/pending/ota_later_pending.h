// The firmware upgrade's download entry the "upgrade" packet starts.
// Recording stand-in (ota_later_pending.cpp) until the upgrade service lands
// and replaces this header.
#pragma once

// Starts the download of the firmware package at `url` on its own thread
// (one at a time). 0 or -1.
int orvi_ota_thread(const char *url);
