// Process-wide services every module uses: detached threads, the orderly
// fatal exit, the reboot routine, the standby flag, the diagnostic snapshot,
// the command runner wrappers and the board's Ethernet address. Safe to call from any thread.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <string>

// Creates a thread and detaches it; logs success or failure with `name`.
int orvi_pthread_create_detach(pthread_t *tid, const pthread_attr_t *attr, void *(*start)(void *), void *arg,
                               const char *name);

// Logs ">>>>>>>>>%s<<<<<<<<<<<<" and ends the process with status 1.
[[noreturn]] void orvi_progress_exit(const char *last_words);

// "sync", 8 seconds, "reboot".
void orvi_reboot(void);

void orvi_set_standby_flag(int flag);
int orvi_get_standby_flag(void);

// Copies the process status, CPU and memory statistics under /home/root.
void orvi_system_env_save(void);

// Runs a shell command and returns its whole standard output; empty when it
// printed nothing or could not start. A non-zero exit status is printed.
// Text from outside the daemon must be passed through orvi_shell_quote first.
std::string orvi_executeCommand(const std::string &cmd);
// The same without keeping the output; returns the exit status (-1: not started).
int orvi_executeCommand_nonret(const std::string &cmd);

// Appends "[<calendar time>\n]<record>\n" to a record log such as
// "/data/domivault/data/error.log" (a board path). The file is kept bounded.
int orvi_record_log(const char *path, const char *record, size_t size);

// Reads eth0's MAC with ifconfig: 12 lower-case hexadecimal digits and the
// 6 bytes. 0 or -1.
int orvi_eth_mac_read(std::string &mac12, uint8_t mac[6]);
