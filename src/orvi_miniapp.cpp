// Mini-app paged pushes and their resend. Lock order (orvi_lock_order.h):
// orvi_miniapp_push_mu -> orvi_miniapp_resend_mu -> a record's mu; the
// builders drop orvi_miniapp_push_mu before sending, and nothing here holds
// a lock while posting an event.
#include "orvi_miniapp.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "orvi_event_post.h"
#include "orvi_field.h"
#include "orvi_handlers.h"
#include "orvi_json.h"
#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_product.h"
#include "orvi_timer.h"

orvi::Mutex orvi_miniapp_push_mu;
orvi::Mutex orvi_miniapp_resend_mu;

namespace {
using json_ptr = orvi_json::json_ptr;

struct resend_state {
    orvi_timer_t timer GUARDED_BY(orvi_miniapp_resend_mu) = -1;
    int repeat GUARDED_BY(orvi_miniapp_resend_mu) = 0;  // miniAppRes_repeat
    orvi_subdev_ptr target GUARDED_BY(orvi_miniapp_resend_mu);
    std::string page GUARDED_BY(orvi_miniapp_resend_mu);
};
resend_state g_resend;

struct push_state {
    int online_checkCnt GUARDED_BY(orvi_miniapp_push_mu) = 0;
    int online_index GUARDED_BY(orvi_miniapp_push_mu) = 0;
    int check_checkCnt GUARDED_BY(orvi_miniapp_push_mu) = 0;
    int check_index GUARDED_BY(orvi_miniapp_push_mu) = 0;
    std::vector<std::string> failDev GUARDED_BY(orvi_miniapp_push_mu);
};
push_state g_push;

int post_send(const orvi_subdev_ptr &target) {
    return orvi_event_post_dev(ORVI_EVENT_MINIAPP_RES, target);
}

bool still_registered(const orvi_subdev_ptr &target) {
    for (const orvi_subdev_ptr &p : product_subdev_list_snapshot())
        if (p == target) return true;
    return false;
}

void stop_timer_locked(void) REQUIRES(orvi_miniapp_resend_mu) {
    if (g_resend.timer >= 0) orvi_timer_stop(g_resend.timer);
}

void resend_tick(void *) {
    orvi_subdev_ptr target;
    {
        orvi::MutexLock lk(orvi_miniapp_resend_mu);
        ORVI_LOGI("miniAppRes_repeat is %d", g_resend.repeat);
        if (g_resend.repeat > ORVI_MINIAPP_RESEND_MAX - 1) {
            g_resend.repeat = 0;
            stop_timer_locked();
            return;
        }
        ++g_resend.repeat;
        target = g_resend.target;
    }
    if (!target || !still_registered(target)) {
        orvi::MutexLock lk(orvi_miniapp_resend_mu);
        if (g_resend.target == target) {
            ORVI_LOGW("'%s' is no longer registered, page resend stopped", target ? target->mac : "");
            g_resend.repeat = 0;
            stop_timer_locked();
        }
        return;
    }
    post_send(target);
}

// Starts (or restarts) the resend timer; g_resend.mu held.
void start_timer_locked(void) REQUIRES(orvi_miniapp_resend_mu) {
    if (g_resend.timer >= 0 && orvi_timer_start(g_resend.timer) == 0) return;
    g_resend.timer =
        orvi_timer_create(ORVI_MINIAPP_RESEND_TIMER, resend_tick, ORVI_MINIAPP_RESEND_MS, nullptr, 1);
    if (g_resend.timer < 0) ORVI_LOGW("%s create fail!", ORVI_MINIAPP_RESEND_TIMER);
}

orvi_subdev_ptr target_or_miniapp(const orvi_subdev_ptr &target) {
    return target ? target : product_get_subdev_form_host(ORVI_MINIAPP_MAC);
}

// Whether a registry record belongs on a device-online or check-result page.
bool listed(const orvi_subdev_ptr &p, const std::string &home_mac, bool *online) {
    if (!p) {
        ORVI_LOGW("host_info->subList is NULL!");
        return false;
    }
    dev_type_t type = DEV_TYPE_NONE;
    orvi_subdev_locked(p, [&](orvi_subdev_list_t &r) {
        type = r.dev_type;
        *online = r.online == 1;
    });
    if (type == DEV_TYPE_MINIPRO || type == DEV_TYPE_NONE) return false;
    if (!home_mac.empty() && home_mac == p->mac) {
        ORVI_LOGW("why the subList have host info %s??????", p->mac);
        return false;
    }
    return true;
}

std::string print(const cJSON *j) {
    std::unique_ptr<char, decltype(&cJSON_free)> s(cJSON_PrintUnformatted(j), &cJSON_free);
    return s ? std::string(s.get()) : std::string();
}

// The stale-index rule of both pushes: true to ignore the index, else it
// becomes the page last sent; g_push.mu held.
bool stale_index(int *last, int index) {
    if (index < *last) {
        ORVI_LOGW("send device index is error,old:%d,new:%d", *last, index);
        return true;
    }
    *last = index;
    return false;
}
}  // namespace

