// Cost of the hot paths of the runtime services: a list round trip of one
// message, and one tick over a full timer table.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "orvi_log.h"
#include "orvi_timer.h"
#include "queue_msg_list.h"

static void BM_ListRoundTrip(benchmark::State &state) {
    queue_msg_list list;
    queueMsgListInit(&list);
    std::string msg(static_cast<size_t>(state.range(0)), 'm');
    std::vector<char> out;
    for (auto _ : state) {
        insertQueMsgLengToList(&list, msg.data(), static_cast<int64_t>(msg.size()));
        getTheQueMsgInList(&list, out);
        benchmark::DoNotOptimize(out.data());
    }
    clearQueueMsgList(&list);
}
BENCHMARK(BM_ListRoundTrip)->Arg(64)->Arg(1024)->Arg(16 * 1024);

static void count_cb(void *ctx) {
    ++*static_cast<long *>(ctx);
}

static void BM_TickFullTable(benchmark::State &state) {
    orvi_log_level_set(ORVI_LOG_WARN);  // the tick's five-second line
    orvi_timer_service_stop();
    long fired = 0;
    for (int i = 0; i < ORVI_TIMER_MAX; ++i)
        orvi_timer_create(("t" + std::to_string(i)).c_str(), count_cb, 100L * (1 + i % 5), &fired, 1);
    for (auto _ : state)
        orvi_timer_tick_once();
    benchmark::DoNotOptimize(fired);
    orvi_timer_service_stop();
}
BENCHMARK(BM_TickFullTable);

BENCHMARK_MAIN();
