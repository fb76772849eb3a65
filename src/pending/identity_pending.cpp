// Stand-ins for the hooks the identity store calls into modules that are not
// built yet.
#include "orvi_log.h"
#include "pending/pending.h"

// The schedule service is not built yet: nothing to recompute.
void timer_schedule_all_recompute(void) {
    ORVI_LOGI("timer schedules: nothing to recompute yet");
}
