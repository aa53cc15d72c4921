#include "audio/podcast/AudiogramGenerator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "audio/FFmpegHandles.h"
#include "audio/FFmpegLog.h"
#include "audio/PCMStream.h"
#include "audio/podcast/FrameRenderer.h"
#include "platform/AtomicFile.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace fs = std::filesystem;

namespace lw {

// MARK: - Aspect ratios and errors

const std::vector<AudiogramGenerator::AspectRatio>& AudiogramGenerator::allAspectRatios() {
    static const std::vector<AspectRatio> all{AspectRatio::square, AspectRatio::vertical, AspectRatio::landscape};
    return all;
}

std::string rawValue(AudiogramGenerator::AspectRatio ratio) {
    switch (ratio) {
        case AudiogramGenerator::AspectRatio::square: return "1:1 (1080x1080)";
        case AudiogramGenerator::AspectRatio::vertical: return "9:16 (1080x1920)";
        case AudiogramGenerator::AspectRatio::landscape: return "16:9 (1920x1080)";
    }
    return {};
}

std::string key(AudiogramGenerator::AspectRatio ratio) {
    switch (ratio) {
        case AudiogramGenerator::AspectRatio::square: return "square";
        case AudiogramGenerator::AspectRatio::vertical: return "vertical";
        case AudiogramGenerator::AspectRatio::landscape: return "wide";
    }
    return {};
}

std::string shortName(AudiogramGenerator::AspectRatio ratio) {
    switch (ratio) {
        case AudiogramGenerator::AspectRatio::square: return "Square 1:1 (Instagram, X)";
        case AudiogramGenerator::AspectRatio::vertical: return "Vertical 9:16 (Reels, TikTok, Shorts)";
        case AudiogramGenerator::AspectRatio::landscape: return "Wide 16:9 (YouTube)";
    }
    return {};
}

std::pair<int, int> dimensions(AudiogramGenerator::AspectRatio ratio) {
    switch (ratio) {
        case AudiogramGenerator::AspectRatio::square: return {1080, 1080};
        case AudiogramGenerator::AspectRatio::vertical: return {1080, 1920};
        case AudiogramGenerator::AspectRatio::landscape: return {1920, 1080};
    }
    return {1080, 1080};
}

std::optional<AudiogramGenerator::AspectRatio> AudiogramGenerator::aspectRatioFromRawValue(const std::string& raw) {
    for (auto r : allAspectRatios())
        if (rawValue(r) == raw) return r;
    return std::nullopt;
}

std::optional<AudiogramGenerator::AspectRatio> AudiogramGenerator::aspectRatioFromKey(const std::string& text) {
    std::string k = text;
    std::transform(k.begin(), k.end(), k.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (k == "square" || k == "1:1" || k == "1x1") return AspectRatio::square;
    if (k == "vertical" || k == "9:16" || k == "9x16" || k == "story" || k == "reel") return AspectRatio::vertical;
    if (k == "wide" || k == "landscape" || k == "16:9" || k == "16x9") return AspectRatio::landscape;
    return std::nullopt;
}

namespace {
std::string audiogramErrorText(AudiogramGenerator::AudiogramError::Kind kind) {
    switch (kind) {
        case AudiogramGenerator::AudiogramError::Kind::audioTooShort: return "Audio is too short for an audiogram.";
        case AudiogramGenerator::AudiogramError::Kind::writerSetupFailed:
            return "Could not set up the audiogram video writer.";
        case AudiogramGenerator::AudiogramError::Kind::ffmpegRequired:
            return "FFmpeg is required to generate dynamic audiograms with waveform visualization.";
    }
    return {};
}
}  // namespace

AudiogramGenerator::AudiogramError::AudiogramError(Kind kind) : Error(audiogramErrorText(kind)), kind_(kind) {}

// MARK: - Envelope

std::vector<float> AudiogramGenerator::envelope(const fs::path& audioURL, double clipSeconds, int fps) {
    const std::size_t block = std::max<std::size_t>(1, std::size_t(16000 / std::max(1, fps)));
    std::vector<float> levels;
    double sum = 0;
    std::size_t filled = 0;
    PCMStream::read(audioURL, 16000.0, 1, clipSeconds, [&](std::span<const float> samples, std::size_t) {
        for (float s : samples) {
            sum += double(s) * double(s);
            if (++filled == block) {
                levels.push_back(float(std::sqrt(sum / double(block))));
                sum = 0;
                filled = 0;
            }
        }
    });
    float peak = levels.empty() ? 1.f : *std::max_element(levels.begin(), levels.end());
    const float floorPeak = std::max(peak, 0.0001f);
    for (float& l : levels) l = std::min(1.f, std::sqrt(l / floorPeak));
    return levels;
}

// MARK: - Writing

namespace {

using namespace lw::av;

constexpr int kVideoBitRate = 4000000;
constexpr int kAudioBitRate = 192000;
constexpr int kAudioRate = 44100;
constexpr int kFramesInFlight = 6;
constexpr int kDrawingThreads = 2;     // each draws and converts every other frame
constexpr int kConversionThreads = 2;  // slices of each colour conversion
constexpr double kAudioLead = 1.0;  // seconds the audio may run ahead of the video

struct Aborted {};  // unwinds a worker when another side has failed

// One audiogram being written: the muxer shared by the video and the audio side, the frame
// queues between drawing and encoding, and the first error of any side.
class WriterBox {
public:
    WriterBox(const fs::path& destination, AVFormatContext* output, AVCodecContext* video, AVStream* videoStream,
              AVCodecContext* audio, AVStream* audioStream)
        : destination_(destination), output_(output), video_(video), videoStream_(videoStream), audio_(audio),
          audioStream_(audioStream) {}

    void check(int code, const char* what) const {
        if (code < 0)
            throw Error("Could not write " + destination_.filename().string() + " (" + what + "): " + errorText(code));
    }

    void fail(std::exception_ptr error) {
        std::lock_guard lock(mutex_);
        if (!error_) error_ = error;
        failed_ = true;
        changed_.notify_all();
    }
    bool failed() const { return failed_.load(); }
    std::exception_ptr error() const {
        std::lock_guard lock(mutex_);
        return error_;
    }

    // Frame pool: drawn frames wait in `ready_` by index, encoded ones return to `free_`. A
    // frame takes a buffer only within kFramesInFlight of the next frame to encode, so the
    // drawing threads can never hold every buffer while the frame the encoder needs waits.
    void addFree(FramePtr frame) {
        std::lock_guard lock(mutex_);
        free_.push_back(std::move(frame));
        changed_.notify_all();
    }
    FramePtr takeFree(int frameIndex) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] {
            return failed_ || (!free_.empty() && frameIndex < nextToEncode_ + kFramesInFlight);
        });
        if (failed_) throw Aborted{};
        FramePtr f = std::move(free_.front());
        free_.pop_front();
        return f;
    }
    void pushReady(int frameIndex, FramePtr frame) {
        std::lock_guard lock(mutex_);
        ready_.emplace(frameIndex, std::move(frame));
        changed_.notify_all();
    }
    FramePtr takeReady(int frameIndex) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return failed_ || ready_.count(frameIndex) != 0; });
        if (failed_) throw Aborted{};
        auto node = ready_.extract(frameIndex);
        return std::move(node.mapped());
    }
    // The encoder is done with frame `frameIndex - 1`; frees its buffer.
    void encoded(int frameIndex, FramePtr frame) {
        std::lock_guard lock(mutex_);
        free_.push_back(std::move(frame));
        nextToEncode_ = frameIndex;
        changed_.notify_all();
    }

    // Video progress, in seconds of frames handed to the encoder; the audio side keeps close.
    void videoReached(double seconds) {
        std::lock_guard lock(mutex_);
        videoSeconds_ = seconds;
        changed_.notify_all();
    }
    void waitForVideo(double audioSeconds) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return failed_ || audioSeconds <= videoSeconds_ + kAudioLead; });
        if (failed_) throw Aborted{};
    }

    // Sends a frame (none: end of stream) and writes every packet the encoder gives back.
    void encode(AVCodecContext* codec, AVStream* stream, AVFrame* frame, AVPacket* packet) {
        check(avcodec_send_frame(codec, frame), codec == video_ ? "video encoding" : "audio encoding");
        for (;;) {
            int r = avcodec_receive_packet(codec, packet);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
            check(r, codec == video_ ? "video encoding" : "audio encoding");
            av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
            packet->stream_index = stream->index;
            std::lock_guard lock(muxMutex_);
            check(av_interleaved_write_frame(output_, packet), "writing");
        }
    }

    AVCodecContext* video() const { return video_; }
    AVStream* videoStream() const { return videoStream_; }
    AVCodecContext* audio() const { return audio_; }
    AVStream* audioStream() const { return audioStream_; }

