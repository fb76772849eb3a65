// Stand-ins for the self-check phase and the restore request until device
// control and the backup services are built: they keep the phase and record
// every restore setting.
#include "pending/bind_later_pending.h"

#include <atomic>
#include <string>

#include "pending/pending_calls.h"

namespace {
std::atomic<int> g_phase{SCENE_ID_DEFAULT_IDLE};
}  // namespace

int scene_id_default_get(void) {
    return g_phase.load();
}

void scene_id_default_set(int phase) {
    g_phase.store(phase);
}

void set_restore_file_id(long id) {
    pending_record("set_restore_file_id", {std::to_string(id)});
}

int set_restore_file_mac(const char *mac) {
    pending_record("set_restore_file_mac", {pending_arg(mac)});
    return 0;
}

int set_restore_file_download_flag(const char *env) {
    pending_record("set_restore_file_download_flag", {pending_arg(env)});
    return 0;
}

void set_restore_touch_flag(int touch) {
    pending_record("set_restore_touch_flag", {std::to_string(touch)});
}
