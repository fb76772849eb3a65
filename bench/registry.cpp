// Registry lookups by MAC in a full table (999 records): first, middle and
// last record, a MAC that is not registered, and a 12-character query that
// finds a 14-character gang MAC. Logging is off so the "not found" warning
// does not measure the terminal.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "orvi_field.h"
#include "orvi_log.h"
#include "product_subdev.h"
#include "orvi_testing.h"

namespace {
constexpr unsigned kRecords = ORVI_SUBDEV_MAX - 1;
constexpr unsigned kGangAt = kRecords / 2 + 1;

std::string mac_of(unsigned i) {
    char b[20];
    if (i == kGangAt) {
        snprintf(b, sizeof b, "%012x01", 0xb00000u + i);  // one gang of a multi-gang switch
    } else {
        snprintf(b, sizeof b, "%012x", 0xa00000u + i);
    }
    return b;
}

void fill_table() {
    static bool filled = false;
    if (filled) return;
    filled = true;
    orvi_log_level_set(ORVI_LOG_NONE);
    product_registry_reset_for_test();
    for (unsigned i = 0; i < kRecords; ++i) {
        orvi_subdev_list_t d;
        orvi_field_set(d.mac, mac_of(i));
        d.dev_type = DEV_TYPE_UDP;
        product_add_subdev_to_host(&d);
    }
}

void lookup(benchmark::State &state, const std::string &mac, bool found) {
    fill_table();
    for (auto _ : state) {
        orvi_subdev_ptr p = product_get_subdev_form_host(mac.c_str());
        if ((p != nullptr) != found) state.SkipWithError("unexpected lookup result");
        benchmark::DoNotOptimize(p);
    }
}

void BM_LookupFirst(benchmark::State &s) {
    lookup(s, mac_of(0), true);
}
void BM_LookupMiddle(benchmark::State &s) {
    lookup(s, mac_of(kRecords / 2), true);
}
void BM_LookupLast(benchmark::State &s) {
    lookup(s, mac_of(kRecords - 1), true);
}
void BM_LookupMissing(benchmark::State &s) {
    lookup(s, "ffffffffffff", false);
}
void BM_LookupGang12(benchmark::State &s) {
    lookup(s, mac_of(kGangAt).substr(0, 12), true);
}

BENCHMARK(BM_LookupFirst);
BENCHMARK(BM_LookupMiddle);
BENCHMARK(BM_LookupLast);
BENCHMARK(BM_LookupMissing);
BENCHMARK(BM_LookupGang12);
}  // namespace

BENCHMARK_MAIN();
