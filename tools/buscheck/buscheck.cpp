// buscheck: drives the host's event bus client from a shell inside the board,
// for field checks and the scenario tests. Product log lines are silenced;
// standard output carries only results.
//
//   buscheck sub FILTER COUNT [TIMEOUT_MS]
//       subscribes (class "status") and prints "msg TOPIC PAYLOAD" for every delivered
//       message, PAYLOAD decoded from Base64; ends after COUNT messages (status 0), on
//       time-out (2) or when the broker refuses (prints "refused", status 3)
//   buscheck pub TOPIC COUNT [FIRST]
//       publishes COUNT event messages through the sender thread, the body of message
//       i being {"cols":["seq"],"dat":["m<FIRST+i>"]}; waits until all are written
//   buscheck select FILTER
//       one query; prints "answer BYTES" and a "msg" line per message of the answer
#include <cJSON.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "event_msg.h"
#include "orvi_base64.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "uds_client.h"

namespace {

std::atomic<int> g_exit{0};
std::atomic<int> g_seen{0};
int g_want = 0;

void print_messages(const char *frame) {
    cJSON *root = cJSON_Parse(frame);
    const cJSON *outer = cJSON_GetObjectItemCaseSensitive(root, "data");
    const cJSON *list = cJSON_GetObjectItemCaseSensitive(outer, "data");
    const cJSON *m = nullptr;
    cJSON_ArrayForEach(m, list) {
        const cJSON *topic = cJSON_GetObjectItemCaseSensitive(m, "topic");
        const cJSON *payload = cJSON_GetObjectItemCaseSensitive(m, "payload");
        std::vector<uint8_t> raw;
        if (cJSON_IsString(payload))
            Base64Decode(payload->valuestring, raw, std::string(payload->valuestring).size());
        printf("msg %s %.*s\n", cJSON_IsString(topic) ? topic->valuestring : "", static_cast<int>(raw.size()),
               reinterpret_cast<const char *>(raw.data()));
        if (++g_seen >= g_want) g_exit.store(1);
    }
    fflush(stdout);
    cJSON_Delete(root);
}

int run_sub(const char *filter, int count, unsigned timeout_ms) {
    g_want = count;
    std::atomic<int> rc{1};
    std::atomic<bool> done{false};
    std::thread t([&] {
        rc.store(event_subscribe("status", filter, print_messages, &g_exit));
        done.store(true);
    });
    uint64_t until = orvi_port_monotonic_ms() + timeout_ms;
    while (!done.load() && orvi_port_monotonic_ms() < until)
        orvi_port_sleep_ms(20);
    if (!done.load()) g_exit.store(1);
    t.join();
    if (rc.load() == -1) {
        printf("refused\n");
        return 3;
    }
    return g_seen.load() >= count ? 0 : 2;
}

int run_pub(const char *topic, int count, int first) {
    if (server_event_brocker() != 0) return 1;
    for (int i = 0; i < count; ++i) {
        cJSON *cols = cJSON_CreateArray();
        cJSON_AddItemToArray(cols, cJSON_CreateString("seq"));
        cJSON *dat = cJSON_CreateArray();
        cJSON_AddItemToArray(dat, cJSON_CreateString(("m" + std::to_string(first + i)).c_str()));
        cJSON *payload =
            event_msg_payload_aseemble("buscheck", "", "", event_msg_plaintext_aseemble(cols, dat));
        cJSON *msg = event_msg_send_aseemble(0, topic, payload, "host", "data", 0);
        char *text = msg ? cJSON_PrintUnformatted(msg) : nullptr;
        cJSON_Delete(msg);
        if (!text || event_publish(text, strlen(text)) != 0) {
            cJSON_free(text);
            return 1;
        }
        cJSON_free(text);
    }
    uint64_t until = orvi_port_monotonic_ms() + 30000;
    while (event_publish_pending() > 0 && orvi_port_monotonic_ms() < until)
        orvi_port_sleep_ms(20);
    if (event_publish_pending() > 0) return 2;
    printf("published %d\n", count);
    return 0;
}

int run_select(const char *filter) {
    std::string answer;
    if (event_select("status", filter, answer) != 0) {
        printf("no answer\n");
        return 1;
    }
    printf("answer %zu\n", answer.size());
    g_want = 1 << 30;
    print_messages(answer.c_str());
    return 0;
}

int usage(FILE *to = stderr) {
    fprintf(to,
            "usage: buscheck sub FILTER COUNT [TIMEOUT_MS]\n"
            "       buscheck pub TOPIC COUNT [FIRST]\n"
            "       buscheck select FILTER\n"
            "Drives the host's event bus client on the board (see buscheck.cpp).\n");
    return to == stdout ? 0 : 64;
}

}  // namespace

int main(int argc, char **argv) {
    orvi_log_level_set(ORVI_LOG_NONE);
    log_level.store(0);
    if (argc == 2 && (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h"))) return usage(stdout);
    if (argc < 3) return usage();
    std::string cmd = argv[1];
    int rc;
    if (cmd == "sub" && argc >= 4)
        rc = run_sub(argv[2], atoi(argv[3]), argc > 4 ? static_cast<unsigned>(atol(argv[4])) : 30000);
    else if (cmd == "pub" && argc >= 4)
        rc = run_pub(argv[2], atoi(argv[3]), argc > 4 ? atoi(argv[4]) : 0);
    else if (cmd == "select")
        rc = run_select(argv[2]);
    else
        return usage();
    fflush(stdout);
    // The sender thread never ends; leave without running destructors under it.
    _exit(rc);
}
