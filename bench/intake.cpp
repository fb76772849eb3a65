// Requests per second through the intake on one thread: queue a sealed
// "ret" envelope from a registered subdevice, take it off the queue, open
// it, find the record among 200, dispatch it to a trivial handler and seal
// the answer (the transport write is replaced by a no-op). Log level WARN,
// so the per-request INFO lines are not part of the cost.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "bench_host.h"
#include "orvi_aes.h"
#include "orvi_envelope.h"
#include "orvi_field.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_product.h"
#include "orvi_request.h"
#include "product_subdev.h"

namespace {

const char kHomeMac[] = "HOME0000000000A1";
const char kDevKey[] = "dev00123456789ab";

int answer_ret(cJSON *, request_data_t *req, const orvi_subdev_ptr &) {
    orvi_request_set_response_text(req, R"({"t":"ret","r":200})", AES_KEY_TYPE_RANDOM);
    return 0;
}

// A scratch root for the queue's key directory, an identity, 200 records.
struct Setup {
    Setup() {
        bench_host::scratch_root();
        bench_host::identity(kHomeMac, "home0123456789ab");
        for (int i = 0; i < 200; ++i) {
            orvi_subdev_list_t d;
            char mac[16];
            snprintf(mac, sizeof mac, "a1b2c3%06x", i);
            orvi_field_set(d.mac, mac);
            orvi_field_set(d.key, kDevKey);
            d.dev_type = DEV_TYPE_UDP;
            product_add_subdev_to_host(&d);
        }
        orvi_request_queue_create();
        dispatch.replace("ret", answer_ret);
        dispatch.replace("homeBind", answer_ret);
        dispatch.install();
        request_wiring::writers_set(
            [](const std::string &, const dev_socket_t &, const orvi_subdev_ptr &) { return 0; });
    }
    // The handlers' tables with "ret" and "homeBind" answering at once.
    request_wiring::dispatch dispatch;
};

void setup_once() {
    static Setup setup;
}

std::string sealed_request(const char *cid) {
    std::string cipher = R"({"t":"ret","mac":"a1b2c3000063","r":200,"msgId":42})";
    orvi_aes_encrypt(kDevKey, cipher);
    std::string env;
    orvi_envelope_build(AES_KEY_TYPE_RANDOM, SOCKET_CONNECT_TYPE_UDP, cid, kHomeMac, 42, cipher, -1, nullptr,
                        env);
    return env;
}

void BM_IntakeRoundTrip(benchmark::State &state) {
    setup_once();
    request_task_t task;
    request_task_init(&task);
    request_type_t in;
    in.data_type = DATA_TYPE_NEED_PARSE;
    in.data = sealed_request("a1b2c30000c7");  // the last of the 200 records
    in.sockinfo.type = SOCKET_CONNECT_TYPE_UDP;
    in.sockinfo.fd = 5;
    for (auto _ : state) {
        request_type_t req;
        if (orvi_request_queue_send(&in) != 0 || orvi_request_queue_try_recv(&req) != 0) {
            state.SkipWithError("request queue failed");
            break;
        }
        if (request_task_process(&task, &req) != 0) {
            state.SkipWithError("no answer");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_IntakeRoundTrip);

// The table dispatch alone, for the last row of the table.
void BM_DispatchOnly(benchmark::State &state) {
    setup_once();
    auto dev = std::make_shared<orvi_subdev_list_t>();
    request_data_t work;
    work.conn = SOCKET_CONNECT_TYPE_BLE;
    for (auto _ : state) {
        work.req_data = R"({"t":"homeBind","key":"0123456789abcdef"})";
        if (request_handle(&work, AES_KEY_TYPE_NONE, dev) != 0) state.SkipWithError("not dispatched");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_DispatchOnly);

}  // namespace

BENCHMARK_MAIN();
