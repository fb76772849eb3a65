// Test entries: what the unit tests, the stress tests and the benchmarks
// need of the daemon's modules beyond the seams start-up wires (sinks,
// listeners, writers, the dispatch, the subsystems' tables). Each puts a
// module's process-wide state back to where a fresh process has it, or
// checks that state, so tests that share one process stay independent.
//
// Only tests and benchmarks include this header (it is not on the daemon's
// include path). The daemon never calls these functions; each module
// defines its entries next to the state they reach.
#pragma once

#include <string>

// ---- Request intake (orvi_request.cpp) ---------------------------------------

// Removes the request queue (the system V queue outlives the process
// otherwise); requests still queued are freed.
void orvi_request_queue_delete_for_test(void);

// ---- Identity (orvi_product.cpp) ----------------------------------------------

// The next successful clock calibration counts as the first again.
void product_time_calibrated_reset_for_test(void);
// Clears the host settings in memory; the file is left as it is.
void product_host_settings_reset_for_test(void);

// ---- Registry (product_subdev.cpp) --------------------------------------------

// Empties the registry: table, counters, rooms, host fields, the linking
// lists' entries (the lists stay allocated) and the linking-id counter.
// Listeners stay registered.
void product_registry_reset_for_test(void);
// Checks the table against its index and counters: every slot below the
// device count holds a record and no slot above it does, the index finds
// each record at its slot and nothing else, the gang index holds exactly the
// 14-character MACs, the counters match the records. true, or false with
// the first difference in *why.
bool product_registry_check_for_test(std::string *why);

// ---- Publishers (event_publish_named.cpp, orvi_miniapp.cpp) -------------------

// Forgets the sync timers' slots and empties the room batch (after the timer
// table was emptied).
void event_publish_reset_for_test(void);
// Forgets the resend timer (after the timer table was emptied), the page in
// resend and both push states.
void orvi_miniapp_reset_for_test(void);

// ---- Handlers -------------------------------------------------------------------

// The binding handlers' state, by source: the sync and device-list state
// (orvi_bind_handlers.cpp), the room pushes (orvi_bind_lists.cpp), the
// self-check and switch-bind state (orvi_bind_check.cpp).
void orvi_bind_sync_reset_for_test(void);
void orvi_bind_lists_reset_for_test(void);
void orvi_bind_check_reset_for_test(void);
// All three: every timer slot, the sync, room, switch-bind and self-check
// state (after the timer table was emptied).
inline void orvi_bind_reset_for_test(void) {
    orvi_bind_sync_reset_for_test();
    orvi_bind_lists_reset_for_test();
    orvi_bind_check_reset_for_test();
}
// Whether the self-check starts its worker thread (on by default; unit tests
// drive dev_checking_step themselves).
void orvi_bind_check_worker_for_test(bool start);
// Forgets the host event module's timers and state (after the timer table
// was emptied).
void orvi_host_event_reset_for_test(void);
// Forgets the up/down request id, the scene reply id and record, the
// multicast test counter and which scene subscriptions were started.
void orvi_status_handlers_reset_for_test(void);
// Forgets the BLE provisioning service's end-of-pairing timer (after the
// timer table was emptied).
void orvi_ble_prov_reset_for_test(void);

// ---- Wi-Fi station (wireless/orvi_wifi_station.cpp) --------------------------------

// The confirmation polls `polls` times `poll_ms` apart, and a started
// supplicant (or a scan) is given `settle_ms`; polls 0 puts the board's pace
// back (60 polls 1 s apart, 1 s, 3 s).
void orvi_wifi_timing_for_test(unsigned polls, unsigned poll_ms, unsigned settle_ms);
// Whether a confirmation task runs.
bool orvi_wifi_confirm_running_for_test(void);
// The station's status back to WIFI_DISABLE, the confirmation's state to
// WIFI_UNKNOWN_STATE (no task may run).
void orvi_wifi_reset_for_test(void);
