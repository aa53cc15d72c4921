#pragma once
// What an export can do with its cover picture, decided from the file's header before any work.
// The audiogram draws any picture libvips reads of at most kMaxPixels; the RSS MP3, tagged by
// `ffmpeg`, carries PNG and JPEG pictures that FFmpeg's image size limit allows; the RSS M4A's
// tag writer takes any such picture of at most kMaxM4ABytes (converting other kinds to JPEG).
#include <cstdint>
#include <filesystem>
#include <string>

namespace lw::CoverArt {

constexpr double kMaxPixels = 400e6;  // larger pictures are not decoded
constexpr std::uintmax_t kMaxM4ABytes = 64u << 20;

// The deliverables that would carry the cover.
struct Uses {
    bool rss = false;
    bool rssAsMP3 = false;  // the RSS file is an MP3 (`ffmpeg` is present), else an M4A
    bool audiogram = false;
};

struct Check {
    bool forRSS = false;
    bool forAudiogram = false;
    // Why the cover is left out of a deliverable that would carry it, empty when it is not:
    // "Cover art not found: cover.png", "Cover art left out: cover.png is not a picture",
    // "Cover art left out: cover.png is too large (25000 x 25000 pixels)", "Cover art left out
    // of the RSS file: cover.webp is not a PNG or JPEG picture", ...
    std::string problem;
};

Check check(const std::filesystem::path& cover, const Uses& uses);

}  // namespace lw::CoverArt
