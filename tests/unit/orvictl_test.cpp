#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "orvi_aes.h"
#include "orvi_envelope.h"
#include "orvi_port.h"
#include "orvi_product.h"

namespace {
const std::string kKey = "0123456789abcdef";

struct Result {
    int rc;
    std::string out;
};

// Runs orvictl once per stage, piped, with `input` on standard input;
// standard error joins the output when `with_err` is set.
Result orvictl(const std::string &input, const std::vector<std::string> &stages, bool with_err = false) {
    const std::string bin = orvi_shell_quote(ORVI_BINARY_DIR "/bin/orvictl");
    std::string cmd = "printf %s " + orvi_shell_quote(input);
    for (const auto &args : stages)
        cmd += " | " + bin + " " + args;
    if (with_err) cmd = "(" + cmd + ") 2>&1";
    Result r;
    orvi_run_opts o;
    o.out = &r.out;
    r.rc = orvi_port_run_shell(cmd, o);
    return r;
}
}  // namespace

TEST(Orvictl, SealThenOpenGivesTheInnerPacketBack) {
    const std::string inners[] = {R"({"t":"status"})", R"x({"t":"jsonCmd","p":["it's", "$(x)", "é"]})x",
                                  R"({"t":"x","pad":")" + std::string(300, 'a') + "\"}"};
    for (const std::string &inner : inners) {
        Result r = orvictl(
            inner, {"seal --key " + kKey + " --i 1 --cid a1b2c3d4e5f6 --msgid 9", "open --key " + kKey});
        EXPECT_EQ(0, r.rc) << inner;
        EXPECT_EQ(inner + "\n", r.out);
    }
}

// The tool's envelope is the product's: the host's own checks accept it.
TEST(Orvictl, SealedEnvelopePassesTheHostsChecks) {
    Result r = orvictl(
        "{\"t\":\"hb\"}\n",
        {"seal --key=" + kKey + " --i 0 --cid a1b2c3d4e5f6 --tcid f0e1d2c3b4a59687 --msgid 4294967295"});
    ASSERT_EQ(0, r.rc) << r.out;
    orvi_envelope_t env;
    ASSERT_EQ(0, orvi_envelope_check(r.out.data(), r.out.size(), SOCKET_CONNECT_TYPE_UDP, "f0e1d2c3b4a59687",
                                     &env));
    EXPECT_EQ(AES_KEY_TYPE_RANDOM, env.key_type);
    EXPECT_STREQ("a1b2c3d4e5f6", env.cid);
    EXPECT_EQ(4294967295u, env.msgId);
    const std::string b64 = env.pack;
    ASSERT_EQ(0, orvi_aes_decrypt(kKey.c_str(), env.pack));
    EXPECT_EQ("{\"t\":\"hb\"}\n", env.pack);

    // The bare "pack" text, as it stands or as a JSON string, opens too; a
    // plain packet is printed as it is.
    for (const std::string &in : {b64 + "\n", "\"" + b64 + "\"", std::string("{\"t\":\"hb\"}")}) {
        Result o = orvictl(in, {"open --key " + kKey});
        EXPECT_EQ(0, o.rc) << in;
        EXPECT_EQ("{\"t\":\"hb\"}\n", o.out) << in;
    }
}

TEST(Orvictl, BadInputIsRefusedWithAMessage) {
    std::string other =
        R"({"t":"pack","i":1,"cid":"","tcid":"","msgId":0,"pack":"vfldV+Z7cqhitoCiFAdHYg=="})";
    struct Case {
        std::string input;
        std::string args;
        int rc;
        const char *message;
    } cases[] = {
        {"{}", "", 2, "usage: orvictl <command>"},
        {"{}", "frobnicate", 2, "unknown command 'frobnicate'"},
        {"{}", "seal", 2, "--key is required with --i 0"},
        {"{}", "seal --i 0", 2, "--key is required with --i 0"},
        {R"({"t":"pack","i":0,"pack":"vfldV+Z7cqhitoCiFAdHYg=="})", "open", 2,
         "--key is required: \"i\" 0 is sealed with the private key"},
        {"vfldV+Z7cqhitoCiFAdHYg==", "open", 2, "--key is required unless the envelope says \"i\" 1"},
        {"{}", "seal --key short", 2, "--key must be exactly 16 characters (got 5)"},
        {"{}", "seal --key " + kKey + " --i 2", 2, "--i must be 0"},
        {"{}", "seal --key " + kKey + " --cid a1b2c3d4e5f6a7b8c", 2, "at most 16 characters"},
        {"{}", "seal --key " + kKey + " --msgid -1", 2, "--msgid must be a number"},
        {"{}", "seal --key " + kKey + " --colour red", 2, "unknown option --colour"},
        {"{}", "seal --key", 2, "option --key needs a value"},
        {"not json", "seal --key " + kKey, 1, "not a JSON text"},
        {"\n", "seal --key " + kKey, 1, "no inner packet"},
        {other, "open --key fedcba9876543210", 1, "cannot decrypt"},
        {"", "open --key " + kKey, 1, "nothing on standard input"},
        {R"({"t":"pack","i":0})", "open --key " + kKey, 1, "no \"pack\" text"},
        {"vfldV+Z7cqhitoCi", "open --key " + kKey, 1, "cannot decrypt"},
        {"", "scene", 2, "give a VERB"},
        {"", "scene play --id 3", 2, "unknown VERB 'play'"},
        {"", "scene run --id 0", 2, "--id is a scene id, 1 to 65535"},
        {"", "scene run --id 65536", 2, "--id is a scene id, 1 to 65535"},
        {"", "scene set --id 3", 2, "set needs --mac"},
        {"", "scene set --id 3 --mac a,b --set Pow=1", 2, "set takes one --mac"},
        {"", "scene set --id 3 --mac a --set Pow", 2, "set takes one --mac"},
        {"", "scene bind --id 3 --mac a --key 11", 2, "--key 1..10"},
        {"", "scene run --id 3 --wait -1", 2, "--wait is a number"},
    };
    for (const auto &c : cases) {
        Result r = orvictl(c.input, {c.args}, true);
        EXPECT_EQ(c.rc, r.rc) << c.args;
        EXPECT_NE(std::string::npos, r.out.find(c.message)) << c.args << "\n" << r.out;
    }
}

