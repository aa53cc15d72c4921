#include "audio/podcast/ID3TagInjector.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "audio/FFmpegHandles.h"
#include "audio/FFmpegLog.h"
#include "audio/PCMStream.h"
#include "audio/podcast/CoverArt.h"
#include "platform/AtomicFile.h"

#include <vips/vips8>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
}

namespace fs = std::filesystem;

namespace lw {

namespace {
std::string tagErrorText(ID3TagInjector::TagError::Kind kind) {
    switch (kind) {
        case ID3TagInjector::TagError::Kind::exportSessionUnavailable:
            return "The AAC exporter is not available for metadata injection.";
        case ID3TagInjector::TagError::Kind::taggingFailed:
            return "Failed to inject metadata tags into audio container.";
    }
    return {};
}
}  // namespace

ID3TagInjector::TagError::TagError(Kind kind) : Error(tagErrorText(kind)), kind_(kind) {}

ID3TagInjector::ID3TagInjector(const FFmpegRunner& runner, int aacBitRate) : runner_(&runner), aacBitRate_(aacBitRate) {}

void ID3TagInjector::inject(const PodcastMetadata& metadata, const fs::path& sourceURL, const fs::path& destinationURL,
                            const std::optional<fs::path>& chaptersFile) const {
    if (runner_->isFFmpegAvailable())
        injectWithFFmpeg(metadata, sourceURL, destinationURL, chaptersFile);
    else
        injectWithAACExporter(metadata, sourceURL, destinationURL);
}

std::vector<std::string> ID3TagInjector::ffmpegArguments(const PodcastMetadata& metadata, const fs::path& source,
                                                         const fs::path& output,
                                                         const std::optional<fs::path>& chaptersFile) {
    std::vector<std::string> args{"-y", "-i", source.string()};
    bool artwork = false;
    if (metadata.artworkURL) {
        std::error_code ec;
        if (fs::exists(*metadata.artworkURL, ec)) {
            args.insert(args.end(), {"-i", metadata.artworkURL->string()});
            artwork = true;
        }
    }
    if (chaptersFile) args.insert(args.end(), {"-f", "ffmetadata", "-i", chaptersFile->string()});
    args.insert(args.end(), {"-map", "0:a"});
    if (chaptersFile) args.insert(args.end(), {"-map_chapters", artwork ? "2" : "1"});
    if (artwork) args.insert(args.end(), {"-map", "1:0", "-c:v", "copy", "-disposition:v:0", "attached_pic"});
    args.insert(args.end(), {"-c:a", "copy", "-metadata:s:v", "title=Album cover", "-metadata:s:v",
                             "comment=Cover (front)", "-id3v2_version", "3", "-metadata", "title=" + metadata.title,
                             "-metadata", "artist=" + metadata.artist, "-metadata", "album=" + metadata.podcastName,
                             "-metadata", "comment=" + metadata.showNotes});
    if (metadata.releaseYear) args.insert(args.end(), {"-metadata", "date=" + std::to_string(*metadata.releaseYear)});
    if (metadata.episodeNumber)
        args.insert(args.end(), {"-metadata", "track=" + std::to_string(*metadata.episodeNumber)});
    args.push_back(output.string());
    return args;
}

void ID3TagInjector::injectWithFFmpeg(const PodcastMetadata& metadata, const fs::path& sourceURL,
                                      const fs::path& destinationURL,
                                      const std::optional<fs::path>& chaptersFile) const {
    AtomicFile out(destinationURL);
    runner_->execute(ffmpegArguments(metadata, sourceURL, out.tempPath(), chaptersFile));
    out.commit();
}

// MARK: - M4A through the FFmpeg libraries

namespace {

using namespace lw::av;

constexpr std::uintmax_t kMaxArtworkBytes = CoverArt::kMaxM4ABytes;
constexpr double kMaxArtworkPixels = CoverArt::kMaxPixels;

// The artwork as one PNG or JPEG packet (the only pictures an M4A cover holds) with its stream
// parameters: PNG and JPEG files as they are, other pictures converted to JPEG; none when the
// file cannot be read as a picture.
struct Artwork {
    std::unique_ptr<AVPacket, PacketFreer> packet;
    AVCodecParameters* parameters = nullptr;
    ~Artwork() { avcodec_parameters_free(&parameters); }
};

// Another kind of picture (WebP, TIFF, HEIF, ...) as a JPEG of quality 92, upright, in sRGB.
std::unique_ptr<Artwork> convertedArtwork(const fs::path& url) {
    static const bool ready = [] { return VIPS_INIT("lotwright") == 0; }();
    if (!ready) return nullptr;
    try {
        auto image = vips::VImage::new_from_file(url.c_str(), vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
        if (double(image.width()) * image.height() > kMaxArtworkPixels) return nullptr;
        image = image.autorot();
        if (image.interpretation() != VIPS_INTERPRETATION_sRGB) image = image.colourspace(VIPS_INTERPRETATION_sRGB);
        if (image.has_alpha()) image = image.flatten(vips::VImage::option()->set("background", std::vector<double>{255, 255, 255}));
        if (image.format() != VIPS_FORMAT_UCHAR) image = image.cast(VIPS_FORMAT_UCHAR);
        void* bytes = nullptr;
        std::size_t size = 0;
        image.write_to_buffer(".jpg", &bytes, &size, vips::VImage::option()->set("Q", 92)->set("strip", true));
        auto art = std::make_unique<Artwork>();
        art->packet.reset(av_packet_alloc());
        art->parameters = avcodec_parameters_alloc();
        if (!bytes || !art->packet || !art->parameters || av_new_packet(art->packet.get(), int(size)) < 0) {
            g_free(bytes);
            return nullptr;
        }
        std::memcpy(art->packet->data, bytes, size);
        g_free(bytes);
        art->parameters->codec_type = AVMEDIA_TYPE_VIDEO;
        art->parameters->codec_id = AV_CODEC_ID_MJPEG;
        art->parameters->width = image.width();
        art->parameters->height = image.height();
        return art;
    } catch (const vips::VError&) {
        vips_error_clear();
        return nullptr;
    }
}

std::unique_ptr<Artwork> readArtwork(const std::optional<fs::path>& url) {
    if (!url) return nullptr;
    std::error_code ec;
    auto size = fs::file_size(*url, ec);
    if (ec || size == 0 || size > kMaxArtworkBytes) return nullptr;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, url->c_str(), nullptr, nullptr) < 0) return convertedArtwork(*url);
    std::unique_ptr<AVFormatContext, InputCloser> input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0 || input->nb_streams != 1) return convertedArtwork(*url);
    const AVCodecParameters* par = input->streams[0]->codecpar;
    // Named like a picture without being one has no size.
    if ((par->codec_id != AV_CODEC_ID_PNG && par->codec_id != AV_CODEC_ID_MJPEG) || par->width <= 0 || par->height <= 0)
        return convertedArtwork(*url);
    auto art = std::make_unique<Artwork>();
    art->packet.reset(av_packet_alloc());
    art->parameters = avcodec_parameters_alloc();
    if (!art->packet || !art->parameters || avcodec_parameters_copy(art->parameters, par) < 0) return nullptr;
    art->parameters->codec_tag = 0;
    if (av_read_frame(input.get(), art->packet.get()) < 0 || art->packet->size <= 0) return nullptr;
    return art;
}

