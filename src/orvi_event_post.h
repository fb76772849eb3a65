// The host's numbered events and how any thread posts one onto the event
// loop: transports, publishers, handlers and timers post, the host event
// handler (orvi_host_event.h) alone takes them, on the event loop thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "orvi_event_loop.h"
#include "product_subdev.h"

enum {
    ORVI_EVENT_SCAN = 4098,             // broadcast "scan"
    ORVI_EVENT_SYNCDEV = 4099,          // "syncDev" to a record
    ORVI_EVENT_JSONSTATUS = 4100,       // status fan-out of a record
    ORVI_EVENT_BINCMD = 4101,           // "binCmd" to a record
    ORVI_EVENT_DEVINFO = 4102,          // publish a record's device information
    ORVI_EVENT_SYNCDONE = 4103,         // the sync-done series
    ORVI_EVENT_HOST_STATUS = 4105,      // host status report (value: cloud link state)
    ORVI_EVENT_MINIAPP_RES = 4106,      // "miniAppRes" to a record
    ORVI_EVENT_JSONSTATUS_MQTT = 4107,  // "jsonStatus_mqtt" of a record
    ORVI_EVENT_ROOMLIST = 4109,         // publish a room list text
    ORVI_EVENT_TIMER_BROADCAST = 4114,  // publish a timer broadcast text
    ORVI_EVENT_TIMER_INFO = 4115,       // publish a timer information text
    ORVI_EVENT_CONNECT_UPLOAD = 4116,   // connection status upload
    ORVI_EVENT_MATCH_TIMEOUT = 4117,    // pairing window expired
    ORVI_EVENT_STATUS_SYNC = 4118,      // status sync due (value: device type)
    ORVI_EVENT_ONLINE_SYNC = 4119,      // online sync due (value: device type)
    ORVI_EVENT_DEVINFO_DELETE = 4122,   // drop the retained device information of a MAC (text)
    ORVI_EVENT_ROOMINFO_HTTP = 4124,    // publish room information text
};

// Every event's context is a heap object the handler takes over and frees:
// a record travels as a shared reference, a text as a string, a number as a
// number. The post helpers build it; when posting fails they free it. An
// event may also be posted with a null context (the scan timers, 4116).
struct orvi_event_ctx_t {
    orvi_subdev_ptr dev;
    std::string text;
    long value = 0;
};
using orvi_event_ctx_ptr = std::unique_ptr<orvi_event_ctx_t>;

int orvi_event_post_dev(orvi_event_loop_t event, const orvi_subdev_ptr &dev);
int orvi_event_post_text(orvi_event_loop_t event, const std::string &text);
int orvi_event_post_value(orvi_event_loop_t event, long value);
// Only one delayed event can be pending at a time (orvi_event_loop.h).
int orvi_event_post_dev_delay(orvi_event_loop_t event, const orvi_subdev_ptr &dev, uint32_t delay_ms);

// A fresh, empty context (allocation failure ends the process).
orvi_event_ctx_ptr orvi_event_ctx_new(void);
// Posts `ctx` (may be null) at once, or after `delay_ms`; the event owns it
// from then on, and a post that fails frees it. 0 or -1.
int orvi_event_post_ctx(orvi_event_loop_t event, orvi_event_ctx_ptr ctx, uint32_t delay_ms);
