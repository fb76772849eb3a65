// The configuration store ("/data/domivault/data/orvi_params.json", its
// eleven backups) and the host identifier file "MACFile.config". Called from
// any thread; one lock serialises every load, save, erase and backup.
//
// Durability: the file and every backup are replaced atomically (temporary
// file, fsync, rename), a backup is only taken of a file that parses, and a
// file that does not parse is restored from the newest good backup, so a
// power cut at any moment leaves a loadable file holding every key.
#pragma once

#include <cstddef>
#include <string>

#include "orvi_lock_order.h"

typedef enum {
    TYPE_STRING = 0,
    TYPE_NUMBER = 1,
    TYPE_ARRAY = 2,  // not used
} param_type_t;

// Board paths of the store.
#define ORVI_DATA_DIR "/data/domivault/data/"
#define ORVI_PARAMS_FILE_NAME "orvi_params.json"
#define ORVI_PARAMS_FILE ORVI_DATA_DIR ORVI_PARAMS_FILE_NAME
#define ORVI_PARAMS_BK_PREFIX "params_file_bk"  // "params_file_bk_0" .. "_9" in ORVI_DATA_DIR
#define ORVI_PARAMS_BK_COUNT 10
#define ORVI_ETC_DIR "/usr/local/etc/"
#define ORVI_PARAMS_ETC_BK_NAME "orvi_params_bk.json"
#define ORVI_MAC_FILE_NAME "MACFile.config"
#define ORVI_MAC_FILE ORVI_DATA_DIR ORVI_MAC_FILE_NAME
// Copy of the identifier, restored when a power cut leaves the file empty or cut.
#define ORVI_MAC_FILE_BK ORVI_ETC_DIR "MACFile.config.bk"
// Every reader reads the file in one piece of this size; a save that would
// print a longer object is refused.
#define ORVI_PARAMS_FILE_MAX 2048

// Copies the key's value into `dest`: a string cut to `width` bytes
// including the terminator; a number stored in `width` (1, 2, 4 or 8) bytes.
// A value of another JSON type leaves `dest` unchanged and returns 0.
// -1 when the file cannot be read, is not JSON or lacks the key.
int orvi_info_load(const char *key, void *dest, size_t width, param_type_t type) EXCLUDES(orvi_store_mu);
// The key's string value whole / number value. 0, or -1 (also for another type).
int orvi_info_load_text(const char *key, std::string &out) EXCLUDES(orvi_store_mu);
int orvi_info_load_number(const char *key, long long &out) EXCLUDES(orvi_store_mu);
// Sets the key and rewrites the file, then its backups. TYPE_STRING: `value`
// is text of at most `width` bytes (read up to its terminator). TYPE_NUMBER:
// `value` points to an integer of `width` bytes (1, 2: unsigned; 4, 8:
// signed). Every save stamps "ts". 0 or -1.
int orvi_info_save(const char *key, const void *value, size_t width, param_type_t type) EXCLUDES(orvi_store_mu);
// Removes the key and rewrites the file and its backups. 0 (also when the key
// is absent) or -1.
int orvi_info_erase(const char *key) EXCLUDES(orvi_store_mu);
// Factory reset of all stored state, then fresh credentials through the
// generator set below (-1 when none is set).
int orvi_info_clear(void) EXCLUDES(orvi_store_mu);
// Sets what orvi_info_clear runs to make fresh credentials (identity's
// reset_host_randomkey_psw, set by start-up).
void orvi_info_set_credentials_reset(int (*regenerate)(void));
// Copies the file to its eleven backups if it parses. 0 or -1.
int orvi_info_backup(void) EXCLUDES(orvi_store_mu);

// Start-up: verify the identifier file (five failures reboot the board),
// then the configuration file.
int orvi_flash_init(void);
// Makes sure "MACFile.config" holds a valid identifier: 12 lower-case
// hexadecimal digits of the Ethernet MAC and 4 decimal digits. A missing,
// empty or damaged file is restored from its copy, or regenerated. 0 or -1.
int orvi_mac_file_verify(void);
// True when `text` is a valid host identifier.
bool orvi_host_id_valid(const std::string &text);
// Creates the configuration file when missing; restores a damaged one from
// the newest good backup. 0, or -1 when it stays damaged.
int orvi_params_config_file_comfirm(void) EXCLUDES(orvi_store_mu);
// The newest of the eleven backups that passes the JSON check (ties: lowest
// index, "/usr/local/etc/" last). 0 with its board path, or -1.
int get_backup_right_file_name(std::string &board_path);
// 0 when the file's first 2,048 bytes parse as a JSON object, else -1.
int configure_file_json_type_verify(const char *path);

// Writes a text file atomically. 0 or -1.
int save_file(const char *path, const std::string &text);
// The file's text, or "" when missing or unreadable.
std::string read_file(const char *path);