int miniApp_retry_response_send(const orvi_subdev_ptr &target, const char *page) {
    if (!target || !page) {
        ORVI_LOGW("target or page is NULL!");
        return -1;
    }
    size_t len = strlen(page);
    if (len >= ORVI_SUBDEV_DATA_SIZE) {
        ORVI_LOGW("'%s' page of %zu characters is too long, not sent", target->mac, len);
        return -1;
    }
    {
        orvi::MutexLock lk(orvi_miniapp_resend_mu);
        stop_timer_locked();
        product_subdev_set_data(target, page);
        g_resend.page.assign(page, len);
        g_resend.target = target;
        g_resend.repeat = 0;
    }
    post_send(target);
    orvi::MutexLock lk(orvi_miniapp_resend_mu);
    // A push that started meanwhile owns the timer now.
    if (g_resend.target == target) start_timer_locked();
    return 0;
}

void checkRes_send_retry_cansle(void) {
    orvi::MutexLock lk(orvi_miniapp_resend_mu);
    g_resend.repeat = ORVI_MINIAPP_RESEND_MAX;
    ORVI_LOGI("miniAppRes_repeat is %d", g_resend.repeat);
}

int miniApp_resend_repeat(void) {
    orvi::MutexLock lk(orvi_miniapp_resend_mu);
    return g_resend.repeat;
}

int checkRes_devOnlinePush_send(const orvi_subdev_ptr &target, int index, bool start) {
    orvi_subdev_ptr dest = target_or_miniapp(target);
    if (!dest) {
        ORVI_LOGW("miniApp get dev target failed");
        return -1;
    }
    std::string page;
    {
        orvi::MutexLock lk(orvi_miniapp_push_mu);
        if (start) {
            ++g_push.online_checkCnt;
            index = 0;
            g_push.online_index = 0;
        } else if (stale_index(&g_push.online_index, index)) {
            return 0;
        }
        std::vector<orvi_subdev_ptr> table = product_subdev_list_snapshot();
        int devCnt = static_cast<int>(table.size());
        if (index < 0 || index >= devCnt - 1) {
            ORVI_LOGI("index_start:%d more than devCnt %d", index, devCnt);
            return 0;
        }
        json_ptr doc(cJSON_CreateObject());
        cJSON *online = cJSON_CreateArray();
        cJSON *offline = cJSON_CreateArray();
        if (!doc || !online || !offline) {
            cJSON_Delete(online);
            cJSON_Delete(offline);
            ORVI_LOGW("devOnlinePush json create fail!");
            return -1;
        }
        std::string home_mac = product_get_mac_str();
        // Skipped slots count toward the page's 100 as well.
        for (int slot = index, visited = 0; slot < devCnt && visited < ORVI_MINIAPP_PAGE_SLOTS;
             ++slot, ++visited) {
            bool on = false;
            if (!listed(table[slot], home_mac, &on)) continue;
            cJSON_AddItemToArray(on ? online : offline, cJSON_CreateString(table[slot]->mac));
        }
        cJSON_AddStringToObject(doc.get(), "t", "DevOnlinePush");
        cJSON_AddItemToObject(doc.get(), "online", online);
        cJSON_AddItemToObject(doc.get(), "offline", offline);
        cJSON_AddNumberToObject(doc.get(), "sum", devCnt - 1);
        cJSON_AddNumberToObject(doc.get(), "i", index);
        page = print(doc.get());
    }
    if (page.empty()) {
        ORVI_LOGW("devOnlinePush json create fail!");
        return -1;
    }
    return miniApp_retry_response_send(dest, page.c_str());
}

