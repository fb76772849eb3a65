// Stand-in for the restore state until the backup services are built: it
// keeps the values (the host status document reads the file id back) and
// records every setting.
#include "pending/backup_later_pending.h"

#include <atomic>
#include <string>

#include "pending/pending_calls.h"

namespace {
std::atomic<long> g_file_id{0};
std::atomic<int> g_touch{0};
}  // namespace

long get_restore_file_id(void) {
    return g_file_id.load();
}

void set_restore_file_id(long id) {
    pending_record("set_restore_file_id", {std::to_string(id)});
    g_file_id.store(id);
}

int get_restore_touch_flag(void) {
    return g_touch.load();
}

void set_restore_touch_flag(int touch) {
    pending_record("set_restore_touch_flag", {std::to_string(touch)});
    g_touch.store(touch);
}

int set_restore_file_mac(const char *mac) {
    pending_record("set_restore_file_mac", {pending_arg(mac)});
    return 0;
}

int set_restore_file_download_flag(const char *env) {
    pending_record("set_restore_file_download_flag", {pending_arg(env)});
    return 0;
}
