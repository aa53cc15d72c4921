#include "audio/podcast/FrameRenderer.h"

#include <cairo.h>
#include <pango/pangocairo.h>
#include <vips/vips8>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/podcast/CoverArt.h"

namespace fs = std::filesystem;

namespace lw {

namespace {

constexpr double kBackground[3] = {17.0 / 255, 17.0 / 255, 22.0 / 255};
constexpr double kMaxBackgroundPixels = CoverArt::kMaxPixels;  // larger pictures are not decoded
constexpr int kBars = 41;
constexpr int kTitleMaxLines = 3;

bool startVips() {
    static const bool ready = [] { return VIPS_INIT("lotwright") == 0; }();
    return ready;
}

// The picture cropped evenly and scaled to cover width x height, as premultiplied BGRA; none
// when it cannot be decoded.
std::unique_ptr<std::vector<std::uint8_t>> loadCover(const fs::path& url, int width, int height) {
    if (!startVips()) return nullptr;
    try {
        auto header = vips::VImage::new_from_file(url.c_str(), vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
        if (double(header.width()) * header.height() > kMaxBackgroundPixels) return nullptr;
        auto image = vips::VImage::thumbnail(url.c_str(), width,
                                             vips::VImage::option()
                                                 ->set("height", height)
                                                 ->set("size", VIPS_SIZE_BOTH)
                                                 ->set("crop", VIPS_INTERESTING_CENTRE));
        if (image.interpretation() != VIPS_INTERPRETATION_sRGB && image.interpretation() != VIPS_INTERPRETATION_B_W)
            image = image.colourspace(VIPS_INTERPRETATION_sRGB);
        if (image.format() != VIPS_FORMAT_UCHAR) image = image.cast(VIPS_FORMAT_UCHAR);
        if (image.bands() == 1) image = image.bandjoin({image, image});
        else if (image.bands() == 2) image = image[0].bandjoin({image[0], image[0], image[1]});
        if (image.bands() == 3) image = image.bandjoin_const({255});
        if (image.bands() > 4) image = image.extract_band(0, vips::VImage::option()->set("n", 4));
        if (image.width() != width || image.height() != height) return nullptr;
        std::size_t size = 0;
        void* pixels = image.write_to_memory(&size);
        if (!pixels) return nullptr;
        auto out = std::make_unique<std::vector<std::uint8_t>>(std::size_t(width) * std::size_t(height) * 4);
        const auto* rgba = static_cast<const std::uint8_t*>(pixels);
        auto* bgra = out->data();
        for (std::size_t i = 0, n = std::size_t(width) * std::size_t(height); i < n; ++i) {
            unsigned a = rgba[4 * i + 3];
            bgra[4 * i + 0] = static_cast<std::uint8_t>((rgba[4 * i + 2] * a + 127) / 255);
            bgra[4 * i + 1] = static_cast<std::uint8_t>((rgba[4 * i + 1] * a + 127) / 255);
            bgra[4 * i + 2] = static_cast<std::uint8_t>((rgba[4 * i + 0] * a + 127) / 255);
            bgra[4 * i + 3] = static_cast<std::uint8_t>(a);
        }
        g_free(pixels);
        return out;
    } catch (const vips::VError&) {
        vips_error_clear();
        return nullptr;
    }
}

void roundedRect(cairo_t* cr, double x, double y, double w, double h, double r) {
    r = std::min({r, w / 2, h / 2});
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
    cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

struct SurfaceCloser {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextCloser {
    void operator()(cairo_t* c) const { cairo_destroy(c); }
};

// Pango takes UTF-8 only; invalid bytes (a title typed in another encoding) become U+FFFD.
std::string validUtf8(const std::string& text) {
    if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) return text;
    gchar* repaired = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
    std::string out(repaired);
    g_free(repaired);
    return out;
}

PangoFontDescription* boldSans(double pixels) {
    PangoFontDescription* font = pango_font_description_from_string("Sans Bold");
    pango_font_description_set_absolute_size(font, pixels * PANGO_SCALE);
    return font;
}

}  // namespace

// Pango objects live on the drawing thread (each thread has its own font map).
struct FrameRenderer::Text {
    PangoFontMap* fontMap = nullptr;
    PangoContext* context = nullptr;
    PangoLayout* caption = nullptr;
    int captionCue = -1;
    std::vector<std::pair<int, int>> wordBytes;  // start and end byte of each word in the caption
    ~Text() {
        if (caption) g_object_unref(caption);
        if (context) g_object_unref(context);
        if (fontMap) g_object_unref(fontMap);
    }
};

FrameRenderer::FrameRenderer(int width, int height, const std::string& waveformColor,
                             const std::optional<fs::path>& backgroundImageURL, std::vector<CaptionCue> cues,
                             std::optional<std::string> title, int fps)
    : width_(width), height_(height), color_(parseColor(waveformColor)), cues_(std::move(cues)),
      title_(std::move(title)), fps_(std::max(1, fps)) {
    if (title_) title_ = validUtf8(*title_);
    for (auto& cue : cues_)
        for (auto& word : cue.words) word.text = validUtf8(word.text);
    if (backgroundImageURL && width > 0 && height > 0) background_ = loadCover(*backgroundImageURL, width, height);
}

FrameRenderer::~FrameRenderer() = default;

std::uint32_t FrameRenderer::parseColor(const std::string& text) {
    std::size_t begin = text.find_first_not_of(" \t"), end = text.find_last_not_of(" \t");
    if (begin == std::string::npos) return kDefaultColor;
    std::string_view s(text.data() + begin, end - begin + 1);
    if (!s.empty() && s.front() == '#') s.remove_prefix(1);
    if (s.empty() || s.size() > 8) return kDefaultColor;
    std::uint32_t value = 0;
    for (char c : s) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return kDefaultColor;
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return value & 0xFFFFFF;
}

void FrameRenderer::prepare() {
    text_ = std::make_unique<Text>();
    text_->fontMap = pango_cairo_font_map_new();
    text_->context = pango_font_map_create_context(text_->fontMap);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    pango_cairo_context_set_font_options(text_->context, options);
    cairo_font_options_destroy(options);

    const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, width_);
    base_.assign(std::size_t(stride) * std::size_t(height_), 0);
    std::unique_ptr<cairo_surface_t, SurfaceCloser> surface(
        cairo_image_surface_create_for_data(base_.data(), CAIRO_FORMAT_ARGB32, width_, height_, stride));
    std::unique_ptr<cairo_t, ContextCloser> cr(cairo_create(surface.get()));
    const double W = width_, H = height_, m = std::min(W, H);

    cairo_set_source_rgb(cr.get(), kBackground[0], kBackground[1], kBackground[2]);
    cairo_paint(cr.get());
    if (background_) {
        std::unique_ptr<cairo_surface_t, SurfaceCloser> cover(cairo_image_surface_create_for_data(
            background_->data(), CAIRO_FORMAT_ARGB32, width_, height_, width_ * 4));
        cairo_set_source_surface(cr.get(), cover.get(), 0, 0);
        cairo_paint(cr.get());
        cairo_set_source_rgba(cr.get(), 0, 0, 0, 0.45);
        cairo_paint(cr.get());
    }
    if (title_ && !title_->empty()) {
        PangoLayout* layout = pango_layout_new(text_->context);
        PangoFontDescription* font = boldSans(0.05 * m);
        pango_layout_set_font_description(layout, font);
        pango_font_description_free(font);
        pango_layout_set_alignment(layout, PANGO_ALIGN_CENTER);
        pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
        pango_layout_set_width(layout, static_cast<int>(0.84 * W * PANGO_SCALE));
        // A very long title keeps its first lines and ends with an ellipsis.
        pango_layout_set_height(layout, -kTitleMaxLines);
        pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
        pango_layout_set_text(layout, title_->c_str(), -1);
        PangoRectangle logical;
        pango_layout_get_extents(layout, nullptr, &logical);
        double h = std::ceil(double(logical.height) / PANGO_SCALE);
        cairo_set_source_rgba(cr.get(), 1, 1, 1, 0.95);
        // Bottom-left y of the box is 0.86 H - h/2; the top in drawing coordinates follows.
        cairo_move_to(cr.get(), 0.5 * W - 0.42 * W, H - (0.86 * H + h / 2));
        pango_cairo_update_context(cr.get(), text_->context);
        pango_layout_context_changed(layout);
        pango_cairo_show_layout(cr.get(), layout);
        g_object_unref(layout);
    }
    cairo_surface_flush(surface.get());
    background_.reset();  // drawn into the base; no longer needed
}

void FrameRenderer::draw(const PixelBuffer& buffer, const std::vector<float>& envelope, int frame, int totalFrames) {
    if (!buffer.data || buffer.width != width_ || buffer.height != height_ || width_ <= 0 || height_ <= 0 ||
        buffer.bytesPerRow < width_ * 4 || buffer.bytesPerRow % 4 != 0)
        return;
    if (!text_) prepare();
    const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, width_);
    for (int y = 0; y < height_; ++y)
        std::memcpy(buffer.data + std::size_t(y) * std::size_t(buffer.bytesPerRow),
                    base_.data() + std::size_t(y) * std::size_t(stride), std::size_t(width_) * 4);

