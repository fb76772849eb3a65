// The in-process host the request benchmarks run against: a scratch board
// root (removed at exit, with the request queue), the request path wired as
// start-up wires it, and the host's identity.
// Called once, from the benchmark's main thread, before any timing.
#pragma once

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orvi_field.h"
#include "orvi_log.h"
#include "orvi_main.h"
#include "orvi_port.h"
#include "orvi_product.h"
#include "orvi_request.h"
#include "product_subdev.h"
#include "request_wiring.h"
#include "orvi_testing.h"

namespace bench_host {

inline std::string &root() {
    static std::string r;
    return r;
}

inline void cleanup() {
    orvi_request_queue_delete_for_test();
    if (!root().empty()) orvi_port_run_argv({"rm", "-rf", root()});
}

// A scratch root holding /tmp and the given board folders, the request path
// wired; log warnings only.
inline void scratch_root(const std::vector<std::string> &folders = {}) {
    orvi_log_level_set(ORVI_LOG_WARN);
    orvi_request_path_wire();
    char tmpl[] = "/tmp/orvi-bench-XXXXXX";
    if (mkdtemp(tmpl)) {
        root() = tmpl;
        orvi_port_set_root(root());
        std::vector<std::string> argv = {"mkdir", "-p", root() + "/tmp"};
        for (const std::string &f : folders)
            argv.push_back(root() + f);
        orvi_port_run_argv(argv);
    }
    std::atexit(cleanup);
}

inline void identity(const char *home_mac, const char *home_key) {
    orvi::MutexLock lk(orvi_dev_info_mutex());
    orvi_field_set(orvi_dev_info.home_mac_str, home_mac);
    orvi_field_set(orvi_dev_info.host_mac_str, "HOST0000000000B2");
    orvi_field_set(orvi_dev_info.random_key, "rand0123456789ab");
    orvi_field_set(orvi_dev_info.home_key, home_key);
    orvi_field_set(orvi_dev_info.default_key, ORVI_DEFAULT_KEY);
}

// The mini-app, registered and online with its own key.
inline void register_app(const char *key) {
    orvi_subdev_list_t app;
    orvi_field_set(app.mac, "miniApp");
    orvi_field_set(app.key, key);
    app.dev_type = DEV_TYPE_MINIPRO;
    app.online = 1;
    product_add_subdev_to_host(&app);
}

// One request task taking requests off the request queue for ever.
inline void start_request_task() {
    std::thread([] {
        request_task_t task;
        request_task_init(&task);
        for (;;) {
            request_type_t req;
            if (orvi_request_queue_recv(&req) == 0)
                request_task_process(&task, &req);
            else  // the queue is gone (the process is ending)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }).detach();
}

}  // namespace bench_host
