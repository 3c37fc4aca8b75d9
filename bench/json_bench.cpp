// The agent's JSON reader against two yardsticks on the same texts: RapidJSON's
// SAX reader with a handler that does nothing, and simdjson's DOM parser (one
// parser object reused). Each document is read once before the runs so that
// every parser sees it from memory.
#include <benchmark/benchmark.h>
#include <rapidjson/reader.h>
#include <simdjson.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "agent/agent.h"
#include "agent/json.h"
#include "bench/metadata_doc.h"

namespace {

void reader(benchmark::State &state, const std::string &text) {
    auto doc = std::make_unique<json_doc>();
    if (json_parse(doc.get(), text.data(), text.size()) != 0) {
        state.SkipWithError("document refused");
        return;
    }
    for (auto _ : state) {
        int r = json_parse(doc.get(), text.data(), text.size());
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void rapidjson_sax(benchmark::State &state, const std::string &text) {
    rapidjson::Reader parser;
    rapidjson::BaseReaderHandler<> handler;
    for (auto _ : state) {
        rapidjson::StringStream in(text.c_str());
        bool ok = !parser.Parse<rapidjson::kParseDefaultFlags>(in, handler).IsError();
        if (!ok) {
            state.SkipWithError("document refused");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void simdjson_dom(benchmark::State &state, const std::string &text) {
    simdjson::dom::parser parser;
    simdjson::padded_string padded(text);
    for (auto _ : state) {
        simdjson::dom::element root;
        if (parser.parse(padded).get(root) != simdjson::SUCCESS) {
            state.SkipWithError("document refused");
            break;
        }
        benchmark::DoNotOptimize(root);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// json/<document>/<parser>, for every document and every parser.
void register_document(const std::string &name, const std::string &text) {
    benchmark::RegisterBenchmark(("json/" + name + "/reader").c_str(), reader, text);
    benchmark::RegisterBenchmark(("json/" + name + "/rapidjson").c_str(), rapidjson_sax, text);
    benchmark::RegisterBenchmark(("json/" + name + "/simdjson").c_str(), simdjson_dom, text);
}

}  // namespace

int main(int argc, char **argv) {
    register_document("metadata_150k", bench::large_meta_data());
    register_document("meta_data", bench::sample("meta_data.json"));
    register_document("network_data", bench::sample("network_data.json"));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
