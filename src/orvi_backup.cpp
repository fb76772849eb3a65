#include "orvi_backup.h"

#include "orvi_field.h"
#include "orvi_lock_order.h"
#include "orvi_seam.h"

orvi::Mutex orvi_backup_restore_mu;  // the restore request

namespace {

int slot_not_built(void) {
    ORVI_NOT_BUILT("http_so_and_host_pthread");
    return -1;
}
int service_not_built(void) {
    ORVI_NOT_BUILT("backup_service_func");
    return -1;
}

struct restore_request {
    long id = 0;
    char hostMac[17] = {0};
    char download_env[10] = {0};
    int touch = 0;
};
restore_request g_restore GUARDED_BY(orvi_backup_restore_mu);

}  // namespace

const orvi_backup_ops_t orvi_backup_not_built = {slot_not_built, service_not_built};

namespace {
orvi_seam<orvi_backup_ops_t> g_backup(&orvi_backup_not_built);
}

void orvi_backup_install(const orvi_backup_ops_t *ops) {
    g_backup.install(ops);
}

int http_so_and_host_pthread(void) {
    return g_backup.get(&orvi_backup_ops_t::slot_thread)();
}

int backup_service_func(void) {
    return g_backup.get(&orvi_backup_ops_t::service)();
}

void set_restore_file_id(long id) {
    orvi::MutexLock lk(orvi_backup_restore_mu);
    g_restore.id = id;
}

long get_restore_file_id(void) {
    orvi::MutexLock lk(orvi_backup_restore_mu);
    return g_restore.id;
}

int set_restore_file_mac(const char *mac) {
    bool stored = false;
    if (mac) {
        orvi::MutexLock lk(orvi_backup_restore_mu);
        stored = orvi_field_set(g_restore.hostMac, mac);
    }
    if (stored) return 0;
    ORVI_LOGW("restore hostMac '%.20s' refused: up to 16 characters", mac ? mac : "(null)");
    return -1;
}

std::string get_restore_file_mac(void) {
    orvi::MutexLock lk(orvi_backup_restore_mu);
    return std::string(orvi_field_view(g_restore.hostMac));
}

int set_restore_file_download_flag(const char *env) {
    bool stored = false;
    if (env) {
        orvi::MutexLock lk(orvi_backup_restore_mu);
        stored = orvi_field_set(g_restore.download_env, env);
    }
    if (stored) return 0;
    ORVI_LOGW("restore env '%.12s' refused: up to 9 characters", env ? env : "(null)");
    return -1;
}

std::string get_restore_file_download_flag(void) {
    orvi::MutexLock lk(orvi_backup_restore_mu);
    return std::string(orvi_field_view(g_restore.download_env));
}

void set_restore_touch_flag(int touch) {
    orvi::MutexLock lk(orvi_backup_restore_mu);
    g_restore.touch = touch;
}

int get_restore_touch_flag(void) {
    orvi::MutexLock lk(orvi_backup_restore_mu);
    return g_restore.touch;
}