int checkRes_checkResPush_send(const orvi_subdev_ptr &target, int index, bool start) {
    orvi_subdev_ptr dest = target_or_miniapp(target);
    if (!dest) {
        ORVI_LOGW("miniApp get dev target failed");
        return -1;
    }
    std::string page;
    {
        orvi::MutexLock lk(orvi_miniapp_push_mu);
        if (start) {
            ++g_push.check_checkCnt;
            index = 0;
            g_push.check_index = 0;
            g_push.failDev.clear();
            std::string home_mac = product_get_mac_str();
            for (const orvi_subdev_ptr &p : product_subdev_list_snapshot()) {
                bool on = false;
                if (listed(p, home_mac, &on) && !on) g_push.failDev.emplace_back(p->mac);
            }
        } else if (stale_index(&g_push.check_index, index)) {
            return 0;
        }
        int size = static_cast<int>(g_push.failDev.size());
        if (index < 0 || (index >= size && size != 0)) {
            ORVI_LOGI("index_start:%d more than fail dev number %d", index, size);
            return 0;
        }
        json_ptr doc(cJSON_CreateObject());
        cJSON *failDev = cJSON_CreateArray();
        if (!doc || !failDev) {
            cJSON_Delete(failDev);
            ORVI_LOGW("checkRes_json == NULL || faiDevSend_json == NULL");
            return -1;
        }
        for (int i = index; i < size && i < index + ORVI_MINIAPP_PAGE_SLOTS; ++i)
            cJSON_AddItemToArray(failDev, cJSON_CreateString(g_push.failDev[i].c_str()));
        cJSON_AddStringToObject(doc.get(), "t", "CheckResPush");
        cJSON_AddItemToObject(doc.get(), "failDev", failDev);
        cJSON_AddNumberToObject(doc.get(), "i", index);
        cJSON_AddNumberToObject(doc.get(), "sum", size);
        cJSON_AddNumberToObject(doc.get(), "checkId", g_push.check_checkCnt);
        page = print(doc.get());
    }
    if (page.empty()) {
        ORVI_LOGW("checkRes_json == NULL || faiDevSend_json == NULL");
        return -1;
    }
    return miniApp_retry_response_send(dest, page.c_str());
}

int miniApp_devListPush_Package_send(const orvi_subdev_ptr &target, int index, int sum, cJSON *devList) {
    json_ptr list(devList);
    orvi_subdev_ptr dest = target_or_miniapp(target);
    if (!dest) {
        ORVI_LOGW("miniApp get dev target failed");
        return -1;
    }
    json_ptr doc(cJSON_CreateObject());
    if (!doc || !list) {
        ORVI_LOGW("json_push create fail!");
        return -1;
    }
    cJSON_AddStringToObject(doc.get(), "t", "devListPush");
    cJSON_AddNumberToObject(doc.get(), "i", index);
    cJSON_AddNumberToObject(doc.get(), "sum", sum);
    cJSON_AddItemToObject(doc.get(), "devList", list.release());
    std::string page = print(doc.get());
    if (page.empty()) {
        ORVI_LOGW("json_push create fail!");
        return -1;
    }
    return miniApp_retry_response_send(dest, page.c_str());
}

int orvi_miniApp_devListPush_send(const orvi_subdev_ptr &target, int fromRegistry, int index,
                                  orvi_subdev_info_list_t *list, int devType) {
    if (!fromRegistry && !list) {
        ORVI_LOGW("dev or list is NULL");
        return -1;
    }
    orvi_subdev_ptr dest = target_or_miniapp(target);
    if (!dest) {
        ORVI_LOGW("miniApp get dev target failed");
        return -1;
    }
    cJSON *devs;
    int sum;
    if (fromRegistry) {
        devs = product_devList_subdev_jsonArry_get(index, ORVI_MINIAPP_DEVLIST_PAGE, devType);
        const std::vector<orvi_subdev_ptr> table = product_subdev_list_snapshot();
        sum = product_subDevList_devType_count(table.data(), static_cast<int>(table.size()), devType);
    } else {
        devs = product_devList_info_jsonArry_get(list, index, ORVI_MINIAPP_DEVLIST_PAGE, devType);
        sum = static_cast<int>(list->subdev_count.load());
    }
    if (!devs) return 0;
    return miniApp_devListPush_Package_send(dest, index, sum, devs);
}

// "miniAppRes": the page in resend when this record is its target, else the
// text prepared in the record's `data`; to the mini-app only.
ORVI_SENDER(orvi_send_miniAppRsp) {
    if (!req || !dev) return -1;
    orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
    if (f.dev_type != DEV_TYPE_MINIPRO) {
        ORVI_LOGW("'%s' isn't the mini-app, miniAppRes not sent", dev->mac);
        return -1;
    }
    std::string text;
    {
        orvi::MutexLock lk(orvi_miniapp_resend_mu);
        if (g_resend.target == dev) text = g_resend.page;
    }
    if (text.empty()) text = f.data;
    if (text.empty()) {
        ORVI_LOGW("'%s' has no page to send", dev->mac);
        return -1;
    }
    req->rsp_data = text;
    req->rsp_size = text.size();
    req->rsp_key = AES_KEY_TYPE_RANDOM;
    return 0;
}

// ---- Test entries ------------------------------------------------------------
// Declared in tests/support/orvi_testing.h; the daemon never calls them.

void orvi_miniapp_reset_for_test(void) {
    {
        orvi::MutexLock lk(orvi_miniapp_resend_mu);
        g_resend.timer = -1;
        g_resend.repeat = 0;
        g_resend.target.reset();
        g_resend.page.clear();
    }
    orvi::MutexLock lk(orvi_miniapp_push_mu);
    g_push.online_checkCnt = g_push.online_index = 0;
    g_push.check_checkCnt = g_push.check_index = 0;
    g_push.failDev.clear();
}
