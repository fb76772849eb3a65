// Backup and restore as the rest of the host calls them: the start-up
// entries of the backup services, and the restore request the cloud restore
// handlers fill and the host status document reads back. The backup
// services are not built yet: until start-up installs them, nothing starts
// and each call says "not built". The restore request is this module's own
// record, kept under a lock: any thread may call.
#pragma once

#include <string>

// Starts the weekly backup slot thread. 0 or -1.
int http_so_and_host_pthread(void);
// Starts the backup service. 0 or -1.
int backup_service_func(void);

// The restore request: the archive's id at the service (0 when none), the
// host that made it (up to 16 characters), the service environment to fetch
// it from (up to 9 characters), and how it was requested (1 by the cloud
// restore command, 2 by the app). A text that is null or too long is
// refused (-1) and leaves the record unchanged.
void set_restore_file_id(long id);
long get_restore_file_id(void);
int set_restore_file_mac(const char *mac);
std::string get_restore_file_mac(void);
int set_restore_file_download_flag(const char *env);
std::string get_restore_file_download_flag(void);
void set_restore_touch_flag(int touch);
int get_restore_touch_flag(void);

typedef struct orvi_backup_ops_s {
    int (*slot_thread)(void);
    int (*service)(void);
} orvi_backup_ops_t;

extern const orvi_backup_ops_t orvi_backup_not_built;
// Start-up installs the backup services; null puts "not built" back.
void orvi_backup_install(const orvi_backup_ops_t *ops);
