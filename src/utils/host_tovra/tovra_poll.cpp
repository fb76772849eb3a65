// Status polling: who is asked, when, and what is shown before they answer.
//
// A polling cycle walks the cycle list in address order, one pass per 10 ms
// on the handle thread, and each pass queues at most one status query:
// a device asked alone, or a batch of up to eight. The queue builder then
// holds the poller back (Query_Wait_Time) until the answers had time to come.
// A device whose budget runs out unanswered goes offline and onto the
// offline list, retried once a minute. Any report from a device takes it off
// every table at once (the receive side calls tovra_pending_query_clear).
//
// Provisional statuses go through the same path as a real report, so what
// the app sees is what the model's codec makes of the record: the records
// built here are the model's own status form stating the commanded state.
#include "tovra_poll.h"

#include <cJSON.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "orvi_aes.h"
#include "orvi_field.h"
#include "orvi_json.h"
#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_product.h"
#include "product_subdev.h"
#include "tovra_dispatch.h"
#include "tovra_event.h"
#include "tovra_queue.h"
#include "tovra_uart.h"

orvi::Mutex tovra_poll_mu;

namespace {

using orvi_json::json_ptr;

// ---- the tables -------------------------------------------------------------------

struct cycle_entry_t {
    uint16_t repeat;
    uint16_t online;
    uint16_t single;
    uint16_t check_online;
    char mac[13];
};
struct offline_entry_t {
    uint16_t check_time;
    char mac[13];
};
struct delayed_entry_t {
    char mid[9];
    uint16_t delay_time;
};
// A provisional record waiting for its tick.
struct queued_record_t {
    std::vector<uint8_t> record;
};

constexpr uint16_t kPartRepeat = 10;
constexpr uint16_t kWholeRepeat = 6;
constexpr uint16_t kOfflineRetries = 255;
constexpr int kBatchMax = 8;
constexpr uint16_t kNewDeviceWindow = TOVRA_TM_RUN | 62;
constexpr uint16_t kWholeOfflineSpacing = TOVRA_TM_RUN | 300;
// Body sensor: minutes after a "0" report before the provisional one.
constexpr int kBodySensorMinutes = 30;

struct cycle_t {
    uint32_t counts = 0;  // max - min + 1; 0 idle. 32 bits: the full window is 65,536.
    uint16_t index = 0;
    uint16_t min_addr = 0;
    uint16_t max_addr = 0;
    uint16_t check_type = 0;
    std::map<uint16_t, cycle_entry_t> list;  // enabled entries only
};

cycle_t g_cycle GUARDED_BY(tovra_poll_mu);
std::map<uint16_t, offline_entry_t> g_offline GUARDED_BY(tovra_poll_mu);
bool g_offline_query GUARDED_BY(tovra_poll_mu) = false;
std::map<uint16_t, delayed_entry_t> g_delayed GUARDED_BY(tovra_poll_mu);
std::vector<std::string> g_new_devices GUARDED_BY(tovra_poll_mu);
std::deque<queued_record_t> g_status_msgs GUARDED_BY(tovra_poll_mu);

std::atomic<uint32_t> tovra_device_online_change{0};
std::atomic<int> sapp_new_device_add{0};

void window_update(cycle_t &c) REQUIRES(tovra_poll_mu) {
    if (c.list.empty()) {
        c.counts = 0;
        return;
    }
    c.min_addr = c.list.begin()->first;
    c.max_addr = c.list.rbegin()->first;
    c.counts = static_cast<uint32_t>(c.max_addr) - c.min_addr + 1;
}

void cycle_add(uint16_t addr, const char *mac, uint16_t repeat, uint16_t online, uint16_t single,
               uint16_t check_online) REQUIRES(tovra_poll_mu) {
    cycle_entry_t e{};
    e.repeat = repeat;
    e.online = online;
    e.single = single;
    e.check_online = check_online;
    orvi_field_copy_cut(e.mac, mac ? mac : "");
    g_cycle.list[addr] = e;
    window_update(g_cycle);
}

void cycle_clear() REQUIRES(tovra_poll_mu) {
    g_cycle = cycle_t{};
}

bool refresh_pending() {
    return tm_1s.Sublist_Refresh_Time.load() != 0;
}

bool is_model(const char *mid, std::initializer_list<const char *> models) {
    for (const char *m : models)
        if (strcmp(mid, m) == 0) return true;
    return false;
}

bool is_panel(const char *mid) {
    return is_model(mid, {"70718", "70724", "70725"});
}
bool is_light(const char *mid) {
    return is_model(mid, {"70314", "70315", "70361", "70362"});
}
bool is_curtain(const char *mid) {
    return is_model(mid, {"80501", "70713", "70711"});
}
bool is_multi_key(const char *mid) {
    return is_model(mid, {"80401", "70721", "70726"});
}
// Devices that do not answer a status query.
bool part_skipped(const char *mid) {
    return is_model(mid, {"70701", "70702", "70703", "70704", "70709", "80205", "70710", "70727"});
}
bool whole_skipped(const char *mid) {
    return part_skipped(mid) || is_panel(mid);
}

std::vector<host_tovra_devcie_info_t> rows_by(const char *param, tovra_sql_value_t v) {
    std::vector<host_tovra_devcie_info_t> rows;
    tovra_info_sql_table_select(TOVRA_INFO_DB, TOVRA_INFO_TABLE, param, v, rows);
    return rows;
}

// ---- provisional records ----------------------------------------------------------

// "AT+MDATA", the address (low byte at 8, high byte at 9), then `status`.
std::vector<uint8_t> record(uint16_t addr, std::initializer_list<uint8_t> status) {
    std::vector<uint8_t> r(10 + status.size());
    memcpy(r.data(), "AT+MDATA", 8);
    r[8] = static_cast<uint8_t>(addr & 0xFF);
    r[9] = static_cast<uint8_t>(addr >> 8);
    std::copy(status.begin(), status.end(), r.begin() + 10);
    return r;
}

void report(const std::vector<uint8_t> &r) {
    at_mdata_default_status_msg_recv(r.data(), r.size());
}

std::vector<uint8_t> panel_record(uint16_t addr, const char *mid) {
    const uint8_t x = strcmp(mid, "70725") == 0 ? 0x25 : strcmp(mid, "70724") == 0 ? 0x24 : 0x18;
    return record(addr, {0x50, 0x07, 0x07, x, 0x10, 0x01});
}

std::vector<uint8_t> light_record(uint16_t addr, bool on) {
    return record(addr, {0x60, static_cast<uint8_t>(on ? 0x80 : 0x00), 0, 0, 0, 0xFF, 0xFF});
}

std::vector<uint8_t> curtain_record(uint16_t addr, int percent) {
    return record(addr, {0x70, 0x00, static_cast<uint8_t>(std::clamp(percent, 0, 100)), 0, 0, 0, 0, 0x21});
}

// A multi-key switch with `keys` keys, every key on or off.
std::vector<uint8_t> switch_record(uint16_t addr, const char *mid, int keys, bool on) {
    const uint8_t mask = on ? static_cast<uint8_t>((1u << std::clamp(keys, 1, 4)) - 1) : 0;
    if (strcmp(mid, "80401") == 0) return record(addr, {0x40, mask, 0x00, 0x17, 0x01});
    return record(addr, {0x20, mask, 0x00});
}

// The roller shutter's record: class 0x90, the per cent, the two limits.
std::vector<uint8_t> shutter_record(uint16_t addr, int percent, uint8_t up, uint8_t low) {
    return record(addr, {0x90, 0x00, static_cast<uint8_t>(std::clamp(percent, 0, 100)), 0, 0, 0, 0, up, low});
}

// Any other model: its status length, the second status byte the state.
std::vector<uint8_t> plain_record(uint16_t addr, const char *mid, bool on) {
    const int n = std::max(2, tovra_mdata_status_len(mid));
    std::vector<uint8_t> r = record(addr, {});
    r.resize(r.size() + static_cast<size_t>(n), 0);
    r[11] = on ? 1 : 0;
    return r;
}

// The fixed records of devices just added that do not answer queries.
std::vector<uint8_t> new_device_record(uint16_t addr, const char *mid) {
    if (strcmp(mid, "70727") == 0) return record(addr, {0x21, 0x01});  // nobody there
    return plain_record(addr, mid, false);
}

bool limit_row(uint16_t addr, host_limit_set_info_t *out) {
    std::vector<host_limit_set_info_t> rows;
    tovra_limit_set_sql_table_select(TOVRA_LIMIT_SET_INFO_DB, TOVRA_LIMIT_SET_TABLE, "LIMITADDR", tovra_sql_num(addr),
                                     rows);
    if (rows.empty()) return false;
    *out = rows.front();
    return true;
}

// Number of keys of a multi-key switch: its table rows (a "70726" key has two).
int key_count(uint16_t addr, const char *mid) {
    int n = static_cast<int>(rows_by("ADDR", tovra_sql_num(addr)).size());
    if (strcmp(mid, "70726") == 0) n /= 2;
    return std::clamp(n, 1, 4);
}

// A registry subdevice's short room id matches `room` (0: any).
bool in_room(const orvi_subdev_fields_t &f, int room) {
    return room == 0 || roomId_to_sId(f.roomId) == room;
}

// The registry's lighting devices of `room`, one per address.
std::vector<orvi_subdev_fields_t> room_devices(int room) {
    std::vector<orvi_subdev_fields_t> out;
    std::set<int32_t> seen;
    for (const orvi_subdev_ptr &dev : product_subdev_list_snapshot()) {
        orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
        if (f.dev_type != DEV_TYPE_TOVRA || f.macId < 0 || f.macId > 0xFFFF || !in_room(f, room)) continue;
        if (!seen.insert(f.macId).second) continue;
        out.push_back(std::move(f));
    }
    return out;
}

void queue_status(std::vector<uint8_t> r) {
    orvi::MutexLock l(tovra_poll_mu);
    g_status_msgs.push_back(queued_record_t{std::move(r)});
}

}  // namespace

