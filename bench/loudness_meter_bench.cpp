// Throughput of the streaming loudness meter on decoded samples (no file I/O).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "audio/LoudnessMeter.h"

namespace {

std::vector<float> noise(std::size_t frames, int channels) {
    std::mt19937 rng(1);
    std::normal_distribution<float> n(0, 0.1f);
    std::vector<float> out(frames * static_cast<std::size_t>(channels));
    for (auto& v : out) v = n(rng);
    return out;
}

void BM_LoudnessMeter(benchmark::State& state) {
    const int channels = static_cast<int>(state.range(0));
    const double rate = static_cast<double>(state.range(1));
    const std::size_t frames = static_cast<std::size_t>(rate) * 10;
    auto samples = noise(frames, channels);
    for (auto _ : state) {
        lw::LoudnessMeter meter(rate, channels);
        for (std::size_t start = 0; start < frames; start += 4096)
            meter.addFrames(samples.data() + start * static_cast<std::size_t>(channels), std::min<std::size_t>(4096, frames - start));
        benchmark::DoNotOptimize(meter.result());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames));
}
BENCHMARK(BM_LoudnessMeter)->Args({1, 48000})->Args({2, 48000})->Args({2, 44100})->Args({2, 96000})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
