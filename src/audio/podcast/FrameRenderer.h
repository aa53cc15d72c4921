#pragma once
// Draws one audiogram frame into a 32-bit BGRA (premultiplied, alpha first in the word) pixel
// buffer: background, darkened cover picture, title, mirrored level bars, the caption of the
// moment with its spoken word highlighted, and the progress bar. Layout positions are fractions
// of the frame, so the square, vertical and wide shapes share them.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/podcast/Transcriber.h"

namespace lw {

struct PixelBuffer {
    std::uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    int bytesPerRow = 0;
};

class FrameRenderer {
public:
    FrameRenderer(int width, int height, const std::string& waveformColor,
                  const std::optional<std::filesystem::path>& backgroundImageURL, std::vector<CaptionCue> cues,
                  std::optional<std::string> title, int fps);
    ~FrameRenderer();
    FrameRenderer(const FrameRenderer&) = delete;
    FrameRenderer& operator=(const FrameRenderer&) = delete;

    // Draws frame `frame` (0-based) of `totalFrames`. A buffer of another size is left untouched.
    // Use from one thread at a time.
    void draw(const PixelBuffer& buffer, const std::vector<float>& envelope, int frame, int totalFrames);

    // 0xRRGGBB of a colour text: blanks and tabs trimmed, one leading "#" dropped, then a
    // hexadecimal number of at most 32 bits (the top byte ignored); 0x3B82F6 otherwise.
    static std::uint32_t parseColor(const std::string& text);

    static constexpr std::uint32_t kDefaultColor = 0x3B82F6;

    bool hasBackground() const { return background_ != nullptr; }

private:
    struct Text;
    void prepare();

    int width_, height_;
    std::uint32_t color_;
    std::vector<CaptionCue> cues_;
    std::optional<std::string> title_;
    int fps_;
    // The cover picture, already cropped and scaled to the frame (premultiplied BGRA).
    std::unique_ptr<std::vector<std::uint8_t>> background_;
    // Background, cover, veil and title, drawn once and copied into every frame.
    std::vector<std::uint8_t> base_;
    std::unique_ptr<Text> text_;
};

}  // namespace lw
