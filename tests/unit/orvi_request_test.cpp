// The request intake: the queue, the dispatch tables and their key rules,
// the target lookup by channel, the response envelope, and the guards that
// keep a forged or oversized packet from doing harm. The task is driven one
// request at a time on the test's thread; handlers are replaced by a
// recorder so each test decides what they answer.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "intake_test_support.h"
#include "orvi_handlers.h"
#include "orvi_request.h"
#include "orvi_testing.h"

using namespace intake_test;

namespace {

struct Call {
    std::string t;
    std::string mac;
    int dev_type;
    std::string key;
};
std::vector<Call> g_calls;
// What the recorder answers: nothing (-1) unless set.
bool g_answer = false;
std::string g_answer_text;
aes_key_t g_answer_key = AES_KEY_TYPE_RANDOM;
orvi_subdev_ptr g_kept;  // the last target a handler was given
long g_ctx_value = -1;   // the context value a send handler was given

int recorder(cJSON *json, request_data_t *req, const orvi_subdev_ptr &dev) {
    const cJSON *t = cJSON_GetObjectItem(json, "t");
    orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
    g_calls.push_back({t->valuestring, f.mac, f.dev_type, f.key});
    g_kept = dev;
    if (!g_answer) return -1;
    orvi_request_set_response_text(req, g_answer_text, g_answer_key);
    return 0;
}

int send_recorder(request_data_t *req, const orvi_subdev_ptr &dev) {
    orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
    g_calls.push_back({req->req_data, f.mac, f.dev_type, f.key});
    g_ctx_value = req->ctx ? req->ctx->value : -1;
    if (!g_answer) return -1;
    orvi_request_set_response_text(req, g_answer_text, g_answer_key);
    return 0;
}

// The receive table as the protocol defines it: name, weakest family,
// plain form only from local channels.
struct Row {
    const char *name;
    int flag;
    bool local_plain;
};
const Row kRows[] = {
    {"UBind", 1, false},
    {"status", 0, false},
    {"binStatus", 2, false},
    {"dat", 2, false},
    {"connect", 2, false},
    {"cmd", 2, false},
    {"jsonCmd", 2, false},
    {"hb", 1, false},
    {"Utm", 0, false},
    {"ret", 0, false},
    {"res", 0, false},
    {"upgrade", 2, true},
    {"jsonStatus", 0, false},
    {"configStatus", 0, false},
    {"AddTiming", 2, false},
    {"DeleteTiming", 2, false},
    {"UpdateTiming", 2, false},
    {"upRoomInfo", 2, false},
    {"checksub", 2, false},
    {"devListPush", 0, false},
    {"roomListPush", 0, false},
    {"DevOnlineRes", 0, false},
    {"DevOnlineDone", 0, false},
    {"CheckResRes", 0, false},
    {"CheckResDone", 0, false},
    {"binSubStatus", 1, false},
    {"binSubEvent", 1, false},
    {"syncPersistent", 0, false},
    {"devListPushRes", 0, false},
    {"485Configure", 0, false},
    {"sceneSinglepush", 0, false},
    {"switchBindPush", 2, false},
    {"CheckSceneExe", 0, false},
    {"updownFlag", 0, false},
    {"getLoginInfo", 0, false},
    {"subDev", 0, false},
    {"statusCheckRes", 0, false},
    {"bind", 2, true},
    {"subBDev", 2, true},
    {"QnetDev", 2, true},
    {"bleCheck", 2, true},
    {"homeBind", 2, true},
};
const char *const kSendNames[] = {"scan",       "binCmd",    "jsonStatus",        "syncDev",
                                  "miniAppRes", "binStatus", "upDevList",         "jsonStatus_mqtt",
                                  "mulcastTst", "syncDone",  "sceneSingleSetRes", "soLoadState",
                                  "bleinfo"};

class RequestTest : public IntakeFixture {
  protected:
    void SetUp() override {
        IntakeFixture::SetUp();
        g_calls.clear();
        g_answer = false;
        g_kept.reset();
        for (const Row &r : kRows)
            ASSERT_TRUE(dispatch.replace(r.name, recorder)) << r.name;
        for (const char *n : kSendNames)
            ASSERT_TRUE(dispatch.replace_send(n, send_recorder)) << n;
        ASSERT_EQ(0, dispatch.install());
        request_wiring::writers_set(
            [this](const std::string &data, const dev_socket_t &to, const orvi_subdev_ptr &d) {
                written.push_back({data, to, d ? std::string(d->mac) : ""});
                return 0;
            });
        request_task_init(&task);
    }
    void TearDown() override {
        g_kept.reset();
        IntakeFixture::TearDown();
    }
    void answer(const std::string &text, aes_key_t key) {
        g_answer = true;
        g_answer_text = text;
        g_answer_key = key;
    }
    int process(request_type_t r) { return request_task_process(&task, &r); }

