// Status polling of a full lighting network, against the daemon as it runs:
// this build's orvi_hc on a virtual board with simmodule playing the module
// and 200 lights on the board's "/dev/ttyS5". The 200 lights are in the
// home (pushed by the app) and the lighting table has them all offline, as
// after the module was swapped; one "tovra/check" for the whole network then
// asks each of them once, in lists of eight, until every light answered.
//   WholeCycle/200  from the first status query the host writes until every
//                   light is online again in the lighting table (manual
//                   time), with:
//                   queries       status-query frames the host wrote,
//                   reports       status frames the lights sent back,
//                   pacing_limit_s the pacing the host keeps by design: 25
//                                 lists of eight, each but the last followed
//                                 by its answer wait of 0.5 s + 255 x 15 /
//                                 100 ticks (4.3 s),
//                   host_cpu_pct  the daemon's CPU time over the cycle's
//                                 wall time, all its threads,
//                   host_rss_kb   the daemon's resident set, the most seen
//                                 during the cycle (sampled every 200 ms).
// One iteration: the whole-network query runs at most once per 300 s.
// Needs root and bubblewrap, as the scenario tests.
#include <benchmark/benchmark.h>

#include <chrono>
#include <fstream>
#include <string>

#include "tovra_board.h"

namespace {

using namespace tovra_bench;
constexpr int kLights = 200;

void BM_WholeCycle(benchmark::State &state) {
    LightBoard b(kLights);
    std::string why;
    if (!b.up(why)) return state.SkipWithError(("no board: " + why).c_str());
    for (auto _ : state) {
        if (b.sql("UPDATE fa_table SET ONLINE=0; SELECT count(*) FROM fa_table WHERE ONLINE=0;") !=
            std::to_string(kLights))
            return state.SkipWithError("the lighting table could not be marked offline");
        const size_t from = b.frame_lines();
        long t0 = 0, t1 = 0, rss = 0, rss_max = 0;
        b.usage(t0, rss);
        const auto start = clk::now();
        if (b.board().exec({kBin + "simsvc", "emit", "event", "tovra/check", R"({"sub":"0"})"}).status != 0)
            return state.SkipWithError("tovra/check not sent");
        const bool done = eventually(
            [&] {
                long ticks = 0, kb = 0;
                if (b.usage(ticks, kb) && kb > rss_max) rss_max = kb;
                return b.sql("SELECT count(*) FROM fa_table WHERE ONLINE=1;") == std::to_string(kLights);
            },
            std::chrono::seconds(400));
        const double wall = std::chrono::duration<double>(clk::now() - start).count();
        b.usage(t1, rss);
        if (!done) {
            const std::string keep = "/tmp/bench_tovra_poll.daemon.log";
            std::ofstream(keep) << b.board().logs();
            fprintf(stderr, "offline left: %s; the daemon's log: %s\n",
                    b.sql("SELECT group_concat(ADDR) FROM fa_table WHERE ONLINE=0;").c_str(), keep.c_str());
            return state.SkipWithError("the lights were not all online again within 400 s");
        }
        long queries = 0, reports = 0, list_queries = 0, dummy = 0;
        double first = 0, unused = 0;
        b.frames(from, hex_of("AT+BYPASS"), hex_of("AT+MDATA"), list_queries, reports, first);
        b.frames(from, hex_of("AT+IHG") + "0906", "-", queries, dummy, unused);  // single-device queries
        queries += list_queries;
        // From the emit: the host's first query comes within its 10 ms pass.
        state.SetIterationTime(wall);
        state.counters["queries"] = static_cast<double>(queries);
        state.counters["reports"] = static_cast<double>(reports);
        // 25 lists of eight, each but the last followed by its answer wait.
        state.counters["pacing_limit_s"] = (kLights / 8 - 1) * (5 + 255 * 15 / 100) / 10.0;
        state.counters["host_cpu_pct"] = 100.0 * static_cast<double>(t1 - t0) / sysconf(_SC_CLK_TCK) / wall;
        state.counters["host_rss_kb"] = static_cast<double>(rss_max);
    }
}
BENCHMARK(BM_WholeCycle)->Arg(kLights)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
