// The daemon's start-up seen from outside the virtual board: its banner and
// log format, the identity it creates on first start and keeps afterwards,
// the watchdog heartbeat, the configuration file's repair and the board
// modules' log-level file.
#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <string>

#include "board.h"

namespace {

using namespace std::chrono_literals;

// A minimal reader of one string member of the formatted configuration file.
std::string config_value(const std::string &text, const std::string &key) {
    std::smatch m;
    std::regex re("\"" + key + "\":\\s*\"([^\"]*)\"");
    return std::regex_search(text, m, re) ? m[1].str() : "";
}

class StartupScenario : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(board_.start()); }
    // Waits until the first-start credentials are saved and the broker restarted.
    void wait_identity() { ASSERT_TRUE(board_.wait_for_log("randomkey -> ", 20s)) << board_.logs(); }
    std::string config() const { return board_.read("/data/domivault/data/orvi_params.json"); }
    Board board_;
};

TEST_F(StartupScenario, BannerAndLogLinesHaveTheBoardFormat) {
    wait_identity();
    std::string log = board_.logs();
    EXPECT_NE(std::string::npos, log.find("   #######    ########    ##     ##   ########  \n"));
    EXPECT_NE(std::string::npos,
              log.find("----------------------OH7050200+HC01V1.0.3.img---------------------\n"));
    // Blank-padded stamp, level letter, function, line, then the message.
    std::regex line(R"(^\[\d{4}-[ \d]\d-[ \d]\d [ \d]\d:[ \d]\d:[ \d]\d\]\[[EWID]\]\[\w+\]\[\d+\]: .*)");
    std::regex stamp(R"(\[\d{4}-[ 1]\d-)");
    int checked = 0;
    size_t at = 0;
    while (at < log.size()) {
        size_t nl = log.find('\n', at);
        std::string l = log.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        at = nl == std::string::npos ? log.size() : nl + 1;
        if (l.rfind("[2", 0) != 0 || l.find("][I][") == std::string::npos) continue;
        EXPECT_TRUE(std::regex_match(l, line)) << l;
        ++checked;
    }
    EXPECT_GT(checked, 10);
    EXPECT_TRUE(
        std::regex_search(log, std::regex(R"(\[I\]\[orvi_main\]\[\d+\]: randomkey -> \*{6})")));
}

// The services still to come say at start-up that they are not built; the
// periodic host status, which reports what the host itself knows, starts
// all the same.
TEST_F(StartupScenario, ServicesStillToComeSaySoAndTheHostStatusRuns) {
    wait_identity();
    const std::string log = board_.logs();
    EXPECT_NE(std::string::npos, log.find("update_host_jsonstatus_timer_pthread create success!!!")) << log;
    for (const char *call :
         {"ota_package_verify", "redis_checking", "orvi_so_config_load", "orvi_sd_service_init",
          "server_timer_app", "server_key", "app_info_server",
          "host_led_started_api"})
        EXPECT_NE(std::string::npos, log.find(std::string("]: ") + call + ": not built")) << call;
}

TEST_F(StartupScenario, FirstStartCreatesAnIdentityTheBrokerAccepts) {
    wait_identity();
    std::string id = board_.read("/data/domivault/data/MACFile.config");
    EXPECT_TRUE(std::regex_match(id, std::regex("020000aabb01[0-9]{4}"))) << id;

    std::string cfg = config();
    EXPECT_TRUE(std::regex_match(config_value(cfg, "randomkey"), std::regex("[0-9A-Za-z]{16}"))) << cfg;
    EXPECT_EQ(id, config_value(cfg, "mqttUser"));
    std::string psw = config_value(cfg, "mqttPsw");
    EXPECT_TRUE(std::regex_match(psw, std::regex("[0-9A-F]{32}"))) << cfg;
    EXPECT_EQ(psw, config_value(cfg, "redisPsw"));
    EXPECT_TRUE(board_.ran("systemctl restart mosquitto"));
    EXPECT_TRUE(board_.ran("systemctl restart redis"));

    // The real broker and Redis take the generated credentials, and only them.
    auto pub = [&](const std::string &user, const std::string &pass) {
        return board_
            .exec({"mosquitto_pub", "-h", "127.0.0.1", "-p", "1883", "-u", user, "-P", pass, "-t", "probe",
                   "-m", "1"})
            .status;
    };
    EXPECT_EQ(0, pub(id, psw));
    EXPECT_NE(0, pub(id, "wrong-password"));
    Board::Result r = board_.exec({"redis-cli", "-h", "127.0.0.1", "--no-auth-warning", "-a", psw, "ping"});
    EXPECT_EQ("PONG\n", r.out);
}