    // The handlers' tables with every row answering through the recorders.
    request_wiring::dispatch dispatch;
    request_task_t task;
    std::vector<Written> written;
};

// ---- Tables and dispatch ---------------------------------------------------

TEST_F(RequestTest, TablesHoldEveryRowInOrderWithItsFlags) {
    orvi_request_path_wire();  // the tables start-up installs, not the recorders'
    size_t n = 0;
    const request_handle_row_t *rows = request_handle_rows(&n);
    ASSERT_EQ(sizeof kRows / sizeof kRows[0], n);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_STREQ(kRows[i].name, rows[i].name);
        EXPECT_EQ(kRows[i].flag, rows[i].flag) << rows[i].name;
        EXPECT_EQ(kRows[i].local_plain, rows[i].plain_only_local) << rows[i].name;
        EXPECT_NE(nullptr, rows[i].handle) << rows[i].name;
    }
    EXPECT_EQ(nullptr, rows[n].name);  // the closing empty row
    const request_send_row_t *send = request_send_rows(&n);
    ASSERT_EQ(sizeof kSendNames / sizeof kSendNames[0], n);
    for (size_t i = 0; i < n; ++i)
        EXPECT_STREQ(kSendNames[i], send[i].name);
    EXPECT_EQ(nullptr, send[n].name);
}

// Every type under every family and every receiving channel: dispatched
// exactly when the family is allowed by the row's flag and, for the plain
// identity/firmware types, the channel is BLE or the event bus.
TEST_F(RequestTest, FlagMatrixOverFamiliesAndChannels) {
    const connect_type_t channels[] = {SOCKET_CONNECT_TYPE_UDP,  SOCKET_CONNECT_TYPE_TCP,
                                       SOCKET_CONNECT_TYPE_MQTT, SOCKET_CONNECT_TYPE_BLE,
                                       SOCKET_CONNECT_TYPE_UDS,  SOCKET_CONNECT_TYPE_NONE};
    auto dev = std::make_shared<orvi_subdev_list_t>();
    for (const Row &row : kRows) {
        for (int fam = 0; fam <= 2; ++fam) {
            for (connect_type_t ch : channels) {
                request_data_t work;
                work.data_type = DATA_TYPE_NEED_PARSE;
                work.conn = ch;
                work.req_data = std::string("{\"t\":\"") + row.name + "\"}";
                g_calls.clear();
                int rc = request_handle(&work, static_cast<aes_key_t>(fam), dev);
                const bool local = ch == SOCKET_CONNECT_TYPE_BLE || ch == SOCKET_CONNECT_TYPE_UDS;
                const bool expect = fam <= row.flag && !(fam == 2 && row.local_plain && !local);
                EXPECT_EQ(expect ? 1u : 0u, g_calls.size())
                    << row.name << " family " << fam << " channel " << ch;
                EXPECT_EQ(-1, rc);  // the recorder answers nothing; a refusal is -1 too
            }
        }
    }
}

TEST_F(RequestTest, DispatchIgnoresCaseAndRefusesWhatNoRowTakes) {
    auto dev = std::make_shared<orvi_subdev_list_t>();
    answer("{\"t\":\"x\"}", AES_KEY_TYPE_DEFAULT);
    request_data_t work;
    work.req_data = "{\"t\":\"HB\"}";
    EXPECT_EQ(0, request_handle(&work, AES_KEY_TYPE_DEFAULT, dev));
    ASSERT_EQ(1u, g_calls.size());
    EXPECT_EQ("HB", g_calls[0].t);

    struct {
        const char *text;
        data_type_t type;
    } refused[] = {
        {"{\"t\":\"nosuch\"}", DATA_TYPE_NEED_PARSE},
        {"not json", DATA_TYPE_NEED_PARSE},
        {"{\"x\":1}", DATA_TYPE_NEED_PARSE},
        {"{\"t\":5}", DATA_TYPE_NEED_PARSE},
        {"nosuch", DATA_TYPE_ONLY_SEND},
    };
    g_calls.clear();
    for (const auto &c : refused) {
        request_data_t w;
        w.req_data = c.text;
        w.data_type = c.type;
        EXPECT_EQ(-1, request_handle(&w, AES_KEY_TYPE_RANDOM, dev)) << c.text;
    }
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(-2, request_handle(nullptr, AES_KEY_TYPE_RANDOM, dev));

    // Send table: the whole text is the name, any case; a null record is
    // replaced by an empty one.
    request_data_t send;
    send.data_type = DATA_TYPE_ONLY_SEND;
    send.req_data = "SyncDone";
    EXPECT_EQ(0, request_handle(&send, AES_KEY_TYPE_NONE, nullptr));
    ASSERT_EQ(1u, g_calls.size());
    EXPECT_EQ("SyncDone", g_calls[0].t);
}

