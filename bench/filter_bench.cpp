// The terminal-sequence filter on plain service output (no sequences, so the
// buffer is the same after every pass) against memcpy of the same buffer.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "servicelog/servicelog.h"

namespace {

// One read of the capture's pipe: log lines of varied length.
std::string plain_block() {
    static const char *const lines[] = {
        "[seedcfg] configuration ready\n",
        "[dashwick] GET /api/system 200\n",
        "service dropbear restarted after 0.42 s, pid 1187, listening on 0.0.0.0:22\n",
        "\tat step 4 of 7: settings.ini, authorized_keys.managed, password.hash, status\n",
        "warning: network_data.json: second static interface eth1 ignored (only one is set)\n",
    };
    std::string s;
    for (size_t i = 0; s.size() < service_log_block; i++)
        s += lines[(i * 7) % std::size(lines)];
    s.resize(service_log_block);
    return s;
}

void BM_FilterPlain(benchmark::State &state) {
    std::string block = plain_block();
    for (auto _ : state) {
        filter_state s = filter_text;
        size_t kept = filter_terminal(block.data(), block.size(), &s);
        benchmark::DoNotOptimize(kept);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block.size()));
}

void BM_MemcpyPlain(benchmark::State &state) {
    std::string block = plain_block();
    std::string copy(block.size(), '\0');
    for (auto _ : state) {
        std::memcpy(copy.data(), block.data(), block.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block.size()));
}

}  // namespace

BENCHMARK(BM_FilterPlain);
BENCHMARK(BM_MemcpyPlain);
BENCHMARK_MAIN();