// ---- query fillers ----------------------------------------------------------------------

namespace {

void part_query(const std::vector<host_tovra_devcie_info_t> &rows, bool fresh) {
    std::vector<std::vector<uint8_t>> provisional;
    {
        orvi::MutexLock l(tovra_poll_mu);
        for (const host_tovra_devcie_info_t &row : rows) {
            if (row.addr < 0 || row.addr > 0xFFFF) continue;
            const uint16_t addr = static_cast<uint16_t>(row.addr);
            if (is_panel(row.mid)) {
                provisional.push_back(panel_record(addr, row.mid));
                continue;
            }
            if (part_skipped(row.mid)) {
                if (fresh && strcmp(row.mid, "70710") != 0) provisional.push_back(new_device_record(addr, row.mid));
                continue;
            }
            cycle_add(addr, row.mac, kPartRepeat, row.online, 1, 1);
            TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA]tovra_part_device_query[%d]\n\r", row.addr);
        }
    }
    for (const std::vector<uint8_t> &r : provisional) report(r);
    // The shutter's record comes from its limit row, read outside the lock.
    if (fresh)
        for (const host_tovra_devcie_info_t &row : rows)
            if (strcmp(row.mid, "70710") == 0 && row.addr >= 0 && row.addr <= 0xFFFF)
                tovra_limit_provisional_send(static_cast<uint16_t>(row.addr));
}

}  // namespace

