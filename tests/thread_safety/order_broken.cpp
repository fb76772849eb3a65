// Must not build under clang -Wthread-safety-beta -Werror: each function
// breaks the daemon's lock order (src/common/orvi_lock_order.h) or a
// registry rule once (tests/CMakeLists.txt checks each diagnostic).
#include "orvi_lock_order.h"
#include "product_subdev.h"

namespace {

// A handler's lock taken under the registry's table lock.
void handler_lock_under_the_table() {
    orvi::MutexLock table(host_info_mu);
    orvi::MutexLock handler(orvi_bind_room_mu);
}

// The table lock taken under a record's lock.
void table_under_a_record(orvi_subdev_list_t &rec) {
    orvi::MutexLock record(rec.mu);
    orvi::MutexLock table(host_info_mu);
}

// A timer callback's tick lock taken under the timer table's lock.
void tick_under_the_timer_table() {
    orvi::MutexLock timers(orvi_timer_list_mu);
    orvi::MutexLock tick(orvi_timer_tick_run_mu);
}

// A registry function called with the table lock held.
void registry_call_under_the_table() {
    orvi::MutexLock table(host_info_mu);
    product_get_subdev_form_host("a0b1c2d3e4f5");
}

// A record's sub-subdevices read without its lock.
bool unguarded_sub_subdevices(const orvi_subdev_list_t &rec) {
    return rec.sub_subdev_list[0] != nullptr;
}

}  // namespace

int main() {
    orvi_subdev_list_t rec;
    handler_lock_under_the_table();
    table_under_a_record(rec);
    tick_under_the_timer_table();
    registry_call_under_the_table();
    return unguarded_sub_subdevices(rec) ? 1 : 0;
}
