// Planning a 10 000-item batch: every name colliding, and every name distinct.
#include <benchmark/benchmark.h>

#include "presets/GablewisePreset.h"
#include "presets/OutputPlanner.h"

namespace {

using namespace lw;
namespace fs = std::filesystem;

std::vector<BatchItem> makeItems(int count) {
    std::vector<BatchItem> items;
    items.reserve(count);
    const fs::path folder = fs::temp_directory_path() / "lw-planner-bench-missing";
    for (int i = 0; i < count; ++i)
        items.emplace_back(Uuid::random(), folder / ("IMG_" + std::to_string(i) + ".jpg"), std::nullopt,
                           ProcessingStatus::pending, 0.0, std::nullopt, StringMap{});
    return items;
}

void plan(benchmark::State& state, const std::string& pattern) {
    const auto items = makeItems(static_cast<int>(state.range(0)));
    const GablewisePreset preset;
    const BatchConfiguration configuration(fs::temp_directory_path() / "lw-planner-bench-out", true, pattern, false,
                                           1, false, false, {});
    for (auto _ : state) {
        auto reports = OutputPlanner::plan(preset, items, configuration, true);
        benchmark::DoNotOptimize(reports);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_PlanAllColliding(benchmark::State& state) { plan(state, "{address}"); }
void BM_PlanDistinct(benchmark::State& state) { plan(state, "{address}_{index:05}_{size}"); }

BENCHMARK(BM_PlanAllColliding)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlanDistinct)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
