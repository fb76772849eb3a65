// The lighting service's own view of its devices: four small SQLite
// databases of one table each (devices, panel-key scenes, curtain limits,
// deleted devices), and the refreshes of the device table from the registry.
//
// Every operation opens its database, runs one statement (a full refresh: one
// transaction) and closes it again, holding its table's lock from the open to
// the close: tovra_info_lock for the device table, tovra_scene_info_lock for
// the other three. No operation holds one of them while it takes the other
// or calls out of this file. Any thread may call.
//
// Values are bound to their statements, never pasted into the SQL text, so a
// quote in a MAC or a status stays a character of the value. Text values are
// cut to the record field they are read back into (MAC 12, model 8, status
// 99 characters), so what is written is what a select hands back. Table
// names are the caller's constants: a name that is not a plain identifier is
// refused.
//
// Database paths are board paths ("/data/domivault/data/..."), resolved
// through orvi_path.
#pragma once

#include <cstdint>
#include <vector>

#include "orvi_lock_order.h"

#define TOVRA_INFO_DB "/data/domivault/data/tovra_info.db"
#define TOVRA_SCENE_INFO_DB "/data/domivault/data/tovra_scene_info.db"
#define TOVRA_LIMIT_SET_INFO_DB "/data/domivault/data/tovra_limit_set_info.db"
#define TOVRA_DELETE_INFO_DB "/data/domivault/data/tovra_delete_info.db"

#define TOVRA_INFO_TABLE "fa_table"
#define TOVRA_SCENE_INFO_TABLE "fa_scene_table"
#define TOVRA_LIMIT_SET_TABLE "fa_limit_set_table"
#define TOVRA_DELETE_TABLE "fa_delete_table"

// Device table row (columns ADDR, MAC, GID, MID, ONLINE, STATUS, ROWID).
typedef struct host_tovra_devcie_info_s {
    int addr;
    char mac[13];
    uint8_t gid;
    char mid[9];
    uint8_t online;
    char status[100];
    int rowid;
} host_tovra_devcie_info_t;

// Panel-key scene row (ADDRKEYNUM, SCENEADDR, SCENEID, KEYNUM, SCENEMID).
// The row number is the panel address x 10 + the key index (0 to 9): for
// every 16-bit address that is at most 655,359, so it is held in 32 bits
// (a 16-bit field would wrap above address 6553 and make two panels' keys
// one row). Scene ids are the app's, up to 65535 and more: 32 bits too.
typedef struct host_tovra_scene_devcie_info_s {
    uint32_t addrkeynum;
    uint16_t addr;
    uint32_t sceneid;
    uint8_t keynum;
    char mid[9];
} host_tovra_scene_devcie_info_t;

// Curtain limit row (LIMITADDR, UPLIMITSET, LOWLIMITSET).
typedef struct host_limit_set_info_s {
    uint16_t addr;
    uint8_t uplimitsetting;
    uint8_t lowlimitsetting;
} host_limit_set_info_t;

// Deleted-device row (DELETEADDR, DELETEMAC, DELETEMID).
typedef struct host_delete_info_s {
    uint16_t addr;
    char mac[13];
    char mid[9];
} host_delete_info_t;

// The value of an update, select or delete: `text` for the text columns,
// `num` for the others (narrowed to the column's width: ADDR 16 bits on
// update and delete, 32 on select; GID, ONLINE one byte...).
typedef struct tovra_sql_value_s {
    int64_t num;
    const char *text;
} tovra_sql_value_t;

inline tovra_sql_value_t tovra_sql_num(int64_t n) {
    return tovra_sql_value_t{n, nullptr};
}
inline tovra_sql_value_t tovra_sql_text(const char *s) {
    return tovra_sql_value_t{0, s};
}

// The two table locks are process-wide objects that exist before any table
// is used; the call remains for the start-up sequence and always gives 0.
int orvi_tovra_mutex_init(void);

// ---- Device table -----------------------------------------------------------
// create, insert, single_update, update and delete give 1 on success, 0 on
// any failure (logged). A select gives the number of rows placed in `rows`
// (emptied first); 0 when nothing matches, the statement fails or the result
// does not have the table's column count. A null or empty `param` selects
// (deletes) every row.

int tovra_info_sql_table_create(const char *db, const char *table) EXCLUDES(tovra_info_lock);
int tovra_info_sql_table_insert(const char *db, const char *table, const host_tovra_devcie_info_t *info)
    EXCLUDES(tovra_info_lock);
// Inserts the record when its MAC has no row, else sets that row's ADDR.
int tovra_info_sql_table_single_update(const char *db, const char *table, const host_tovra_devcie_info_t *info)
    EXCLUDES(tovra_info_lock);
// One column ("ADDR", "GID", "ONLINE", "ROWID", "MAC", "MID", "STATUS") of
// the rows with ADDR = addr. Success also when no row has that address.
int tovra_info_sql_table_update(const char *db, const char *table, int addr, const char *param,
                                tovra_sql_value_t value) EXCLUDES(tovra_info_lock);
// By "ADDR", "ONLINE", "ROWID", "MAC", "MID" or "STATUS", or every row.
int tovra_info_sql_table_select(const char *db, const char *table, const char *param, tovra_sql_value_t value,
                                std::vector<host_tovra_devcie_info_t> &rows) EXCLUDES(tovra_info_lock);
// By "ADDR" or "MAC", or every row.
int tovra_info_sql_table_delete(const char *db, const char *table, const char *param, tovra_sql_value_t value)
    EXCLUDES(tovra_info_lock);