    std::unique_ptr<cairo_surface_t, SurfaceCloser> surface(cairo_image_surface_create_for_data(
        buffer.data, CAIRO_FORMAT_ARGB32, width_, height_, buffer.bytesPerRow));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return;
    std::unique_ptr<cairo_t, ContextCloser> crHolder(cairo_create(surface.get()));
    cairo_t* cr = crHolder.get();
    const double W = width_, H = height_, m = std::min(W, H);
    const double red = ((color_ >> 16) & 0xFF) / 255.0, green = ((color_ >> 8) & 0xFF) / 255.0,
                 blue = (color_ & 0xFF) / 255.0;
    const bool captions = !cues_.empty();

    // Level bars: the middle one shows this frame, each step outwards two frames earlier.
    const double gap = 0.006 * W;
    const double barWidth = (0.86 * W - (kBars - 1) * gap) / kBars;
    const double step = barWidth + gap;
    const double y0 = captions ? 0.56 * H : 0.5 * H;
    const double maxHeight = captions ? 0.24 * H : 0.30 * H;
    for (int i = 0; i < kBars; ++i) {
        int d = std::abs(i - kBars / 2);
        long index = long(frame) - 2L * d;
        float level = index < 0 ? (envelope.empty() ? 0.f : envelope.front())
                                : (std::size_t(index) < envelope.size() ? envelope[std::size_t(index)] : 0.f);
        double h = std::max(barWidth, (1.0 - double(d) / kBars) * double(level) * maxHeight);
        roundedRect(cr, 0.07 * W + i * step, H - (y0 + h / 2), barWidth, h, barWidth / 2);
    }
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
    cairo_set_source_rgb(cr, red, green, blue);
    cairo_fill(cr);

