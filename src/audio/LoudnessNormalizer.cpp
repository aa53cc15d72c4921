#include "audio/LoudnessNormalizer.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>

#include "audio/LibraryErrors.h"
#include "audio/LoudnessMeter.h"
#include "audio/LoudnessProcessing.h"
#include "audio/WAVWriter.h"
#include "platform/FileSafety.h"

namespace fs = std::filesystem;

namespace lw {

std::string rawValue(CleanupOptions::HumMode mode) {
    switch (mode) {
        case CleanupOptions::HumMode::off: return "off";
        case CleanupOptions::HumMode::autoDetect: return "auto";
        case CleanupOptions::HumMode::hz50: return "50";
        case CleanupOptions::HumMode::hz60: return "60";
    }
    return "off";
}

std::string displayName(CleanupOptions::HumMode mode) {
    switch (mode) {
        case CleanupOptions::HumMode::off: return "Off";
        case CleanupOptions::HumMode::autoDetect: return "Auto-detect";
        case CleanupOptions::HumMode::hz50: return "50 Hz (Europe, Asia)";
        case CleanupOptions::HumMode::hz60: return "60 Hz (Americas)";
    }
    return "Off";
}

std::optional<CleanupOptions::HumMode> humModeFromRawValue(const std::string& raw) {
    for (auto mode : allHumModes())
        if (rawValue(mode) == raw) return mode;
    return std::nullopt;
}

const std::vector<CleanupOptions::HumMode>& allHumModes() {
    static const std::vector<CleanupOptions::HumMode> modes = {
        CleanupOptions::HumMode::off, CleanupOptions::HumMode::autoDetect, CleanupOptions::HumMode::hz50,
        CleanupOptions::HumMode::hz60};
    return modes;
}

LoudnessNormalizer::Measurement LoudnessNormalizer::measure(const fs::path& url) try {
    const PCMStream::Format format = PCMStream::format(url);
    LoudnessMeter meter(format.sampleRate, format.channels);
    PCMStream::read(url, format.sampleRate, format.channels, std::nullopt,
                    [&](std::span<const float> samples, std::size_t frames) {
                        meter.addFrames(samples.data(), frames);
                    });
    const LoudnessMeter::Result r = meter.result();
    Measurement m;
    m.integratedLUFS = r.integratedLUFS;
    m.truePeakDBTP = r.truePeakDBTP;
    m.sampleRate = format.sampleRate;
    m.channels = format.channels;
    m.durationSeconds = static_cast<double>(r.frames) / format.sampleRate;
    m.rmsDB = r.rmsDB;
    m.samplePeakDB = r.samplePeakDB;
    m.noiseFloorDB = r.noiseFloorDB;
    return m;
} catch (...) {
    rethrowLibraryErrorsAs([&](const std::string& reason) { return NormalizerError::failed(url, reason); });
}

std::vector<LoudnessNormalizer::Measurement> LoudnessNormalizer::measureChannels(const fs::path& url) try {
    const PCMStream::Format format = PCMStream::format(url);
    const auto channels = static_cast<std::size_t>(format.channels);
    std::vector<std::unique_ptr<LoudnessMeter>> meters;
    for (std::size_t c = 0; c < channels; ++c) meters.push_back(std::make_unique<LoudnessMeter>(format.sampleRate, 1));
    std::vector<float> one;
    PCMStream::read(url, format.sampleRate, format.channels, std::nullopt,
                    [&](std::span<const float> samples, std::size_t frames) {
                        one.resize(frames);
                        for (std::size_t c = 0; c < channels; ++c) {
                            for (std::size_t i = 0; i < frames; ++i) one[i] = samples[i * channels + c];
                            meters[c]->addFrames(one.data(), frames);
                        }
                    });
    std::vector<Measurement> out;
    for (const auto& meter : meters) {
        const LoudnessMeter::Result r = meter->result();
        Measurement m;
        m.integratedLUFS = r.integratedLUFS;
        m.truePeakDBTP = r.truePeakDBTP;
        m.sampleRate = format.sampleRate;
        m.channels = 1;
        m.durationSeconds = static_cast<double>(r.frames) / format.sampleRate;
        m.rmsDB = r.rmsDB;
        m.samplePeakDB = r.samplePeakDB;
        m.noiseFloorDB = r.noiseFloorDB;
        out.push_back(m);
    }
    return out;
} catch (...) {
    rethrowLibraryErrorsAs([&](const std::string& reason) { return NormalizerError::failed(url, reason); });
}

namespace {

constexpr int kEditBitDepth = 24;

// Frame index of a time, rounded to the nearest frame and clamped at zero.
std::uint64_t frameAt(double seconds, double rate) {
    if (!(seconds > 0)) return 0;
    const double f = std::round(seconds * rate);
    if (f >= 9.0e18) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(f);
}

// Copies the frames of `source` inside [from, to) of each kept span into the writer.
struct KeptSpan {
    std::uint64_t from, to;
};

void copySpans(const fs::path& source, const fs::path& destination, std::vector<KeptSpan> spans,
               std::optional<double> maxDuration) {
    checkNotInput(destination, {source});
    const PCMStream::Format format = PCMStream::format(source);
    WAVWriter writer(destination, format.sampleRate, format.channels, kEditBitDepth);
    const std::size_t ch = static_cast<std::size_t>(format.channels);
    std::uint64_t position = 0;
    std::size_t next = 0;
    PCMStream::read(source, format.sampleRate, format.channels, maxDuration,
                    [&](std::span<const float> samples, std::size_t frames) {
                        const std::uint64_t end = position + frames;
                        for (std::size_t s = next; s < spans.size() && spans[s].from < end; ++s) {
                            const std::uint64_t a = std::max(spans[s].from, position);
                            const std::uint64_t b = std::min(spans[s].to, end);
                            if (b > a)
                                writer.write(samples.subspan((a - position) * ch, (b - a) * ch),
                                             static_cast<std::size_t>(b - a));
                        }
                        while (next < spans.size() && spans[next].to <= end) ++next;
                        position = end;
                    });
    writer.close();
}

}  // namespace

void LoudnessNormalizer::concatenate(const std::vector<fs::path>& files, const fs::path& to, double sampleRate,
                                     int channels) try {
    checkNotInput(to, files);
    WAVWriter writer(to, sampleRate, channels, kEditBitDepth);
    for (const auto& file : files) {
        PCMStream::read(file, sampleRate, channels, std::nullopt,
                        [&](std::span<const float> samples, std::size_t frames) { writer.write(samples, frames); });
    }
    writer.close();
} catch (...) {
    rethrowLibraryErrorsAs([&](const std::string& reason) { return NormalizerError::failed(to, reason); });
}

void LoudnessNormalizer::cut(const fs::path& source, const fs::path& to, const std::vector<TimeRange>& removing) try {
    const double rate = PCMStream::format(source).sampleRate;
    std::vector<KeptSpan> removed;
    for (const auto& r : removing) {
        const std::uint64_t a = frameAt(r.lowerBound, rate), b = frameAt(r.upperBound, rate);
        if (b > a) removed.push_back({a, b});
    }
    std::sort(removed.begin(), removed.end(), [](const KeptSpan& x, const KeptSpan& y) { return x.from < y.from; });
    std::vector<KeptSpan> kept;
    std::uint64_t cursor = 0;
    for (const auto& r : removed) {
        if (r.from > cursor) kept.push_back({cursor, r.from});
        cursor = std::max(cursor, r.to);
    }
    kept.push_back({cursor, std::numeric_limits<std::uint64_t>::max()});
    copySpans(source, to, std::move(kept), std::nullopt);
} catch (...) {
    rethrowLibraryErrorsAs([&](const std::string& reason) { return NormalizerError::failed(source, reason); });
}

void LoudnessNormalizer::excerpt(const fs::path& source, const fs::path& to, double start, double length) try {
    const double rate = PCMStream::format(source).sampleRate;
    const std::uint64_t a = frameAt(start, rate);
    const std::uint64_t b = frameAt(std::max(0.0, start) + std::max(0.0, length), rate);
    std::vector<KeptSpan> spans;
    if (b > a) spans.push_back({a, b});
    copySpans(source, to, std::move(spans), static_cast<double>(b) / rate);
} catch (...) {
    rethrowLibraryErrorsAs([&](const std::string& reason) { return NormalizerError::failed(source, reason); });
}

std::vector<float> LoudnessNormalizer::levels(const fs::path& url, double step) try {
    if (!(step > 0)) throw std::invalid_argument("LoudnessNormalizer::levels: step must be positive");
    std::vector<float> out;
    double rate = 0;
    std::size_t ch = 1;
    std::uint64_t position = 0, blockEnd = 0;
    double sum = 0;
    std::uint64_t count = 0;
    auto blockEndOf = [&](std::size_t index) {
        return std::max<std::uint64_t>(frameAt(static_cast<double>(index + 1) * step, rate), 1);
    };
    auto finish = [&] {
        out.push_back(static_cast<float>(std::sqrt(sum / static_cast<double>(count))));
        sum = 0;
        count = 0;
    };
    const PCMStream::Format format = PCMStream::format(url);
    rate = format.sampleRate;
    ch = static_cast<std::size_t>(format.channels);
    blockEnd = blockEndOf(0);
    PCMStream::read(url, format.sampleRate, format.channels, std::nullopt,
                    [&](std::span<const float> samples, std::size_t frames) {
                        for (std::size_t i = 0; i < frames; ++i) {
                            for (std::size_t c = 0; c < ch; ++c) {
                                const double v = samples[i * ch + c];
                                sum += v * v;
                            }
                            count += ch;
                            if (++position == blockEnd) {
                                finish();
                                blockEnd = std::max(blockEndOf(out.size()), position + 1);
                            }
                        }
                    });
    if (count > 0) finish();
    return out;
} catch (...) {
    rethrowLibraryErrorsAs([&](const std::string& reason) { return NormalizerError::failed(url, reason); });
}

std::vector<FillerRemover::SpeechFrame> LoudnessNormalizer::speechFrames(const fs::path& url) try {
    constexpr double kFrameSeconds = 0.02;
    constexpr double kFloor = 1e-10;
    std::vector<FillerRemover::SpeechFrame> out;
    const PCMStream::Format format = PCMStream::format(url);
    const double rate = format.sampleRate;
    auto frameEnd = [&](std::size_t index) {
        return std::max<std::uint64_t>(frameAt(static_cast<double>(index + 1) * kFrameSeconds, rate), index + 1);
    };
    std::uint64_t position = 0, end = frameEnd(0);
    double energy = 0, diffEnergy = 0;
    std::uint64_t count = 0;
    float previous = 0;
    PCMStream::read(url, rate, 1, std::nullopt, [&](std::span<const float> samples, std::size_t frames) {
        for (std::size_t i = 0; i < frames; ++i) {
            const double v = samples[i];
            energy += v * v;
            if (count > 0) {
                const double d = v - previous;
                diffEnergy += d * d;
            }
            previous = samples[i];
            ++count;
            if (++position == end) {
                const double ms = std::max(energy / static_cast<double>(count), kFloor);
                const double brightness = std::max(diffEnergy, kFloor) / std::max(energy, kFloor);
                out.push_back({static_cast<float>(10.0 * std::log10(ms)), static_cast<float>(10.0 * std::log10(brightness))});
                energy = diffEnergy = 0;
                count = 0;
                end = std::max(frameEnd(out.size()), position + 1);
            }
        }
    });
    return out;
} catch (...) {
    rethrowLibraryErrorsAs([&](const std::string& reason) { return NormalizerError::failed(url, reason); });
}

}  // namespace lw
