// The lighting tables against real SQLite files under a scratch board root,
// read back with SQLite itself rather than through the code under test.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "orvi_field.h"
#include "orvi_testing.h"
#include "product_subdev.h"
#include "scratch_root.h"
#include "tovra_sql.h"

namespace {

// ---- Reading the files directly -------------------------------------------------

struct raw_db {
    sqlite3 *db = nullptr;
    explicit raw_db(const std::string &path) { sqlite3_open(path.c_str(), &db); }
    ~raw_db() { sqlite3_close(db); }
    // Every row of `sql`, its columns joined with "|".
    std::vector<std::string> rows(const std::string &sql) const {
        std::vector<std::string> out;
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return {"error: " + sql};
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                if (i) row += "|";
                const unsigned char *t = sqlite3_column_text(st, i);
                row += t ? reinterpret_cast<const char *>(t) : "NULL";
            }
            out.push_back(row);
        }
        sqlite3_finalize(st);
        return out;
    }
    bool exec(const std::string &sql) const { return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK; }
};

// What the sqlite3 tool prints for `command` on the database file.
std::string sqlite3_tool(const std::string &path, const std::string &command) {
    const std::string line = "sqlite3 '" + path + "' '" + command + "' 2>&1";
    FILE *p = popen(line.c_str(), "r");
    if (!p) return "popen failed";
    std::string out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

host_tovra_devcie_info_t dev_row(int addr, const char *mac, int gid, const char *mid, int online, const char *status,
                                 int rowid) {
    host_tovra_devcie_info_t r{};
    r.addr = addr;
    orvi_field_copy_cut(r.mac, mac);
    r.gid = static_cast<uint8_t>(gid);
    orvi_field_copy_cut(r.mid, mid);
    r.online = static_cast<uint8_t>(online);
    orvi_field_copy_cut(r.status, status);
    r.rowid = rowid;
    return r;
}

std::string text_of(const host_tovra_devcie_info_t &r) {
    return std::to_string(r.addr) + "|" + r.mac + "|" + std::to_string(r.gid) + "|" + r.mid + "|" +
           std::to_string(r.online) + "|" + r.status + "|" + std::to_string(r.rowid);
}

// ---- What the refreshes asked of the service above ---------------------------------

struct hook_calls {
    int variable_init = 0;
    uint8_t key[4] = {0};
    int all_refresh = 0;
    int new_list = 0;
    int window_close = 0;
    int online_change = 0;
};
hook_calls g_calls;

const tovra_sql_hooks_t kRecordingHooks = {
    [](const uint8_t key[4], int flag) {
        ++g_calls.variable_init;
        memcpy(g_calls.key, key, 4);
    },
    [] { ++g_calls.all_refresh; },
    [] { ++g_calls.new_list; },
    [] { ++g_calls.window_close; },
    [] { ++g_calls.online_change; },
};

class TovraSqlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        product_registry_reset_for_test();
        g_calls = hook_calls{};
        tovra_sql_set_hooks(&kRecordingHooks);
    }
    void TearDown() override {
        tovra_sql_set_hooks(nullptr);
        product_registry_reset_for_test();
    }
    std::string file(const char *board_path) const { return root_.path(board_path); }
    std::vector<std::string> info_rows() const {
        return raw_db(file(TOVRA_INFO_DB)).rows("SELECT * FROM fa_table ORDER BY ADDR;");
    }
    void add_tovra(const char *mac, int addr, unsigned room, int online, dev_type_t type = DEV_TYPE_TOVRA) {
        orvi_subdev_list_t d;
        orvi_field_set(d.mac, mac);
        orvi_field_set(d.mid, "70701");
        d.dev_type = type;
        const orvi_subdev_ptr p = product_add_subdev_to_host(&d);
        ASSERT_TRUE(p) << mac;
        orvi_subdev_locked(p, [&](orvi_subdev_list_t &r) {
            r.macId = addr;
            r.roomId = room;
            r.online = static_cast<uint8_t>(online);
        });
    }

    ScratchRoot root_;
};

// ---- Schema ------------------------------------------------------------------------------

