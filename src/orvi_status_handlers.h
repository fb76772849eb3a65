// Device status and commands: the status fan-out of a record's new status
// document (bus publishes, gang sync of multi-gang switches, firmware
// identifier refresh), the cloud upload of every device's status, and the
// scene request state the scene answers read. The packet handlers and send
// functions themselves are declared in orvi_handlers.h. The fan-out runs on
// the request task; the upload worker on its own thread; the getters on any.
#pragma once

#include <cJSON.h>

#include <string>

#include "product_subdev.h"

// Longest request id the app's scene push and up/down requests may carry.
#define ORVI_SCENE_REQID_MAX 30
#define ORVI_UPDOWN_REQID_MAX 50
// Longest configuration text the app may store ("configStatus",
// "485Configure"); a longer one is refused.
#define ORVI_CONFIG_TEXT_MAX 8192
// Longest firmware URL an "upgrade" order may carry.
#define ORVI_UPGRADE_URL_MAX 512

// The status fan-out of a record. 0, or -1 for a null record.
int orvi_jsonStatus_handle(const orvi_subdev_ptr &dev);
// Copies the status document of one gang of a multi-gang switch to the
// gangs its "opt" names ("Sw1".."Sw4" -> "<first 12>00".."<first 12>03").
// Returns the number of gangs updated, or -1.
int tovra_switch_status_sync(const orvi_subdev_ptr &dev);
// Takes the "hid" value of the record's status document as its firmware
// identifier; republishes the device information when it changed. 0 or -1.
int update_hid_from_dat(const orvi_subdev_ptr &dev);
// Adds name -> copy of value to `object` for each pair of the status's
// "opt"/"p" (else "cols"/"dat"; the "jsonStatus" member's when present).
// Returns the number of names walked, -1 on bad input.
int orvi_cjson_array_to_keypair(const cJSON *status, cJSON *object);

// Starts the worker that asks for the cloud upload (event 4107) of every
// online device's status, `pause_ms` apart. One worker at a time: 0 when
// started, -1 when one runs already or the thread cannot start.
#define ORVI_UPLOAD_PAUSE_MS 100u
int mqtt_upload_all_devices_status_thread(unsigned pause_ms = ORVI_UPLOAD_PAUSE_MS);

// The mini-app's last scene push: its reply id ("requestId", empty before
// the first) and the mini-app's record (null before the first).
std::string orvi_scene_reply_id(void);
orvi_subdev_ptr orvi_scene_miniapp_record(void);

// True while an upload worker runs.
bool mqtt_upload_running(void);