// Before start-up hands the tables in, nothing is dispatched and the request
// task does not start.
TEST_F(RequestTest, WithoutADispatchNothingRunsAndNothingStarts) {
    ASSERT_EQ(0, request_dispatch_set(nullptr));
    request_data_t work;
    work.req_data = "{\"t\":\"hb\"}";
    EXPECT_EQ(-1, request_handle(&work, AES_KEY_TYPE_DEFAULT, nullptr));
    work.data_type = DATA_TYPE_ONLY_SEND;
    work.req_data = "scan";
    EXPECT_EQ(-1, request_handle(&work, AES_KEY_TYPE_NONE, nullptr));
    EXPECT_EQ(-1, device_handle_create());
    size_t n = 1;
    EXPECT_EQ(nullptr, request_handle_rows(&n));
    EXPECT_EQ(0u, n);
}

// A table the intake could not walk safely is refused whole, and the tables
// in place stay.
TEST_F(RequestTest, TablesItCannotWalkAreRefusedAndTheInstalledOnesStay) {
    static const request_send_row_t no_sends[] = {{nullptr, nullptr}};
    static const request_handle_row_t no_handler[] = {{"hb", 1, false, nullptr},
                                                      {nullptr, 0, false, nullptr}};
    // `rows` named rows and the closing one; static, as an installed table
    // must outlive its installation.
    auto table = [](size_t rows) {
        std::vector<request_handle_row_t> t(rows, {"hb", 1, false, recorder});
        t.push_back({nullptr, 0, false, nullptr});
        return t;
    };
    static const std::vector<request_handle_row_t> longest = table(ORVI_REQUEST_ROWS_MAX);
    static const std::vector<request_handle_row_t> too_long = table(ORVI_REQUEST_ROWS_MAX + 1);
    size_t before = 0;
    const request_handle_row_t *installed = request_handle_rows(&before);
    for (const request_handle_row_t *bad :
         {no_handler, too_long.data(), static_cast<const request_handle_row_t *>(nullptr)}) {
        const request_dispatch_t d = {bad, no_sends, nullptr, nullptr, nullptr};
        EXPECT_EQ(-1, request_dispatch_set(&d));
        size_t n = 0;
        EXPECT_EQ(installed, request_handle_rows(&n));
        EXPECT_EQ(before, n);
    }
    const request_dispatch_t full = {longest.data(), no_sends, nullptr, nullptr, nullptr};
    ASSERT_EQ(0, request_dispatch_set(&full));
    size_t n = 0;
    request_handle_rows(&n);
    EXPECT_EQ(static_cast<size_t>(ORVI_REQUEST_ROWS_MAX), n);
    ASSERT_EQ(0, request_dispatch_set(orvi_handlers_dispatch()));
}

TEST_F(RequestTest, BufferExpandGrowsOnlyWhenNeeded) {
    request_data_t work;
    work.rsp_data = "kept";
    EXPECT_EQ(0, request_buffer_expand(&work, 100));
    EXPECT_EQ(static_cast<size_t>(ORVI_REQUEST_BUF_SIZE), work.rsp_bufSize);
    EXPECT_EQ(0, request_buffer_expand(&work, ORVI_REQUEST_BUF_SIZE));
    EXPECT_EQ(static_cast<size_t>(ORVI_REQUEST_BUF_SIZE + 1024), work.rsp_bufSize);
    EXPECT_EQ("kept", work.rsp_data);
    EXPECT_EQ(-2, request_buffer_expand(nullptr, 1));

    // A long answer grows the buffer first.
    request_data_t w2;
    std::string big(30000, 'a');
    orvi_request_set_response_text(&w2, big, AES_KEY_TYPE_NONE);
    EXPECT_EQ(big.size(), w2.rsp_size);
    EXPECT_EQ(big.size() + 1024, w2.rsp_bufSize);
}

// ---- The queue -------------------------------------------------------------

TEST_F(RequestTest, QueueCarriesACopyAndOnlyTheCarriedFields) {
    auto dev = add_dev("aabbccddeeff");
    request_type_t r = received("{\"t\":\"hb\"}", sock(SOCKET_CONNECT_TYPE_TCP, 9, 5000));
    r.ctx.dev = dev;
    r.ctx.has_text = true;
    r.ctx.text = "target";
    std::strcpy(r.cid, "forged");
    r.msgId = 55;
    ASSERT_EQ(0, orvi_request_queue_send(&r));
    r.data = "changed after send";

    request_type_t got;
    ASSERT_EQ(0, orvi_request_queue_try_recv(&got));
    EXPECT_EQ("{\"t\":\"hb\"}", got.data);
    EXPECT_EQ(DATA_TYPE_NEED_PARSE, got.data_type);
    EXPECT_EQ(9, got.sockinfo.fd);
    EXPECT_EQ(SOCKET_CONNECT_TYPE_TCP, got.sockinfo.type);
    EXPECT_EQ(dev, got.ctx.dev);
    EXPECT_EQ("target", got.ctx.text);
    EXPECT_STREQ("", got.cid);  // filled by the task from the envelope, never carried
    EXPECT_EQ(0u, got.msgId);
    EXPECT_EQ(-1, orvi_request_queue_try_recv(&got));  // empty

    ASSERT_EQ(0, orvi_send_packet("scan", SOCKET_CONNECT_TYPE_BROADCAST, dev));
    std::vector<request_type_t> q = drain_requests();
    ASSERT_EQ(1u, q.size());
    EXPECT_EQ(DATA_TYPE_ONLY_SEND, q[0].data_type);
    EXPECT_EQ("scan", q[0].data);
    EXPECT_EQ(-1, q[0].sockinfo.fd);
    EXPECT_EQ(SOCKET_CONNECT_TYPE_BROADCAST, q[0].sockinfo.type);
    EXPECT_EQ(dev, q[0].ctx.dev);

    orvi_request_queue_delete_for_test();
    EXPECT_EQ(-1, orvi_send_packet("scan", SOCKET_CONNECT_TYPE_BROADCAST, dev));
}

