// Hooks into the backup and restore services that the host status document
// and the cloud restore command use. Stand-ins (backup_later_pending.cpp)
// until those services land and replace this header.
#pragma once

// The file id of the restore under way (0 when none).
long get_restore_file_id(void);
void set_restore_file_id(long id);
// How the restore was requested: 1 by the cloud restore command, 2 by the app.
int get_restore_touch_flag(void);
void set_restore_touch_flag(int touch);
// The rest of a cloud restore request: the host that made the archive and
// the service environment to fetch it from.
int set_restore_file_mac(const char *mac);
int set_restore_file_download_flag(const char *env);
