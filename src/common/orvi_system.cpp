// Process services. The reboot and every shell command go through the one
// command runner of the platform layer.
#include "orvi_system.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "orvi_log.h"
#include "orvi_port.h"

namespace {
std::atomic<int> g_standby{0};
}

int orvi_pthread_create_detach(pthread_t *tid, const pthread_attr_t *attr, void *(*start)(void *), void *arg,
                               const char *name) {
    pthread_t t;
    int rc = pthread_create(&t, attr, start, arg);
    if (rc != 0) {
        ORVI_LOGW("create %s thread failed!!!\n", name ? name : "");
        return rc;
    }
    if (tid) *tid = t;
    ORVI_LOGI("create %s thread success,pid is [%ld]", name ? name : "", static_cast<long>(t));
    pthread_detach(t);
    return 0;
}

void orvi_progress_exit(const char *last_words) {
    ORVI_LOGW(">>>>>>>>>%s<<<<<<<<<<<<", last_words ? last_words : "");
    std::_Exit(1);
}

void orvi_reboot(void) {
    orvi_executeCommand_nonret("sync");
    orvi_port_sleep_ms(8000);
    orvi_executeCommand_nonret("reboot");
}

void orvi_set_standby_flag(int flag) {
    g_standby.store(flag);
}
int orvi_get_standby_flag(void) {
    return g_standby.load();
}

void orvi_system_env_save(void) {
    std::string cmd =
        "cp /proc/" + std::to_string(::getpid()) + "/status " + orvi_path("/home/root/pid_status");
    ORVI_LOGI("cmd: %s", cmd.c_str());
    orvi_executeCommand_nonret(cmd);
    orvi_executeCommand_nonret("cp /proc/stat  " + orvi_path("/home/root/cpu_stat"));
    orvi_executeCommand_nonret("cp /proc/meminfo  " + orvi_path("/home/root/mem_stat"));
}

std::string orvi_executeCommand(const std::string &cmd) {
    std::string out;
    orvi_run_opts o;
    o.out = &out;
    int st = orvi_port_run_shell(cmd, o);
    if (st > 0)
        orvi_plain_write("[%s]-------- close fail %d ,cmd :%s----------!!!!! \n", __func__, st, cmd.c_str());
    return out;
}

int orvi_executeCommand_nonret(const std::string &cmd) {
    int st = orvi_port_run_shell(cmd);
    if (st > 0)
        orvi_plain_write("[%s]-------- close fail %d ,cmd :%s----------!!!!! \n", __func__, st, cmd.c_str());
    return st;
}

int orvi_record_log(const char *path, const char *record, size_t size) {
    if (!path || !record) return -1;
    // Record logs are diagnostics: they must never fill the flash.
    static constexpr size_t kRecordLogCap = 256 * 1024;
    time_t now = time(nullptr);
    char when[64] = {0};
    ctime_r(&now, when);  // 24 characters and a line feed
    std::string entry = "[";
    entry.append(when);
    if (entry.back() != '\n') entry.push_back('\n');
    entry.append("]");
    entry.append(record, strnlen(record, size));
    entry.push_back('\n');
    if (!orvi_port_append_capped(orvi_path(path), entry, kRecordLogCap)) {
        ORVI_LOGW("%s open fail!", path);
        return -1;
    }
    return 0;
}

int orvi_eth_mac_read(std::string &mac12, uint8_t mac[6]) {
    std::string out = orvi_executeCommand("ifconfig eth0 | grep 'HWaddr' | awk '{ print $5}'").substr(0, 18);
    while (!out.empty() && isspace(static_cast<unsigned char>(out.back())))
        out.pop_back();
    ORVI_LOGI("HWaddr ->%s", out.c_str());
    bool ok = out.size() == 17;
    for (size_t i = 0; ok && i < 17; ++i)
        ok = i % 3 == 2 ? out[i] == ':' : isxdigit(static_cast<unsigned char>(out[i])) != 0;
    unsigned b[6];
    if (!ok ||
        sscanf(out.c_str(), "%02x:%02x:%02x:%02x:%02x:%02x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6)
        return -1;
    char text[13];
    snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
    mac12 = text;
    for (int i = 0; i < 6; ++i)
        mac[i] = static_cast<uint8_t>(b[i]);
    return 0;
}
