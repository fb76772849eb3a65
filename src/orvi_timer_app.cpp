#include "orvi_timer_app.h"

#include "orvi_seam.h"

struct timer_app_list_s {
    int dev_timer_count = 0;
};
timer_app_list_t timer_app_list;

namespace {

int server_not_built(void) {
    ORVI_NOT_BUILT("server_timer_app");
    return -1;
}
int app_info_not_built(void) {
    ORVI_NOT_BUILT("app_info_server");
    return -1;
}
timer_node_ptr create_not_built(int32_t, int, int, int, int, const char *) {
    ORVI_NOT_BUILT("timer_node_create");
    return nullptr;
}
int add_not_built(timer_app_list_t *, timer_node_ptr, const char *, int, int) {
    ORVI_NOT_BUILT("timer_node_Add");
    return -1;
}
int modify_not_built(timer_app_list_t *, const char *, int32_t, int, int, int, int, const char *, int) {
    ORVI_NOT_BUILT("timer_node_Modify");
    return -1;
}
int delete_not_built(timer_app_list_t *, const char *, int32_t, int) {
    ORVI_NOT_BUILT("timer_app_delete");
    return -1;
}
int max_not_built(const char *) {
    ORVI_NOT_BUILT("orvi_timer_max_quantity_get");
    return -1;
}
std::string timedat_not_built(timer_app_list_t *) {
    ORVI_NOT_BUILT("timer_app_list_get_Timedat");
    return "";
}
void refresh_not_built(timer_app_list_t *) {
    ORVI_NOT_BUILT("timer_execute_time_refresh_all");
}

}  // namespace

const orvi_timer_app_ops_t orvi_timer_app_not_built = {
    server_not_built, app_info_not_built, create_not_built,  add_not_built,     modify_not_built,
    delete_not_built, max_not_built,      timedat_not_built, refresh_not_built,
};

namespace {
orvi_seam<orvi_timer_app_ops_t> g_timer_app(&orvi_timer_app_not_built);
}

void orvi_timer_app_install(const orvi_timer_app_ops_t *ops) {
    g_timer_app.install(ops);
}

int server_timer_app(void) {
    return g_timer_app.get(&orvi_timer_app_ops_t::server_timer_app)();
}

int app_info_server(void) {
    return g_timer_app.get(&orvi_timer_app_ops_t::app_info_server)();
}

timer_node_ptr timer_node_create(int32_t timer_id, int pday, int hour, int min, int enable, const char *cmd) {
    return g_timer_app.get(&orvi_timer_app_ops_t::node_create)(timer_id, pday, hour, min, enable, cmd);
}

int timer_node_Add(timer_app_list_t *list, timer_node_ptr node, const char *mac, int isMultiSwitch,
                   int timers_max) {
    return g_timer_app.get(&orvi_timer_app_ops_t::node_add)(list, std::move(node), mac, isMultiSwitch,
                                                            timers_max);
}

int timer_node_Modify(timer_app_list_t *list, const char *mac, int32_t timer_id, int pday, int hour, int min,
                      int enable, const char *cmd, int isMultiSwitch) {
    return g_timer_app.get(&orvi_timer_app_ops_t::node_modify)(list, mac, timer_id, pday, hour, min, enable,
                                                               cmd, isMultiSwitch);
}

int timer_app_delete(timer_app_list_t *list, const char *mac, int32_t timer_id, int isMultiSwitch) {
    return g_timer_app.get(&orvi_timer_app_ops_t::app_delete)(list, mac, timer_id, isMultiSwitch);
}

int orvi_timer_max_quantity_get(const char *mid) {
    return g_timer_app.get(&orvi_timer_app_ops_t::max_quantity_get)(mid);
}

std::string timer_app_list_get_Timedat(timer_app_list_t *list) {
    return g_timer_app.get(&orvi_timer_app_ops_t::get_Timedat)(list);
}

void timer_execute_time_refresh_all(timer_app_list_t *list) {
    g_timer_app.get (&orvi_timer_app_ops_t::refresh_all)(list);
}