void tovra_part_device_query(const std::vector<host_tovra_devcie_info_t> &rows) {
    part_query(rows, false);
}

void tovra_new_part_device_query(const std::vector<host_tovra_devcie_info_t> &rows) {
    part_query(rows, true);
}

void tovra_whole_device_query(int check_online) {
    TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA]tovra_whole_device_query\n\r");
    if (refresh_pending()) return;
    const std::vector<host_tovra_devcie_info_t> rows = rows_by(nullptr, tovra_sql_num(0));
    orvi::MutexLock l(tovra_poll_mu);
    cycle_clear();
    g_cycle.check_type = 1;
    for (const host_tovra_devcie_info_t &row : rows) {
        if (row.addr < 0 || row.addr > 0xFFFF || whole_skipped(row.mid)) continue;
        cycle_add(static_cast<uint16_t>(row.addr), row.mac, kWholeRepeat, row.online, 0, check_online ? 1 : 0);
    }
    g_cycle.index = g_cycle.min_addr;
}

void tovra_whole_offline_device_query(void) {
    if (refresh_pending()) return;
    const std::vector<host_tovra_devcie_info_t> rows = rows_by("ONLINE", tovra_sql_num(0));
    orvi::MutexLock l(tovra_poll_mu);
    for (const host_tovra_devcie_info_t &row : rows) {
        if (row.addr < 0 || row.addr > 0xFFFF) continue;
        cycle_add(static_cast<uint16_t>(row.addr), row.mac, 1, 0, 0, 1);
    }
    g_cycle.index = g_cycle.min_addr;
}

