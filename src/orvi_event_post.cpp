// A context belongs to whoever holds it: the poster until the event loop took
// the event, the handler from then on. A post that fails hands it back here
// and it is freed, so no path leaks a context or frees one twice.
#include "orvi_event_post.h"

#include <new>

#include "orvi_log.h"

orvi_event_ctx_ptr orvi_event_ctx_new(void) {
    orvi_event_ctx_ptr c(new (std::nothrow) orvi_event_ctx_t);
    if (!c) ORVI_NO_MEM(sizeof(orvi_event_ctx_t));
    return c;
}

int orvi_event_post_ctx(orvi_event_loop_t event, orvi_event_ctx_ptr ctx, uint32_t delay_ms) {
    orvi_event_ctx_t *raw = ctx.release();
    int rc = delay_ms ? orvi_event_loop_delay_send(event, raw, delay_ms) : orvi_event_loop_send(event, raw);
    if (rc != 0) delete raw;  // never delivered: it is still ours
    return rc;
}

int orvi_event_post_dev(orvi_event_loop_t event, const orvi_subdev_ptr &dev) {
    orvi_event_ctx_ptr c = orvi_event_ctx_new();
    c->dev = dev;
    return orvi_event_post_ctx(event, std::move(c), 0);
}

int orvi_event_post_text(orvi_event_loop_t event, const std::string &text) {
    orvi_event_ctx_ptr c = orvi_event_ctx_new();
    c->text = text;
    return orvi_event_post_ctx(event, std::move(c), 0);
}

int orvi_event_post_value(orvi_event_loop_t event, long value) {
    orvi_event_ctx_ptr c = orvi_event_ctx_new();
    c->value = value;
    return orvi_event_post_ctx(event, std::move(c), 0);
}

int orvi_event_post_dev_delay(orvi_event_loop_t event, const orvi_subdev_ptr &dev, uint32_t delay_ms) {
    orvi_event_ctx_ptr c = orvi_event_ctx_new();
    c->dev = dev;
    return orvi_event_post_ctx(event, std::move(c), delay_ms);
}