    // Caption: the latest cue that has started (50 ms early), until 0.6 s after its last word.
    if (captions) {
        const double t = double(frame) / fps_, u = t + 0.05;
        int chosen = -1;
        for (int c = int(cues_.size()) - 1; c >= 0; --c)
            if (cues_[std::size_t(c)].start() <= u) {
                chosen = c;
                break;
            }
        if (chosen >= 0 && t < cues_[std::size_t(chosen)].end() + 0.6) {
            const auto& words = cues_[std::size_t(chosen)].words;
            const double f = 0.062 * m;
            PangoLayout*& layout = text_->caption;
            if (!layout) {
                layout = pango_layout_new(text_->context);
                PangoFontDescription* font = boldSans(f);
                pango_layout_set_font_description(layout, font);
                pango_font_description_free(font);
                pango_layout_set_alignment(layout, PANGO_ALIGN_CENTER);
                pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
                pango_layout_set_width(layout, static_cast<int>(0.82 * W * PANGO_SCALE));
            }
            if (text_->captionCue != chosen) {
                std::string line;
                text_->wordBytes.clear();
                for (std::size_t k = 0; k < words.size(); ++k) {
                    int startByte = int(line.size());
                    line += words[k].text;
                    text_->wordBytes.emplace_back(startByte, int(line.size()));
                    if (k + 1 < words.size()) line += ' ';
                }
                pango_layout_set_text(layout, line.c_str(), int(line.size()));
                text_->captionCue = chosen;
            }
            PangoAttrList* attributes = pango_attr_list_new();
            for (std::size_t k = 0; k < words.size(); ++k) {
                bool started = words[k].start <= u;
                bool current = started && (k + 1 == words.size() || u < words[k + 1].start);
                PangoAttribute* fg = current ? pango_attr_foreground_new(guint16(red * 65535), guint16(green * 65535),
                                                                         guint16(blue * 65535))
                                             : pango_attr_foreground_new(65535, 65535, 65535);
                PangoAttribute* alpha = pango_attr_foreground_alpha_new(started ? 65535 : guint16(0.7 * 65535));
                for (PangoAttribute* a : {fg, alpha}) {
                    a->start_index = guint(text_->wordBytes[k].first);
                    a->end_index = guint(text_->wordBytes[k].second);
                    pango_attr_list_insert(attributes, a);
                }
            }
            pango_layout_set_attributes(layout, attributes);
            pango_attr_list_unref(attributes);

            PangoRectangle logical;
            pango_layout_get_extents(layout, nullptr, &logical);
            const double w = double(logical.width) / PANGO_SCALE;
            const double h = std::ceil(double(logical.height) / PANGO_SCALE);
            const double p = 0.35 * f;
            const double boxBottom = 0.24 * H - h / 2;
            roundedRect(cr, 0.5 * W - w / 2 - p, H - (boxBottom - 0.6 * p + h + 1.2 * p), w + 2 * p, h + 1.2 * p, p);
            cairo_set_source_rgba(cr, 0, 0, 0, 0.55);
            cairo_fill(cr);
            cairo_move_to(cr, 0.5 * W - 0.41 * W, H - (boxBottom + h));
            pango_cairo_show_layout(cr, layout);
        }
    }

    // Progress: the track, then the part played so far.
    const double q = double(frame + 1) / std::max(1, totalFrames);
    const double trackTop = H - 0.08 * H - 6;
    cairo_rectangle(cr, 0.07 * W, trackTop, 0.86 * W, 6);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.18);
    cairo_fill(cr);
    cairo_rectangle(cr, 0.07 * W, trackTop, 0.86 * W * std::clamp(q, 0.0, 1.0), 6);
    cairo_set_source_rgb(cr, red, green, blue);
    cairo_fill(cr);
    cairo_surface_flush(surface.get());
}

}  // namespace lw
