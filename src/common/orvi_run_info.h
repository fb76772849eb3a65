// The host run information the host status document reports: firmware and
// plug-in versions, IP address, bus and cloud link states, run time. Not
// built yet: until start-up installs it, the refresh and the change check
// say "not built" (the check finds no change), and the getters answer what
// the host knows without it: its IP address, the plug-in version of a host
// without plug-in information ("V1.00.16"), buses and cloud link not known
// to work (0), system status 1. Any thread may call.
#pragma once

#include <string>

// Refreshes the run information last reported.
void set_host_run_info(void);
// 1 when the CAN state, RS-485 state, IP address or plug-in version changed
// since last reported (the information is then refreshed), else 0.
int compare_host_run_info(void);

std::string get_host_ip_info(void);
std::string get_host_sover_info(void);
int get_host_can_info(void);
int get_host_485_info(void);
int get_host_net_info(void);
int get_host_systemStatus_info(void);

typedef struct orvi_run_info_ops_s {
    void (*set)(void);
    int (*compare)(void);
    std::string (*ip)(void);
    std::string (*sover)(void);
    int (*can)(void);
    int (*rs485)(void);
    int (*net)(void);
    int (*system_status)(void);
} orvi_run_info_ops_t;

extern const orvi_run_info_ops_t orvi_run_info_not_built;
// Start-up installs the run information; null puts "not built" back.
void orvi_run_info_install(const orvi_run_info_ops_t *ops);