// The request buffer is 20,480 bytes with its terminator: a longer text is
// refused by the queue and dropped by the task without reaching a handler.
TEST_F(RequestTest, OversizeRequestIsRefusedAndDropped) {
    const std::string pad = "{\"t\":\"connect\",\"x\":\"";
    auto text = [&](size_t total) { return pad + std::string(total - pad.size() - 2, 'a') + "\"}"; };
    request_type_t fits = received(text(ORVI_REQUEST_MAX_LEN), sock(SOCKET_CONNECT_TYPE_UDS));
    request_type_t over = received(text(ORVI_REQUEST_MAX_LEN + 1), sock(SOCKET_CONNECT_TYPE_UDS));
    EXPECT_EQ(0, orvi_request_queue_send(&fits));
    EXPECT_EQ(-1, orvi_request_queue_send(&over));
    EXPECT_EQ(1u, drain_requests().size());

    EXPECT_EQ(-1, process(over));
    EXPECT_TRUE(g_calls.empty());
    process(fits);
    EXPECT_EQ(1u, g_calls.size());
}

// ---- Target lookup ---------------------------------------------------------

// The context a cloud or bus request carries: the topic's device text.
request_ctx_t ctx_text(const std::string &t) {
    request_ctx_t c;
    c.has_text = true;
    c.text = t;
    return c;
}

// Which record a received packet is handled against, by channel.
TEST_F(RequestTest, TargetLookupByChannel) {
    const std::string dev_mac = "a1b2c3d4e5f6";
    add_dev(dev_mac, DEV_TYPE_UDP, kDevKey);
    const std::string stranger = "0f0e0d0c0b0a";
    struct Case {
        const char *what;
        request_type_t req;
        bool dispatched;
        std::string mac;  // target record's MAC
        int type;
        std::string key;  // target record's key
    };
    const std::string hb = "{\"t\":\"hb\"}";
    const std::string ret = "{\"t\":\"ret\"}";
    std::vector<Case> cases = {
        {"mqtt to a subdevice",
         received(seal(ret, kHomeKey, AES_KEY_TYPE_RANDOM, "cloud"), sock(SOCKET_CONNECT_TYPE_MQTT),
                  ctx_text(dev_mac)),
         true, dev_mac, DEV_TYPE_UDP, kDevKey},
        {"mqtt to the home host",
         received(seal(ret, kHomeKey, AES_KEY_TYPE_RANDOM, "cloud"), sock(SOCKET_CONNECT_TYPE_MQTT),
                  ctx_text(kHomeMac)),
         true, kHomeMac, DEV_TYPE_HOST, kHomeKey},
        {"mqtt to the host id",
         received(seal(ret, kHomeKey, AES_KEY_TYPE_RANDOM, "cloud"), sock(SOCKET_CONNECT_TYPE_MQTT),
                  ctx_text(kHostMac)),
         true, kHostMac, DEV_TYPE_HOST, kHomeKey},
        {"mqtt without target",
         received(seal(ret, kHomeKey, AES_KEY_TYPE_RANDOM, "cloud"), sock(SOCKET_CONNECT_TYPE_MQTT)), true,
         "", DEV_TYPE_NONE, kHomeKey},
        {"mqtt to an unregistered device",
         received(seal(hb, ORVI_DEFAULT_KEY, AES_KEY_TYPE_DEFAULT, "cloud"), sock(SOCKET_CONNECT_TYPE_MQTT),
                  ctx_text(stranger)),
         false, "", 0, ""},
        {"ble",
         received(seal(ret, kRandomKey, AES_KEY_TYPE_RANDOM, "", "", 0, SOCKET_CONNECT_TYPE_BLE),
                  sock(SOCKET_CONNECT_TYPE_BLE)),
         true, kHostMac, DEV_TYPE_HOST, kRandomKey},
        {"udp registered, private key",
         received(seal(ret, kDevKey, AES_KEY_TYPE_RANDOM, dev_mac), sock(SOCKET_CONNECT_TYPE_UDP)), true,
         dev_mac, DEV_TYPE_UDP, kDevKey},
        {"tcp registered, default key",
         received(seal(hb, ORVI_DEFAULT_KEY, AES_KEY_TYPE_DEFAULT, dev_mac),
                  sock(SOCKET_CONNECT_TYPE_TCP, 12)),
         true, dev_mac, DEV_TYPE_UDP, kDevKey},
        {"udp unregistered, default key",
         received(seal(hb, ORVI_DEFAULT_KEY, AES_KEY_TYPE_DEFAULT, stranger), sock(SOCKET_CONNECT_TYPE_UDP)),
         true, stranger, DEV_TYPE_NONE, ""},
        {"tcp unregistered, private key",
         received(seal(ret, kDevKey, AES_KEY_TYPE_RANDOM, stranger), sock(SOCKET_CONNECT_TYPE_TCP, 12)),
         false, "", 0, ""},
        {"udp registered, wrong private key",
         received(seal(ret, kHomeKey, AES_KEY_TYPE_RANDOM, dev_mac), sock(SOCKET_CONNECT_TYPE_UDP)), false,
         "", 0, ""},
        {"echo of the host's own packet",
         received(seal(hb, ORVI_DEFAULT_KEY, AES_KEY_TYPE_DEFAULT, kHomeMac), sock(SOCKET_CONNECT_TYPE_UDP)),
         false, "", 0, ""},
        {"for another host",
         received(seal(hb, ORVI_DEFAULT_KEY, AES_KEY_TYPE_DEFAULT, dev_mac, "OTHERHOST0000001"),
                  sock(SOCKET_CONNECT_TYPE_UDP)),
         false, "", 0, ""},
        {"plain over udp", received(R"({"t":"connect"})", sock(SOCKET_CONNECT_TYPE_UDP)), true, "",
         DEV_TYPE_NONE, ""},
        {"plain hb is refused", received(hb, sock(SOCKET_CONNECT_TYPE_UDP)), false, "", 0, ""},
    };
    for (Case &c : cases) {
        g_calls.clear();
        process(std::move(c.req));
        ASSERT_EQ(c.dispatched ? 1u : 0u, g_calls.size()) << c.what;
        if (!c.dispatched) continue;
        EXPECT_EQ(c.mac, g_calls[0].mac) << c.what;
        EXPECT_EQ(c.type, g_calls[0].dev_type) << c.what;
        EXPECT_EQ(c.key, g_calls[0].key) << c.what;
    }
}

