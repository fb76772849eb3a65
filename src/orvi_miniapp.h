// Paged pushes to the phone mini-app (device-online, check-result and
// device-list pages) and their resend: one page at a time is resent every
// second until acknowledged or ten resends have gone out. Builders run on the
// request task; the resend runs in the timer tick and only posts event 4106,
// whose "miniAppRes" send (orvi_send_miniAppRsp) runs on the request task.
//
// The page in resend is kept here, with its own reference to its target
// record: a later push, a concurrent status write or the record's deletion
// can neither change what a resend sends nor where it goes. A target that
// leaves the registry ends the resend.
#pragma once

#include <cJSON.h>

#include "product_subdev.h"

#define ORVI_MINIAPP_MAC "miniApp"
#define ORVI_MINIAPP_RESEND_TIMER "miniApp_resend_timer"
#define ORVI_MINIAPP_RESEND_MS 1000
#define ORVI_MINIAPP_RESEND_MAX 10
#define ORVI_MINIAPP_PAGE_SLOTS 100   // registry slots / identifiers per page
#define ORVI_MINIAPP_DEVLIST_PAGE 10  // devices per device-list page

// Sends `page` to `target` now and starts its resends; the page replaces any
// page in resend. 0; -1 for a null argument or a page of ORVI_SUBDEV_DATA_SIZE
// characters or more.
int miniApp_retry_response_send(const orvi_subdev_ptr &target, const char *page);
// Ends the resends at the next timer tick.
void checkRes_send_retry_cansle(void);
// The resend counter `miniAppRes_repeat` (0 to 10).
int miniApp_resend_repeat(void);

// Device-online page from registry slot `index` (start: a new check from 0).
// A null target means the mini-app record. 0 (also for an ignored stale
// index or an index past the end), or -1.
int checkRes_devOnlinePush_send(const orvi_subdev_ptr &target, int index, bool start);
// Check-result page of the offline devices gathered when the check started.
int checkRes_checkResPush_send(const orvi_subdev_ptr &target, int index, bool start);
// Device-list page; takes over `devList` (deleted on every path). A null
// target means the mini-app record. 0 or -1.
int miniApp_devListPush_Package_send(const orvi_subdev_ptr &target, int index, int sum, cJSON *devList);
// Up to 10 devices of `devType` (a type selector) from index `index` of the
// registry (`fromRegistry` set) or of `list`. 0 (also when nothing is left to
// send) or -1.
int orvi_miniApp_devListPush_send(const orvi_subdev_ptr &target, int fromRegistry, int index,
                                  orvi_subdev_info_list_t *list, int devType);