int aacSampleRate(double rate) {
    static constexpr int rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};
    int r = static_cast<int>(rate + 0.5);
    for (int s : rates)
        if (s == r) return r;
    return rate > 48000 ? 48000 : 44100;
}

std::uint32_t bigEndian32(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

struct Box {
    std::size_t offset;  // of the header, within the enclosing buffer
    std::size_t size;    // header included
    std::size_t header;
    std::string type;
};

// The child boxes of buf[begin, end); empty when the layout does not parse.
std::vector<Box> childBoxes(const std::vector<std::uint8_t>& buf, std::size_t begin, std::size_t end) {
    std::vector<Box> boxes;
    std::size_t at = begin;
    while (at + 8 <= end) {
        std::uint64_t size = bigEndian32(&buf[at]);
        std::size_t header = 8;
        if (size == 1) {
            if (at + 16 > end) return {};
            size = (std::uint64_t(bigEndian32(&buf[at + 8])) << 32) | bigEndian32(&buf[at + 12]);
            header = 16;
        } else if (size == 0) {
            size = end - at;
        }
        if (size < header || size > end - at) return {};
        boxes.push_back({at, static_cast<std::size_t>(size), header, std::string(reinterpret_cast<const char*>(&buf[at + 4]), 4)});
        at += static_cast<std::size_t>(size);
    }
    return boxes;
}

const Box* findBox(const std::vector<Box>& boxes, const char* type) {
    for (const auto& b : boxes)
        if (b.type == type) return &b;
    return nullptr;
}

// The muxer writes iTunes items in an order of its own; this puts the episode's items first in
// the order title, artist, album, description, comment, date, track (the rest after them, as
// they were). The item list keeps its size, so it is rewritten in place.
void orderItemList(const fs::path& file) {
    std::fstream io(file, std::ios::binary | std::ios::in | std::ios::out);
    if (!io) throw ID3TagInjector::TagError(ID3TagInjector::TagError::Kind::taggingFailed);
    std::uint64_t fileSize = fs::file_size(file);
    std::uint64_t at = 0;
    std::vector<std::uint8_t> moov;
    std::uint64_t moovOffset = 0;
    while (at + 8 <= fileSize) {
        std::uint8_t h[16];
        io.seekg(static_cast<std::streamoff>(at));
        if (!io.read(reinterpret_cast<char*>(h), 8)) break;
        std::uint64_t size = bigEndian32(h);
        if (size == 1) {
            if (!io.read(reinterpret_cast<char*>(h + 8), 8)) break;
            size = (std::uint64_t(bigEndian32(h + 8)) << 32) | bigEndian32(h + 12);
        } else if (size == 0) {
            size = fileSize - at;
        }
        if (size < 8 || size > fileSize - at) break;
        if (std::memcmp(h + 4, "moov", 4) == 0) {
            moov.resize(static_cast<std::size_t>(size));
            io.seekg(static_cast<std::streamoff>(at));
            if (!io.read(reinterpret_cast<char*>(moov.data()), static_cast<std::streamsize>(size))) moov.clear();
            moovOffset = at;
            break;
        }
        at += size;
    }
    if (moov.empty()) return;
    auto moovBox = childBoxes(moov, 0, moov.size());
    if (moovBox.empty()) return;
    auto inMoov = childBoxes(moov, moovBox[0].header, moov.size());
    const Box* udta = findBox(inMoov, "udta");
    if (!udta) return;
    auto inUdta = childBoxes(moov, udta->offset + udta->header, udta->offset + udta->size);
    const Box* meta = findBox(inUdta, "meta");
    if (!meta || meta->size < meta->header + 4) return;
    auto inMeta = childBoxes(moov, meta->offset + meta->header + 4, meta->offset + meta->size);
    const Box* ilst = findBox(inMeta, "ilst");
    if (!ilst) return;
    std::size_t itemsBegin = ilst->offset + ilst->header, itemsEnd = ilst->offset + ilst->size;
    auto items = childBoxes(moov, itemsBegin, itemsEnd);
    static const std::array<std::string, 7> order = {"\xA9nam", "\xA9" "ART", "\xA9" "alb", "desc",
                                                      "\xA9" "cmt", "\xA9" "day", "trkn"};
    auto rank = [&](const Box& b) {
        auto it = std::find(order.begin(), order.end(), b.type);
        return static_cast<std::size_t>(it - order.begin());
    };
    std::stable_sort(items.begin(), items.end(), [&](const Box& a, const Box& b) { return rank(a) < rank(b); });
    std::vector<std::uint8_t> reordered;
    reordered.reserve(itemsEnd - itemsBegin);
    for (const auto& b : items) reordered.insert(reordered.end(), moov.begin() + static_cast<std::ptrdiff_t>(b.offset),
                                                 moov.begin() + static_cast<std::ptrdiff_t>(b.offset + b.size));
    if (reordered.size() != itemsEnd - itemsBegin) return;
    io.seekp(static_cast<std::streamoff>(moovOffset + itemsBegin));
    io.write(reinterpret_cast<const char*>(reordered.data()), static_cast<std::streamsize>(reordered.size()));
    if (!io.flush()) throw ID3TagInjector::TagError(ID3TagInjector::TagError::Kind::taggingFailed);
}

void check(int code, const fs::path& destination, const char* what) {
    if (code < 0)
        throw Error("Could not write " + destination.filename().string() + " (" + what + "): " + errorText(code));
}

}  // namespace