TEST_F(TovraSqlTest, TablesAreCreatedWithTheStoredFilesExactSchemaOnceOnly) {
    struct {
        const char *db, *table;
        int (*create)(const char *, const char *);
        const char *schema;
    } cases[] = {
        // SQLite keeps the statement as written from the table name on.
        {TOVRA_INFO_DB, TOVRA_INFO_TABLE, tovra_info_sql_table_create,
         "CREATE TABLE fa_table (        ADDR  INT                  NOT NULL,        MAC  CHAR(20)             NOT "
         "NULL,        GID  INT                  NOT NULL,        MID  CHAR(9)              NOT NULL,        ONLINE  "
         "INT                  NOT NULL,        STATUS  CHAR(1024)           NOT NULL,        ROWID  INT              "
         "    NOT NULL)"},
        {TOVRA_SCENE_INFO_DB, TOVRA_SCENE_INFO_TABLE, tovra_scene_info_sql_table_create,
         "CREATE TABLE fa_scene_table (        ADDRKEYNUM  INT      PRIMARY KEY NOT NULL,        SCENEADDR  INT      "
         "            NOT NULL,        SCENEID  INT                  NOT NULL,        KEYNUM  INT                  NOT "
         "NULL,        SCENEMID  CHAR(9)              NOT NULL)"},
        {TOVRA_LIMIT_SET_INFO_DB, TOVRA_LIMIT_SET_TABLE, tovra_limit_set_sql_table_create,
         "CREATE TABLE fa_limit_set_table (        LIMITADDR  INT      PRIMARY KEY NOT NULL,        UPLIMITSET  INT  "
         "                NOT NULL,        LOWLIMITSET  INT                  NOT NULL)"},
        {TOVRA_DELETE_INFO_DB, TOVRA_DELETE_TABLE, tovra_delete_sql_table_create,
         "CREATE TABLE fa_delete_table (        DELETEADDR  INT      PRIMARY KEY NOT NULL,        DELETEMAC  CHAR(20) "
         "            NOT NULL,        DELETEMID  CHAR(9)              NOT NULL)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.table);
        EXPECT_EQ(c.create(c.db, c.table), 1);
        EXPECT_EQ(c.create(c.db, c.table), 0) << "a second start finds the table";
        EXPECT_EQ(sqlite3_tool(file(c.db), std::string(".schema ") + c.table), std::string(c.schema) + ";\n");
    }
}

// ---- Device table ------------------------------------------------------------------------

TEST_F(TovraSqlTest, DeviceTableOperationsFollowTheirColumnRules) {
    ASSERT_EQ(tovra_sql_tables_create(), 4);
    const host_tovra_devcie_info_t first = dev_row(5, "aabbccddeeff", 3, "70701", 1, "0", -1);
    ASSERT_EQ(tovra_info_sql_table_insert(TOVRA_INFO_DB, TOVRA_INFO_TABLE, &first), 1);
    const host_tovra_devcie_info_t second = dev_row(300, "112233445566", 4, "70727", 0, "st", 30);
    ASSERT_EQ(tovra_info_sql_table_insert(TOVRA_INFO_DB, TOVRA_INFO_TABLE, &second), 1);

    struct {
        const char *what;
        std::function<int()> op;
        int result;
        std::vector<std::string> rows_after;
    } cases[] = {
        {"status of an address without a row: success, nothing changes",
         [] { return tovra_info_sql_table_update(TOVRA_INFO_DB, TOVRA_INFO_TABLE, 77, "STATUS", tovra_sql_text("x")); },
         1,
         {"5|aabbccddeeff|3|70701|1|0|-1", "300|112233445566|4|70727|0|st|30"}},
        {"unknown column changes nothing",
         [] { return tovra_info_sql_table_update(TOVRA_INFO_DB, TOVRA_INFO_TABLE, 5, "NAME", tovra_sql_num(1)); },
         0,
         {"5|aabbccddeeff|3|70701|1|0|-1", "300|112233445566|4|70727|0|st|30"}},
        {"ONLINE takes one byte",
         [] { return tovra_info_sql_table_update(TOVRA_INFO_DB, TOVRA_INFO_TABLE, 300, "ONLINE", tovra_sql_num(0x101)); },
         1,
         {"5|aabbccddeeff|3|70701|1|0|-1", "300|112233445566|4|70727|1|st|30"}},
        {"ROWID takes 32 bits",
         [] { return tovra_info_sql_table_update(TOVRA_INFO_DB, TOVRA_INFO_TABLE, 300, "ROWID", tovra_sql_num(-1)); },
         1,
         {"5|aabbccddeeff|3|70701|1|0|-1", "300|112233445566|4|70727|1|st|-1"}},
        {"a status is cut to what a record holds",
         [] {
             return tovra_info_sql_table_update(TOVRA_INFO_DB, TOVRA_INFO_TABLE, 5, "STATUS",
                                                tovra_sql_text(std::string(150, 'z').c_str()));
         },
         1,
         {"5|aabbccddeeff|3|70701|1|" + std::string(99, 'z') + "|-1", "300|112233445566|4|70727|1|st|-1"}},
        {"ADDR takes 16 bits",
         [] { return tovra_info_sql_table_update(TOVRA_INFO_DB, TOVRA_INFO_TABLE, 300, "ADDR", tovra_sql_num(0x10007)); },
         1,
         {"5|aabbccddeeff|3|70701|1|" + std::string(99, 'z') + "|-1", "7|112233445566|4|70727|1|st|-1"}},
        {"delete by an unknown column",
         [] { return tovra_info_sql_table_delete(TOVRA_INFO_DB, TOVRA_INFO_TABLE, "GID", tovra_sql_num(3)); },
         0,
         {"5|aabbccddeeff|3|70701|1|" + std::string(99, 'z') + "|-1", "7|112233445566|4|70727|1|st|-1"}},
        {"delete by MAC",
         [] { return tovra_info_sql_table_delete(TOVRA_INFO_DB, TOVRA_INFO_TABLE, "MAC", tovra_sql_text("aabbccddeeff")); },
         1,
         {"7|112233445566|4|70727|1|st|-1"}},
        {"delete every row",
         [] { return tovra_info_sql_table_delete(TOVRA_INFO_DB, TOVRA_INFO_TABLE, nullptr, tovra_sql_num(0)); },
         1,
         {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.op(), c.result);
        EXPECT_EQ(info_rows(), c.rows_after);
    }
}

TEST_F(TovraSqlTest, DeviceSelectsFindTheirRowsAndNothingWhenNothingMatches) {
    ASSERT_EQ(tovra_info_sql_table_create(TOVRA_INFO_DB, TOVRA_INFO_TABLE), 1);
    const host_tovra_devcie_info_t a = dev_row(5, "aabbccddeeff", 3, "70701", 1, "0", -1);
    const host_tovra_devcie_info_t b = dev_row(6, "112233445566", 3, "70727", 0, "on", 30);
    ASSERT_EQ(tovra_info_sql_table_insert(TOVRA_INFO_DB, TOVRA_INFO_TABLE, &a), 1);
    ASSERT_EQ(tovra_info_sql_table_insert(TOVRA_INFO_DB, TOVRA_INFO_TABLE, &b), 1);
    struct {
        const char *param;
        tovra_sql_value_t value;
        std::vector<std::string> rows;
    } cases[] = {
        {nullptr, tovra_sql_num(0), {text_of(a), text_of(b)}},
        {"ADDR", tovra_sql_num(6), {text_of(b)}},
        {"ADDR", tovra_sql_num(9), {}},
        {"ONLINE", tovra_sql_num(0x100 + 1), {text_of(a)}},
        {"ROWID", tovra_sql_num(-1), {text_of(a)}},
        {"MAC", tovra_sql_text("aabbccddeeff"), {text_of(a)}},
        {"MID", tovra_sql_text("70727"), {text_of(b)}},
        {"STATUS", tovra_sql_text("on"), {text_of(b)}},
        {"GID", tovra_sql_num(3), {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.param ? c.param : "(all)"));
        std::vector<host_tovra_devcie_info_t> rows{dev_row(1, "left", 0, "", 0, "", 0)};
        EXPECT_EQ(tovra_info_sql_table_select(TOVRA_INFO_DB, TOVRA_INFO_TABLE, c.param, c.value, rows),
                  static_cast<int>(c.rows.size()));
        std::vector<std::string> got;
        for (const auto &r : rows)
            got.push_back(text_of(r));
        EXPECT_EQ(got, c.rows);
    }
}

TEST_F(TovraSqlTest, QuotesInValuesAreStoredAsTheyAreAndInjectNothing) {
    ASSERT_EQ(tovra_sql_tables_create(), 4);
    const host_tovra_devcie_info_t plain = dev_row(1, "aabbccddeeff", 1, "70701", 1, "0", -1);
    const host_tovra_devcie_info_t quoted = dev_row(2, "ab'c\"d;--", 1, "7'0", 1, "x' OR '1'='1", -1);
    ASSERT_EQ(tovra_info_sql_table_insert(TOVRA_INFO_DB, TOVRA_INFO_TABLE, &plain), 1);
    ASSERT_EQ(tovra_info_sql_table_insert(TOVRA_INFO_DB, TOVRA_INFO_TABLE, &quoted), 1);

    std::vector<host_tovra_devcie_info_t> rows;
    EXPECT_EQ(tovra_info_sql_table_select(TOVRA_INFO_DB, TOVRA_INFO_TABLE, "STATUS",
                                          tovra_sql_text("x' OR '1'='1"), rows),
              1);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_STREQ(rows[0].mac, "ab'c\"d;--");
    EXPECT_EQ(tovra_info_sql_table_update(TOVRA_INFO_DB, TOVRA_INFO_TABLE, 1, "STATUS",
                                          tovra_sql_text("1'; DROP TABLE fa_table; --")),
              1);
    EXPECT_EQ(tovra_info_sql_table_delete(TOVRA_INFO_DB, TOVRA_INFO_TABLE, "MAC", tovra_sql_text("' OR 1=1 --")),
              1);
    EXPECT_EQ(info_rows(), (std::vector<std::string>{"1|aabbccddeeff|1|70701|1|1'; DROP TABLE fa_table; --|-1",
                                                     "2|ab'c\"d;--|1|7'0|1|x' OR '1'='1|-1"}));

    const host_delete_info_t gone{9, "a'b", "m'"};
    ASSERT_EQ(tovra_delete_sql_table_insert(TOVRA_DELETE_INFO_DB, TOVRA_DELETE_TABLE, &gone), 1);
    EXPECT_EQ(tovra_delete_sql_table_update(TOVRA_DELETE_INFO_DB, TOVRA_DELETE_TABLE, 9, "DELETEMID",
                                            tovra_sql_text("'); DELETE FROM fa_delete_table; --")),
              1);
    EXPECT_EQ(raw_db(file(TOVRA_DELETE_INFO_DB)).rows("SELECT * FROM fa_delete_table;"),
              std::vector<std::string>{"9|a'b|'); DELE"});
    // A table name is the only text formatted into a statement: a name that
    // is not a plain identifier is refused outright.
    EXPECT_EQ(tovra_info_sql_table_delete(TOVRA_INFO_DB, "fa_table; DROP TABLE fa_table", nullptr, tovra_sql_num(0)),
              0);
    EXPECT_EQ(info_rows().size(), 2u);
}

TEST_F(TovraSqlTest, SelectsRefuseATableOfAnotherShape) {
    struct {
        const char *db, *table, *other_shape;
        std::function<int()> select;
    } cases[] = {
        {TOVRA_INFO_DB, TOVRA_INFO_TABLE, "CREATE TABLE fa_table (ADDR INT, MAC TEXT, GID INT, MID TEXT, ONLINE INT, STATUS TEXT);",
         [] {
             std::vector<host_tovra_devcie_info_t> r;
             return tovra_info_sql_table_select(TOVRA_INFO_DB, TOVRA_INFO_TABLE, nullptr, tovra_sql_num(0), r) +
                    static_cast<int>(r.size());
         }},
        {TOVRA_SCENE_INFO_DB, TOVRA_SCENE_INFO_TABLE,
         "CREATE TABLE fa_scene_table (ADDRKEYNUM INT, SCENEADDR INT, SCENEID INT, KEYNUM INT, SCENEMID TEXT, X INT);",
         [] {
             std::vector<host_tovra_scene_devcie_info_t> r;
             return tovra_scene_info_sql_table_select(TOVRA_SCENE_INFO_DB, TOVRA_SCENE_INFO_TABLE, nullptr,
                                                      tovra_sql_num(0), r) +
                    static_cast<int>(r.size());
         }},
        {TOVRA_LIMIT_SET_INFO_DB, TOVRA_LIMIT_SET_TABLE, "CREATE TABLE fa_limit_set_table (LIMITADDR INT, UPLIMITSET INT);",
         [] {
             std::vector<host_limit_set_info_t> r;
             return tovra_limit_set_sql_table_select(TOVRA_LIMIT_SET_INFO_DB, TOVRA_LIMIT_SET_TABLE, nullptr,
                                                     tovra_sql_num(0), r) +
                    static_cast<int>(r.size());
         }},
        {TOVRA_DELETE_INFO_DB, TOVRA_DELETE_TABLE,
         "CREATE TABLE fa_delete_table (DELETEADDR INT, DELETEMAC TEXT, DELETEMID TEXT, EXTRA TEXT);",
         [] {
             std::vector<host_delete_info_t> r;
             return tovra_delete_sql_table_select(TOVRA_DELETE_INFO_DB, TOVRA_DELETE_TABLE, "DELETEADDR",
                                                  tovra_sql_num(1), r) +
                    static_cast<int>(r.size());
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.table);
        raw_db db(file(c.db));
        ASSERT_TRUE(db.exec(c.other_shape));
        ASSERT_TRUE(db.exec(std::string("INSERT INTO ") + c.table + " DEFAULT VALUES;"));
        EXPECT_EQ(c.select(), 0);
    }
}

TEST_F(TovraSqlTest, SceneLimitAndDeletedTablesRoundTrip) {
    ASSERT_EQ(tovra_sql_tables_create(), 4);
    const host_tovra_scene_devcie_info_t key{1203, 120, 7, 3, "80401"};
    ASSERT_EQ(tovra_scene_info_sql_table_insert(TOVRA_SCENE_INFO_DB, TOVRA_SCENE_INFO_TABLE, &key), 1);
    EXPECT_EQ(tovra_scene_info_sql_table_insert(TOVRA_SCENE_INFO_DB, TOVRA_SCENE_INFO_TABLE, &key), 0)
        << "ADDRKEYNUM is the key";
    EXPECT_EQ(tovra_scene_info_sql_table_update(TOVRA_SCENE_INFO_DB, TOVRA_SCENE_INFO_TABLE, 1203, "SCENEID",
                                                tovra_sql_num(9)),
              1);
    std::vector<host_tovra_scene_devcie_info_t> keys;
    ASSERT_EQ(tovra_scene_info_sql_table_select(TOVRA_SCENE_INFO_DB, TOVRA_SCENE_INFO_TABLE, "SCENEADDR",
                                                tovra_sql_num(120), keys),
              1);
    EXPECT_EQ(keys[0].sceneid, 9);
    EXPECT_EQ(keys[0].keynum, 3);
    EXPECT_STREQ(keys[0].mid, "80401");

    const host_limit_set_info_t limit{300, 10, 90};
    ASSERT_EQ(tovra_limit_set_sql_table_insert(TOVRA_LIMIT_SET_INFO_DB, TOVRA_LIMIT_SET_TABLE, &limit), 1);
    EXPECT_EQ(tovra_limit_set_sql_table_update(TOVRA_LIMIT_SET_INFO_DB, TOVRA_LIMIT_SET_TABLE, 300, "LOWLIMITSET",
                                               tovra_sql_num(5)),
              1);
    EXPECT_EQ(tovra_limit_set_sql_table_update(TOVRA_LIMIT_SET_INFO_DB, TOVRA_LIMIT_SET_TABLE, 300, "LIMITADDR",
                                               tovra_sql_num(5)),
              0);
    std::vector<host_limit_set_info_t> limits;
    ASSERT_EQ(tovra_limit_set_sql_table_select(TOVRA_LIMIT_SET_INFO_DB, TOVRA_LIMIT_SET_TABLE, "LIMITADDR",
                                               tovra_sql_num(300), limits),
              1);
    EXPECT_EQ(limits[0].uplimitsetting, 10);
    EXPECT_EQ(limits[0].lowlimitsetting, 5);

    const host_delete_info_t gone{77, "aabbccddeeff", "70701"};
    ASSERT_EQ(tovra_delete_sql_table_insert(TOVRA_DELETE_INFO_DB, TOVRA_DELETE_TABLE, &gone), 1);
    std::vector<host_delete_info_t> deleted;
    EXPECT_EQ(tovra_delete_sql_table_select(TOVRA_DELETE_INFO_DB, TOVRA_DELETE_TABLE, "DELETEMAC",
                                            tovra_sql_text("aabbccddeeff"), deleted),
              1);
    EXPECT_EQ(tovra_delete_sql_table_delete(TOVRA_DELETE_INFO_DB, TOVRA_DELETE_TABLE, "DELETEADDR",
                                            tovra_sql_num(77)),
              1);
    EXPECT_EQ(tovra_delete_sql_table_select(TOVRA_DELETE_INFO_DB, TOVRA_DELETE_TABLE, nullptr, tovra_sql_num(0),
                                            deleted),
              0);
    EXPECT_TRUE(deleted.empty());
}

// ---- Single update and the refreshes ------------------------------------------------------

TEST_F(TovraSqlTest, SingleUpdateOfAKnownMacChangesOnlyItsAddress) {
    ASSERT_EQ(tovra_info_sql_table_create(TOVRA_INFO_DB, TOVRA_INFO_TABLE), 1);
    const host_tovra_devcie_info_t stored = dev_row(5, "aabbccddeeff", 3, "70701", 0, "on", 30);
    ASSERT_EQ(tovra_info_sql_table_insert(TOVRA_INFO_DB, TOVRA_INFO_TABLE, &stored), 1);
    const host_tovra_devcie_info_t moved = dev_row(9, "aabbccddeeff", 4, "70702", 1, "0", -1);
    const host_tovra_devcie_info_t fresh = dev_row(12, "112233445566", 4, "70702", 1, "0", -1);
    EXPECT_EQ(tovra_info_sql_table_single_update(TOVRA_INFO_DB, TOVRA_INFO_TABLE, &moved), 1);
    EXPECT_EQ(tovra_info_sql_table_single_update(TOVRA_INFO_DB, TOVRA_INFO_TABLE, &fresh), 1);
    EXPECT_EQ(info_rows(), (std::vector<std::string>{"9|aabbccddeeff|3|70701|0|on|30", text_of(fresh)}));
}

TEST_F(TovraSqlTest, FullRefreshRebuildsFromTheRegistryAndKeepsRowsOfAnEmptyOne) {
    ASSERT_EQ(tovra_sql_tables_create(), 4);
    const host_tovra_devcie_info_t old_row = dev_row(40, "0000000000aa", 1, "70701", 1, "on", 30);
    ASSERT_EQ(tovra_info_sql_table_insert(TOVRA_INFO_DB, TOVRA_INFO_TABLE, &old_row), 1);

    // Empty registry: nothing changes, nothing is announced.
    EXPECT_EQ(tovra_refresh_sublist(), 0);
    EXPECT_EQ(info_rows(), std::vector<std::string>{text_of(old_row)});
    EXPECT_EQ(g_calls.new_list, 0);

    ASSERT_EQ(product_set_host_info_qnetkey("0a1B2c3D"), 0);
    const host_delete_info_t readded{7, "aabbccddeeff", "70701"}, still_gone{8, "aabbccddee99", "70701"};
    ASSERT_EQ(tovra_delete_sql_table_insert(TOVRA_DELETE_INFO_DB, TOVRA_DELETE_TABLE, &readded), 1);
    ASSERT_EQ(tovra_delete_sql_table_insert(TOVRA_DELETE_INFO_DB, TOVRA_DELETE_TABLE, &still_gone), 1);
    add_tovra("aabbccddeeff", 7, 2, 0);
    add_tovra("11223344556601", 12, 3, 1);
    add_tovra("665544332211", 13, 3, 1, DEV_TYPE_UDP);

    EXPECT_EQ(tovra_refresh_sublist(), 1);
    EXPECT_EQ(info_rows(), (std::vector<std::string>{"7|aabbccddeeff|2|70701|0|0|-1", "12|112233445566|3|70701|1|0|-1"}));
    EXPECT_EQ(raw_db(file(TOVRA_DELETE_INFO_DB)).rows("SELECT DELETEADDR FROM fa_delete_table;"),
              std::vector<std::string>{"8"});
    EXPECT_EQ(g_calls.variable_init, 1) << "no key, nothing passed to the library";
    EXPECT_EQ(std::vector<int>(g_calls.key, g_calls.key + 4), (std::vector<int>{0x0a, 0x1b, 0x2c, 0x3d}));
    EXPECT_EQ(g_calls.new_list, 1);
    EXPECT_EQ(g_calls.window_close, 1);
    EXPECT_EQ(g_calls.all_refresh, 0);
}

TEST_F(TovraSqlTest, SingleRefreshMarksDevicesOnlineAndRestartsADamagedDatabase) {
    ASSERT_EQ(tovra_info_sql_table_create(TOVRA_INFO_DB, TOVRA_INFO_TABLE), 1);
    const host_tovra_devcie_info_t known = dev_row(5, "aabbccddeeff", 3, "70701", 0, "on", 30);
    ASSERT_EQ(tovra_info_sql_table_insert(TOVRA_INFO_DB, TOVRA_INFO_TABLE, &known), 1);
    add_tovra("aabbccddeeff", 9, 2, 0);
    add_tovra("112233445566", 12, 3, 0);

    EXPECT_EQ(tovra_single_refresh_sublist(), 1);
    EXPECT_EQ(info_rows(), (std::vector<std::string>{"9|aabbccddeeff|3|70701|0|on|30", "12|112233445566|3|70701|1|0|-1"}));
    EXPECT_EQ(g_calls.new_list, 1);
    EXPECT_EQ(g_calls.online_change, 1);
    EXPECT_EQ(g_calls.all_refresh, 0);

    root_.write(TOVRA_INFO_DB, std::string(4096, '\x5a'));
    EXPECT_EQ(tovra_single_refresh_sublist(), 0);
    EXPECT_EQ(g_calls.all_refresh, 1);
    EXPECT_EQ(g_calls.new_list, 1) << "the single refresh ends at the damage";
    EXPECT_TRUE(info_rows().empty());
    EXPECT_EQ(raw_db(file(TOVRA_INFO_DB)).rows("SELECT name FROM sqlite_master;"),
              std::vector<std::string>{"fa_table"});
    EXPECT_TRUE(root_.commands().empty()) << "the file is removed without a shell";
}

TEST_F(TovraSqlTest, ResetRemovesEveryDatabaseAndLeavesEmptyTablesReadyForUse) {
    ASSERT_EQ(tovra_sql_tables_create(), 4);
    const host_tovra_devcie_info_t d = dev_row(5, "aabbccddeeff", 3, "70701", 1, "0", -1);
    const host_tovra_scene_devcie_info_t k{51, 5, 1, 1, "80401"};
    const host_limit_set_info_t l{5, 1, 2};
    const host_delete_info_t g{6, "112233445566", "70701"};
    ASSERT_EQ(tovra_info_sql_table_insert(TOVRA_INFO_DB, TOVRA_INFO_TABLE, &d), 1);
    ASSERT_EQ(tovra_scene_info_sql_table_insert(TOVRA_SCENE_INFO_DB, TOVRA_SCENE_INFO_TABLE, &k), 1);
    ASSERT_EQ(tovra_limit_set_sql_table_insert(TOVRA_LIMIT_SET_INFO_DB, TOVRA_LIMIT_SET_TABLE, &l), 1);
    ASSERT_EQ(tovra_delete_sql_table_insert(TOVRA_DELETE_INFO_DB, TOVRA_DELETE_TABLE, &g), 1);

    EXPECT_EQ(orvi_rm_orvi_info_db(), 0);
    EXPECT_TRUE(root_.commands().empty()) << "the files are removed without a shell";
    const struct {
        const char *db, *table;
    } files[] = {{TOVRA_INFO_DB, TOVRA_INFO_TABLE},
                 {TOVRA_SCENE_INFO_DB, TOVRA_SCENE_INFO_TABLE},
                 {TOVRA_LIMIT_SET_INFO_DB, TOVRA_LIMIT_SET_TABLE},
                 {TOVRA_DELETE_INFO_DB, TOVRA_DELETE_TABLE}};
    for (const auto &f : files) {
        SCOPED_TRACE(f.table);
        raw_db db(file(f.db));
        EXPECT_EQ(db.rows(std::string("SELECT count(*) FROM ") + f.table + ";"), std::vector<std::string>{"0"});
    }
    // The next use finds its table.
    EXPECT_EQ(tovra_info_sql_table_insert(TOVRA_INFO_DB, TOVRA_INFO_TABLE, &d), 1);
}

}  // namespace
