// Builds under clang -Wthread-safety-beta -Werror: one thread's stack of
// locks taken the way src/common/orvi_lock_order.h allows, from a timer
// callback's tick lock up to the log, across every tier.
#include "orvi_lock_order.h"
#include "product_subdev.h"

namespace {

void whole_stack(orvi_subdev_list_t &rec) {
    orvi::MutexLock tick(orvi_timer_tick_run_mu);
    orvi::MutexLock handler(orvi_bind_room_mu);
    orvi::MutexLock push(orvi_miniapp_push_mu);
    orvi::MutexLock resend(orvi_miniapp_resend_mu);
    orvi::MutexLock queue(orvi_request_queue_mu);
    orvi::MutexLock sock(orvi_socket_mu);
    orvi::MutexLock ports(orvi_socket_ports_mu);
    orvi::MutexLock codec(orvi_codec_loader_mu);
    orvi::MutexLock table(host_info_mu);
    orvi::MutexLock record(rec.mu);
    orvi::MutexLock identity(orvi_dev_info_mu);
    orvi::MutexLock store(orvi_store_mu);
    orvi::MutexLock delay(orvi_event_loop_delay_mu);
    orvi::MutexLock timers(orvi_timer_list_mu);
    orvi::MutexLock log(orvi_log_sites_mu);
    rec.sub_subdev_list[0].reset();
}

}  // namespace

int main() {
    orvi_subdev_list_t rec;
    whole_stack(rec);
    return 0;
}
