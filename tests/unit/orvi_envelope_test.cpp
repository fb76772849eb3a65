#include <gtest/gtest.h>

#include <string>

#include "orvi_aes.h"
#include "orvi_envelope.h"

namespace {
const std::string kHome = "f0e1d2c3b4a59687";

struct Checked {
    int rc;
    orvi_envelope_t env;
    std::string log;
};

Checked check(const std::string &text, connect_type_t conn) {
    Checked c;
    testing::internal::CaptureStdout();
    c.rc = orvi_envelope_check(text.data(), text.size(), conn, kHome, &c.env);
    c.log = testing::internal::GetCapturedStdout();
    return c;
}
}  // namespace

// Each refused packet is dropped with the line naming its fault.
TEST(EnvelopeCheck, DropsWithTheReasonLogged) {
    const auto UDP = SOCKET_CONNECT_TYPE_UDP, MQTT = SOCKET_CONNECT_TYPE_MQTT, BLE = SOCKET_CONNECT_TYPE_BLE;
    struct Case {
        std::string text;
        connect_type_t conn;
        const char *line;
    } cases[] = {
        {R"({"t":"pack",)", UDP, "pack packet is err!"},
        {R"({"i":0,"pack":"x"})", UDP, "pack packet have not 't' key!"},
        {R"({"t":"pack","i":0,"cid":"a","tcid":"","pack":"x"})", UDP, "pack packet have not complete!"},
        {R"({"t":"pack","i":0,"tcid":"","msgId":1,"pack":"x"})", UDP, "pack packet have not complete!"},
        {R"({"t":"pack","cid":"a","tcid":"","msgId":1,"pack":"x"})", UDP, "pack packet have not complete!"},
        {R"({"t":"pack","i":0,"cid":"a","tcid":"","msgId":1})", UDP, "pack packet have not complete!"},
        {R"({"t":"pack","i":0,"cid":"a","pack":"x"})", MQTT, "pack packet have not complete!"},
        {R"({"t":"pack","i":0,"uid":0,"pack":"x"})", BLE, "pack packet have not complete!"},
        {R"({"t":"pack","i":0,"cid":5,"tcid":"","msgId":1,"pack":"x"})", UDP,
         "Wrong type of cid or tcid in the pack!"},
        {R"({"t":"pack","i":0,"cid":"a","tcid":null,"msgId":1,"pack":"x"})", UDP,
         "Wrong type of cid or tcid in the pack!"},
        {R"({"t":"pack","i":0,"pIn":1,"cid":[],"pack":"x"})", BLE, "Wrong type of cid or tcid in the pack!"},
        {R"({"t":"pack","i":0,"cid":"a1b2c3d4e5f6a7b8c","tcid":"","msgId":1,"pack":"x"})", UDP,
         "cid or tcid is longer than 16 characters in the pack!"},
        {R"({"t":"pack","i":0,"cid":"a","tcid":"f0e1d2c3b4a596870","msgId":1,"pack":"x"})", UDP,
         "cid or tcid is longer than 16 characters in the pack!"},
        {R"({"t":"pack","i":2,"cid":"a","tcid":"","msgId":1,"pack":"x"})", UDP, "Wrong key family 'i'"},
        {R"({"t":"pack","i":"0","cid":"a","tcid":"","msgId":1,"pack":"x"})", UDP, "Wrong key family 'i'"},
        {R"({"t":"pack","i":0.5,"cid":"a","tcid":"","msgId":1,"pack":"x"})", UDP, "Wrong key family 'i'"},
        {R"({"t":"pack","i":0,"cid":"a","tcid":"","msgId":1,"pack":{"t":"status"}})", UDP,
         "Wrong type of pack in the pack!"},
        {R"({"t":"pack","i":0,"cid":"f0e1d2c3b4a59687","tcid":"","msgId":1,"pack":"x"})", UDP,
         "This is a package for myself!"},
        {R"({"t":"pack","i":0,"cid":"a","tcid":"0000000000000001","msgId":1,"pack":"x"})", UDP,
         "This package is not for the host!"},
        {R"({"t":"pack","i":0,"cid":"a","tcid":"","msgId":1,"pack":""})", UDP, "packet is null form app"},
    };
    for (const auto &c : cases) {
        Checked r = check(c.text, c.conn);
        EXPECT_EQ(-1, r.rc) << c.text;
        EXPECT_NE(std::string::npos, r.log.find(std::string("[W][orvi_envelope_check]"))) << c.text;
        EXPECT_NE(std::string::npos, r.log.find(c.line)) << c.text << "\n" << r.log;
    }
}

