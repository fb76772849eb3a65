// Hooks the binding handlers need from device control (the self-check
// phase) and from the backup services (the cloud restore request). Recording
// stand-ins (bind_later_pending.cpp) until those modules land; this header
// then goes and its users include theirs.
#pragma once

#ifndef SCENE_ID_DEFAULT_IDLE
#define SCENE_ID_DEFAULT_IDLE (-1)
#define DEFAULT_SCENE_ON 1
#define DEFAULT_SCENE_OFF 2
#endif

// `scene_id_default`: -1 idle, 2 all-off phase, 1 all-on phase. Any thread.
int scene_id_default_get(void);
void scene_id_default_set(int phase);

// The cloud restore request: archive id, the host that made it, the
// service environment, and how the restore was asked for (1: the cloud).
void set_restore_file_id(long id);
int set_restore_file_mac(const char *mac);
int set_restore_file_download_flag(const char *env);
void set_restore_touch_flag(int touch);