TEST_F(StartupScenario, SecondStartKeepsTheIdentity) {
    wait_identity();
    std::string id = board_.read("/data/domivault/data/MACFile.config");
    std::string key = config_value(config(), "randomkey");
    std::string psw = config_value(config(), "mqttPsw");
    board_.clear_commands();
    ASSERT_TRUE(board_.restart());
    ASSERT_TRUE(board_.wait_for_log("randomkey -> ", 20s));
    EXPECT_EQ(id, board_.read("/data/domivault/data/MACFile.config"));
    EXPECT_EQ(key, config_value(config(), "randomkey"));
    EXPECT_EQ(psw, config_value(config(), "mqttPsw"));
    std::string log = board_.logs();
    EXPECT_NE(std::string::npos, log.find("randomkey is already exists! -> ******"));
    EXPECT_NE(std::string::npos, log.find("mqttPsw is already exists!"));
    // Neither secret ever reached the log, first boot or second.
    EXPECT_EQ(std::string::npos, log.find(key));
    EXPECT_EQ(std::string::npos, log.find(psw));
    EXPECT_FALSE(board_.ran("systemctl restart mosquitto"));
}

TEST_F(StartupScenario, DamagedConfigurationIsRestoredFromItsBackups) {
    wait_identity();
    std::string good = config();
    std::string key = config_value(good, "randomkey");
    ASSERT_EQ(16u, key.size());
    for (std::string damage : {std::string("{\"t\": \"par"), std::string("garbage\x01\x02 not json")}) {
        SCOPED_TRACE(damage);
        ASSERT_TRUE(board_.stop());
        board_.write("/data/domivault/data/orvi_params.json", damage);
        ASSERT_TRUE(board_.start());
        ASSERT_TRUE(board_.wait_for_log("randomkey -> ******", 20s)) << board_.logs();
        EXPECT_EQ(key, config_value(config(), "randomkey"));
        EXPECT_NE(std::string::npos, board_.logs().find("file is error ,cover it by backup file!"));
    }
}

TEST_F(StartupScenario, HeartbeatFileIsRewrittenEveryTenSeconds) {
    const std::string hb = "/data/domivault/SoftWDT/orvi_hc_main.hb";
    ASSERT_TRUE(board_.wait_for_log("feed watchdog", 15s));
    EXPECT_EQ("1\n", board_.read(hb));
    // Removed, it comes back at the next feed.
    ASSERT_EQ(0, board_.exec({"rm", "-f", hb}).status);
    bool back = false;
    for (int i = 0; i < 130 && !back; ++i) {
        std::this_thread::sleep_for(100ms);
        back = board_.read(hb) == "1\n";
    }
    EXPECT_TRUE(back);
}

TEST_F(StartupScenario, LogLevelFileSetsTheBoardMaskAndIsEmptied) {
    const std::string f = "/data/domivault/loglevel.config";
    ASSERT_TRUE(board_.wait_for_log("randomkey -> ", 20s));
    board_.write(f, "8");
    ASSERT_TRUE(board_.wait_for_log("log level: 8", 15s)) << board_.logs();
    EXPECT_EQ("", board_.read(f));
    board_.write(f, "-1");
    ASSERT_TRUE(board_.wait_for_log("level :-1", 15s));
    EXPECT_EQ(std::string::npos, board_.logs().find("log level: -1"));
    EXPECT_EQ("", board_.read(f));
}

}  // namespace
