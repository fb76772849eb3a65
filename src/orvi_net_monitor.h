// The network monitor: every 10 seconds it checks the Ethernet link (and
// falls back to Wi-Fi when the cable is out and credentials are stored),
// probes the Internet, keeps the host's network state and tells the board's
// services when the network comes and goes. Runs on its own detached thread
// (`net_monitor_thread`, started by `net_monitor_server`).
#pragma once

#include <string>

#include "orvi_port.h"

typedef enum {
    NET_UPLINK_ETH = 0,
    NET_UPLINK_WIFI = 1,
} net_uplink_t;

// What the monitor keeps between cycles.
typedef struct net_monitor_state_s {
    net_uplink_t uplink = NET_UPLINK_ETH;
    int loss_count = 0;         // failed cycles since the last success
    bool loss_reported = true;  // "unconnect" published since the last "connected"
    bool first_cycle = true;    // nothing published yet
    unsigned long seconds = 0;  // since the last periodic clock synchronisation
    // How the monitor waits, within a cycle and between cycles (null: a
    // real sleep).
    void (*sleep_ms)(unsigned ms) = orvi_port_sleep_ms;
} net_monitor_state_t;

#define ORVI_NET_CYCLE_MS 10000u
#define ORVI_NET_FACTORY_RETRY_MS 1000u
#define ORVI_NET_TIME_SYNC_SECONDS 86400ul
// DHCP host name of the board: maker word and model code.
#define ORVI_DHCP_HOSTNAME "orvihc70502"
// Probed in order; the first that answers ends the probe.
extern const char *const ORVI_NET_PROBE_TARGETS[4];

// One cycle. Returns the milliseconds to wait before the next one.
unsigned net_monitor_cycle(net_monitor_state_t *st);
void *net_monitor_thread(void *arg);

// Platform access.
// True when eth0 reports a carrier ("1", or no answer at all).
bool net_port_eth_carrier(void);
// True when `target` answers a ping within 3 seconds.
bool net_port_probe(const char *target);
// Restarts the DHCP client on eth0 (kill, 1 s, start in the background, 5 s),
// waiting with `sleep_ms` (null: a real sleep).
void net_dhcp_restart(void (*sleep_ms)(unsigned ms));
