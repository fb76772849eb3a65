// The network monitor. Its decisions live in one cycle function over an
// explicit state, so the rules (two failed cycles in a row mean down, one
// success means up) can be driven without a network or a clock.
#include "orvi_net_monitor.h"

#include <pthread.h>

#include "event_publish.h"
#include "orvi_factory_test.h"
#include "orvi_host_event.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_product.h"
#include "orvi_system.h"
#include "orvi_wifi.h"

const char *const ORVI_NET_PROBE_TARGETS[4] = {"223.5.5.5", "8.8.8.8", "www.baidu.com", "www.bing.com"};

namespace {

constexpr const char *kCarrierFile = "/sys/class/net/eth0/carrier";

void monitor_sleep(void (*sleep_ms)(unsigned), unsigned ms) {
    (sleep_ms ? sleep_ms : orvi_port_sleep_ms)(ms);
}

void publish_net(net_monitor_state_t *st, const char *state) {
    event_host_publish("net", state, -1);
    st->loss_reported = std::string(state) != "connected";
    st->first_cycle = false;
}

// Step 2: the uplink follows the Ethernet cable.
void follow_link(net_monitor_state_t *st) {
    if (net_port_eth_carrier()) {
        if (st->uplink != NET_UPLINK_ETH) {
            orvi_wifi_off();
            st->uplink = NET_UPLINK_ETH;
            ORVI_LOGI("change to eth connect");
        }
        return;
    }
    const std::string ssid = product_get_ssid();
    const std::string psw = product_get_wifiPsw();
    if (ssid.empty() || psw.empty()) return;
    if (st->uplink == NET_UPLINK_ETH) {
        orvi_wifi_on();
        wifi_connect(ssid.c_str(), psw.c_str());
        // The pass phrase of the home network never goes to the log.
        ORVI_LOGI("change to wifi connect,ssid:%s , psw :%s", ssid.c_str(), "******");
        st->uplink = NET_UPLINK_WIFI;
    } else if (wifi_get_connection_state() != WIFI_CONNECTED) {
        ORVI_LOGW("wifi unconnect!retry....");
        wifi_connect(ssid.c_str(), psw.c_str());
    }
}

bool probe_any() {
    for (const char *target : ORVI_NET_PROBE_TARGETS)
        if (net_port_probe(target)) return true;
    return false;
}

}  // namespace

bool net_port_eth_carrier(void) {
    std::string out = orvi_executeCommand("cat " + orvi_shell_quote(orvi_path(kCarrierFile)));
    size_t b = out.find_first_not_of(" \t\r\n");
    return b == std::string::npos || out[b] == '1';
}

bool net_port_probe(const char *target) {
    std::string out = orvi_executeCommand(std::string("ping -w 3 ") + orvi_shell_quote(target) +
                                          " | grep 'loss' | awk '{print $7}'");
    return out.find_first_not_of(" \t\r\n") != std::string::npos && out.find("100%") == std::string::npos;
}

void net_dhcp_restart(void (*sleep_ms)(unsigned)) {
    orvi_executeCommand_nonret("killall udhcpc");
    monitor_sleep(sleep_ms, 1000);
    orvi_executeCommand_nonret("udhcpc -i eth0 -x hostname:" ORVI_DHCP_HOSTNAME " 2>&1 &");
    monitor_sleep(sleep_ms, 5000);
}

unsigned net_monitor_cycle(net_monitor_state_t *st) {
    if (st == nullptr) return ORVI_NET_CYCLE_MS;
    if (status_factory_mode()) return ORVI_NET_FACTORY_RETRY_MS;
    st->seconds += ORVI_NET_CYCLE_MS / 1000;
    follow_link(st);

    if (probe_any()) {
        // Any success ends a run of failures: only consecutive failed
        // cycles may take the network down.
        st->loss_count = 0;
        if (product_get_net_status() == 0) {
            product_set_net_status(1);
            if (st->loss_reported || st->first_cycle) publish_net(st, "connected");
            net_dhcp_restart(st->sleep_ms);
            if (product_set_LwIP_ip(st->uplink == NET_UPLINK_ETH) != 0) ORVI_LOGW("host ip set fail!");
        }
        if (st->seconds > ORVI_NET_TIME_SYNC_SECONDS) {
            ORVI_LOGI("Triggering 24-hour periodic synchronization of system time. ");
            product_set_time_calibration(0);
            st->seconds = 0;
        }
        ORVI_LOGI("net is connected");
        return ORVI_NET_CYCLE_MS;
    }

    ORVI_LOGI("net is loss");
    const bool factory = status_factory_mode() != 0;
    if (product_get_net_status() == 0) {
        if (!factory) {
            net_dhcp_restart(st->sleep_ms);
            if (!st->loss_reported || st->first_cycle) publish_net(st, "unconnect");
        }
    } else if (++st->loss_count >= 2) {
        product_set_net_status(0);
        if (!factory && (!st->loss_reported || st->first_cycle)) publish_net(st, "unconnect");
    }
    return ORVI_NET_CYCLE_MS;
}

void *net_monitor_thread(void *) {
    net_monitor_state_t st;
    for (;;)
        monitor_sleep(st.sleep_ms, net_monitor_cycle(&st));
    return nullptr;
}

int net_monitor_server(void) {
    ORVI_LOGI("Net monitor server!");
    pthread_t tid;
    return orvi_pthread_create_detach(&tid, nullptr, net_monitor_thread, nullptr, "net_monitor_thread") == 0
               ? 0
               : -1;
}