void ID3TagInjector::injectWithAACExporter(const PodcastMetadata& metadata, const fs::path& sourceURL,
                                           const fs::path& destinationURL) const {
    av::routeLibraryLog();
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    const AVOutputFormat* container = av_guess_format("ipod", nullptr, nullptr);
    if (!codec || !container) throw TagError(TagError::Kind::exportSessionUnavailable);

    PCMStream::Format source = PCMStream::format(sourceURL);
    const int rate = aacSampleRate(source.sampleRate);
    const int channels = std::clamp(source.channels, 1, 2);

    AtomicFile out(destinationURL);
    AVFormatContext* rawOutput = nullptr;
    check(avformat_alloc_output_context2(&rawOutput, container, nullptr, out.tempPath().c_str()), destinationURL,
          "container");
    std::unique_ptr<AVFormatContext, OutputFreer> output(rawOutput);

    std::unique_ptr<AVCodecContext, CodecFreer> encoder(avcodec_alloc_context3(codec));
    if (!encoder) throw TagError(TagError::Kind::exportSessionUnavailable);
    encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder->sample_rate = rate;
    av_channel_layout_default(&encoder->ch_layout, channels);
    encoder->bit_rate = aacBitRate_;
    encoder->time_base = AVRational{1, rate};
    if (output->oformat->flags & AVFMT_GLOBALHEADER) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(encoder.get(), codec, nullptr) < 0) throw TagError(TagError::Kind::exportSessionUnavailable);

    AVStream* audio = avformat_new_stream(output.get(), nullptr);
    if (!audio) throw TagError(TagError::Kind::exportSessionUnavailable);
    check(avcodec_parameters_from_context(audio->codecpar, encoder.get()), destinationURL, "audio stream");
    audio->time_base = encoder->time_base;

    auto artwork = readArtwork(metadata.artworkURL);
    if (artwork) {
        AVStream* cover = avformat_new_stream(output.get(), nullptr);
        if (!cover || avcodec_parameters_copy(cover->codecpar, artwork->parameters) < 0)
            throw TagError(TagError::Kind::taggingFailed);
        cover->disposition = AV_DISPOSITION_ATTACHED_PIC;
        cover->time_base = AVRational{1, 90000};
    }

    auto set = [&](const char* key, const std::string& value) { av_dict_set(&output->metadata, key, value.c_str(), 0); };
    set("title", metadata.title);
    set("artist", metadata.artist);
    set("album", metadata.podcastName);
    set("description", metadata.showNotes);
    set("comment", metadata.showNotes);
    if (metadata.releaseYear) set("date", std::to_string(*metadata.releaseYear));
    if (metadata.episodeNumber) set("track", std::to_string(*metadata.episodeNumber));

    check(avio_open(&output->pb, out.tempPath().c_str(), AVIO_FLAG_WRITE), destinationURL, "open");
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "+faststart", 0);
    int headerResult = avformat_write_header(output.get(), &options);
    av_dict_free(&options);
    check(headerResult, destinationURL, "header");

    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    if (artwork) {
        AVPacket* picture = artwork->packet.get();
        picture->stream_index = 1;
        picture->pts = picture->dts = 0;
        picture->duration = 0;
        picture->flags |= AV_PKT_FLAG_KEY;
        check(av_write_frame(output.get(), picture), destinationURL, "cover");
        artwork.reset();
    }

    auto drain = [&]() {
        for (;;) {
            int r = avcodec_receive_packet(encoder.get(), packet.get());
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
            check(r, destinationURL, "AAC encoding");
            av_packet_rescale_ts(packet.get(), encoder->time_base, audio->time_base);
            packet->stream_index = audio->index;
            check(av_write_frame(output.get(), packet.get()), destinationURL, "audio");
        }
    };

    const int frameSize = encoder->frame_size > 0 ? encoder->frame_size : 1024;
    std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = rate;
    frame->nb_samples = frameSize;
    check(av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout), destinationURL, "audio frame");
    check(av_frame_get_buffer(frame.get(), 0), destinationURL, "audio frame");
    int filled = 0;
    std::int64_t pts = 0;
    std::uint64_t total = 0;
    auto send = [&](AVFrame* f) {
        if (f) {
            f->pts = pts;
            pts += f->nb_samples;
        }
        check(avcodec_send_frame(encoder.get(), f), destinationURL, "AAC encoding");
        drain();
    };

    PCMStream::read(sourceURL, double(rate), channels, std::nullopt, [&](std::span<const float> samples, std::size_t frames) {
        const float* s = samples.data();
        for (std::size_t i = 0; i < frames; ++i) {
            if (filled == 0) check(av_frame_make_writable(frame.get()), destinationURL, "audio frame");
            for (int c = 0; c < channels; ++c)
                reinterpret_cast<float*>(frame->data[c])[filled] = s[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)];
            if (++filled == frameSize) {
                send(frame.get());
                filled = 0;
            }
        }
        total += frames;
    });
    if (total == 0) throw PCMStream::StreamError::readFailed(sourceURL, "the file holds no audio.");
    if (filled > 0) {
        frame->nb_samples = filled;
        send(frame.get());
    }
    send(nullptr);
    check(av_write_trailer(output.get()), destinationURL, "finishing");
    avio_closep(&output->pb);
    output.reset();

    orderItemList(out.tempPath());
    out.commit();
}

}  // namespace lw
