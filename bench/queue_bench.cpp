// Per-item overhead of the batch queue and the cost of naming-pattern expansion.
#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>

#include "core/BatchQueueManager.h"
#include "core/TokenRenamer.h"

using namespace lw;
namespace fs = std::filesystem;

namespace {

class NoWorkPreset : public BatchPreset {
public:
    std::string id() const override { return "bench.nowork"; }
    std::string displayName() const override { return "No work"; }
    std::string verticalName() const override { return "Bench"; }
    std::string description() const override { return ""; }
    std::string systemIconName() const override { return "gear"; }
    std::set<std::string> supportedExtensions() const override { return {"jpg"}; }
    std::string defaultNamingPattern() const override { return "{name}"; }
    std::vector<fs::path> process(const BatchItem& item, const ProcessingContext&) const override {
        return {item.sourceURL};
    }
};

void BM_QueueNoWorkItems(benchmark::State& state) {
    const int items = 10000;
    const int concurrency = static_cast<int>(state.range(0));
    const fs::path out = fs::temp_directory_path() / "lw_queue_bench";
    std::vector<BatchItem> list;
    list.reserve(items);
    for (int i = 0; i < items; ++i)
        list.emplace_back(Uuid(), fs::path("/nonexistent/bench") / ("IMG_" + std::to_string(i) + ".jpg"), std::nullopt,
                          ProcessingStatus::pending, 0, std::nullopt, StringMap{});
    BatchConfiguration config(out, true, "{name}", false, concurrency, false, true, {});
    config.maxConcurrentTasks = concurrency;  // the bench asks for exactly this many
    auto preset = std::make_shared<const NoWorkPreset>();

    BatchQueueManager queue;
    std::atomic<std::size_t> statuses{0}, lines{0}, outputs{0};
    queue.addStatusListener([&](auto&, auto&, auto, double, auto&) { statuses.fetch_add(1, std::memory_order_relaxed); });
    queue.addLogListener([&](const std::string&) { lines.fetch_add(1, std::memory_order_relaxed); });
    queue.addOutputListener([&](auto&, auto&, auto&) { outputs.fetch_add(1, std::memory_order_relaxed); });

    for (auto _ : state) {
        ProcessingJob job(Uuid(), preset->id(), preset->displayName(), list, config);
        auto report = queue.submitAndStart(std::move(job), preset);
        benchmark::DoNotOptimize(report.successCount);
    }
    state.SetItemsProcessed(state.iterations() * items);
    std::error_code ec;
    fs::remove_all(out, ec);
}
BENCHMARK(BM_QueueNoWorkItems)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TokenRenamerDefaultPatterns(benchmark::State& state) {
    static const char* patterns[] = {"{name}_{index:02}", "{address}_{index:02}_{size}", "{name}_{profile}_{pot}",
                                     "{show}_{ep:02}_{title}"};
    const std::string pattern = patterns[state.range(0)];
    BatchItem item(Uuid(), "/photos/IMG_0001.JPG", std::nullopt, ProcessingStatus::pending, 0, std::nullopt,
                   {{"camera", "X100"}});
    const StringMap vars{{"address", "12 Elm St."}, {"size", "web"}, {"profile", "ORM"}, {"pot", "2048"},
                         {"show", "Field Notes"}, {"ep", "7"}, {"title", "On: Mud / Rain?"}};
    std::int64_t index = 0;
    for (auto _ : state) benchmark::DoNotOptimize(TokenRenamer::resolve(pattern, item, ++index % 100, 100, vars));
    state.SetLabel(pattern);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TokenRenamerDefaultPatterns)->DenseRange(0, 3);

void BM_TokenRenamerDate(benchmark::State& state) {
    BatchItem item(Uuid(), "/photos/IMG_0001.JPG", std::nullopt, ProcessingStatus::pending, 0, std::nullopt, {});
    for (auto _ : state) benchmark::DoNotOptimize(TokenRenamer::resolve("{name}_{date}", item, 1, 1, {}));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TokenRenamerDate);

}  // namespace

BENCHMARK_MAIN();
