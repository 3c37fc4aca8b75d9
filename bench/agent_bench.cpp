// How long the agent's document handling takes on realistic and worst-case
// inputs: parsing a metadata document, and walking a full token record.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "agent/agent.h"
#include "agent/json.h"
#include "bench/metadata_doc.h"

namespace {

void parse(benchmark::State &state, const std::string &text) {
    auto doc = std::make_unique<json_doc>();
    for (auto _ : state) {
        int r = json_parse(doc.get(), text.data(), text.size());
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_ParseMetaData(benchmark::State &state) { parse(state, bench::sample("meta_data.json")); }
void BM_ParseNetworkData(benchmark::State &state) { parse(state, bench::sample("network_data.json")); }

// The largest document the record holds: 511 members' worth of tokens.
void BM_ParseFullRecord(benchmark::State &state) {
    std::string text = "{";
    for (int i = 0; i < 255; i++) {
        if (i) text += ",";
        text += "\"key" + std::to_string(i) + "\":\"" + std::string(200, 'v') + "\"";
    }
    text += "}";
    parse(state, text);
}

// Member lookup is a linear scan; the last key is the worst case.
void BM_LookupLastMember(benchmark::State &state) {
    // 127 members of four tokens each (key, array, two numbers) fill the record.
    std::string text = "{";
    for (int i = 0; i < 127; i++) {
        if (i) text += ",";
        text += "\"key" + std::to_string(i) + "\":[1,2]";
    }
    text += "}";
    auto doc = std::make_unique<json_doc>();
    if (json_parse(doc.get(), text.data(), text.size()) != 0) {
        state.SkipWithError("parse failed");
        return;
    }
    for (auto _ : state) {
        int r = json_get(doc.get(), 0, "key126");
        benchmark::DoNotOptimize(r);
    }
}

BENCHMARK(BM_ParseMetaData);
BENCHMARK(BM_ParseNetworkData);
BENCHMARK(BM_ParseFullRecord);
BENCHMARK(BM_LookupLastMember);

}  // namespace
