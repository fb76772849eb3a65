// Lighting service start-up.
//
// `tovra_thread_main_init` starts one detached thread, "tovra_main", so the
// host's start-up never waits on the module, the tables or the broker. That
// thread creates the four tables, opens the module's UART and, only when the
// port opened, starts the 100 ms timer and the handle, receive and check
// threads; the log-level thread runs either way. Then it subscribes the
// service's topics and dispatches what arrives. With no port the requests
// are still decoded and queued, but nothing is written and nothing polled.
//
// The handle thread is the only writer to the UART: it queues the type query
// (and the network key when the host has one, so a module swapped while the
// host was off learns it), then every 10 ms runs the device-table refreshes
// whose timers expired and one sender pass. The check thread acts on expired
// timer words every 10 ms.
//
// The module link sits below the tables and the events and reaches them only
// through its hook table; `tovra_link_wire` fills it here, converting the
// link's record to the table's. A panel's default scene goes on to the host's
// default-scene control, the module's factory-test keys to the factory test.
#include "tovra_main.h"

#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "orvi_factory_test.h"
#include "orvi_field.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_product.h"
#include "orvi_seam.h"
#include "orvi_subdev_ctrl.h"
#include "orvi_system.h"
#include "orvi_utils.h"
#include "local_mqtt.h"
#include "tovra_ctrl.h"
#include "tovra_dispatch.h"
#include "tovra_event.h"
#include "tovra_hooks.h"
#include "tovra_payload.h"
#include "tovra_poll.h"
#include "tovra_queue.h"
#include "tovra_scene.h"
#include "tovra_sql.h"
#include "tovra_uart.h"

