#include "audio/PCMStream.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "audio/ContainerHeader.h"
#include "audio/FFmpegHandles.h"
#include "audio/FFmpegLog.h"
#include "audio/LibraryErrors.h"

namespace fs = std::filesystem;

namespace lw::PCMStream {

StreamError::StreamError(Kind kind, fs::path url, std::string detail, const std::string& text)
    : Error(text), kind_(kind), url_(std::move(url)), detail_(std::move(detail)) {}

StreamError StreamError::noAudioTrack(const fs::path& url) {
    return StreamError(Kind::noAudioTrack, url, {}, url.filename().string() + " has no audio track.");
}

StreamError StreamError::readFailed(const fs::path& url, const std::string& detail) {
    return StreamError(Kind::readFailed, url, detail,
                       "Could not read audio from " + url.filename().string() + ": " + detail);
}

namespace {

constexpr int kMaxChannels = 16;
constexpr double kMaxSampleRate = 768000;
// Source rates outside these are a damaged header, not a recording (telephone audio is 8 kHz).
constexpr int kMinSourceRate = 8000;
constexpr int kMaxSourceRate = 768000;

// A decode may end short of the length the container states by encoder padding and rounding,
// well under a second; ending short by more than a second and more than 3 % of the stated length
// means the file was cut off or damaged.
constexpr double kShortfallSeconds = 1.0;
constexpr double kShortfallFraction = 0.03;

using av::errorText;

void quietLibraries() { av::routeLibraryLog(); }

using FormatPtr = av::InputPtr;
using av::CodecPtr;
using av::FramePtr;
using av::PacketPtr;
using av::SwrPtr;

struct OpenFile {
    FormatPtr context;
    int streamIndex = -1;
    Format format;
    // The audio's length as the container states it (a header count, the stream's own
    // timestamps); absent when FFmpeg estimated it from the bit rate or knows none.
    std::optional<double> statedSeconds;
};

// Errors of opening that mean the contents are not media FFmpeg can read (a text file named .mp3
// fails in the MP3 demuxer with EINVAL; short ones end in EOF), as opposed to the file system's.
bool notMedia(int rc) {
    return rc == AVERROR(EINVAL) || rc == AVERROR_EOF || rc == AVERROR(ENOSYS) || rc == AVERROR_PATCHWELCOME ||
           rc == AVERROR_DEMUXER_NOT_FOUND || rc == AVERROR_DECODER_NOT_FOUND || rc == AVERROR_STREAM_NOT_FOUND;
}

const char* const kNotAudio = "it is not an audio file that can be read";

std::string seconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f s", s);
    return buf;
}

const char* const kNoIndex = "its index (the moov box) is missing or incomplete; it is cut short or damaged";

// Runs `inspect(read, size)` on the regular file at `url`; nothing for anything else.
template <class Inspect>
auto inspectHeader(const fs::path& url, Inspect&& inspect) -> decltype(inspect(ContainerHeader::ReadAt{}, 0)) {
    // Not even opened unless it is a regular file: opening a named pipe would take from its
    // writer what the decoder is to read.
    struct stat st {};
    if (::stat(url.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    const int fd = ::open(url.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return {};
    decltype(inspect(ContainerHeader::ReadAt{}, 0)) result{};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const ContainerHeader::ReadAt read = [fd](std::uint64_t offset, void* into, std::size_t size) -> std::size_t {
            std::size_t got = 0;
            while (got < size) {
                const ssize_t n = ::pread(fd, static_cast<char*>(into) + got, size - got, static_cast<off_t>(offset + got));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                got += static_cast<std::size_t>(n);
            }
            return got;
        };
        result = inspect(read, static_cast<std::uint64_t>(st.st_size));
    }
    ::close(fd);
    return result;
}

// The length a WAV or CAF header states for audio data the file does not hold in full: FFmpeg
// shortens the length to what the file holds, so a file cut short would read as a shorter whole.
std::optional<double> statedBeyondTheEnd(const fs::path& url) {
    return inspectHeader(url, [](const ContainerHeader::ReadAt& read, std::uint64_t size) -> std::optional<double> {
        const auto data = ContainerHeader::statedData(read, size);
        if (!data || (data->offset <= size && data->bytes <= size - data->offset)) return std::nullopt;
        return data->seconds();
    });
}

bool isoMediaWithoutIndex(const fs::path& url) {
    return inspectHeader(url, [](const ContainerHeader::ReadAt& read, std::uint64_t size) {
        return ContainerHeader::isoMediaWithoutIndex(read, size);
    });
}

OpenFile openFile(const fs::path& url) {
    quietLibraries();
    std::error_code ec;
    if (!fs::exists(url, ec)) throw StreamError::readFailed(url, "the file does not exist");
    if (fs::is_directory(url, ec)) throw StreamError::readFailed(url, "it is a folder, not a file");

    AVFormatContext* raw = nullptr;
    int rc = avformat_open_input(&raw, url.c_str(), nullptr, nullptr);
    if (rc < 0) {
        if (isoMediaWithoutIndex(url)) throw StreamError::readFailed(url, kNoIndex);
        // Contents no demuxer recognises hold no audio track; anything else is a read problem.
        if (rc == AVERROR_INVALIDDATA) throw StreamError::noAudioTrack(url);
        if (notMedia(rc)) throw StreamError::readFailed(url, kNotAudio);
        throw StreamError::readFailed(url, errorText(rc));
    }
    OpenFile file;
    file.context.reset(raw);
    rc = avformat_find_stream_info(raw, nullptr);
    if (rc < 0 && rc != AVERROR_EOF)
        throw StreamError::readFailed(url, notMedia(rc) || rc == AVERROR_INVALIDDATA ? kNotAudio : errorText(rc));

    for (unsigned i = 0; i < raw->nb_streams; ++i) {
        if (raw->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            file.streamIndex = static_cast<int>(i);
            break;
        }
    }
    if (file.streamIndex < 0) {
        if (isoMediaWithoutIndex(url)) throw StreamError::readFailed(url, kNoIndex);
        throw StreamError::noAudioTrack(url);
    }

    const AVStream* stream = raw->streams[file.streamIndex];
    const AVCodecParameters* par = stream->codecpar;
    // A demuxer picked by the name alone (text named .flac) gives a stream with neither rate nor
    // channels: nothing in the file could be decoded.
    if (par->sample_rate <= 0 && par->ch_layout.nb_channels <= 0) throw StreamError::readFailed(url, kNotAudio);
    if (par->sample_rate > 0 && (par->sample_rate < kMinSourceRate || par->sample_rate > kMaxSourceRate))
        throw StreamError::readFailed(url, "its sample rate of " + std::to_string(par->sample_rate) +
                                               " Hz is outside the rates recordings use (" + std::to_string(kMinSourceRate) +
                                               " to " + std::to_string(kMaxSourceRate) + " Hz)");
    file.format.sampleRate = par->sample_rate > 0 ? par->sample_rate : 44100.0;
    int channels = par->ch_layout.nb_channels;
    file.format.channels = channels <= 0 ? 1 : std::min(channels, 2);
    if (raw->duration != AV_NOPTS_VALUE && raw->duration > 0) {
        file.format.durationSeconds = static_cast<double>(raw->duration) / AV_TIME_BASE;
    } else if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
        file.format.durationSeconds = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
    }
    if (raw->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE) {
        // The audio stream's own length: the container's may be a longer video's.
        if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
            file.statedSeconds = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
        else if (raw->nb_streams == 1 && raw->duration != AV_NOPTS_VALUE && raw->duration > 0)
            file.statedSeconds = static_cast<double>(raw->duration) / AV_TIME_BASE;
    }
    const char* demuxer = raw->iformat ? raw->iformat->name : "";
    if (std::strcmp(demuxer, "wav") == 0 || std::strcmp(demuxer, "caf") == 0) {
        if (const auto stated = statedBeyondTheEnd(url)) file.statedSeconds = stated;
    }
    return file;
}

// Converts decoded frames to interleaved float at the output rate and layout, into one
// scratch buffer that only grows.
class Converter {
public:
    Converter(const fs::path& url, int outRate, int outChannels) : url_(url), outRate_(outRate) {
        av_channel_layout_default(&outLayout_, outChannels);
    }
    ~Converter() {
        av_channel_layout_uninit(&outLayout_);
        av_channel_layout_uninit(&inLayout_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts one frame (nullptr flushes); returns the number of frames now in scratch().
    int convert(const AVFrame* frame) {
        if (frame && needsSetup(frame)) setup(frame);
        if (!swr_) return 0;
        int inSamples = frame ? frame->nb_samples : 0;
        int capacity = swr_get_out_samples(swr_.get(), inSamples);
        if (capacity <= 0) return 0;
        std::size_t need = static_cast<std::size_t>(capacity) * static_cast<std::size_t>(outLayout_.nb_channels);
        if (scratch_.size() < need) scratch_.resize(need, 0.0f);
        auto* out = reinterpret_cast<uint8_t*>(scratch_.data());
        int got = swr_convert(swr_.get(), &out, capacity,
                              frame ? const_cast<const uint8_t**>(frame->extended_data) : nullptr, inSamples);
        if (got < 0) throw StreamError::readFailed(url_, errorText(got));
        return got;
    }

    const float* scratch() const { return scratch_.data(); }
    int channels() const { return outLayout_.nb_channels; }

    // Flushes what the resampler still holds before the input format changes.
    template <class Deliver>
    void reconfigureIfNeeded(const AVFrame* frame, Deliver&& deliver) {
        if (swr_ && needsSetup(frame)) {
            int got;
            while ((got = convert(nullptr)) > 0) deliver(got);
            swr_.reset();
        }
    }

private:
    bool needsSetup(const AVFrame* frame) const {
        if (!swr_) return true;
        return frame->format != inFormat_ || frame->sample_rate != inRate_ ||
               frame->ch_layout.nb_channels != inLayout_.nb_channels;
    }

    void setup(const AVFrame* frame) {
        av_channel_layout_uninit(&inLayout_);
        if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame->ch_layout.nb_channels <= 0) {
            av_channel_layout_default(&inLayout_, std::max(1, frame->ch_layout.nb_channels));
        } else {
            av_channel_layout_copy(&inLayout_, &frame->ch_layout);
        }
        inFormat_ = frame->format;
        inRate_ = frame->sample_rate;
        if (inRate_ <= 0) throw StreamError::readFailed(url_, "the audio stream has no sample rate");
        SwrContext* raw = nullptr;
        int rc = swr_alloc_set_opts2(&raw, &outLayout_, AV_SAMPLE_FMT_FLT, outRate_, &inLayout_,
                                     static_cast<AVSampleFormat>(inFormat_), inRate_, 0, nullptr);
        if (rc < 0 || !raw) throw StreamError::readFailed(url_, "unsupported audio format");
        swr_.reset(raw);
        // Downmixes keep full scale: identical channels mix to the same level, never past 1.
        av_opt_set_double(raw, "rematrix_maxval", 1.0, 0);
        rc = swr_init(raw);
        if (rc < 0) throw StreamError::readFailed(url_, "unsupported audio format");
    }

    fs::path url_;
    int outRate_;
    AVChannelLayout outLayout_{};
    AVChannelLayout inLayout_{};
    int inFormat_ = -1;
    int inRate_ = 0;
    SwrPtr swr_;
    std::vector<float> scratch_;
};

}  // namespace

namespace {

// An exception of the caller's chunk handler, carried through unchanged.
struct HandlerFailure {
    std::exception_ptr error;
};

Format readStream(const fs::path& url, std::optional<double> sampleRate, std::optional<int> channels,
                  std::optional<double> maxDuration, const ChunkHandler& chunk) {
    OpenFile file = openFile(url);
    double outRate = sampleRate.value_or(file.format.sampleRate);
    int outChannels = channels.value_or(file.format.channels);
    if (!(outRate >= 1 && outRate <= kMaxSampleRate))
        throw StreamError::readFailed(url, "unsupported sample rate " + std::to_string(outRate));
    if (outChannels < 1 || outChannels > kMaxChannels)
        throw StreamError::readFailed(url, "unsupported channel count " + std::to_string(outChannels));
    int rate = static_cast<int>(std::lround(outRate));

    AVFormatContext* ctx = file.context.get();
    for (unsigned i = 0; i < ctx->nb_streams; ++i)
        if (static_cast<int>(i) != file.streamIndex) ctx->streams[i]->discard = AVDISCARD_ALL;
    AVStream* stream = ctx->streams[file.streamIndex];

    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) throw StreamError::readFailed(url, "unsupported audio format");
    CodecPtr decoder(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0)
        throw StreamError::readFailed(url, "unsupported audio format");
    decoder->pkt_timebase = stream->time_base;
    int rc = avcodec_open2(decoder.get(), codec, nullptr);
    if (rc < 0) throw StreamError::readFailed(url, "unsupported audio format");

    // A negative or NaN limit reads nothing; an absent one, or one too large to count in frames
    // (infinite included), reads to the end.
    std::optional<long long> limit;
    if (maxDuration) {
        const double frames = *maxDuration * rate;
        if (!(frames > 0)) limit = 0;
        else if (frames < 0x1p62) limit = std::llround(frames);
    }

    Converter converter(url, rate, outChannels);
    long long delivered = 0;
    bool done = limit && *limit == 0;
    auto deliver = [&](int frames) {
        if (done || frames <= 0) return;
        long long n = frames;
        if (limit) n = std::min(n, *limit - delivered);
        if (n > 0) {
            std::size_t count = static_cast<std::size_t>(n) * static_cast<std::size_t>(outChannels);
            try {
                chunk(std::span<const float>(converter.scratch(), count), static_cast<std::size_t>(n));
            } catch (...) {
                throw HandlerFailure{std::current_exception()};
            }
            delivered += n;
        }
        if (limit && delivered >= *limit) done = true;
    };

    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    if (!frame || !packet) throw StreamError::readFailed(url, "out of memory");
    int decodeErrors = 0;
    int lastError = 0;
    bool decodedAny = false;

    auto drain = [&] {
        while (!done) {
            int r = avcodec_receive_frame(decoder.get(), frame.get());
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
            if (r < 0) {
                ++decodeErrors;
                lastError = r;
                return;
            }
            decodedAny = true;
            converter.reconfigureIfNeeded(frame.get(), deliver);
            deliver(converter.convert(frame.get()));
            av_frame_unref(frame.get());
        }
    };

    while (!done) {
        rc = av_read_frame(ctx, packet.get());
        if (rc == AVERROR_EOF || rc == AVERROR_INVALIDDATA) break;  // truncated data ends the stream
        if (rc < 0) throw StreamError::readFailed(url, errorText(rc));
        if (packet->stream_index == file.streamIndex) {
            int s = avcodec_send_packet(decoder.get(), packet.get());
            if (s < 0 && s != AVERROR(EAGAIN)) {
                ++decodeErrors;  // a damaged packet is skipped, as players do
                lastError = s;
            }
            drain();
        }
        av_packet_unref(packet.get());
    }
    if (!done) {
        avcodec_send_packet(decoder.get(), nullptr);
        drain();
        int got;
        while (!done && (got = converter.convert(nullptr)) > 0) deliver(got);
    }
    if (!decodedAny && decodeErrors > 0)
        throw StreamError::readFailed(url, "the audio data could not be decoded (" + errorText(lastError) + ")");
    if (!done && file.statedSeconds) {
        // The read ran to the end of the data: it must reach (nearly) the stated length, or as far
        // as the limit asked for.
        const double expected = maxDuration ? std::min(*file.statedSeconds, *maxDuration) : *file.statedSeconds;
        const double decoded = static_cast<double>(delivered) / rate;
        if (expected - decoded > std::max(kShortfallSeconds, kShortfallFraction * expected))
            throw StreamError::readFailed(url, "the audio ends after " + seconds(decoded) + " of the " +
                                                   seconds(*file.statedSeconds) +
                                                   " the file states; it is cut short or damaged");
    }

    return Format{static_cast<double>(rate), outChannels, file.format.durationSeconds};
}

}  // namespace

Format format(const fs::path& url) {
    return withLibraryErrorsAs([&] { return openFile(url).format; },
                               [&](const std::string& reason) { return StreamError::readFailed(url, reason); });
}

Format read(const fs::path& url, std::optional<double> sampleRate, std::optional<int> channels,
            std::optional<double> maxDuration, const ChunkHandler& chunk) {
    try {
        return withLibraryErrorsAs(
            [&] { return readStream(url, sampleRate, channels, maxDuration, chunk); },
            [&](const std::string& reason) { return StreamError::readFailed(url, reason); });
    } catch (const HandlerFailure& failure) {
        std::rethrow_exception(failure.error);
    }
}

}  // namespace lw::PCMStream
