// The filter's block pools against malloc/free, and one lookup in each map
// at 10, 1000 and 10000 entries (keys looked up in a shuffled order, so a
// lookup walks half the map on average).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "BlockPool.h"
#include "ChildMaps.h"
#include "Classify.h"
#include "Filter.h"
#include "LinuxOs.h"
#include "ZorvaneLog.h"

namespace {

// Allocation and free of one record, with `live` other records held.
void BM_PoolAllocateFree(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    std::vector<void*> held;
    for (int64_t i = 0; i < state.range(1); ++i) {
        held.push_back(AllocateMemory(size));
    }
    for (auto _ : state) {
        void* memory = AllocateMemory(size);
        benchmark::DoNotOptimize(memory);
        FreeMemory(memory);
    }
    for (void* memory : held) {
        FreeMemory(memory);
    }
}

void BM_MallocFree(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    std::vector<void*> held;
    for (int64_t i = 0; i < state.range(1); ++i) {
        held.push_back(malloc(size));
    }
    for (auto _ : state) {
        void* memory = malloc(size);
        benchmark::DoNotOptimize(memory);
        free(memory);
    }
    for (void* memory : held) {
        free(memory);
    }
}

std::vector<uint32_t> shuffledKeys(int64_t count) {
    std::vector<uint32_t> keys(static_cast<size_t>(count));
    for (size_t i = 0; i < keys.size(); ++i) {
        keys[i] = static_cast<uint32_t>(i + 1);
    }
    std::shuffle(keys.begin(), keys.end(), std::mt19937(7));
    return keys;
}

std::string sidOf(uint32_t key) {
    return "S-1-5-21-3623811015-3361044348-30300820-" + std::to_string(key);
}

void BM_SidLookup(benchmark::State& state) {
    const std::vector<uint32_t> keys = shuffledKeys(state.range(0));
    std::vector<std::string> sids;
    for (uint32_t key : keys) {
        sids.push_back(sidOf(key));
        AddToWinUserMap(sids.back().c_str(), static_cast<uint32_t>(sids.back().size()), key);
    }
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetChildIdForSid(sids[next].c_str()));
        next = next + 1 == sids.size() ? 0 : next + 1;
    }
    CleanupWinUserMap();
}

void BM_PidLookup(benchmark::State& state) {
    const std::vector<uint32_t> keys = shuffledKeys(state.range(0));
    for (uint32_t key : keys) {
        AddToPidChildMap(key * 4, 5);
    }
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetChildIdForPid(keys[next] * 4));
        next = next + 1 == keys.size() ? 0 : next + 1;
    }
    CleanupPidChildMap();
}

void BM_PortLookup(benchmark::State& state) {
    const std::vector<uint32_t> keys = shuffledKeys(state.range(0));
    for (uint32_t key : keys) {
        AddToPortChildMap(static_cast<uint16_t>(key), 5, key);
    }
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetChildIdForPort(static_cast<uint16_t>(keys[next])));
        next = next + 1 == keys.size() ? 0 : next + 1;
    }
    CleanupPortChildMap();
}

void BM_FlowLookup(benchmark::State& state) {
    const std::vector<uint32_t> keys = shuffledKeys(state.range(0));
    for (uint32_t key : keys) {
        AddToPortChildMap(static_cast<uint16_t>(key), 5, key);
    }
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetChildIdForFlow(keys[next]));
        next = next + 1 == keys.size() ? 0 : next + 1;
    }
    CleanupPortChildMap();
}

// One send of a child's flow through the stream classify: copy, tag, hand
// the tagged copy to the sink; the argument is the request size.
void BM_StreamTagSend(benchmark::State& state) {
    AddToPortChildMap(47000, 5, 321);
    std::string request = "GET /index.html HTTP/1.1\r\nHost: example\r\n\r\n";
    request.resize(static_cast<size_t>(state.range(0)), 'x');
    uint64_t sent = 0;
    LinuxOs::StreamSink sink{[](void* argument, const uint8_t*, uint32_t length) {
                                 *static_cast<uint64_t*>(argument) += length;
                                 return true;
                             },
                             &sent};
    ZorvaneClassifyInput input{};
    input.layer = ZORVANE_LAYER_STREAM;
    input.hasFlowHandle = true;
    input.flowHandle = 321;
    input.streamFlags = ZORVANE_STREAM_FLAG_SEND;
    input.data = reinterpret_cast<const uint8_t*>(request.data());
    input.dataLength = static_cast<uint32_t>(request.size());
    input.platformContext = &sink;
    ZorvaneClassifyDecision decision;
    for (auto _ : state) {
        ZorvaneStreamClassify(&input, &decision);
        benchmark::DoNotOptimize(decision.bytesEnforced);
    }
    if (decision.action != ZORVANE_ACTION_BLOCK) {
        state.SkipWithError("the send was not tagged");
    }
    state.SetBytesProcessed(static_cast<int64_t>(sent));
    CleanupPortChildMap();
}

// Record sizes: a map entry, a packet, a host text; alone and among 200.
BENCHMARK(BM_PoolAllocateFree)->ArgsProduct({{40, 160, 300}, {0, 200}});
BENCHMARK(BM_MallocFree)->ArgsProduct({{40, 160, 300}, {0, 200}});
BENCHMARK(BM_SidLookup)->Arg(10)->Arg(1000)->Arg(10000);
BENCHMARK(BM_PidLookup)->Arg(10)->Arg(1000)->Arg(10000);
BENCHMARK(BM_PortLookup)->Arg(10)->Arg(1000)->Arg(10000);
BENCHMARK(BM_FlowLookup)->Arg(10)->Arg(1000)->Arg(10000);
BENCHMARK(BM_StreamTagSend)->Arg(64)->Arg(1400)->Arg(16000);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    // Only errors would be printed; none are expected.
    ZorvaneSetDebugLevel(ZORVANE_DBG_ERROR);
    if (!LinuxOs::startWorkItems() || ZorvaneFilterStart() == 0) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ZorvaneFilterUnload();
    LinuxOs::stopWorkItems();
    return 0;
}