namespace {

// ---- the link's record <-> the table's ----------------------------------------

void to_link(const host_tovra_devcie_info_t &row, tovra_link_dev_t *out) {
    memset(out, 0, sizeof *out);
    out->addr = static_cast<uint16_t>(row.addr);
    orvi_field_set(out->mid, orvi_field_view(row.mid));
    orvi_field_set(out->mac, orvi_field_view(row.mac));
    out->online = row.online;
}

host_tovra_devcie_info_t to_row(const tovra_link_dev_t *dev) {
    host_tovra_devcie_info_t row;
    memset(&row, 0, sizeof row);
    if (!dev) return row;
    row.addr = dev->addr;
    // Bounded copies: the link's fields are wider than the table's.
    orvi_field_set(row.mac, orvi_field_view(dev->mac).substr(0, sizeof row.mac - 1));
    orvi_field_set(row.mid, orvi_field_view(dev->mid).substr(0, sizeof row.mid - 1));
    row.online = static_cast<uint8_t>(dev->online);
    return row;
}

// ---- device table hooks ----------------------------------------------------------

int device_lookup(uint16_t addr, tovra_link_dev_t *out) {
    std::vector<host_tovra_devcie_info_t> rows;
    if (tovra_info_sql_table_select(TOVRA_INFO_DB, TOVRA_INFO_TABLE, "ADDR", tovra_sql_num(addr), rows) < 1)
        return -1;
    to_link(rows.front(), out);
    return 0;
}

void device_set_online(uint16_t addr) {
    tovra_info_sql_table_update(TOVRA_INFO_DB, TOVRA_INFO_TABLE, addr, "ONLINE", tovra_sql_num(1));
}

void device_set_rowid(uint16_t addr, int rowid) {
    tovra_info_sql_table_update(TOVRA_INFO_DB, TOVRA_INFO_TABLE, addr, "ROWID", tovra_sql_num(rowid));
}

int deleted_lookup(uint16_t addr, char (*mids)[16], int max) {
    std::vector<host_delete_info_t> rows;
    tovra_delete_sql_table_select(TOVRA_DELETE_INFO_DB, TOVRA_DELETE_TABLE, "DELETEADDR", tovra_sql_num(addr), rows);
    int n = 0;
    for (const host_delete_info_t &r : rows) {
        if (n >= max) break;
        memset(mids[n], 0, sizeof mids[n]);
        orvi_field_set(mids[n], orvi_field_view(r.mid));
        ++n;
    }
    return n;
}

// ---- event hooks ---------------------------------------------------------------------

void pair_send(int state) {
    tovra_pair_send(state);
}
void host_status_event_send(const tovra_link_dev_t *dev, const uint8_t *record, int len, int kind) {
    const host_tovra_devcie_info_t row = to_row(dev);
    tovra_host_status_event_send(&row, record, len > 0 ? static_cast<size_t>(len) : 0, kind);
}
void scene_set_answer(const tovra_link_dev_t *dev, const char *reqId, int code) {
    const host_tovra_devcie_info_t row = to_row(dev);
    tovra_scene_set_status_event_send(&row, reqId, code);
}
void scene_bind_answer(const tovra_link_dev_t *dev, const char *reqId, int code) {
    const host_tovra_devcie_info_t row = to_row(dev);
    tovra_scene_bind_status_event_send(&row, reqId, code);
}
void scene_unbind_answer(const tovra_link_dev_t *dev, const char *reqId, int code) {
    const host_tovra_devcie_info_t row = to_row(dev);
    tovra_scene_unbind_status_event_send(&row, reqId, code);
}
void scene_lock_send(int state, int lock_two) {
    tovra_scene_lock_send(state, lock_two);
}
// The sender raised the flag before it called: the event lowers it once sent.
void scene_lock3_send(int) {
    tovra_scene_lock3_send(tovra_scene_lock3_flag);
}
void trivox_sceneid_send(uint32_t id) {
    tovra_trivox_sceneid_send(id);
}
void trivox2_sceneid_send(uint32_t id) {
    tovra_trivox2_sceneid_send(id);
}

// ---- host hooks ----------------------------------------------------------------------

// A panel ran a scene on the air: the host's default-scene control hears it.
void send_default_scene(uint32_t id) {
    orvi_send_default_scene(id);
}
// The module's factory-test keys switch the wired buses' devices with the
// home-wide scene, as the factory test's own monitor does.
void factory_default_scene(int pow) {
    test_send_default_scene(DEFAULT_SCENE_OFF, pow ? 1 : 2);
}
// {"t": onoff} to the factory rig's CAN and RS-485 testers.
void factory_cmd_publish(const char *onoff) {
    char text[32];
    const int n = snprintf(text, sizeof text, "{\"t\":\"%s\"}", onoff ? onoff : "");
    if (n <= 0 || static_cast<size_t>(n) >= sizeof text) return;
    for (const char *topic : {"Factory/cmd/can", "Factory/cmd/485"})
        if (mqtt_event_publish(topic, text, static_cast<size_t>(n), 0) != 0)
            TOVRA_LOG(TOVRA_DEBUG_ERROR, "[TOVRA]%s not published on %s", text, topic);
}

// ---- table hooks ---------------------------------------------------------------------

void variable_init(const uint8_t key[4], int flag) {
    tovra_variable_init(key, flag);
}

void all_refresh_list(void) {
    tm_1s.Sublist_Refresh_Time.store(0x4002);
}

// ---- status polling hooks ------------------------------------------------------------

// The periodic whole query never marks a device offline.
void whole_device_query(void) {
    tovra_whole_device_query(0);
}
void sql_online_change(void) {
    tovra_online_change_raise();
    tovra_online_change_check_send();
}

// ---- threads ---------------------------------------------------------------------------

const unsigned kPassMs = 10;

bool take_expired(utimer16 &w) {
    uint16_t v = w.load();
    while (v & TOVRA_TM_EXPIRED) {
        if (w.compare_exchange_weak(v, 0)) return true;
    }
    return false;
}

void *tovra_handle_cb(void *) {
    at_type_msg_add_queue();
    if (!product_get_Qnetkey().empty()) at_setinfo_msg_add_queue();
    for (;;) {
        if (take_expired(tm_1s.Sublist_Refresh_Time)) tovra_device_table_refresh();
        if (take_expired(tm_1s.Sublist_Single_Refresh_Time)) tovra_single_device_table_refresh();
        tovra_msg_queue_check();
        tovra_status_query_cycle_check();
        orvi_port_sleep_ms(kPassMs);
    }
    return nullptr;
}

void *tovra_check_cb(void *) {
    for (;;) {
        tovra_event_timeout_handle();
        orvi_port_sleep_ms(kPassMs);
    }
    return nullptr;
}

void *tovra_log_cb(void *) {
    const std::string path = orvi_path(TOVRA_LOG_CONFIG);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        ORVI_LOGW("%s open failed!", TOVRA_LOG_CONFIG);
        return nullptr;
    }
    for (;;) {
        tovra_log_level_poll(fd);
        orvi_port_sleep_ms(10 * 1000);
    }
    return nullptr;
}

bool start(void *(*fn)(void *), const char *name) {
    pthread_t tid;
    if (orvi_pthread_create_detach(&tid, nullptr, fn, nullptr, name) == 0) return true;
    TOVRA_LOG(TOVRA_DEBUG_ERROR, "[%s]%s create failed", __func__, name);
    return false;
}

void *tovra_main(void *) {
    tovra_get_host_mac();
    tovra_get_home_mac();
    tovra_sql_tables_create();
    const int fd = uart_open(orvi_path("/dev/ttyS5").c_str(), 38400, 8, 1, 'N');
    if (fd > 0) {
        tovra_uart_fd.store(fd);
        orvi_tovra_mutex_init();
        if (tovra_timer_create() != 0) TOVRA_LOG(TOVRA_DEBUG_ERROR, "[TOVRA]tovra_time create failed");
        start(tovra_handle_cb, "tovra_handle");
        tovra_recv_thread_create();
        start(tovra_check_cb, "tovra_check_id");
    } else {
        ORVI_LOGW("[TOVRA]/dev/ttyS5 cannot be opened: the lighting module is not driven");
    }
    start(tovra_log_cb, "tovra_log_cb");
    // Subscribed here, not by the caller: a slow broker holds back this
    // thread only, never the rest of the host's start-up.
    const int topics = tovra_sub_func();
    if (topics < 0)
        ORVI_LOGW("[TOVRA]the lighting topics could not be subscribed");
    else
        ORVI_LOGI("[TOVRA]%d lighting topics subscribed", topics);
    for (;;) {
        if (tovra_evnt_msg_handle_one())
            orvi_port_sleep_ms(1);
        else
            tovra_evnt_msg_wait(100);
    }
    return nullptr;
}

