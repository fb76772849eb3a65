// The host run information the host status document reports (firmware and
// plug-in versions, IP address, bus and cloud link states). Stand-ins
// (runinfo_pending.cpp) until the run information module lands in
// src/common/ and replaces this header. Any thread may call them.
#pragma once

#include <string>

// Refreshes the current run information.
void set_host_run_info(void);
// 1 when the CAN state, RS-485 state, IP address or plug-in version changed
// since last reported (the current information is then refreshed), else 0.
int compare_host_run_info(void);

std::string get_host_ip_info(void);
std::string get_host_sover_info(void);
int get_host_can_info(void);
int get_host_485_info(void);
int get_host_net_info(void);
int get_host_systemStatus_info(void);

// Tests: what compare_host_run_info answers (0 at first).
void runinfo_pending_set_changed(int changed);