void tovra_offline_device_query(void) {
    TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA]tovra_offline_device_query\n\r");
    orvi::MutexLock l(tovra_poll_mu);
    if (!g_offline_query || g_cycle.counts != 0) return;
    if (g_offline.empty()) {
        g_offline_query = false;
        return;
    }
    for (auto it = g_offline.begin(); it != g_offline.end();) {
        cycle_add(it->first, it->second.mac, 1, 0, 0, 1);
        if (--it->second.check_time == 0)
            it = g_offline.erase(it);
        else
            ++it;
    }
    g_cycle.index = g_cycle.min_addr;
}

// ---- the poller ---------------------------------------------------------------------------

void tovra_status_query_cycle_check(void) {
    {
        orvi::MutexLock l(tovra_poll_mu);
        if (g_cycle.counts == 0) return;
    }
    if (tovra_queue_count(TOVRA_QUEUE_MAIN) > 0 || tovra_queue_count(TOVRA_QUEUE_SCENE) > 0) return;
    if (tm_100ms.Query_Wait_Time.load() & TOVRA_TM_RUN) return;

    std::vector<uint16_t> collected;
    std::vector<uint16_t> went_offline;
    bool cycle_over = false;
    {
        orvi::MutexLock l(tovra_poll_mu);
        cycle_t &c = g_cycle;
        if (c.counts == 0) return;
        TOVRA_LOG(TOVRA_DEBUG_LOG,
                  "[TOVRA]tovra_status_query_cycle_check  cycle_query.min_addr[%02x]  cycle_query.max_addr[%02x] "
                  "cycle_query.index[%02x]\n\r",
                  c.min_addr, c.max_addr, c.index);
        // One walk over the enabled entries from `index`, wrapping past max
        // to min; `next` is where the following pass starts.
        std::vector<uint16_t> order;
        order.reserve(c.list.size());
        for (auto it = c.list.lower_bound(c.index); it != c.list.end(); ++it) order.push_back(it->first);
        for (auto it = c.list.begin(); it != c.list.end() && it->first < c.index; ++it) order.push_back(it->first);
        const uint16_t lo = c.min_addr, hi = c.max_addr;
        auto after = [lo, hi](uint16_t a) { return a >= hi ? lo : static_cast<uint16_t>(a + 1); };
        uint16_t next = c.index;
        for (uint16_t addr : order) {
            cycle_entry_t &e = c.list[addr];
            TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA]enable query addr %d\n\r", addr);
            if (e.repeat > 0 && e.single) {
                if (!collected.empty()) {
                    next = addr;  // asked alone, in the next pass
                    break;
                }
                TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA]single query addr %d\n\r", addr);
                collected.push_back(addr);
                --e.repeat;
                next = after(addr);
                break;
            }
            next = after(addr);
            if (e.repeat > 0) {
                collected.push_back(addr);
                --e.repeat;
                if (static_cast<int>(collected.size()) >= kBatchMax) break;
            } else if (e.check_online && e.online) {
                offline_entry_t o{};
                o.check_time = kOfflineRetries;
                memcpy(o.mac, e.mac, sizeof o.mac);
                g_offline[addr] = o;
                g_offline_query = true;
                went_offline.push_back(addr);
                c.list.erase(addr);
            }
        }
        c.index = next;
        if (collected.empty()) {
            TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA]clear cycle_query\n\r");
            cycle_clear();
            cycle_over = true;
        } else if (!went_offline.empty()) {
            // The window shrinks with the entries gone; an entry-less list is idle.
            const uint16_t keep = c.index;
            window_update(c);
            c.index = keep;
        }
    }
    for (uint16_t addr : went_offline) {
        tovra_info_sql_table_update(TOVRA_INFO_DB, TOVRA_INFO_TABLE, addr, "ONLINE", tovra_sql_num(0));
        tovra_online_change_raise();
    }
    if (!collected.empty()) {
        TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA]at_bypass_list_msg_add_queue\n\r");
        at_bypass_list_msg_add_queue(collected.data(), static_cast<int>(collected.size()));
    }
    if (cycle_over) tovra_online_change_check_send();
}

void tovra_online_change_raise(void) {
    tovra_device_online_change.store(1);
}

void tovra_online_change_check_send(void) {
    if (tovra_device_online_change.exchange(0) == 0) return;
    ORVI_LOGI("[TOVRA]tovra online change\n\r");
    const std::vector<host_tovra_devcie_info_t> rows = rows_by(nullptr, tovra_sql_num(0));
    tovra_online_event_send(rows);
}