TEST_F(RequestTest, PlainPacketFromTheEventBusRunsAgainstItsRecord) {
    auto dev = add_dev("a1b2c3d4e5f6", DEV_TYPE_CAN);
    request_ctx_t ctx;
    ctx.dev = dev;
    process(received(R"({"t":"jsonCmd"})", sock(SOCKET_CONNECT_TYPE_UDS), ctx));
    ASSERT_EQ(1u, g_calls.size());
    EXPECT_EQ("a1b2c3d4e5f6", g_calls[0].mac);
    // The plain request must not move the record's socket.
    EXPECT_EQ(SOCKET_CONNECT_TYPE_NONE, orvi_subdev_snapshot(dev).dev_socket.type);
}

TEST_F(RequestTest, PlainPacketNamingItsDeviceByMacRunsAgainstTheRecordRegisteredNow) {
    add_dev("a1b2c3d4e5f6", DEV_TYPE_CAN, "oldkey0123456789");
    request_ctx_t ctx;
    ctx.has_text = true;
    ctx.text = "a1b2c3d4e5f6";
    request_type_t r = received(R"({"t":"jsonCmd"})", sock(SOCKET_CONNECT_TYPE_NONE), ctx);
    // While the request waits, a later event replaces the device.
    ASSERT_EQ(0, product_delete_subdev_form_host("a1b2c3d4e5f6"));
    add_dev("a1b2c3d4e5f6", DEV_TYPE_CAN, "newkey0123456789");
    process(r);
    ASSERT_EQ(1u, g_calls.size());
    EXPECT_EQ("newkey0123456789", g_calls[0].key);
    // A device gone by then leaves the request without a record of its own.
    g_calls.clear();
    ASSERT_EQ(0, product_delete_subdev_form_host("a1b2c3d4e5f6"));
    process(received(R"({"t":"jsonCmd"})", sock(SOCKET_CONNECT_TYPE_NONE), ctx));
    ASSERT_EQ(1u, g_calls.size());
    EXPECT_EQ("", g_calls[0].mac);
}

// ---- Socket and message id of a record -----------------------------------