private:
    fs::path destination_;
    AVFormatContext* output_;
    AVCodecContext* video_;
    AVStream* videoStream_;
    AVCodecContext* audio_;
    AVStream* audioStream_;

    mutable std::mutex mutex_;
    std::mutex muxMutex_;
    std::condition_variable changed_;
    std::deque<FramePtr> free_;
    std::map<int, FramePtr> ready_;
    int nextToEncode_ = 0;
    double videoSeconds_ = 0;
    std::atomic<bool> failed_{false};
    std::exception_ptr error_;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

void AudiogramGenerator::generate(const fs::path& audioURL, const fs::path& destinationURL,
                                  const AudiogramConfig& config, Statistics* statistics) const {
    // Plain copies: lambdas below capture them, which structured bindings cannot be in C++20.
    const auto dims = dimensions(config.aspectRatio);
    const int width = dims.first, height = dims.second;
    const int fps = config.framesPerSecond;
    if (fps < 1 || fps > 16000) throw AudiogramError(AudiogramError::Kind::writerSetupFailed);
    av::routeLibraryLog();
    // The drawing and sound threads log FFmpeg's messages where the caller's thread does.
    av::LogSink* const ffmpegLog = av::ScopedLogSink::current();

    const double duration = PCMStream::format(audioURL).durationSeconds;
    double clip = duration;
    if (config.maxDurationSeconds) clip = std::min(clip, *config.maxDurationSeconds);
    if (!(clip > 0.5)) throw AudiogramError(AudiogramError::Kind::audioTooShort);

    const std::vector<float> levels = envelope(audioURL, clip, fps);
    const int frameCount = int(std::max<double>(1, std::min<double>(double(levels.size()), std::floor(fps * clip))));
    const double videoSeconds = double(frameCount) / fps;

    const AVCodec* h264 = avcodec_find_encoder_by_name("libx264");
    if (!h264) h264 = avcodec_find_encoder(AV_CODEC_ID_H264);
    const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!h264 || !aac) throw AudiogramError(AudiogramError::Kind::writerSetupFailed);

    AtomicFile out(destinationURL);
    AVFormatContext* rawOutput = nullptr;
    if (avformat_alloc_output_context2(&rawOutput, nullptr, "mp4", out.tempPath().c_str()) < 0 || !rawOutput)
        throw AudiogramError(AudiogramError::Kind::writerSetupFailed);
    std::unique_ptr<AVFormatContext, OutputFreer> output(rawOutput);
    const bool globalHeader = output->oformat->flags & AVFMT_GLOBALHEADER;

    // Video: H.264 4 Mb/s average, yuv420p, BT.709.
    std::unique_ptr<AVCodecContext, CodecFreer> video(avcodec_alloc_context3(h264));
    if (!video) throw AudiogramError(AudiogramError::Kind::writerSetupFailed);
    video->width = width;
    video->height = height;
    video->time_base = AVRational{1, fps};
    video->framerate = AVRational{fps, 1};
    video->pix_fmt = AV_PIX_FMT_YUV420P;
    video->bit_rate = kVideoBitRate;
    video->gop_size = fps * 2;
    video->color_range = AVCOL_RANGE_MPEG;
    video->colorspace = AVCOL_SPC_BT709;
    video->color_primaries = AVCOL_PRI_BT709;
    video->color_trc = AVCOL_TRC_BT709;
    if (globalHeader) video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* videoOptions = nullptr;
    if (std::string(h264->name) == "libx264") {
        // Flat graphics need little search: "superfast" looks the same at 4 Mb/s as slower
        // presets and keeps encoding ahead of drawing.
        av_dict_set(&videoOptions, "preset", "superfast", 0);
        av_dict_set(&videoOptions, "profile", "high", 0);
        // The encoder's own default (1.5 threads per processor) costs memory and gains nothing
        // once drawing is the slower side.
        av_dict_set_int(&videoOptions, "threads", std::clamp<int>(int(std::thread::hardware_concurrency()), 1, 8), 0);
    }
    int opened = avcodec_open2(video.get(), h264, &videoOptions);
    av_dict_free(&videoOptions);
    if (opened < 0) throw AudiogramError(AudiogramError::Kind::writerSetupFailed);

    // Audio: AAC 192 kb/s, 44.1 kHz stereo.
    std::unique_ptr<AVCodecContext, CodecFreer> audio(avcodec_alloc_context3(aac));
    if (!audio) throw AudiogramError(AudiogramError::Kind::writerSetupFailed);
    audio->sample_fmt = AV_SAMPLE_FMT_FLTP;
    audio->sample_rate = kAudioRate;
    av_channel_layout_default(&audio->ch_layout, 2);
    audio->bit_rate = kAudioBitRate;
    audio->time_base = AVRational{1, kAudioRate};
    if (globalHeader) audio->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(audio.get(), aac, nullptr) < 0) throw AudiogramError(AudiogramError::Kind::writerSetupFailed);

    AVStream* videoStream = avformat_new_stream(output.get(), nullptr);
    AVStream* audioStream = avformat_new_stream(output.get(), nullptr);
    if (!videoStream || !audioStream) throw AudiogramError(AudiogramError::Kind::writerSetupFailed);
    if (avcodec_parameters_from_context(videoStream->codecpar, video.get()) < 0 ||
        avcodec_parameters_from_context(audioStream->codecpar, audio.get()) < 0)
        throw AudiogramError(AudiogramError::Kind::writerSetupFailed);
    videoStream->time_base = video->time_base;
    videoStream->avg_frame_rate = video->framerate;
    audioStream->time_base = audio->time_base;

    WriterBox box(destinationURL, output.get(), video.get(), videoStream, audio.get(), audioStream);
    box.check(avio_open(&output->pb, out.tempPath().c_str(), AVIO_FLAG_WRITE), "opening");
    AVDictionary* muxOptions = nullptr;
    av_dict_set(&muxOptions, "movflags", "+faststart", 0);
    int header = avformat_write_header(output.get(), &muxOptions);
    av_dict_free(&muxOptions);
    box.check(header, "header");

    // Captions of the words that start inside the clip.
    std::vector<CaptionWord> words;
    for (const auto& w : config.captions)
        if (w.start < videoSeconds) words.push_back(w);

    for (int i = 0; i < kFramesInFlight; ++i) {
        FramePtr f(av_frame_alloc());
        if (!f) throw AudiogramError(AudiogramError::Kind::writerSetupFailed);
        f->format = AV_PIX_FMT_YUV420P;
        f->width = width;
        f->height = height;
        box.check(av_frame_get_buffer(f.get(), 0), "frame buffers");
        box.addFree(std::move(f));
    }

    double drawSeconds = 0, encodeSeconds = 0;

    // Drawing: each thread has its own renderer (text layout is per thread) and draws every
    // kDrawingThreads-th frame into one BGRA buffer, then converts it into a pooled yuv420p frame.
    std::vector<CaptionCue> cues = words.empty() ? std::vector<CaptionCue>{} : Transcriber::cues(words, 32, 3.0);
    std::vector<double> drawBusy(kDrawingThreads, 0.0);
    auto draw = [&](int first) {
        const av::ScopedLogSink routed(ffmpegLog);
        try {
            FrameRenderer renderer(width, height, config.waveformColor, config.backgroundImageURL, cues, config.title,
                                   fps);
            std::unique_ptr<SwsContext, ScaleFreer> scale(sws_alloc_context());
            if (!scale) throw AudiogramError(AudiogramError::Kind::writerSetupFailed);
            av_opt_set_int(scale.get(), "srcw", width, 0);
            av_opt_set_int(scale.get(), "srch", height, 0);
            av_opt_set_int(scale.get(), "src_format", AV_PIX_FMT_BGRA, 0);
            av_opt_set_int(scale.get(), "dstw", width, 0);
            av_opt_set_int(scale.get(), "dsth", height, 0);
            av_opt_set_int(scale.get(), "dst_format", AV_PIX_FMT_YUV420P, 0);
            av_opt_set_int(scale.get(), "sws_flags", SWS_BILINEAR, 0);
            av_opt_set_int(scale.get(), "threads", kConversionThreads, 0);
            if (sws_init_context(scale.get(), nullptr, nullptr) < 0)
                throw AudiogramError(AudiogramError::Kind::writerSetupFailed);
            // Full-range sRGB in, limited-range BT.709 out, as the stream is tagged.
            sws_setColorspaceDetails(scale.get(), sws_getCoefficients(SWS_CS_ITU709), 1,
                                     sws_getCoefficients(SWS_CS_ITU709), 0, 0, 1 << 16, 1 << 16);
            FramePtr source(av_frame_alloc());
            if (!source) throw AudiogramError(AudiogramError::Kind::writerSetupFailed);
            source->format = AV_PIX_FMT_BGRA;
            source->width = width;
            source->height = height;
            box.check(av_frame_get_buffer(source.get(), 0), "frame buffers");
            PixelBuffer pixels{source->data[0], width, height, source->linesize[0]};
            for (int frame = first; frame < frameCount; frame += kDrawingThreads) {
                FramePtr target = box.takeFree(frame);
                auto start = std::chrono::steady_clock::now();
                renderer.draw(pixels, levels, frame, frameCount);
                box.check(av_frame_make_writable(target.get()), "frame buffers");
                box.check(sws_scale_frame(scale.get(), target.get(), source.get()), "colour conversion");
                target->pts = frame;
                drawBusy[std::size_t(first)] += secondsSince(start);
                box.pushReady(frame, std::move(target));
            }
        } catch (const Aborted&) {
        } catch (...) {
            box.fail(std::current_exception());
        }
    };
    std::vector<std::thread> drawing;
    for (int i = 0; i < kDrawingThreads; ++i) drawing.emplace_back(draw, i);

    // Audio: decoded from the source over the video's time range, encoded alongside.
    std::thread sound([&] {
        const av::ScopedLogSink routed(ffmpegLog);
        try {
            std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
            FramePtr frame(av_frame_alloc());
            const int frameSize = audio->frame_size > 0 ? audio->frame_size : 1024;
            frame->format = AV_SAMPLE_FMT_FLTP;
            frame->sample_rate = kAudioRate;
            frame->nb_samples = frameSize;
            box.check(av_channel_layout_copy(&frame->ch_layout, &audio->ch_layout), "audio frame");
            box.check(av_frame_get_buffer(frame.get(), 0), "audio frame");
            int filled = 0;
            std::int64_t pts = 0;
            auto send = [&](AVFrame* f) {
                if (f) {
                    f->pts = pts;
                    pts += f->nb_samples;
                    box.waitForVideo(double(pts) / kAudioRate);
                }
                box.encode(audio.get(), audioStream, f, packet.get());
            };
            PCMStream::read(audioURL, double(kAudioRate), 2, videoSeconds, [&](std::span<const float> s, std::size_t frames) {
                if (box.failed()) throw Aborted{};
                for (std::size_t i = 0; i < frames; ++i) {
                    if (filled == 0) box.check(av_frame_make_writable(frame.get()), "audio frame");
                    reinterpret_cast<float*>(frame->data[0])[filled] = s[2 * i];
                    reinterpret_cast<float*>(frame->data[1])[filled] = s[2 * i + 1];
                    if (++filled == frameSize) {
                        send(frame.get());
                        filled = 0;
                    }
                }
            });
            if (filled > 0) {
                frame->nb_samples = filled;
                send(frame.get());
            }
            send(nullptr);
        } catch (const Aborted&) {
        } catch (...) {
            box.fail(std::current_exception());
        }
    });

    // Encoding the video on this thread.
    try {
        std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
        for (int frame = 0; frame < frameCount; ++frame) {
            FramePtr f = box.takeReady(frame);
            auto start = std::chrono::steady_clock::now();
            box.encode(video.get(), videoStream, f.get(), packet.get());
            encodeSeconds += secondsSince(start);
            box.encoded(frame + 1, std::move(f));
            box.videoReached(double(frame + 1) / fps);
        }
        auto start = std::chrono::steady_clock::now();
        box.encode(video.get(), videoStream, nullptr, packet.get());
        encodeSeconds += secondsSince(start);
        box.videoReached(1e300);
    } catch (const Aborted&) {
    } catch (...) {
        box.fail(std::current_exception());
    }
    for (auto& t : drawing) t.join();
    sound.join();
    for (double busy : drawBusy) drawSeconds += busy / kDrawingThreads;
    if (auto error = box.error()) std::rethrow_exception(error);

    box.check(av_write_trailer(output.get()), "finishing");
    box.check(avio_closep(&output->pb), "closing");
    output.reset();
    out.commit();
    if (statistics) *statistics = Statistics{frameCount, drawSeconds, encodeSeconds};
}

}  // namespace lw