TEST(EnvelopeCheck, AcceptsWhatEachChannelRequires) {
    struct Case {
        std::string text;
        connect_type_t conn;
        aes_key_t family;
        const char *cid;
        const char *tcid;
        bool has_msgId;
        uint32_t msgId;
    } cases[] = {
        {R"({"t":"pack","i":0,"cid":"a1b2c3d4e5f6","tcid":"","msgId":12,"pack":"QUJD"})",
         SOCKET_CONNECT_TYPE_UDP, AES_KEY_TYPE_RANDOM, "a1b2c3d4e5f6", "", true, 12},
        {R"({"t":"pack","i":1,"cid":"a1b2c3d4e5f6a7b8","tcid":"f0e1d2c3b4a59687","msgId":4294967295,"pack":"QUJD"})",
         SOCKET_CONNECT_TYPE_TCP, AES_KEY_TYPE_DEFAULT, "a1b2c3d4e5f6a7b8", "f0e1d2c3b4a59687", true,
         4294967295u},
        {R"({"t":"pack","i":0,"cid":"app","tcid":"","pack":"QUJD"})", SOCKET_CONNECT_TYPE_MQTT,
         AES_KEY_TYPE_RANDOM, "app", "", false, 0},
        {R"({"t":"pack","i":0,"cid":"app","tcid":"","msgId":"7","pack":"QUJD"})", SOCKET_CONNECT_TYPE_MQTT,
         AES_KEY_TYPE_RANDOM, "app", "", false, 0},
        {R"({"t":"pack","i":0,"pIn":1,"uid":0,"pack":"QUJD"})", SOCKET_CONNECT_TYPE_BLE, AES_KEY_TYPE_RANDOM,
         "", "", false, 0},
        // An empty "cid" is nobody, not the host's own echo, even before a home is bound.
        {R"({"t":"pack","i":1,"cid":"","tcid":"","msgId":3,"pack":"QUJD"})", SOCKET_CONNECT_TYPE_UDP,
         AES_KEY_TYPE_DEFAULT, "", "", true, 3},
    };
    for (const auto &c : cases) {
        Checked r = check(c.text, c.conn);
        ASSERT_EQ(0, r.rc) << c.text << "\n" << r.log;
        EXPECT_TRUE(r.env.is_pack);
        EXPECT_EQ(c.family, r.env.key_type) << c.text;
        EXPECT_STREQ(c.cid, r.env.cid) << c.text;
        EXPECT_STREQ(c.tcid, r.env.tcid) << c.text;
        EXPECT_EQ(c.has_msgId, r.env.has_msgId) << c.text;
        EXPECT_EQ(c.msgId, r.env.msgId) << c.text;
        EXPECT_EQ("QUJD", r.env.pack);
    }
    EXPECT_EQ(1, check(R"({"t":"pack","i":0,"pIn":1,"pack":"QUJD"})", SOCKET_CONNECT_TYPE_BLE).env.pIn);
}

TEST(EnvelopeCheck, PlainPacketPassesWholeAsFamilyNone) {
    for (auto conn : {SOCKET_CONNECT_TYPE_UDP, SOCKET_CONNECT_TYPE_MQTT, SOCKET_CONNECT_TYPE_BLE}) {
        Checked r = check(R"({"t":"status","mac":"a1b2c3d4e5f6"})", conn);
        EXPECT_EQ(0, r.rc);
        EXPECT_FALSE(r.env.is_pack);
        EXPECT_EQ(AES_KEY_TYPE_NONE, r.env.key_type);
        EXPECT_TRUE(r.env.pack.empty());
        EXPECT_TRUE(r.log.empty()) << r.log;
    }
    orvi_envelope_t env;
    testing::internal::CaptureStdout();
    EXPECT_EQ(-2, orvi_envelope_check(nullptr, 0, SOCKET_CONNECT_TYPE_UDP, kHome, &env));
    testing::internal::GetCapturedStdout();
}

TEST(EnvelopeBuild, MembersInTheHostsOrder) {
    std::string out;
    ASSERT_EQ(0, orvi_envelope_build(AES_KEY_TYPE_RANDOM, SOCKET_CONNECT_TYPE_UDP, kHome, "a1b2c3d4e5f6", 12,
                                     "QUJD", 1, nullptr, out));
    EXPECT_EQ(
        R"({"t":"pack","i":0,"cid":"f0e1d2c3b4a59687","tcid":"a1b2c3d4e5f6","msgId":12,"pack":"QUJD","enNet":1})",
        out);

    ASSERT_EQ(0, orvi_envelope_build(AES_KEY_TYPE_DEFAULT, SOCKET_CONNECT_TYPE_BLE, kHome, "ignored", 9,
                                     "QUJD", -1, nullptr, out));
    EXPECT_EQ(R"({"t":"pack","i":1,"pIn":1,"uid":0,"pack":"QUJD"})", out);

    cJSON *extras = cJSON_Parse(R"({"sceneTag":"s1","n":2})");
    ASSERT_EQ(0, orvi_envelope_build(AES_KEY_TYPE_RANDOM, SOCKET_CONNECT_TYPE_MQTT, kHome, "0", 4294967295u,
                                     "QUJD", -1, extras, out));
    cJSON_Delete(extras);
    EXPECT_EQ(
        R"({"t":"pack","i":0,"cid":"f0e1d2c3b4a59687","tcid":"0","msgId":4294967295,"pack":"QUJD","extras":{"sceneTag":"s1","n":2}})",
        out);

    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, orvi_envelope_build(AES_KEY_TYPE_NONE, SOCKET_CONNECT_TYPE_UDP, kHome, "", 0, "QUJD", -1,
                                      nullptr, out));
    testing::internal::GetCapturedStdout();
}