TEST_F(RequestTest, OnlyTheRecordsOwnKeyMovesItsSocketAndMessageId) {
    const std::string mac = "a1b2c3d4e5f6";
    auto dev = add_dev(mac, DEV_TYPE_UDP, kDevKey);
    orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) {
        d.dev_socket = sock(SOCKET_CONNECT_TYPE_UDP, 3, 1111);
        d.msgId = 1;
    });
    auto stays = [&](const char *what) {
        orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
        EXPECT_EQ(3, f.dev_socket.fd) << what;
        EXPECT_EQ(htons(1111), f.dev_socket.ip_addr.sin_port) << what;
        EXPECT_EQ(1u, f.msgId) << what;
    };
    // Anybody knows the default key: a packet that names the device is
    // handled, but the device's traffic stays where it was.
    process(received(seal("{\"t\":\"hb\"}", ORVI_DEFAULT_KEY, AES_KEY_TYPE_DEFAULT, mac, kHomeMac, 66),
                     sock(SOCKET_CONNECT_TYPE_TCP, 44, 6666)));
    EXPECT_EQ(1u, g_calls.size());
    stays("default key");
    // A private-key envelope that does not open with the device's key.
    process(received(seal("{\"t\":\"ret\"}", kHomeKey, AES_KEY_TYPE_RANDOM, mac, kHomeMac, 67),
                     sock(SOCKET_CONNECT_TYPE_TCP, 45, 6667)));
    stays("wrong key");
    // A broken envelope.
    process(received(
        "{\"t\":\"pack\",\"i\":0,\"cid\":\"" + mac + "\",\"tcid\":\"\",\"msgId\":68,\"pack\":\"!!!!\"}",
        sock(SOCKET_CONNECT_TYPE_TCP, 46, 6668)));
    stays("undecryptable");

    // The device itself, with its own key, may move.
    process(received(seal("{\"t\":\"ret\"}", kDevKey, AES_KEY_TYPE_RANDOM, mac, kHomeMac, 69),
                     sock(SOCKET_CONNECT_TYPE_TCP, 47, 6669)));
    orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
    EXPECT_EQ(47, f.dev_socket.fd);
    EXPECT_EQ(SOCKET_CONNECT_TYPE_TCP, f.dev_socket.type);
    EXPECT_EQ(69u, f.msgId);
}

// Identifiers of one request never leak into the next one's answer, and a
// record a handler kept is not reused as the next request's scratch record.
TEST_F(RequestTest, EachRequestStartsClean) {
    answer("{\"t\":\"ok\"}", AES_KEY_TYPE_DEFAULT);
    process(
        received(seal("{\"t\":\"hb\"}", ORVI_DEFAULT_KEY, AES_KEY_TYPE_DEFAULT, "0f0e0d0c0b0a", kHomeMac, 99),
                 sock(SOCKET_CONNECT_TYPE_UDP)));
    orvi_subdev_ptr first = g_kept;
    ASSERT_TRUE(first);
    process(received(R"({"t":"connect"})", sock(SOCKET_CONNECT_TYPE_UDP)));
    ASSERT_EQ(2u, written.size());
    EXPECT_EQ("0f0e0d0c0b0a", member_str(written[0].data, "tcid"));
    EXPECT_EQ("99", member_str(written[0].data, "msgId"));
    EXPECT_EQ("", member_str(written[1].data, "tcid"));
    EXPECT_EQ("0", member_str(written[1].data, "msgId"));
    EXPECT_NE(first, g_kept);
    EXPECT_STREQ("0f0e0d0c0b0a", first->mac);
}

// ---- The response ----------------------------------------------------------