// ---- service ops -------------------------------------------------------------------------

int thread_main_init(void) {
    pthread_t tid;
    if (orvi_pthread_create_detach(&tid, nullptr, tovra_main, nullptr, "tovra_main") != 0) {
        ORVI_LOGE("[%s]tovra_main create failed\n\r", __func__);
        return 0;
    }
    return 1;
}

std::string get_tovra_mac(void) {
    return tovra_link_module_mac();
}

}  // namespace

int tovra_log_level_poll(int fd) {
    char buf[33] = {0};
    if (::lseek(fd, 0, SEEK_SET) < 0) return 0;
    const ssize_t n = ::read(fd, buf, 32);
    if (n <= 0) return 0;
    buf[n] = '\0';
    ORVI_LOGI("[TOVRA]log level file: %s", buf);
    char *end = nullptr;
    const long v = strtol(buf, &end, 10);
    if (end != buf && v >= 0 && v <= 0xFF) {
        tovra_debug.store(static_cast<uint8_t>(v));
        ORVI_LOGI("[TOVRA]log level 0x%02x", static_cast<unsigned>(v));
    } else {
        ORVI_LOGW("[TOVRA]log level \"%s\" is not a number from 0 to 255: kept", buf);
    }
    if (::ftruncate(fd, 0) != 0) ORVI_LOGW("[TOVRA]log level file not emptied");
    ::lseek(fd, 0, SEEK_SET);
    return 1;
}

int tovra_key_set(const char *qnetkey) {
    uint8_t k[4];
    if (!qnetkey || strlen(qnetkey) != 8 || StringToHex(qnetkey, 8, k, 4) != 4) {
        ORVI_LOGW("[TOVRA]network key is not 8 hex digits: the module keeps its key");
        return -1;
    }
    tovra_variable_init(k, 0);
    return at_setinfo_msg_add_queue() == 0 ? 0 : -1;
}

void tovra_link_wire(void) {
    static const tovra_link_hooks_t link = [] {
        tovra_link_hooks_t h{};
        h.device_lookup = device_lookup;
        h.device_set_online = device_set_online;
        h.device_set_rowid = device_set_rowid;
        h.deleted_lookup = deleted_lookup;
        h.pair_send = pair_send;
        h.host_status_event_send = host_status_event_send;
        h.scene_set_status_event_send = scene_set_answer;
        h.scene_bind_status_event_send = scene_bind_answer;
        h.scene_unbind_status_event_send = scene_unbind_answer;
        h.scene_lock_send = scene_lock_send;
        h.scene_lock3_send = scene_lock3_send;
        h.trivox_sceneid_send = trivox_sceneid_send;
        h.trivox2_sceneid_send = trivox2_sceneid_send;
        h.pending_query_clear = tovra_pending_query_clear;
        h.online_change_raise = tovra_online_change_raise;
        h.online_change_check_send = tovra_online_change_check_send;
        h.new_device_window_open = sapp_new_device_window_open;
        h.new_device_window_close = sapp_new_device_window_close;
        h.whole_device_query = whole_device_query;
        h.offline_device_query = tovra_offline_device_query;
        h.delayed_check_step = timer_1s_handle;
        h.longtime_report = body_sensor_long_time_send;
        h.status_send_msg = status_send_msg;
        h.send_default_scene = send_default_scene;
        h.factory_default_scene = factory_default_scene;
        h.factory_cmd_publish = factory_cmd_publish;
        return h;
    }();
    tovra_link_hooks_install(&link);
    static const tovra_sql_hooks_t sql = [] {
        tovra_sql_hooks_t h{};
        h.variable_init = variable_init;
        h.all_refresh_list = all_refresh_list;
        h.new_online_device_status_list = new_online_device_status_list;
        h.new_device_window_close = sapp_new_device_window_close;
        h.online_change = sql_online_change;
        return h;
    }();
    tovra_sql_set_hooks(&sql);
    static const tovra_event_hooks_t events = {tovra_false_whole_device_query, tovra_false_kind_device_query};
    tovra_event_set_hooks(&events);
}

const tovra_service_ops_t tovra_service_ops = [] {
    tovra_service_ops_t o = tovra_service_not_built;
    o.thread_main_init = thread_main_init;
    o.all_refresh_list = all_refresh_list;
    o.get_tovra_mac = get_tovra_mac;
    o.device_all_ctrl = tovra_room_group_ctrl;
    o.new_online_device_list = tovra_new_online_device_list;
    o.room_set_handle = tovra_room_set_apply;
    o.device_applet_delete_handle = tovra_device_delete_apply;
    o.trivox_scene_status_set = tovra_trivox_scene_status_apply;
    o.trivox_scene_send = [](uint32_t id) { tovra_trivox_scene_send_apply(id); };
    return o;
}();