void tovra_pending_query_clear(uint16_t addr) {
    orvi::MutexLock l(tovra_poll_mu);
    if (g_cycle.list.erase(addr)) {
        // An empty list stays non-idle until the poller ends the cycle, so
        // the cycle's end (and its online check) still comes.
        if (!g_cycle.list.empty()) {
            const uint16_t keep = g_cycle.index;
            window_update(g_cycle);
            g_cycle.index = keep;
        }
    }
    g_offline.erase(addr);
    g_delayed.erase(addr);
}

// ---- delayed check ---------------------------------------------------------------------------

void tovra_delay_check_arm(const char *mid, uint16_t addr, int delay_s) {
    delayed_entry_t e{};
    orvi_field_copy_cut(e.mid, mid ? mid : "");
    e.delay_time = static_cast<uint16_t>(std::clamp(delay_s, 1, 0x3FFF));
    {
        orvi::MutexLock l(tovra_poll_mu);
        g_delayed[addr] = e;
    }
    // A running step timer comes round within the second; an idle one is
    // made due now.
    uint16_t idle = 0;
    tm_1s.Ctrl_Query_Time.compare_exchange_strong(idle, TOVRA_TM_EXPIRED);
}

void timer_1s_handle(void) {
    int due = -1;
    {
        orvi::MutexLock l(tovra_poll_mu);
        for (auto &[addr, e] : g_delayed) {
            if (e.delay_time > 0) --e.delay_time;
            if (e.delay_time == 0) {
                due = addr;
                break;
            }
        }
        if (due >= 0) g_delayed.erase(static_cast<uint16_t>(due));
    }
    if (due >= 0) tovra_part_device_query(rows_by("ADDR", tovra_sql_num(due)));
}

// ---- new devices ----------------------------------------------------------------------------------

void new_online_device_room_set_list(const char *mac) {
    if (!mac || !*mac) return;
    const orvi_subdev_ptr dev = product_get_subdev_form_host(mac);
    if (!dev) {
        ORVI_LOGW("[%s]sublist do not have this mac!\n\r", __func__);
        return;
    }
    const orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
    const int room = roomId_to_sId(f.roomId);
    if (f.roomId == 0 || room <= 0 || room > 0xFF || f.macId < 0 || f.macId > 0xFFFF) return;
    const uint16_t addr = static_cast<uint16_t>(f.macId);
    if (strcmp(f.mid, "80401") == 0) {
        // The key is the gang digit after the 12-character device MAC.
        const std::string_view m = orvi_field_view(f.mac);
        if (m.size() < 14) {
            ORVI_LOGW("[TOVRA]%s names no key of its switch: room not set", std::string(m).c_str());
            return;
        }
        for (int k = 0; k < 3; ++k) at_roomset_msg_add_queue(static_cast<uint8_t>(room), m[13] & 0x0F, addr);
        return;
    }
    for (int k = 0; k < 3; ++k) at_other_roomset_msg_add_queue(static_cast<uint8_t>(room), addr);
}

void tovra_new_online_device_list(const char *mac) {
    if (!mac || !*mac) {
        ORVI_LOGW("[TOVRA]new_online_device_list: no MAC");
        return;
    }
    new_online_device_room_set_list(mac);
    const std::string device = std::string(mac).substr(0, 12);
    orvi::MutexLock l(tovra_poll_mu);
    if (std::find(g_new_devices.begin(), g_new_devices.end(), device) == g_new_devices.end())
        g_new_devices.push_back(device);
}

void new_online_device_status_list(void) {
    TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA]new_online_device_status_list\n\r");
    std::vector<std::string> macs;
    {
        orvi::MutexLock l(tovra_poll_mu);
        macs.swap(g_new_devices);
    }
    for (const std::string &mac : macs) tovra_new_part_device_query(rows_by("MAC", tovra_sql_text(mac.c_str())));
}

void sapp_new_device_list(void) {
    sapp_new_device_add.store(1);
    tm_1s.Sapp_New_Device_Time.store(kNewDeviceWindow);
    ORVI_LOGI("[TOVRA]sapp_new_device_list: %d\n\r", 1);
}

int sapp_new_device_window_open(void) {
    return sapp_new_device_add.load();
}

void sapp_new_device_window_close(void) {
    sapp_new_device_add.store(0);
}

// ---- provisional statuses -----------------------------------------------------------------------------

