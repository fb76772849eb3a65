// From the local broker to the lighting module, against the daemon as it
// runs: this build's orvi_hc on a virtual board with simmodule and 8 lights.
// A sibling publishes one request on the board's broker (simsvc emit, its
// clock read just before the publish, the connection already up) and the
// figure is the time until simmodule reads the command's first frame from
// "/dev/ttyS5" (its frame log, the same monotonic clock):
//   BrokerToFrame/0  "scene/broadcast": the scene run, opened with the host's
//                    random key and queued as the scene control;
//   BrokerToFrame/1  "/jsonRequest/<home>/<light>": a light's "Pow", opened
//                    with the home key, turned into the device control by the
//                    light model's codec and queued.
// Each iteration is one request to an idle service (manual time: its
// latency): the next goes once the module read every copy of it and the host
// then wrote nothing for half a second, so no pause of the last request is
// still running. A request that comes during such a pause waits it out
// (100 to 200 ms on the main queue), as it would on the board.
// The figure includes the message's QoS 2 delivery through the broker
// (publish, its release, then the delivery to the host): that part, not the
// host's, is what spreads the figures; from the host's receipt to the first
// frame is the 10 ms pass of the writing thread at most.
// Counters: p50_ms, p99_ms over the iterations, and handle_pass_ms, the
// period of the thread that writes (the host's pacing floor for a frame on
// an idle queue).
// Needs root and bubblewrap, as the scenario tests.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tovra_board.h"

namespace {

using namespace tovra_bench;
constexpr int kLights = 8;
constexpr int kRequests = 40;

// The publish time simsvc printed, or -1.
double published_at(const std::string &out) {
    const size_t at = out.find("published at ");
    return at == std::string::npos ? -1 : std::stod(out.substr(at + 13));
}

void BM_BrokerToFrame(benchmark::State &state) {
    const bool control = state.range(0) == 1;
    LightBoard b(kLights);
    std::string why;
    if (!b.up(why)) return state.SkipWithError(("no board: " + why).c_str());
    const std::string light = "02c100000001";
    std::vector<double> ms;
    int k = 0;
    for (auto _ : state) {
        ++k;
        std::vector<std::string> cmd = {kBin + "simsvc", "emit", "--stamp"};
        std::string prefix;
        size_t copies;
        if (control) {
            cmd.insert(cmd.end(), {"--cid", kHome, "--tcid", light, "event",
                                   std::string("/jsonRequest/") + kHome + "/" + light,
                                   std::string(R"({"t":"cmd","opt":["Pow"],"p":[)") + (k % 2 ? "1" : "0") + "]}"});
            // Device control (op 01) of address 1.
            prefix = hex_of("AT+IHG") + "0c010001";
            copies = 2;
        } else {
            char id[16];
            snprintf(id, sizeof id, "%06x", 1000 + k);
            cmd.insert(cmd.end(), {"event", "scene/broadcast", "{\"subSceneID\":" + std::to_string(1000 + k) + "}"});
            // Scene control (op 0c) of the id, to the whole network.
            prefix = hex_of("AT+IHG") + "080c00000003" + id;
            copies = 3;
        }
        const size_t from = b.frame_lines();
        Board::Result r = b.board().exec(cmd);
        const double sent = published_at(r.out);
        if (r.status != 0 || sent < 0) return state.SkipWithError(("emit failed: " + r.out).c_str());
        std::vector<double> seen;
        const bool done = eventually(
            [&] {
                seen.clear();
                for (const LightBoard::frame &f : b.frames_from(from))
                    if (f.dir == "in" && f.hex.compare(0, prefix.size(), prefix) == 0) seen.push_back(f.t);
                return seen.size() >= copies;
            },
            std::chrono::seconds(30));
        if (!done) return state.SkipWithError("the command did not reach the module within 30 s");
        for (size_t lines = b.frame_lines();;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            const size_t now = b.frame_lines();
            if (now == lines) break;
            lines = now;
        }
        const double latency = seen.front() - sent;
        state.SetIterationTime(latency);
        ms.push_back(latency * 1000);
    }
    std::sort(ms.begin(), ms.end());
    if (!ms.empty()) {
        state.counters["p50_ms"] = ms[ms.size() / 2];
        state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    }
    state.counters["handle_pass_ms"] = 10;
}
BENCHMARK(BM_BrokerToFrame)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kRequests);

}  // namespace

BENCHMARK_MAIN();
