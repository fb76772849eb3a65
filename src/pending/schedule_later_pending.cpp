// Stand-ins for the schedule store until it is built: each records its call
// ("timer_node_Add <mac> <id> <multi> <max> <cmd>" ...). Add, Modify and
// delete report pending_result(); the capacity is 5; the list document is
// an empty list.
#include "pending/schedule_later_pending.h"

#include "pending/pending_calls.h"

struct timer_node_s {
    int32_t timer_id = 0;
    int pday = 0, hour = 0, min = 0, enable = 0;
    std::string cmd;
};

struct timer_app_list_s {
    int unused = 0;
};
timer_app_list_t timer_app_list;

void timer_node_deleter::operator()(timer_node_t *node) const {
    delete node;
}

timer_node_ptr timer_node_create(int32_t timer_id, int pday, int hour, int min, int enable, const char *cmd) {
    pending_record("timer_node_create", {std::to_string(timer_id), std::to_string(pday), std::to_string(hour),
                                         std::to_string(min), std::to_string(enable), pending_arg(cmd)});
    if (!cmd || pday < 0 || pday >= 128) return nullptr;
    timer_node_ptr n(new timer_node_t);
    n->timer_id = timer_id;
    n->pday = pday;
    n->hour = hour;
    n->min = min;
    n->enable = enable;
    n->cmd = cmd;
    return n;
}

int timer_node_Add(timer_app_list_t *, timer_node_ptr node, const char *mac, int isMultiSwitch,
                   int timers_max) {
    pending_record("timer_node_Add",
                   {pending_arg(mac), node ? std::to_string(node->timer_id) : "(null)",
                    std::to_string(isMultiSwitch), std::to_string(timers_max), node ? node->cmd : "(null)"});
    return pending_result();
}

int timer_node_Modify(timer_app_list_t *, const char *mac, int32_t timer_id, int pday, int hour, int min,
                      int enable, const char *cmd, int isMultiSwitch) {
    pending_record("timer_node_Modify", {pending_arg(mac), std::to_string(timer_id), std::to_string(pday),
                                         std::to_string(hour), std::to_string(min), std::to_string(enable),
                                         pending_arg(cmd), std::to_string(isMultiSwitch)});
    return pending_result();
}

int timer_app_delete(timer_app_list_t *, const char *mac, int32_t timer_id, int isMultiSwitch) {
    pending_record("timer_app_delete",
                   {pending_arg(mac), std::to_string(timer_id), std::to_string(isMultiSwitch)});
    return pending_result();
}

int orvi_timer_max_quantity_get(const char *mid) {
    pending_record("orvi_timer_max_quantity_get", {pending_arg(mid)});
    return 5;
}

std::string timer_app_list_get_Timedat(timer_app_list_t *) {
    pending_record("timer_app_list_get_Timedat", {});
    return R"({"t":"Timedat","list":[]})";
}