int at_mdata_default_status_msg_recv(const uint8_t *rec, size_t length) {
    ORVI_LOGD("tovra at_mdata_default_status_msg_recv");
    if (!rec || length < 10 || length > 29 || memcmp(rec, "AT+MDATA", 8) != 0) {
        ORVI_LOGW("[TOVRA]provisional record of %zu bytes refused", length);
        return -1;
    }
    const uint16_t addr = static_cast<uint16_t>(rec[8] | rec[9] << 8);
    const std::vector<host_tovra_devcie_info_t> rows = rows_by("ADDR", tovra_sql_num(addr));
    if (rows.empty()) {
        ORVI_LOGW("[%s]sublist do not have this addr %u!\n\r", __func__, addr);
        return -1;
    }
    const host_tovra_devcie_info_t &dev = rows.front();
    if (strcmp(dev.mid, "80205") == 0 && length <= 15) return -1;
    // The codec reads the normal form: byte 9 is 0 there.
    std::vector<uint8_t> normal(rec, rec + length);
    normal[9] = 0x00;
    return tovra_host_status_event_send(&dev, normal.data(), normal.size(), 2) == 0 ? 0 : -1;
}

void tovra_limit_provisional_send(uint16_t addr) {
    host_limit_set_info_t lim{};
    if (!limit_row(addr, &lim)) {
        report(shutter_record(addr, 0, 0, 0));
        return;
    }
    report(shutter_record(addr, 0, lim.uplimitsetting, lim.lowlimitsetting));
}

int tovra_curpercent_provisional_send(uint16_t addr, int percent) {
    host_limit_set_info_t lim{};
    if (!limit_row(addr, &lim) || !lim.uplimitsetting || !lim.lowlimitsetting) return -1;
    report(shutter_record(addr, percent, lim.uplimitsetting, lim.lowlimitsetting));
    return 0;
}

void tovra_led_false_kind_device_query(int curpercent, int room, int dev_class, int pow, int lum, int colortemp) {
    ORVI_LOGI("[TOVRA]tovra_led_false_kind_device_query\n\r");
    for (const orvi_subdev_fields_t &f : room_devices(room)) {
        const uint16_t addr = static_cast<uint16_t>(f.macId);
        if (dev_class == 7 && is_curtain(f.mid)) {
            report(curtain_record(addr, curpercent));
        } else if (dev_class == 8 && is_light(f.mid)) {
            if (pow == 0) {
                report(record(addr, {0x60, 0, 0, 0, 0, 0xFF, 0xFF}));
            } else if (pow == 1) {
                report(record(addr, {0x60, 0x80, 0, 0, 0, 0xFF, 0xFF}));
            } else if (pow == 2 && lum != 0) {
                // The per cent on the lights' 0..127 scale, rounded up so
                // that a reading rounded down gives the per cent back.
                const int level = (std::clamp(lum, 0, 100) * 127 + 99) / 100;
                report(record(addr, {0x60, static_cast<uint8_t>(level), 0, 0, 0, 0, 0}));
            } else if (pow == 3) {
                const int t = (std::clamp(colortemp, 2700, 5000) - 2700) * 255 / 2300;
                report(record(addr, {0x60, 0x80, 0, 0, 0, static_cast<uint8_t>(255 - t), static_cast<uint8_t>(t)}));
            }
        }
    }
}

void tovra_false_whole_device_query(int state) {
    const bool on = state != 0;
    std::set<int> seen;
    for (const host_tovra_devcie_info_t &row : rows_by(nullptr, tovra_sql_num(0))) {
        if (row.addr < 0 || row.addr > 0xFFFF || !seen.insert(row.addr).second) continue;
        const uint16_t addr = static_cast<uint16_t>(row.addr);
        if (is_model(row.mid, {"70722", "70723"})) {
            at_bypass_msg_add_queue(addr);
        } else if (is_multi_key(row.mid)) {
            queue_status(switch_record(addr, row.mid, key_count(addr, row.mid), on));
        } else if (is_light(row.mid)) {
            report(light_record(addr, on));
        } else if (is_curtain(row.mid)) {
            report(curtain_record(addr, on ? 100 : 0));
        } else if (strcmp(row.mid, "70710") == 0) {
            host_limit_set_info_t lim{};
            const bool has = limit_row(addr, &lim);
            report(shutter_record(addr, on ? 100 : 0, has ? lim.uplimitsetting : 0, has ? lim.lowlimitsetting : 0));
        } else if (is_panel(row.mid)) {
            report(panel_record(addr, row.mid));
        } else if (tovra_mdata_status_len(row.mid) > 0) {
            report(plain_record(addr, row.mid, on));
        }
    }
}

