// Status reports per second through the host, in one process: 100
// registered devices of the sample model take turns sending a sealed
// "binStatus" report. Each goes through the real request queue and request
// task: the envelope is opened, the report decoded by the model's codec
// plug-in (loaded and unloaded per report, as on the board), stored, and
// acknowledged (the answer sealed; the transport write is a no-op). Then the
// "jsonStatus" send that event 4100 queues runs the fan-out, which seals
// the status and queues it on the real local MQTT transport lists (no
// broker: the lists are emptied now and then). The event loop is not
// running, so the 4100 posts fail at once and are freed: on the board that
// loop takes at most 20 events a second, which bounds the fan-out of binary
// reports there whatever this figure says. Log level ERROR: the fan-out's send builds no
// packet and the task notes each one with a WARN line, whose output would
// otherwise be most of the cost.
//
// BM_StatusReportOnly leaves the fan-out out, to show its share.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "local_mqtt.h"
#include "bench_host.h"
#include "orvi_aes.h"
#include "orvi_base64.h"
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
constexpr int kDevices = 100;

std::vector<orvi_subdev_ptr> g_devs;
std::vector<std::string> g_reports;  // two sealed reports per device (pow 0 / pow 1)

std::string mac_of(int i) {
    char mac[16];
    snprintf(mac, sizeof mac, "a1b2c3%06x", i);
    return mac;
}

std::string sealed_report(const std::string &mac, int pow, int lum) {
    const uint8_t frame[4] = {0xA5, static_cast<uint8_t>(pow), static_cast<uint8_t>(lum), 0};
    std::string b64;
    Base64Encode(frame, b64, sizeof frame);
    std::string cipher = R"({"t":"binStatus","mac":")" + mac + R"(","binStatus":")" + b64 + "\"}";
    orvi_aes_encrypt(kDevKey, cipher);
    std::string env;
    orvi_envelope_build(AES_KEY_TYPE_RANDOM, SOCKET_CONNECT_TYPE_UDP, mac, kHomeMac, 1, cipher, -1, nullptr,
                        env);
    return env;
}

// A scratch root with the sample plug-in, an identity, 100 devices.
struct Setup {
    Setup() {
        bench_host::scratch_root({"/data/domivault/data/lib"});
        orvi_log_level_set(ORVI_LOG_ERROR);
        {
            std::ifstream in(std::string(ORVI_BINARY_DIR) + "/lib/lib90001.so", std::ios::binary);
            std::ofstream out(bench_host::root() + "/data/domivault/data/lib/lib90001.so", std::ios::binary);
            out << in.rdbuf();
        }
        bench_host::identity(kHomeMac, "home0123456789ab");
        for (int i = 0; i < kDevices; ++i) {
            orvi_subdev_list_t d;
            orvi_field_set(d.mac, mac_of(i));
            orvi_field_set(d.key, kDevKey);
            orvi_field_set(d.mid, "90001");
            d.dev_type = DEV_TYPE_UDP;
            d.online = 1;
            g_devs.push_back(product_add_subdev_to_host(&d));
            g_reports.push_back(sealed_report(mac_of(i), 0, i % 101));
            g_reports.push_back(sealed_report(mac_of(i), 1, i % 101));
        }
        orvi_request_queue_create();
        request_wiring::writers_set(
            [](const std::string &, const dev_socket_t &, const orvi_subdev_ptr &) { return 0; });
    }
};

void setup_once() {
    static Setup setup;
}

void run(benchmark::State &state, bool fanout) {
    setup_once();
    request_task_t task;
    request_task_init(&task);
    request_type_t in;
    in.data_type = DATA_TYPE_NEED_PARSE;
    in.sockinfo.type = SOCKET_CONNECT_TYPE_UDP;
    in.sockinfo.fd = 5;
    uint64_t n = 0;
    for (auto _ : state) {
        const size_t dev = n % kDevices;
        in.data = g_reports[2 * dev + (n / kDevices) % 2];
        ++n;
        request_type_t req;
        if (orvi_request_queue_send(&in) != 0 || orvi_request_queue_try_recv(&req) != 0) {
            state.SkipWithError("request queue failed");
            break;
        }
        if (request_task_process(&task, &req) != 0) {
            state.SkipWithError("the report was not acknowledged");
            break;
        }
        if (!fanout) continue;
        // What event 4100 queues: the "jsonStatus" send of the record.
        request_type_t send;
        send.data_type = DATA_TYPE_ONLY_SEND;
        send.data = "jsonStatus";
        send.sockinfo.type = SOCKET_CONNECT_TYPE_MULTICAST;
        send.ctx.dev = g_devs[dev];
        request_task_process(&task, &send);
        if (n % 1000 == 0) local_mqtt_pending_clear();
    }
    local_mqtt_pending_clear();
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_StatusReportWithFanout(benchmark::State &state) {
    run(state, true);
}
BENCHMARK(BM_StatusReportWithFanout);

void BM_StatusReportOnly(benchmark::State &state) {
    run(state, false);
}
BENCHMARK(BM_StatusReportOnly);

}  // namespace

BENCHMARK_MAIN();
