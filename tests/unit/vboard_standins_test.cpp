// The recording stand-ins of the board tools, outside a board (as every unit
// test sees them): they answer in the board's formats, read their scripted
// state, record each run, and never act on the machine.
#include <gtest/gtest.h>

#include <string>

#include "orvi_port.h"
#include "scratch_root.h"

namespace {

struct Out {
    int status;
    std::string text;
};

Out sh(const std::string &cmd) {
    Out o;
    orvi_run_opts opts;
    opts.out = &o.text;
    opts.timeout_ms = 10000;
    o.status = orvi_port_run_shell(cmd, opts);
    return o;
}

TEST(VboardStandins, AnswerTheDaemonsPipelinesInTheBoardsFormats) {
    struct Case {
        const char *state;  // "name=value" written first, or ""
        const char *cmd;
        const char *out;
    } cases[] = {
        {"", "ifconfig eth0 | grep 'HWaddr' | awk '{ print $5}'", "02:00:00:AA:BB:01\n"},
        {"", "ifconfig eth0 | grep 'inet addr' | awk '{ print $2}' | awk -F: '{print $2}'", "192.0.2.10\n"},
        {"eth0_mac=02:00:00:01:02:03", "ifconfig eth0 | grep 'HWaddr' | awk '{ print $5}'",
         "02:00:00:01:02:03\n"},
        {"eth0_ip=192.0.2.99", "ifconfig eth0 | grep 'inet addr' | awk '{ print $2}' | awk -F: '{print $2}'",
         "192.0.2.99\n"},
        {"", "ifconfig wlan0 | grep -c 'inet addr'", "0\n"},
        {"", "ping -w 3 198.51.100.1 | grep 'loss' | awk '{print $7}'", "0%\n"},
        {"ping=fail", "ping -w 3 198.51.100.1 | grep 'loss' | awk '{print $7}'", "100%\n"},
        {"",
         "timedatectl set-time \"2024-05-02 10:00:00\"; timedatectl status | grep 'Local time' | awk '{print "
         "$4}'",
         "2024-05-02\n"},
        {"timedatectl=fail", "timedatectl set-time \"2024-05-02 10:00:00\"; echo $?", "1\n"},
        {"", "ntpdate ntp.example | grep -c offset", "1\n"},
        {"ntpdate=fail", "ntpdate ntp.example 2>/dev/null | grep -c offset", "0\n"},
        {"", "wpa_cli -i wlan0 add_network; wpa_cli -i wlan0 add_network", "0\n1\n"},
        {"", "wpa_cli -i wlan0 status | grep wpa_state", "wpa_state=DISCONNECTED\n"},
        {"wpa_state=SCANNING", "wpa_cli -i wlan0 status | grep wpa_state", "wpa_state=SCANNING\n"},
        // The supplicant's rules for keys and names: refused with "FAIL", exit status 0.
        {"", "wpa_cli add_network >/dev/null; wpa_cli set_network 0 psk '\"7 chars\"'; echo $?", "FAIL\n0\n"},
        {"", "wpa_cli add_network >/dev/null; wpa_cli set_network 0 psk '\"8 chars!\"'", "OK\n"},
        {"", "wpa_cli add_network >/dev/null; wpa_cli set_network 0 psk 0123456789abcdef", "FAIL\n"},
        {"", "wpa_cli add_network >/dev/null; wpa_cli set_network 0 ssid 68656c6c6f", "OK\n"},
        {"", "wpa_cli add_network >/dev/null; wpa_cli set_network 0 ssid 68656c6c6", "FAIL\n"},
        {"", "wpa_cli add_network >/dev/null; wpa_cli set_network 0 key_mgmt '*'", "FAIL\n"},
        {"", "wpa_cli add_network >/dev/null; wpa_cli set_network 0 ieee80211w 3", "FAIL\n"},
        // A right key moves one step per status query.
        {"wifi_networks=home\t12345678",
         "wpa_cli add_network >/dev/null; wpa_cli set_network 0 ssid '\"home\"' >/dev/null;"
         "wpa_cli set_network 0 psk '\"12345678\"' >/dev/null; wpa_cli set_network 0 key_mgmt WPA-PSK >/dev/null;"
         "wpa_cli enable_network 0 >/dev/null; for i in 1 2 3 4 5; do wpa_cli status | grep wpa_state; done",
         "wpa_state=SCANNING\nwpa_state=ASSOCIATING\nwpa_state=4WAY_HANDSHAKE\nwpa_state=COMPLETED\n"
         "wpa_state=COMPLETED\n"},
        {"wifi_networks=home\t12345678",
         "wpa_cli add_network >/dev/null; wpa_cli set_network 0 ssid '\"home\"' >/dev/null;"
         "wpa_cli set_network 0 psk '\"87654321\"' >/dev/null; wpa_cli set_network 0 key_mgmt WPA-PSK >/dev/null;"
         "wpa_cli enable_network 0 >/dev/null; for i in 1 2 3 4 5; do wpa_cli status | grep wpa_state; done",
         "wpa_state=SCANNING\nwpa_state=ASSOCIATING\nwpa_state=4WAY_HANDSHAKE\nwpa_state=DISCONNECTED\n"
         "wpa_state=DISCONNECTED\n"},
        {"", "mount /dev/mmcblk1p1 /home/root/sdcard -o sync && cd /tmp && df | grep -c sdcard", "1\n"},
        {"", "umount /home/root/sdcard; echo $?", "1\n"},
        {"mount=fail", "mount /dev/mmcblk1p1 /home/root/sdcard 2>/dev/null; echo $?", "255\n"},
        {"", "udhcpc -i eth0 -x hostname:board | tail -1",
         "udhcpc: lease of 192.0.2.10 obtained from 192.0.2.1, lease time 86400\n"},
    };
    for (const Case &c : cases) {
        ScratchRoot root;
        std::string state = c.state;
        if (!state.empty()) {
            size_t eq = state.find('=');
            root.write("/vboard/state/" + state.substr(0, eq), state.substr(eq + 1) + "\n");
        }
        EXPECT_EQ(c.out, sh(c.cmd).text) << c.cmd << " [" << c.state << "]";
    }
}

TEST(VboardStandins, WifiNetworksAreKeptAcrossCalls) {
    ScratchRoot root;
    sh("wpa_cli -i wlan0 add_network; wpa_cli -i wlan0 add_network");
    EXPECT_EQ("OK\n", sh("wpa_cli -i wlan0 set_network 0 ssid '\"my home\"'").text);
    EXPECT_EQ("OK\n", sh("wpa_cli -i wlan0 enable_network 0").text);
    EXPECT_EQ("FAIL\n", sh("wpa_cli -i wlan0 set_network 7 ssid '\"x\"'").text);
    EXPECT_EQ("network id / ssid / bssid / flags\n0\tmy home\tany\t[CURRENT]\n1\t\tany\t[DISABLED]\n",
              sh("wpa_cli -i wlan0 list_networks").text);
    Out st = sh("wpa_cli -i wlan0 status");
    EXPECT_NE(std::string::npos, st.text.find("ssid=my home\n"));
    EXPECT_NE(std::string::npos, st.text.find("wpa_state=COMPLETED\n"));
    EXPECT_EQ("OK\n", sh("wpa_cli -i wlan0 remove_network 0").text);
    EXPECT_EQ("network id / ssid / bssid / flags\n1\t\tany\t[DISABLED]\n",
              sh("wpa_cli -i wlan0 list_networks").text);
}

TEST(VboardStandins, OutsideABoardTheyOnlyRecord) {
    ScratchRoot root;
    const char *cmds[] = {"reboot",
                          "systemctl restart mosquitto",
                          "systemctl stop redis",
                          "killall udhcpc",
                          "wpa_supplicant -i wlan0 -c /etc/wpa_supplicant.conf -D nl80211 -B",
                          "fdisk /dev/mmcblk1"};
    for (const char *c : cmds)
        EXPECT_EQ(0, sh(std::string(c) + " </dev/null").status) << c;
    // pidof never hands out a pid of the machine: only the scripted one.
    EXPECT_EQ(1, sh("pidof init sh").status);
    root.write("/vboard/state/pidof_wpa_supplicant", "4242\n");
    EXPECT_EQ("4242\n", sh("pidof wpa_supplicant").text);
    std::vector<std::string> want(std::begin(cmds), std::end(cmds));
    want.push_back("pidof init sh");
    want.push_back("pidof wpa_supplicant");
    EXPECT_EQ(want, root.commands());
}

TEST(VboardStandins, RecordOneLinePerRunWithBlanksBetweenWords) {
    ScratchRoot root;
    sh("ifconfig eth0 192.0.2.5 up; timedatectl set-time '2024-01-02 03:04:05'; ping -w 3 'multi\nline'");
    std::vector<std::string> want = {"ifconfig eth0 192.0.2.5 up", "timedatectl set-time 2024-01-02 03:04:05",
                                     "ping -w 3 multi line"};
    EXPECT_EQ(want, root.commands());
    // "ifconfig IFACE ADDR" stores the address for later answers.
    EXPECT_EQ("192.0.2.5\n",
              sh("ifconfig eth0 | grep 'inet addr' | awk '{ print $2}' | awk -F: '{print $2}'").text);
}

}  // namespace
