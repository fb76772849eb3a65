// Recording implementations of the seams of the subsystems still to come:
// each call is recorded in pending_calls.h's record and answers as the test
// sets it, so tests see what the built code asked of those subsystems. The
// unit tests install them before any test runs; a test of a "not built"
// answer installs the not-built table and puts these back afterwards.
#pragma once

#include <cJSON.h>

#include "orvi_wifi.h"
#include "pending_calls.h"

// Installs every recording implementation.
void recording_seams_install(void);
// Puts the "not built" tables back (what the daemon answers today).
void recording_seams_uninstall(void);
// Reinstalls the recording implementations when it leaves its scope, so a
// test that let a subsystem answer "not built" leaves none behind, however
// it ends.
struct recording_seams_back {
    recording_seams_back() = default;
    recording_seams_back(const recording_seams_back &) = delete;
    recording_seams_back &operator=(const recording_seams_back &) = delete;
    ~recording_seams_back() { recording_seams_install(); }
};

// The state the recording Wi-Fi reports, as its connection state and as the
// confirmation's last state (WIFI_DISCONNECTED at first).
void wifi_pending_set_connection_state(WifiConnectionState state);
// What the recording run information's change check answers (0 at first).
void runinfo_pending_set_changed(int changed);
// Sets the host state the event topic handlers keep (scene lock, binding
// result, a copy of the gateway tokens; null forgets them).
void uds_later_pending_set(int scene_lock, int bind_result, const cJSON *tokens);