TEST_F(RequestTest, ResponseEnvelopeMembersAndKeyByChannel) {
    const std::string mac = "a1b2c3d4e5f6";
    auto dev = add_dev(mac, DEV_TYPE_UDP, kDevKey);
    auto gw = add_dev("c0ffee000001", DEV_TYPE_PWRGATEWAY, kDevKey);
    const std::string inner = R"({"t":"ret","r":200})";
    struct Case {
        const char *what;
        request_type_t req;
        aes_key_t rsp_key;
        std::vector<std::string> order;
        std::string key;  // opens the answer
        std::string tcid;
        std::string topic;
    };
    const std::vector<std::string> lan = {"t", "i", "cid", "tcid", "msgId", "pack"};
    std::vector<Case> cases = {
        {"udp to a udp device",
         received(seal("{\"t\":\"ret\"}", kDevKey, AES_KEY_TYPE_RANDOM, mac, kHomeMac, 5),
                  sock(SOCKET_CONNECT_TYPE_UDP)),
         AES_KEY_TYPE_RANDOM,
         {"t", "i", "cid", "tcid", "msgId", "pack", "enNet"},
         kDevKey,
         mac,
         ""},
        {"tcp, default key",
         received(seal("{\"t\":\"ret\"}", kDevKey, AES_KEY_TYPE_RANDOM, mac, kHomeMac, 5),
                  sock(SOCKET_CONNECT_TYPE_TCP, 8)),
         AES_KEY_TYPE_DEFAULT, lan, ORVI_DEFAULT_KEY, mac, ""},
        {"ble",
         received(
             seal("{\"t\":\"ret\"}", kRandomKey, AES_KEY_TYPE_RANDOM, "", "", 0, SOCKET_CONNECT_TYPE_BLE),
             sock(SOCKET_CONNECT_TYPE_BLE)),
         AES_KEY_TYPE_RANDOM,
         {"t", "i", "pIn", "uid", "pack"},
         kRandomKey,
         "",
         ""},
        {"cloud to the home host",
         received(seal("{\"t\":\"ret\"}", kHomeKey, AES_KEY_TYPE_RANDOM, "cloud", ""),
                  sock(SOCKET_CONNECT_TYPE_MQTT)),
         AES_KEY_TYPE_RANDOM, lan, kHomeKey, "cloud", std::string("response/") + kHomeMac},
        {"cloud to a subdevice",
         received(seal("{\"t\":\"ret\"}", kHomeKey, AES_KEY_TYPE_RANDOM, "cloud", ""),
                  sock(SOCKET_CONNECT_TYPE_MQTT), ctx_text(mac)),
         AES_KEY_TYPE_RANDOM, lan, kDevKey, "cloud", std::string("response/") + kHomeMac + "/" + mac},
        {"cloud to a power gateway",
         received(seal("{\"t\":\"ret\"}", kHomeKey, AES_KEY_TYPE_RANDOM, "cloud", ""),
                  sock(SOCKET_CONNECT_TYPE_MQTT), ctx_text("c0ffee000001")),
         AES_KEY_TYPE_RANDOM, lan, kRandomKey, "cloud",
         std::string("response/") + kHomeMac + "/c0ffee000001"},
        {"connect over mqtt",
         received(R"({"t":"connect","onlineSub":[],"offlineSub":[]})", sock(SOCKET_CONNECT_TYPE_MQTT)),
         AES_KEY_TYPE_DEFAULT, lan, ORVI_DEFAULT_KEY, "0", std::string("connect/") + kHomeMac},
    };
    (void)gw;
    for (Case &c : cases) {
        written.clear();
        answer(inner, c.rsp_key);
        const uint32_t msgId = c.req.sockinfo.type == SOCKET_CONNECT_TYPE_BLE ? 0 : 5;
        const connect_type_t conn = c.req.sockinfo.type;
        ASSERT_EQ(0, process(std::move(c.req))) << c.what;
        ASSERT_EQ(1u, written.size()) << c.what;
        const std::string &env = written[0].data;
        EXPECT_EQ(c.order, members(env)) << c.what << ": " << env;
        EXPECT_EQ(std::to_string(c.rsp_key), member_str(env, "i")) << c.what;
        EXPECT_EQ(inner + "\n", orvictl_open(env, c.key)) << c.what;
        EXPECT_EQ(c.topic, written[0].to.topic) << c.what;
        if (conn != SOCKET_CONNECT_TYPE_BLE) {
            EXPECT_EQ(kHomeMac, member_str(env, "cid")) << c.what;
            EXPECT_EQ(c.tcid, member_str(env, "tcid")) << c.what;
            if (conn != SOCKET_CONNECT_TYPE_MQTT) {
                EXPECT_EQ(std::to_string(msgId), member_str(env, "msgId"));
            }
        } else {
            EXPECT_EQ("1", member_str(env, "pIn"));
            EXPECT_EQ("0", member_str(env, "uid"));
        }
    }
}

TEST_F(RequestTest, PlainAnswerNoAnswerAndFailedHandler) {
    const std::string mac = "a1b2c3d4e5f6";
    add_dev(mac, DEV_TYPE_UDP, kDevKey);
    auto req = [&] {
        return received(seal("{\"t\":\"ret\"}", kDevKey, AES_KEY_TYPE_RANDOM, mac),
                        sock(SOCKET_CONNECT_TYPE_UDP, 4));
    };
    answer(R"({"t":"ret","r":200})", AES_KEY_TYPE_NONE);
    EXPECT_EQ(0, process(req()));
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ(R"({"t":"ret","r":200})", written[0].data);
    EXPECT_EQ(4, written[0].to.fd);
    EXPECT_EQ(mac, written[0].mac);

    answer("", AES_KEY_TYPE_RANDOM);  // success without an answer
    EXPECT_EQ(-1, process(req()));
    g_answer = false;  // handler fails
    EXPECT_EQ(-1, process(req()));
    EXPECT_EQ(1u, written.size());

    // A write that fails is only logged.
    request_wiring::writers_set(
        [](const std::string &, const dev_socket_t &, const orvi_subdev_ptr &) { return -1; });
    answer(R"({"t":"ret"})", AES_KEY_TYPE_DEFAULT);
    EXPECT_EQ(-1, process(req()));
}

// A tovra gang (14 characters) answers on its light's 12-character topic;
// jsonStatus_mqtt goes on the status topic with "tcid" "0".
TEST_F(RequestTest, CloudTopicsOfTovraGangsAndStatusUploads) {
    auto gang = add_dev("aabbccddeeff01", DEV_TYPE_TOVRA, kDevKey);
    answer(R"({"t":"ok"})", AES_KEY_TYPE_DEFAULT);
    request_ctx_t ctx;
    ctx.has_text = true;
    ctx.text = "aabbccddeeff01";
    process(received(seal("{\"t\":\"ret\"}", kHomeKey, AES_KEY_TYPE_RANDOM, "cloud", ""),
                     sock(SOCKET_CONNECT_TYPE_MQTT), ctx));
    ASSERT_EQ(1u, written.size());
    EXPECT_STREQ((std::string("response/") + kHomeMac + "/aabbccddeeff").c_str(), written[0].to.topic);

    request_type_t send;
    send.data_type = DATA_TYPE_ONLY_SEND;
    send.data = "jsonStatus_mqtt";
    send.sockinfo = sock(SOCKET_CONNECT_TYPE_MQTT);
    send.ctx.dev = gang;
    process(std::move(send));
    ASSERT_EQ(2u, written.size());
    EXPECT_STREQ((std::string("jsonStatus/") + kHomeMac + "/aabbccddeeff01").c_str(), written[1].to.topic);
    EXPECT_EQ("0", member_str(written[1].data, "tcid"));
}