// A response sealed by one host opens at the peer it names.
TEST(EnvelopeBuild, SealedResponseOpensAtThePeer) {
    const char key[] = "0123456789abcdef";
    std::string inner = R"({"t":"status","r":200})", text = inner, env;
    ASSERT_EQ(0, orvi_aes_encrypt(key, text));
    ASSERT_EQ(0, orvi_envelope_build(AES_KEY_TYPE_RANDOM, SOCKET_CONNECT_TYPE_UDP, "a1b2c3d4e5f6a7b8", kHome,
                                     77, text, -1, nullptr, env));
    Checked r = check(env, SOCKET_CONNECT_TYPE_UDP);
    ASSERT_EQ(0, r.rc) << r.log;
    EXPECT_STREQ("a1b2c3d4e5f6a7b8", r.env.cid);
    EXPECT_EQ(77u, r.env.msgId);
    ASSERT_EQ(0, orvi_aes_decrypt(key, r.env.pack));
    EXPECT_EQ(inner + "\n", r.env.pack);
}

TEST(EnvelopeKeys, ReceivedEnvelope) {
    const char def[] = "default-key-16ch", home[] = "home-key-16-char", sender[] = "sender-key-16chr";
    struct Case {
        aes_key_t family;
        connect_type_t conn;
        const char *sender;
        const char *want;
    } cases[] = {
        {AES_KEY_TYPE_DEFAULT, SOCKET_CONNECT_TYPE_UDP, sender, def},
        {AES_KEY_TYPE_DEFAULT, SOCKET_CONNECT_TYPE_UDP, nullptr,
         def},  // unregistered may use the default key
        {AES_KEY_TYPE_DEFAULT, SOCKET_CONNECT_TYPE_MQTT, nullptr, def},
        {AES_KEY_TYPE_RANDOM, SOCKET_CONNECT_TYPE_MQTT, nullptr, home},
        {AES_KEY_TYPE_RANDOM, SOCKET_CONNECT_TYPE_MQTT, sender, home},
        {AES_KEY_TYPE_RANDOM, SOCKET_CONNECT_TYPE_UDP, sender, sender},
        {AES_KEY_TYPE_RANDOM, SOCKET_CONNECT_TYPE_BLE, sender, sender},  // the host's own record
        {AES_KEY_TYPE_RANDOM, SOCKET_CONNECT_TYPE_TCP, nullptr, nullptr},
        {AES_KEY_TYPE_NONE, SOCKET_CONNECT_TYPE_UDP, sender, nullptr},
    };
    for (const auto &c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.want, orvi_envelope_rx_key(c.family, c.conn, def, home, c.sender))
            << c.family << " " << c.conn;
        std::string log = testing::internal::GetCapturedStdout();
        if (c.family == AES_KEY_TYPE_RANDOM && c.want == nullptr) {
            EXPECT_NE(std::string::npos, log.find("Unbound device cannot be decrypted with private key!"))
                << log;
        }
    }
}

TEST(EnvelopeKeys, Response) {
    const char def[] = "default-key-16ch", rnd[] = "random-key-16chr", target[] = "target-key-16chr";
    struct Case {
        aes_key_t family;
        connect_type_t conn;
        dev_type_t type;
        const char *want;
    } cases[] = {
        {AES_KEY_TYPE_NONE, SOCKET_CONNECT_TYPE_UDP, DEV_TYPE_UDP, nullptr},
        {AES_KEY_TYPE_DEFAULT, SOCKET_CONNECT_TYPE_MQTT, DEV_TYPE_CENTCTRL, def},
        {AES_KEY_TYPE_RANDOM, SOCKET_CONNECT_TYPE_MULTICAST, DEV_TYPE_UDP, rnd},
        {AES_KEY_TYPE_RANDOM, SOCKET_CONNECT_TYPE_MQTT, DEV_TYPE_PWRGATEWAY, rnd},
        {AES_KEY_TYPE_RANDOM, SOCKET_CONNECT_TYPE_MQTT, DEV_TYPE_CENTCTRL, rnd},
        {AES_KEY_TYPE_RANDOM, SOCKET_CONNECT_TYPE_MQTT, DEV_TYPE_HOST, target},
        {AES_KEY_TYPE_RANDOM, SOCKET_CONNECT_TYPE_UDP, DEV_TYPE_CENTCTRL, target},
        {AES_KEY_TYPE_RANDOM, SOCKET_CONNECT_TYPE_BLE, DEV_TYPE_HOST, target},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.want, orvi_envelope_tx_key(c.family, c.conn, c.type, def, rnd, target))
            << c.family << " " << c.conn << " " << c.type;
}