// "i" 1 is the key every product carries: nobody has to be told it.
TEST(Orvictl, FamilyOneSealsAndOpensWithTheBuiltInDefaultKey) {
    Result sealed = orvictl(R"({"t":"UBind"})", {"seal --i 1"});
    ASSERT_EQ(0, sealed.rc) << sealed.out;
    orvi_envelope_t env;
    ASSERT_EQ(0, orvi_envelope_check(sealed.out.data(), sealed.out.size(), SOCKET_CONNECT_TYPE_UDP, "", &env));
    EXPECT_EQ(AES_KEY_TYPE_DEFAULT, env.key_type);
    ASSERT_EQ(0, orvi_aes_decrypt(ORVI_DEFAULT_KEY, env.pack));
    EXPECT_EQ("{\"t\":\"UBind\"}\n", env.pack);

    Result opened = orvictl(sealed.out, {"open"});
    EXPECT_EQ(0, opened.rc);
    EXPECT_EQ("{\"t\":\"UBind\"}\n", opened.out);
    // A key given still wins.
    Result other = orvictl(R"({"t":"x"})", {"seal --i 1 --key " + kKey, "open --key " + kKey});
    EXPECT_EQ("{\"t\":\"x\"}\n", other.out);
}

// A UDP port on the loopback: one that takes packets and never answers (a
// host that drops them), or one nothing listens on.
class LoopbackPort {
  public:
    explicit LoopbackPort(bool listening) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
        if (!listening) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~LoopbackPort() {
        if (fd_ >= 0) close(fd_);
    }
    std::string port() const { return std::to_string(port_); }

  private:
    int fd_ = -1;
    unsigned short port_ = 0;
};

TEST(Orvictl, AppSaysWhatItWaitedForWhenNothingAnswers) {
    LoopbackPort silent(true), closed(false);
    const std::string status = orvi_shell_quote(R"({"t":"status"})");
    const std::string to_silent = "app --host 127.0.0.1 --port " + silent.port() + " --wait 300 ";
    struct Case {
        std::string args;
        int rc;
        std::vector<std::string> says;
    } cases[] = {
        // An app the host does not know (it forgot it at a reboot) is dropped.
        {to_silent + "--i 0 --key " + kKey + " " + status, 1,
         {"no answer to \"status\" from 127.0.0.1:" + silent.port() + " (udp) within 300 ms",
          "forgets the app's binding when it restarts", "Bind the app again with UBind"}},
        {to_silent + status, 1, {"no answer to \"status\"", "vboard status DIR", "vboard logs DIR"}},
        {to_silent + "--expect dat " + status, 1,
         {"no \"dat\" from 127.0.0.1:" + silent.port() + " within 300 ms, nothing came"}},
        {"app --host 127.0.0.1 --port " + closed.port() + " --wait 2000 " + status, 1,
         {"nothing listens on 127.0.0.1:" + closed.port() + " (udp)"}},
        // Sent and not waited for: nothing to report.
        {"app --host 127.0.0.1 --port " + silent.port() + " --wait 0 " + status, 0, {}},
    };
    for (const Case &c : cases) {
        Result r = orvictl("", {c.args}, true);
        EXPECT_EQ(c.rc, r.rc) << c.args << "\n" << r.out;
        for (const std::string &text : c.says)
            EXPECT_NE(std::string::npos, r.out.find(text)) << c.args << "\n" << r.out;
    }
}
