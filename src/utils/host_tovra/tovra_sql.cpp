// The lighting tables over SQLite, and the device table's refreshes from the
// registry.
#include "tovra_sql.h"

#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

#include "orvi_field.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_seam.h"
#include "product_subdev.h"

orvi::Mutex tovra_info_lock;
orvi::Mutex tovra_scene_info_lock;

namespace {

// ---- Statement texts ----------------------------------------------------------
// The CREATE texts are kept exactly as the stored files have always had them:
// a database created by an older host must read the same.

const char kCreateInfo[] =
    "CREATE TABLE  %s (        %s  INT                  NOT NULL,        %s  CHAR(20)             NOT NULL,"
    "        %s  INT                  NOT NULL,        %s  CHAR(9)              NOT NULL,        %s  INT   "
    "               NOT NULL,        %s  CHAR(1024)           NOT NULL,        %s  INT                  NOT "
    "NULL);";
const char kCreateScene[] =
    "CREATE TABLE  %s (        %s  INT      PRIMARY KEY NOT NULL,        %s  INT                  NOT NULL,"
    "        %s  INT                  NOT NULL,        %s  INT                  NOT NULL,        %s  CHAR(9)"
    "              NOT NULL);";
const char kCreateLimit[] =
    "CREATE TABLE  %s (        %s  INT      PRIMARY KEY NOT NULL,        %s  INT                  NOT NULL,"
    "        %s  INT                  NOT NULL);";
const char kCreateDelete[] =
    "CREATE TABLE  %s (        %s  INT      PRIMARY KEY NOT NULL,        %s  CHAR(20)             NOT NULL,"
    "        %s  CHAR(9)              NOT NULL);";

std::string format_create(const char *fmt, const char *table);

// Widths of the record fields the text columns are read back into.
constexpr size_t kMacMax = sizeof(host_tovra_devcie_info_t::mac) - 1;
constexpr size_t kMidMax = sizeof(host_tovra_devcie_info_t::mid) - 1;
constexpr size_t kStatusMax = sizeof(host_tovra_devcie_info_t::status) - 1;

// ---- Columns and their values -------------------------------------------------

enum col_kind { K_TEXT, K_U8, K_U16, K_I32 };

struct col_rule {
    const char *name;
    col_kind kind;
    size_t text_max;  // K_TEXT only
};

// A value ready to bind.
struct bound {
    bool text = false;
    int64_t num = 0;
    std::string str;
};

bound num_value(int64_t n) {
    bound b;
    b.num = n;
    return b;
}
bound text_value(std::string_view s, size_t max) {
    bound b;
    b.text = true;
    b.str.assign(s.substr(0, max));
    return b;
}

const col_rule *find_rule(const col_rule *rules, size_t n, const char *param) {
    for (size_t i = 0; i < n; ++i)
        if (strcmp(rules[i].name, param) == 0) return &rules[i];
    return nullptr;
}

// A value narrowed to its column's width, as the stored rows have always
// been written; false (logged) for a text column given no text.
bool narrow(const char *func, const col_rule &rule, tovra_sql_value_t v, bound &out) {
    switch (rule.kind) {
    case K_TEXT:
        if (!v.text) {
            ORVI_LOGW("[%s]%s given no text\n\r", func, rule.name);
            return false;
        }
        out = text_value(v.text, rule.text_max);
        return true;
    case K_U8:
        out = num_value(static_cast<uint8_t>(v.num));
        return true;
    case K_U16:
        out = num_value(static_cast<uint16_t>(v.num));
        return true;
    case K_I32:
        out = num_value(static_cast<int32_t>(v.num));
        return true;
    }
    return false;
}

// Table names are formatted into the statement (SQL cannot bind a name):
// only a plain identifier is accepted.
bool table_ok(const char *func, const char *db, const char *table) {
    bool ok = db && *db && table && *table && strlen(table) <= 64;
    for (const char *p = table; ok && *p; ++p)
        ok = isalnum(static_cast<unsigned char>(*p)) || *p == '_';
    if (!ok) ORVI_LOGW("[%s]database or table name refused\n\r", func);
    return ok;
}

template <typename... A>
std::string format(const char *fmt, A... args) {
    char buf[512];
    const int n = snprintf(buf, sizeof buf, fmt, args...);
    return n > 0 && static_cast<size_t>(n) < sizeof buf ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// ---- Connections and statements -------------------------------------------------

struct db_conn {
    sqlite3 *db = nullptr;
    db_conn() = default;
    db_conn(const db_conn &) = delete;
    db_conn &operator=(const db_conn &) = delete;
    ~db_conn() {
        if (db) sqlite3_close(db);
    }
    bool open(const char *board_path) {
        const std::string path = orvi_path(board_path);
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
            return false;
        sqlite3_busy_timeout(db, 2000);
        return true;
    }
    std::string error() const { return db ? sqlite3_errmsg(db) : "out of memory"; }
};

struct stmt_ptr {
    sqlite3_stmt *s = nullptr;
    stmt_ptr() = default;
    stmt_ptr(const stmt_ptr &) = delete;
    stmt_ptr &operator=(const stmt_ptr &) = delete;
    ~stmt_ptr() { sqlite3_finalize(s); }
};

using row_fn = std::function<void(sqlite3_stmt *)>;

// Prepares, binds and steps one statement. With `on_row`, the result must
// have `ncols` columns and each row is handed over. false with `err` set.
bool run(db_conn &c, const std::string &sql, const std::vector<bound> &binds, int ncols, const row_fn &on_row,
         std::string &err) {
    if (sql.empty()) {
        err = ": statement too long";
        return false;
    }
    stmt_ptr st;
    if (sqlite3_prepare_v2(c.db, sql.c_str(), -1, &st.s, nullptr) != SQLITE_OK || !st.s) {
        err = c.error();
        return false;
    }
    if (on_row && sqlite3_column_count(st.s) != ncols) {
        err = ": " + std::to_string(sqlite3_column_count(st.s)) + " columns where " + std::to_string(ncols) +
              " were expected";
        return false;
    }
    for (size_t i = 0; i < binds.size(); ++i) {
        const int idx = static_cast<int>(i) + 1;
        const int rc = binds[i].text ? sqlite3_bind_text(st.s, idx, binds[i].str.data(),
                                                         static_cast<int>(binds[i].str.size()), SQLITE_TRANSIENT)
                                     : sqlite3_bind_int64(st.s, idx, binds[i].num);
        if (rc != SQLITE_OK) {
            err = c.error();
            return false;
        }
    }
    for (;;) {
        const int rc = sqlite3_step(st.s);
        if (rc == SQLITE_DONE) return true;
        if (rc != SQLITE_ROW) {
            err = c.error();
            return false;
        }
        if (on_row) on_row(st.s);
    }
}

// The log texts of one table family.
struct table_msgs {
    const char *open;     // create, insert, update
    const char *create;
    const char *insert;
    const char *update;
    const char *open_rd;  // select, delete
    const char *select;
    const char *del;
    const char *param;    // a column name outside the operation's list
};

const table_msgs kMsgs = {
    "[%s]open data base error!\n\r", "[%s]create table error%s\n\r", "[%s]insert table error%s\n\r",
    "[%s]update table error%s\n\r",  "[%s]open data base error!\n\r", "[%s]select table error%s\n\r",
    "[%s]delete table error%s\n\r",  "[%s]update table param error\n\r",
};
const table_msgs kDeleteMsgs = {
    "[%s]open delete data base error!\n\r", "[%s]create delete table error%s\n\r",
    "[%s]insert delete table error%s\n\r",  "[%s]update delete table error%s\n\r",
    "[%s]open cube data base error!\n\r",   "[%s]select cube table error%s\n\r",
    "[%s]delete cube table error%s\n\r",    "[%s]update delete table param error\n\r",
};

enum op_kind { OP_CREATE, OP_INSERT, OP_UPDATE, OP_SELECT, OP_DELETE };

// One operation on one database, under `mu` from the open to the close.
// 1 or 0 (logged with the family's texts).
// The caller holds the table's lock.
int table_op_held(const char *func, const table_msgs &m, op_kind op, const char *db, const std::string &sql,
                  const std::vector<bound> &binds, int ncols = 0, const row_fn &on_row = {}) {
    const bool reader = op == OP_SELECT || op == OP_DELETE;
    db_conn c;
    if (!c.open(db)) {
        ORVI_LOGW(reader ? m.open_rd : m.open, func);
        return 0;
    }
    std::string err;
    if (run(c, sql, binds, ncols, on_row, err)) return 1;
    const char *fmt = op == OP_CREATE   ? m.create
                      : op == OP_INSERT ? m.insert
                      : op == OP_UPDATE ? m.update
                      : op == OP_SELECT ? m.select
                                        : m.del;
    ORVI_LOGW(fmt, func, err.c_str());
    return 0;
}

int table_op(const char *func, orvi::Mutex &mu, const table_msgs &m, op_kind op, const char *db,
             const std::string &sql, const std::vector<bound> &binds, int ncols = 0, const row_fn &on_row = {}) {
    orvi::MutexLock lk(mu);
    return table_op_held(func, m, op, db, sql, binds, ncols, on_row);
}

// The WHERE part of a select or delete by `param`: "" for every row, false
// (logged) for a column outside `rules`.
bool where_of(const char *func, const table_msgs &m, const col_rule *rules, size_t n, const char *param,
              tovra_sql_value_t value, std::string &where, std::vector<bound> &binds, bool is_delete) {
    where.clear();
    if (!param || !*param) return true;
    const col_rule *rule = find_rule(rules, n, param);
    if (!rule) {
        if (is_delete && &m == &kMsgs) {
            ORVI_LOGW("delete table param error\n\r");
        } else {
            ORVI_LOGW(m.param, func);
        }
        return false;
    }
    bound b;
    if (!narrow(func, *rule, value, b)) return false;
    where = std::string(" WHERE ") + rule->name + "=?";
    binds.push_back(std::move(b));
    return true;
}

std::string select_sql(const char *table, const std::string &where) {
    return where.empty() ? format("SELECT * FROM %s ;", table) : format("SELECT * FROM %s%s;", table, where.c_str());
}
std::string delete_sql(const char *table, const std::string &where) {
    return where.empty() ? format("DELETE FROM %s;", table) : format("DELETE FROM %s%s;", table, where.c_str());
}

int col_int(sqlite3_stmt *s, int i) {
    return sqlite3_column_int(s, i);
}
template <size_t N>
void col_text(sqlite3_stmt *s, int i, char (&dst)[N]) {
    const unsigned char *t = sqlite3_column_text(s, i);
    const int len = sqlite3_column_bytes(s, i);
    orvi_field_copy_cut(dst, t ? std::string_view(reinterpret_cast<const char *>(t), static_cast<size_t>(len))
                               : std::string_view());
}

// ---- One table's update, select and delete ---------------------------------------
// The four tables differ only in their columns, their lock and their log
// texts: each is described once and these do the work for all.

struct rules {
    const col_rule *at;
    size_t n;
};
template <size_t N>
constexpr rules rules_of(const col_rule (&r)[N]) {
    return {r, N};
}

struct table_def {
    orvi::Mutex &mu;
    const table_msgs &msgs;
    rules update;     // the columns an update may set
    const char *key;  // the column an update names its row by
    rules select;     // the columns a select may name
    rules del;        // the columns a delete may name
    int ncols;
};

int update_by_key(const char *func, const table_def &t, const char *db, const char *table, int key,
                  const char *param, tovra_sql_value_t value) {
    if (!table_ok(func, db, table)) return 0;
    const col_rule *rule = param ? find_rule(t.update.at, t.update.n, param) : nullptr;
    if (!rule) {
        ORVI_LOGW(t.msgs.param, func);
        return 0;
    }
    bound b;
    if (!narrow(func, *rule, value, b)) return 0;
    return table_op(func, t.mu, t.msgs, OP_UPDATE, db,
                    format("UPDATE %s SET %s = ? WHERE %s = ?;", table, rule->name, t.key), {b, num_value(key)});
}

// Every row whose `param` column holds `value` (every row for no `param`),
// each read by `read(stmt, rows)`. Their number; `rows` is left empty on a
// failure.
template <typename Row, typename Read>
int select_rows(const char *func, const table_def &t, const char *db, const char *table, const char *param,
                tovra_sql_value_t value, std::vector<Row> &rows, Read read) {
    rows.clear();
    if (!table_ok(func, db, table)) return 0;
    std::string where;
    std::vector<bound> binds;
    if (!where_of(func, t.msgs, t.select.at, t.select.n, param, value, where, binds, false)) return 0;
    std::vector<Row> got;
    if (!table_op(func, t.mu, t.msgs, OP_SELECT, db, select_sql(table, where), binds, t.ncols,
                  [&got, &read](sqlite3_stmt *s) { read(s, got); }))
        return 0;
    rows.swap(got);
    return static_cast<int>(rows.size());
}

int delete_rows(const char *func, const table_def &t, const char *db, const char *table, const char *param,
                tovra_sql_value_t value) {
    if (!table_ok(func, db, table)) return 0;
    std::string where;
    std::vector<bound> binds;
    if (!where_of(func, t.msgs, t.del.at, t.del.n, param, value, where, binds, true)) return 0;
    return table_op(func, t.mu, t.msgs, OP_DELETE, db, delete_sql(table, where), binds);
}

// ---- Device table ----------------------------------------------------------------

const col_rule kInfoUpdate[] = {{"ADDR", K_U16, 0},         {"GID", K_U8, 0},          {"ONLINE", K_U8, 0},
                                {"ROWID", K_I32, 0},        {"MAC", K_TEXT, kMacMax},  {"MID", K_TEXT, kMidMax},
                                {"STATUS", K_TEXT, kStatusMax}};
// ROWID is selected by its whole value: the counter's resting value is -1,
// which a one-byte value could never name.
const col_rule kInfoSelect[] = {{"ADDR", K_I32, 0},       {"ONLINE", K_U8, 0},        {"ROWID", K_I32, 0},
                                {"MAC", K_TEXT, kMacMax}, {"MID", K_TEXT, kMidMax},   {"STATUS", K_TEXT, kStatusMax}};
const col_rule kInfoDelete[] = {{"ADDR", K_U16, 0}, {"MAC", K_TEXT, kMacMax}};
const table_def kInfo = {tovra_info_lock, kMsgs, rules_of(kInfoUpdate), "ADDR", rules_of(kInfoSelect),
                         rules_of(kInfoDelete), 7};

std::vector<bound> info_binds(const host_tovra_devcie_info_t &info) {
    return {num_value(info.addr),
            text_value(orvi_field_view(info.mac), kMacMax),
            num_value(info.gid),
            text_value(orvi_field_view(info.mid), kMidMax),
            num_value(info.online),
            text_value(orvi_field_view(info.status), kStatusMax),
            num_value(info.rowid)};
}

std::string info_insert_sql(const char *table) {
    return format("INSERT INTO %s (%s,%s,%s,%s,%s,%s,%s) VALUES (?,?,?,?,?,?,?);", table, "ADDR", "MAC", "GID",
                  "MID", "ONLINE", "STATUS", "ROWID");
}

void info_row(sqlite3_stmt *s, std::vector<host_tovra_devcie_info_t> &rows) {
    host_tovra_devcie_info_t r{};
    r.addr = col_int(s, 0);
    col_text(s, 1, r.mac);
    r.gid = static_cast<uint8_t>(col_int(s, 2));
    col_text(s, 3, r.mid);
    r.online = static_cast<uint8_t>(col_int(s, 4));
    col_text(s, 5, r.status);
    r.rowid = col_int(s, 6);
    rows.push_back(r);
}

}  // namespace

namespace {
std::string format_create(const char *fmt, const char *table) {
    if (fmt == kCreateInfo) return format(fmt, table, "ADDR", "MAC", "GID", "MID", "ONLINE", "STATUS", "ROWID");
    if (fmt == kCreateScene) return format(fmt, table, "ADDRKEYNUM", "SCENEADDR", "SCENEID", "KEYNUM", "SCENEMID");
    if (fmt == kCreateLimit) return format(fmt, table, "LIMITADDR", "UPLIMITSET", "LOWLIMITSET");
    return format(fmt, table, "DELETEADDR", "DELETEMAC", "DELETEMID");
}
}  // namespace

int orvi_tovra_mutex_init(void) {
    return 0;
}

int tovra_info_sql_table_create(const char *db, const char *table) {
    if (!table_ok(__func__, db, table)) return 0;
    return table_op(__func__, tovra_info_lock, kMsgs, OP_CREATE, db,
                    format_create(kCreateInfo, table), {});
}

int tovra_info_sql_table_insert(const char *db, const char *table, const host_tovra_devcie_info_t *info) {
    if (!table_ok(__func__, db, table) || !info) return 0;
    return table_op(__func__, tovra_info_lock, kMsgs, OP_INSERT, db, info_insert_sql(table), info_binds(*info));
}

int tovra_info_sql_table_single_update(const char *db, const char *table, const host_tovra_devcie_info_t *info) {
    if (!table_ok(__func__, db, table) || !info) return 0;
    orvi::MutexLock lk(tovra_info_lock);
    db_conn c;
    if (!c.open(db)) {
        ORVI_LOGW("[%s]open data base error!\n\r\n\r", __func__);
        return 0;
    }
    const bound mac = text_value(orvi_field_view(info->mac), kMacMax);
    std::vector<host_tovra_devcie_info_t> found;
    std::string err;
    if (!run(c, format("SELECT * FROM %s WHERE %s=?;", table, "MAC"), {mac}, 7,
             [&found](sqlite3_stmt *s) { info_row(s, found); }, err)) {
        ORVI_LOGW("[%s]select table error%s\n\r", __func__, err.c_str());
        return 0;
    }
    if (found.empty()) {
        if (run(c, info_insert_sql(table), info_binds(*info), 0, {}, err)) return 1;
        ORVI_LOGW("[%s]insert table error%s\n\r", __func__, err.c_str());
        return 0;
    }
    if (run(c, format("UPDATE %s SET %s = ? WHERE %s = ?;", table, "ADDR", "MAC"), {num_value(info->addr), mac}, 0,
            {}, err))
        return 1;
    ORVI_LOGW("[%s]update table error%s\n\r", __func__, err.c_str());
    return 0;
}

int tovra_info_sql_table_update(const char *db, const char *table, int addr, const char *param,
                                tovra_sql_value_t value) {
    return update_by_key(__func__, kInfo, db, table, addr, param, value);
}

int tovra_info_sql_table_select(const char *db, const char *table, const char *param, tovra_sql_value_t value,
                                std::vector<host_tovra_devcie_info_t> &rows) {
    return select_rows(__func__, kInfo, db, table, param, value, rows, info_row);
}

int tovra_info_sql_table_delete(const char *db, const char *table, const char *param, tovra_sql_value_t value) {
    return delete_rows(__func__, kInfo, db, table, param, value);
}

// ---- Panel-key scene table --------------------------------------------------------

namespace {
const col_rule kSceneUpdate[] = {
    {"SCENEADDR", K_U16, 0}, {"SCENEID", K_I32, 0}, {"KEYNUM", K_U8, 0}, {"SCENEMID", K_TEXT, kMidMax}};
const col_rule kSceneSelect[] = {{"ADDRKEYNUM", K_I32, 0},
                                 {"SCENEADDR", K_U16, 0},
                                 {"SCENEID", K_I32, 0},
                                 {"KEYNUM", K_U8, 0},
                                 {"SCENEMID", K_TEXT, kMidMax}};
const col_rule kSceneDelete[] = {{"SCENEADDR", K_U16, 0}};
const table_def kScene = {tovra_scene_info_lock, kMsgs, rules_of(kSceneUpdate), "ADDRKEYNUM",
                          rules_of(kSceneSelect), rules_of(kSceneDelete), 5};
}  // namespace

int tovra_scene_info_sql_table_create(const char *db, const char *table) {
    if (!table_ok(__func__, db, table)) return 0;
    return table_op(__func__, tovra_scene_info_lock, kMsgs, OP_CREATE, db,
                    format_create(kCreateScene, table), {});
}

int tovra_scene_info_sql_table_insert(const char *db, const char *table,
                                      const host_tovra_scene_devcie_info_t *info) {
    if (!table_ok(__func__, db, table) || !info) return 0;
    return table_op(__func__, tovra_scene_info_lock, kMsgs, OP_INSERT, db,
                    format("INSERT INTO %s (%s,%s,%s,%s,%s) VALUES (?,?,?,?,?);", table, "ADDRKEYNUM", "SCENEADDR",
                           "SCENEID", "KEYNUM", "SCENEMID"),
                    {num_value(info->addrkeynum), num_value(info->addr), num_value(info->sceneid),
                     num_value(info->keynum), text_value(orvi_field_view(info->mid), kMidMax)});
}

int tovra_scene_info_sql_table_update(const char *db, const char *table, int addrkeynum, const char *param,
                                      tovra_sql_value_t value) {
    return update_by_key(__func__, kScene, db, table, addrkeynum, param, value);
}

int tovra_scene_info_sql_table_select(const char *db, const char *table, const char *param, tovra_sql_value_t value,
                                      std::vector<host_tovra_scene_devcie_info_t> &rows) {
    return select_rows(__func__, kScene, db, table, param, value, rows,
                       [](sqlite3_stmt *s, std::vector<host_tovra_scene_devcie_info_t> &got) {
                           host_tovra_scene_devcie_info_t r{};
                           r.addrkeynum = static_cast<uint32_t>(col_int(s, 0));
                           r.addr = static_cast<uint16_t>(col_int(s, 1));
                           r.sceneid = static_cast<uint32_t>(col_int(s, 2));
                           r.keynum = static_cast<uint8_t>(col_int(s, 3));
                           col_text(s, 4, r.mid);
                           got.push_back(r);
                       });
}

int tovra_scene_info_sql_table_delete(const char *db, const char *table, const char *param,
                                      tovra_sql_value_t value) {
    return delete_rows(__func__, kScene, db, table, param, value);
}

// ---- Curtain limit table ------------------------------------------------------------

namespace {
const col_rule kLimitUpdate[] = {{"UPLIMITSET", K_U8, 0}, {"LOWLIMITSET", K_U8, 0}};
const col_rule kLimitSelect[] = {{"LIMITADDR", K_U16, 0}, {"UPLIMITSET", K_U8, 0}, {"LOWLIMITSET", K_U8, 0}};
const col_rule kLimitDelete[] = {{"LIMITADDR", K_U16, 0}};
const table_def kLimit = {tovra_scene_info_lock, kMsgs, rules_of(kLimitUpdate), "LIMITADDR",
                          rules_of(kLimitSelect), rules_of(kLimitDelete), 3};
}  // namespace

int tovra_limit_set_sql_table_create(const char *db, const char *table) {
    if (!table_ok(__func__, db, table)) return 0;
    return table_op(__func__, tovra_scene_info_lock, kMsgs, OP_CREATE, db,
                    format_create(kCreateLimit, table), {});
}

int tovra_limit_set_sql_table_insert(const char *db, const char *table, const host_limit_set_info_t *info) {
    if (!table_ok(__func__, db, table) || !info) return 0;
    return table_op(
        __func__, tovra_scene_info_lock, kMsgs, OP_INSERT, db,
        format("INSERT INTO %s (%s,%s,%s) VALUES (?,?,?);", table, "LIMITADDR", "UPLIMITSET", "LOWLIMITSET"),
        {num_value(info->addr), num_value(info->uplimitsetting), num_value(info->lowlimitsetting)});
}

int tovra_limit_set_sql_table_update(const char *db, const char *table, int addr, const char *param,
                                     tovra_sql_value_t value) {
    return update_by_key(__func__, kLimit, db, table, addr, param, value);
}

int tovra_limit_set_sql_table_select(const char *db, const char *table, const char *param, tovra_sql_value_t value,
                                     std::vector<host_limit_set_info_t> &rows) {
    return select_rows(__func__, kLimit, db, table, param, value, rows,
                       [](sqlite3_stmt *s, std::vector<host_limit_set_info_t> &got) {
                           host_limit_set_info_t r{};
                           r.addr = static_cast<uint16_t>(col_int(s, 0));
                           r.uplimitsetting = static_cast<uint8_t>(col_int(s, 1));
                           r.lowlimitsetting = static_cast<uint8_t>(col_int(s, 2));
                           got.push_back(r);
                       });
}

int tovra_limit_set_sql_table_delete(const char *db, const char *table, const char *param,
                                     tovra_sql_value_t value) {
    return delete_rows(__func__, kLimit, db, table, param, value);
}

// ---- Deleted-device table -------------------------------------------------------------

namespace {
const col_rule kDeleteUpdate[] = {{"DELETEMAC", K_TEXT, kMacMax}, {"DELETEMID", K_TEXT, kMidMax}};
const col_rule kDeleteSelect[] = {
    {"DELETEADDR", K_U16, 0}, {"DELETEMAC", K_TEXT, kMacMax}, {"DELETEMID", K_TEXT, kMidMax}};
const col_rule kDeleteDelete[] = {{"DELETEADDR", K_U16, 0}};
const table_def kDeleted = {tovra_scene_info_lock, kDeleteMsgs, rules_of(kDeleteUpdate), "DELETEADDR",
                            rules_of(kDeleteSelect), rules_of(kDeleteDelete), 3};
}  // namespace

int tovra_delete_sql_table_create(const char *db, const char *table) {
    if (!table_ok(__func__, db, table)) return 0;
    return table_op(__func__, tovra_scene_info_lock, kDeleteMsgs, OP_CREATE, db,
                    format_create(kCreateDelete, table), {});
}

int tovra_delete_sql_table_insert(const char *db, const char *table, const host_delete_info_t *info) {
    if (!table_ok(__func__, db, table) || !info) return 0;
    return table_op(__func__, tovra_scene_info_lock, kDeleteMsgs, OP_INSERT, db,
                    format("INSERT INTO %s (%s,%s,%s) VALUES (?,?,?);", table, "DELETEADDR", "DELETEMAC",
                           "DELETEMID"),
                    {num_value(info->addr), text_value(orvi_field_view(info->mac), kMacMax),
                     text_value(orvi_field_view(info->mid), kMidMax)});
}

int tovra_delete_sql_table_update(const char *db, const char *table, int addr, const char *param,
                                  tovra_sql_value_t value) {
    return update_by_key(__func__, kDeleted, db, table, addr, param, value);
}

int tovra_delete_sql_table_select(const char *db, const char *table, const char *param, tovra_sql_value_t value,
                                  std::vector<host_delete_info_t> &rows) {
    return select_rows(__func__, kDeleted, db, table, param, value, rows,
                       [](sqlite3_stmt *s, std::vector<host_delete_info_t> &got) {
                           host_delete_info_t r{};
                           r.addr = static_cast<uint16_t>(col_int(s, 0));
                           col_text(s, 1, r.mac);
                           col_text(s, 2, r.mid);
                           got.push_back(r);
                       });
}

int tovra_delete_sql_table_delete(const char *db, const char *table, const char *param, tovra_sql_value_t value) {
    return delete_rows(__func__, kDeleted, db, table, param, value);
}

// ---- All four ----------------------------------------------------------------------------

namespace {

// Removes one database file (and the journal SQLite may have left beside
// it) with unlink: the path never passes through a shell.
void remove_db_file(const char *board_path) {
    const std::string path = orvi_path(board_path);
    for (const std::string &p : {path, path + "-journal"}) {
        if (unlink(p.c_str()) != 0 && errno != ENOENT)
            ORVI_LOGW("[TOVRA]remove %s failed: %s\n\r", p.c_str(), strerror(errno));
    }
}

}  // namespace

int tovra_sql_tables_create(void) {
    return tovra_info_sql_table_create(TOVRA_INFO_DB, TOVRA_INFO_TABLE) +
           tovra_scene_info_sql_table_create(TOVRA_SCENE_INFO_DB, TOVRA_SCENE_INFO_TABLE) +
           tovra_limit_set_sql_table_create(TOVRA_LIMIT_SET_INFO_DB, TOVRA_LIMIT_SET_TABLE) +
           tovra_delete_sql_table_create(TOVRA_DELETE_INFO_DB, TOVRA_DELETE_TABLE);
}

int orvi_rm_orvi_info_db(void) {
    ORVI_LOGI("[TOVRA]clear all database\n\r");
    // Each file is removed and its table created again under the table's
    // lock, so no operation ever finds a database without its table.
    {
        orvi::MutexLock lk(tovra_info_lock);
        remove_db_file(TOVRA_INFO_DB);
        table_op_held("tovra_info_sql_table_create", kMsgs, OP_CREATE, TOVRA_INFO_DB,
                      format_create(kCreateInfo, TOVRA_INFO_TABLE), {});
    }
    orvi::MutexLock lk(tovra_scene_info_lock);
    remove_db_file(TOVRA_SCENE_INFO_DB);
    table_op_held("tovra_scene_info_sql_table_create", kMsgs, OP_CREATE, TOVRA_SCENE_INFO_DB,
                  format_create(kCreateScene, TOVRA_SCENE_INFO_TABLE), {});
    remove_db_file(TOVRA_LIMIT_SET_INFO_DB);
    table_op_held("tovra_limit_set_sql_table_create", kMsgs, OP_CREATE, TOVRA_LIMIT_SET_INFO_DB,
                  format_create(kCreateLimit, TOVRA_LIMIT_SET_TABLE), {});
    remove_db_file(TOVRA_DELETE_INFO_DB);
    table_op_held("tovra_delete_sql_table_create", kDeleteMsgs, OP_CREATE, TOVRA_DELETE_INFO_DB,
                  format_create(kCreateDelete, TOVRA_DELETE_TABLE), {});
    return 0;
}

// ---- Refreshes from the registry -----------------------------------------------------------

namespace {

void nb_variable_init(const uint8_t *, int) {
    ORVI_NOT_BUILT("tovra_variable_init");
}
void nb_all_refresh_list(void) {
    ORVI_NOT_BUILT("tovra_all_refresh_list");
}
void nb_new_online_device_status_list(void) {
    ORVI_NOT_BUILT("new_online_device_status_list");
}
void nb_new_device_window_close(void) {
    ORVI_NOT_BUILT("sapp_new_device_add");
}
void nb_online_change(void) {
    ORVI_NOT_BUILT("tovra online change check");
}

const tovra_sql_hooks_t kHooksNotBuilt = {nb_variable_init, nb_all_refresh_list, nb_new_online_device_status_list,
                                          nb_new_device_window_close, nb_online_change};
orvi_seam<tovra_sql_hooks_t> g_hooks(&kHooksNotBuilt);

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Step 1 of both refreshes: the home network key (8 hex digits) to the
// payload library. A key of another shape is not passed on.
void pass_network_key(void) {
    const std::string key = product_get_host_info_qnetkey();
    // The key itself never reaches the log.
    ORVI_LOGD("[TOVRA][fa_key]%s\n\r", key.empty() ? "(none)" : "********");
    uint8_t bytes[4] = {0};
    bool ok = key.size() == 8;
    for (size_t i = 0; ok && i < 4; ++i) {
        const int hi = hex_digit(key[2 * i]), lo = hex_digit(key[2 * i + 1]);
        ok = hi >= 0 && lo >= 0;
        if (ok) bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    if (!ok) {
        ORVI_LOGW("[TOVRA]network key is not 8 hex digits, not passed to the payload library\n\r");
        return;
    }
    g_hooks.get(&tovra_sql_hooks_t::variable_init)(bytes, 0);
}

// The device-table rows of the registry's tovra devices.
std::vector<host_tovra_devcie_info_t> registry_rows(bool force_online, size_t *registry_size) {
    std::vector<host_tovra_devcie_info_t> rows;
    const std::vector<orvi_subdev_ptr> all = product_subdev_list_snapshot();
    *registry_size = all.size();
    for (const orvi_subdev_ptr &dev : all) {
        const orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
        if (f.dev_type != DEV_TYPE_TOVRA) continue;
        host_tovra_devcie_info_t r{};
        r.addr = f.macId;
        orvi_field_copy_cut(r.mac, orvi_field_view(f.mac));
        r.gid = static_cast<uint8_t>(f.roomId);
        orvi_field_copy_cut(r.mid, orvi_field_view(f.mid));
        r.online = force_online ? 1 : f.online;
        orvi_field_set(r.status, "0");
        r.rowid = -1;
        ORVI_LOGD("[TOVRA]refresh device addr     = %d\n\r", r.addr);
        ORVI_LOGD("[TOVRA]refresh device mac      = %s\n\r", r.mac);
        ORVI_LOGD("[TOVRA]refresh device gid      = %d\n\r", r.gid);
        ORVI_LOGD("[TOVRA]refresh device mid      = %s\n\r", r.mid);
        ORVI_LOGD("[TOVRA]refresh device online   = %d\n\r", r.online);
        rows.push_back(r);
    }
    return rows;
}

// A device that is in the registry again is no longer one to reset when it
// is heard.
void leave_deleted_table(const std::vector<host_tovra_devcie_info_t> &rows) {
    for (const host_tovra_devcie_info_t &r : rows)
        tovra_delete_sql_table_delete(TOVRA_DELETE_INFO_DB, TOVRA_DELETE_TABLE, "DELETEADDR", tovra_sql_num(r.addr));
}

// The device table emptied and refilled in one transaction: a failure part
// way leaves the old rows.
bool rebuild_info_table(const std::vector<host_tovra_devcie_info_t> &rows) {
    const char *func = "tovra_refresh_sublist";
    orvi::MutexLock lk(tovra_info_lock);
    db_conn c;
    if (!c.open(TOVRA_INFO_DB)) {
        ORVI_LOGW("[%s]open data base error!\n\r", func);
        return false;
    }
    std::string err;
    if (!run(c, "BEGIN IMMEDIATE;", {}, 0, {}, err)) {
        ORVI_LOGW("[%s]delete table error%s\n\r", func, err.c_str());
        return false;
    }
    bool ok = run(c, format("DELETE FROM %s;", TOVRA_INFO_TABLE), {}, 0, {}, err);
    if (!ok) ORVI_LOGW("[%s]delete table error%s\n\r", func, err.c_str());
    const std::string insert = info_insert_sql(TOVRA_INFO_TABLE);
    for (size_t i = 0; ok && i < rows.size(); ++i) {
        ok = run(c, insert, info_binds(rows[i]), 0, {}, err);
        if (!ok) ORVI_LOGW("[%s]insert table error%s\n\r", func, err.c_str());
    }
    if (ok) ok = run(c, "COMMIT;", {}, 0, {}, err);
    if (!ok) {
        std::string ignored;
        run(c, "ROLLBACK;", {}, 0, {}, ignored);
    }
    return ok;
}

}  // namespace

void tovra_sql_set_hooks(const tovra_sql_hooks_t *hooks) {
    g_hooks.install(hooks);
}

int tovra_refresh_sublist(void) {
    pass_network_key();
    size_t registry_size = 0;
    const std::vector<host_tovra_devcie_info_t> rows = registry_rows(false, &registry_size);
    if (registry_size == 0) {
        // An empty registry is more likely one not loaded yet than a home
        // without devices: the table keeps what it had.
        ORVI_LOGD("[TOVRA]registry is empty, device table kept\n\r");
        return 0;
    }
    if (!rebuild_info_table(rows)) return 0;
    leave_deleted_table(rows);
    g_hooks.get(&tovra_sql_hooks_t::new_online_device_status_list)();
    g_hooks.get(&tovra_sql_hooks_t::new_device_window_close)();
    return 1;
}

int tovra_single_refresh_sublist(void) {
    pass_network_key();
    size_t registry_size = 0;
    const std::vector<host_tovra_devcie_info_t> rows = registry_rows(true, &registry_size);
    if (registry_size == 0) return 0;
    for (const host_tovra_devcie_info_t &r : rows) {
        if (tovra_info_sql_table_single_update(TOVRA_INFO_DB, TOVRA_INFO_TABLE, &r)) continue;
        // The database no longer answers: start it again and let the full
        // refresh fill it.
        ORVI_LOGW("[TOVRA]device database damaged, created again\n\r");
        {
            orvi::MutexLock lk(tovra_info_lock);
            remove_db_file(TOVRA_INFO_DB);
            table_op_held("tovra_info_sql_table_create", kMsgs, OP_CREATE, TOVRA_INFO_DB,
                          format_create(kCreateInfo, TOVRA_INFO_TABLE), {});
        }
        g_hooks.get(&tovra_sql_hooks_t::all_refresh_list)();
        return 0;
    }
    leave_deleted_table(rows);
    g_hooks.get(&tovra_sql_hooks_t::new_online_device_status_list)();
    g_hooks.get(&tovra_sql_hooks_t::online_change)();
    return 1;
}

void tovra_device_table_refresh(void) {
    tovra_refresh_sublist();
    g_hooks.get(&tovra_sql_hooks_t::online_change)();
}

void tovra_single_device_table_refresh(void) {
    tovra_single_refresh_sublist();
}