// ---- Panel-key scene table ----------------------------------------------------
int tovra_scene_info_sql_table_create(const char *db, const char *table) EXCLUDES(tovra_scene_info_lock);
int tovra_scene_info_sql_table_insert(const char *db, const char *table, const host_tovra_scene_devcie_info_t *info)
    EXCLUDES(tovra_scene_info_lock);
// "SCENEADDR", "SCENEID", "KEYNUM" or "SCENEMID" of the row ADDRKEYNUM = addrkeynum.
int tovra_scene_info_sql_table_update(const char *db, const char *table, int addrkeynum, const char *param,
                                      tovra_sql_value_t value) EXCLUDES(tovra_scene_info_lock);
// By "ADDRKEYNUM", "SCENEADDR", "SCENEID", "KEYNUM" or "SCENEMID", or every row.
int tovra_scene_info_sql_table_select(const char *db, const char *table, const char *param, tovra_sql_value_t value,
                                      std::vector<host_tovra_scene_devcie_info_t> &rows)
    EXCLUDES(tovra_scene_info_lock);
// By "SCENEADDR", or every row.
int tovra_scene_info_sql_table_delete(const char *db, const char *table, const char *param, tovra_sql_value_t value)
    EXCLUDES(tovra_scene_info_lock);

// ---- Curtain limit table --------------------------------------------------------
int tovra_limit_set_sql_table_create(const char *db, const char *table) EXCLUDES(tovra_scene_info_lock);
int tovra_limit_set_sql_table_insert(const char *db, const char *table, const host_limit_set_info_t *info)
    EXCLUDES(tovra_scene_info_lock);
// "UPLIMITSET" or "LOWLIMITSET" of the row LIMITADDR = addr.
int tovra_limit_set_sql_table_update(const char *db, const char *table, int addr, const char *param,
                                     tovra_sql_value_t value) EXCLUDES(tovra_scene_info_lock);
// By "LIMITADDR", "UPLIMITSET" or "LOWLIMITSET", or every row.
int tovra_limit_set_sql_table_select(const char *db, const char *table, const char *param, tovra_sql_value_t value,
                                     std::vector<host_limit_set_info_t> &rows) EXCLUDES(tovra_scene_info_lock);
// By "LIMITADDR", or every row.
int tovra_limit_set_sql_table_delete(const char *db, const char *table, const char *param, tovra_sql_value_t value)
    EXCLUDES(tovra_scene_info_lock);

// ---- Deleted-device table -------------------------------------------------------
int tovra_delete_sql_table_create(const char *db, const char *table) EXCLUDES(tovra_scene_info_lock);
int tovra_delete_sql_table_insert(const char *db, const char *table, const host_delete_info_t *info)
    EXCLUDES(tovra_scene_info_lock);
// "DELETEMAC" or "DELETEMID" of the row DELETEADDR = addr.
int tovra_delete_sql_table_update(const char *db, const char *table, int addr, const char *param,
                                  tovra_sql_value_t value) EXCLUDES(tovra_scene_info_lock);
// By "DELETEADDR", "DELETEMAC" or "DELETEMID", or every row.
int tovra_delete_sql_table_select(const char *db, const char *table, const char *param, tovra_sql_value_t value,
                                  std::vector<host_delete_info_t> &rows) EXCLUDES(tovra_scene_info_lock);
// By "DELETEADDR", or every row.
int tovra_delete_sql_table_delete(const char *db, const char *table, const char *param, tovra_sql_value_t value)
    EXCLUDES(tovra_scene_info_lock);

// ---- All four ---------------------------------------------------------------------

// Creates the four tables (a table that exists already is only logged).
// Gives the number created.
int tovra_sql_tables_create(void) EXCLUDES(tovra_info_lock, tovra_scene_info_lock);
// The reset: removes the four database files and creates their tables
// again at once, so the next operation finds them. 0.
int orvi_rm_orvi_info_db(void) EXCLUDES(tovra_info_lock, tovra_scene_info_lock);

// ---- Refreshes from the registry --------------------------------------------------

// What a refresh asks of the parts of the service above this file. Each
// member may be null; the defaults log "not built" and do nothing.
typedef struct tovra_sql_hooks_s {
    // The payload library's initialiser with the 4-byte home network key.
    void (*variable_init)(const uint8_t key[4], int flag);
    // Asks for a full refresh of the device table (in 2 s).
    void (*all_refresh_list)(void);
    // Builds and sends the status list of the newly added devices.
    void (*new_online_device_status_list)(void);
    // Closes the app's new-device window.
    void (*new_device_window_close)(void);
    // Raises the online-change flag and runs the online-change check.
    void (*online_change)(void);
} tovra_sql_hooks_t;

// Start-up installs the hooks; null puts the "not built" defaults back.
void tovra_sql_set_hooks(const tovra_sql_hooks_t *hooks);

// Full refresh: the network key to the library, then, when the registry
// holds any subdevice, the device table rebuilt in one transaction from its
// tovra devices (STATUS "0", ROWID -1), then the new-device list and the
// window closed. 1 when rebuilt, 0 when the registry is empty (the old rows
// stay) or the rebuild failed (the old rows stay).
int tovra_refresh_sublist(void) EXCLUDES(tovra_info_lock, tovra_scene_info_lock);
// Single refresh: every tovra device inserted or re-addressed by its MAC,
// online. A failed update treats the database as damaged: its file is
// removed, its table created again and a full refresh asked for. 1 when
// every device was written, 0 otherwise.
int tovra_single_refresh_sublist(void) EXCLUDES(tovra_info_lock, tovra_scene_info_lock);
// On expiry of the refresh timers: the full refresh then the online-change
// check; the single refresh.
void tovra_device_table_refresh(void);
void tovra_single_device_table_refresh(void);