void tovra_false_kind_device_query(uint32_t id, int room, int dev_class) {
    const int action = static_cast<int>(id & 0xFF);
    for (const orvi_subdev_fields_t &f : room_devices(room)) {
        const uint16_t addr = static_cast<uint16_t>(f.macId);
        if (dev_class == 7) {
            if (is_curtain(f.mid)) report(curtain_record(addr, action));
            if (strcmp(f.mid, "70710") == 0 && tovra_curpercent_provisional_send(addr, action) != 0)
                report(shutter_record(addr, action, 0, 0));
        } else if (dev_class == 3) {
            const bool on = action == 1;
            if (is_multi_key(f.mid))
                queue_status(switch_record(addr, f.mid, key_count(addr, f.mid), on));
            else if (is_light(f.mid))
                report(light_record(addr, on));
        }
    }
}

void status_send_msg(void) {
    queued_record_t m;
    {
        orvi::MutexLock l(tovra_poll_mu);
        if (g_status_msgs.empty()) return;
        m = std::move(g_status_msgs.front());
        g_status_msgs.pop_front();
    }
    report(m.record);
}

// ---- body sensors ---------------------------------------------------------------------------------------

void body_sensor_long_time_send(void) {
    for (const host_tovra_devcie_info_t &row : rows_by("MID", tovra_sql_text("70727"))) {
        if (row.rowid <= 0 || row.addr < 0 || row.addr > 0xFFFF) continue;
        const int left = std::min(row.rowid, kBodySensorMinutes) - 1;
        TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA]body_sensor_long_time_send device_info[%d].rowid num is %d\n\r", row.addr,
                  left);
        tovra_info_sql_table_update(TOVRA_INFO_DB, TOVRA_INFO_TABLE, row.addr, "ROWID",
                                    tovra_sql_num(left > 0 ? left : -1));
        if (left <= 0) report(record(static_cast<uint16_t>(row.addr), {0x21, 0x00, 0x01}));
    }
}

// ---- "tovra/check" ------------------------------------------------------------------------------------------

int tovra_query_device_handle(const char *, const char *item) {
    json_ptr plain = tovra_event_pack_get(__func__, item);
    if (!plain) return -1;
    const cJSON *sub = cJSON_GetObjectItemCaseSensitive(plain.get(), "sub");
    if (!cJSON_IsString(sub) || !*sub->valuestring) {
        TOVRA_LOG(TOVRA_DEBUG_JSON, "[FA_CJSON][%s] type is not String!\n\r", __func__);
        return -1;
    }
    const std::string mac = std::string(sub->valuestring).substr(0, 12);
    if (mac != "0") {
        TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA]tovra_single_device_query[%s]\n\r", mac.c_str());
        tovra_part_device_query(rows_by("MAC", tovra_sql_text(mac.c_str())));
        return 0;
    }
    uint16_t idle = 0;
    if (!tm_1s.Cycle_Query_Time.compare_exchange_strong(idle, kWholeOfflineSpacing)) {
        TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA]whole offline query ran less than 300 s ago");
        return 0;
    }
    tovra_whole_offline_device_query();
    return 0;
}

// ---- for tests ------------------------------------------------------------------------------------------------

tovra_poll_view_t tovra_poll_view(uint16_t addr) {
    orvi::MutexLock l(tovra_poll_mu);
    tovra_poll_view_t v{};
    v.counts = g_cycle.counts;
    v.cycle_entries = g_cycle.list.size();
    auto it = g_cycle.list.find(addr);
    v.repeat = it == g_cycle.list.end() ? -1 : it->second.repeat;
    v.offline = g_offline.count(addr) != 0;
    v.delayed = g_delayed.count(addr) != 0;
    v.new_devices = g_new_devices.size();
    v.queued_status = g_status_msgs.size();
    return v;
}

void tovra_poll_reset(void) {
    orvi::MutexLock l(tovra_poll_mu);
    cycle_clear();
    g_offline.clear();
    g_offline_query = false;
    g_delayed.clear();
    g_new_devices.clear();
    g_status_msgs.clear();
    tovra_device_online_change.store(0);
    sapp_new_device_add.store(0);
}