// A cloud answer that names SceneTag carries the extras the handlers build
// (the devices offline); a LAN answer carries none.
TEST_F(RequestTest, CloudAnswersCarryTheSceneTagExtras) {
    const std::string mac = "a1b2c3d4e5f6";
    add_dev(mac, DEV_TYPE_UDP, kDevKey);  // offline
    answer(R"({"t":"res","opt":["Pow","SceneTag"],"p":[1,3]})", AES_KEY_TYPE_RANDOM);
    ASSERT_EQ(0, process(received(seal("{\"t\":\"ret\"}", kHomeKey, AES_KEY_TYPE_RANDOM, "cloud", ""),
                                  sock(SOCKET_CONNECT_TYPE_MQTT))));
    ASSERT_EQ(0, process(received(seal("{\"t\":\"ret\"}", kDevKey, AES_KEY_TYPE_RANDOM, mac),
                                  sock(SOCKET_CONNECT_TYPE_UDP))));
    ASSERT_EQ(2u, written.size());
    cJSON *cloud = cJSON_Parse(written[0].data.c_str());
    char *extras = cJSON_PrintUnformatted(cJSON_GetObjectItem(cloud, "extras"));
    EXPECT_STREQ(R"({"dev":1,"offline":["a1b2c3d4e5f6"]})", extras);
    cJSON_free(extras);
    cJSON_Delete(cloud);
    EXPECT_EQ("", member_str(written[1].data, "extras"));
    EXPECT_EQ((std::vector<std::string>{"t", "i", "cid", "tcid", "msgId", "pack", "enNet"}),
              members(written[1].data));
}

// Host-initiated packets: to a record over the LAN they take the record's
// socket, identifier and running message id; broadcasts carry no target;
// over BLE the host's own record answers with the context handed through.
TEST_F(RequestTest, HostInitiatedPacketsFindTheirTarget) {
    const std::string mac = "a1b2c3d4e5f6";
    auto dev = add_dev(mac, DEV_TYPE_UDP, kDevKey);
    orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) {
        d.dev_socket = sock(SOCKET_CONNECT_TYPE_TCP, 21, 2000);
        d.msgId = 41;
    });
    answer(R"({"t":"syncDev"})", AES_KEY_TYPE_RANDOM);
    auto send = [](const char *name, connect_type_t conn, request_ctx_t ctx) {
        request_type_t r;
        r.data_type = DATA_TYPE_ONLY_SEND;
        r.data = name;
        r.sockinfo = sock(conn);
        r.ctx = std::move(ctx);
        return r;
    };
    request_ctx_t with_dev;
    with_dev.dev = dev;
    ASSERT_EQ(0, process(send("syncDev", SOCKET_CONNECT_TYPE_UDP, with_dev)));
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ(21, written[0].to.fd);
    EXPECT_EQ(SOCKET_CONNECT_TYPE_TCP, written[0].to.type);
    EXPECT_EQ(mac, member_str(written[0].data, "tcid"));
    EXPECT_EQ("41", member_str(written[0].data, "msgId"));
    EXPECT_EQ(R"({"t":"syncDev"})"
              "\n",
              orvictl_open(written[0].data, kDevKey));

    ASSERT_EQ(0, process(send("jsonStatus", SOCKET_CONNECT_TYPE_MULTICAST, with_dev)));
    EXPECT_EQ(SOCKET_CONNECT_TYPE_MULTICAST, written[1].to.type);
    EXPECT_EQ("", member_str(written[1].data, "tcid"));
    EXPECT_EQ(R"({"t":"syncDev"})"
              "\n",
              orvictl_open(written[1].data, kRandomKey));

    answer(R"({"t":"scan"})", AES_KEY_TYPE_DEFAULT);
    ASSERT_EQ(0, process(send("scan", SOCKET_CONNECT_TYPE_BROADCAST, {})));
    EXPECT_EQ("", written[2].mac);
    EXPECT_EQ("", member_str(written[2].data, "tcid"));

    request_ctx_t ble;
    ble.value = 2;
    answer(R"({"t":"bleinfo"})", AES_KEY_TYPE_RANDOM);
    ASSERT_EQ(0, process(send("bleinfo", SOCKET_CONNECT_TYPE_BLE, ble)));
    EXPECT_EQ(kHostMac, written[3].mac);
    EXPECT_EQ(2, g_ctx_value);
    EXPECT_EQ(R"({"t":"bleinfo"})"
              "\n",
              orvictl_open(written[3].data, kRandomKey));
}

}  // namespace
