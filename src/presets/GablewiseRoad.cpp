// The photo road of one item: bracket, fusion, straightening, watermark, print set, web set,
// metadata. Every deliverable is encoded and stripped in memory, written to a temporary name
// and renamed into place only when the whole item has succeeded.
#include <fmt/format.h>

#include <cmath>
#include <optional>
#include <mutex>
#include <map>
#include <algorithm>
#include <fstream>
#include <future>
#include <numbers>
#include <utility>

#include "core/TokenRenamer.h"
#include "image/ArchitecturalStraightener.h"
#include "image/BracketMerger.h"
#include "image/CoreImagePipeline.h"
#include "image/ExposureFusion.h"
#include "image/MergeGate.h"
#include "image/VipsLog.h"
#include "image/MetadataStripper.h"
#include "image/Watermark.h"
#include "image/WebEncoder.h"
#include "core/StagedOutputs.h"
#include "platform/FileSafety.h"
#include "presets/GablewisePreset.h"

namespace lw {

namespace fs = std::filesystem;

namespace {

constexpr double printQuality = 0.92;
const char* const printFolder = "Print_Package";
// The smallest photo Airbnb takes, as its portal's note tells the user.
constexpr int airbnbMinimumWidth = 1024, airbnbMinimumHeight = 683;

struct Deliverable {
    fs::path destination;
    std::vector<std::uint8_t> bytes;
    int width = 0, height = 0;
    double quality = 0;
};

bool samePath(const fs::path& a, const fs::path& b) {
    return a.lexically_normal() == b.lexically_normal() || fs::weakly_canonical(a) == fs::weakly_canonical(b);
}

std::string kilobytes(std::size_t bytes) { return fmt::format("{} KB", (bytes + 512) / 1024); }

// The centred crop of `image` to `ratio` (width / height).
Image croppedToAspect(const Image& image, double ratio) {
    const int w = image.width(), h = image.height();
    if (w <= 0 || h <= 0) return image;
    int cw = w, ch = h;
    if (static_cast<double>(w) / h > ratio)
        cw = std::max(1, static_cast<int>(std::lround(h * ratio)));
    else
        ch = std::max(1, static_cast<int>(std::lround(w / ratio)));
    const ImageRect e = image.extent();
    return image.cropped({e.x + (w - cw) / 2, e.y + (h - ch) / 2, cw, ch});
}

// Whether the pixels are an image in memory rather than a pipeline to compute.
bool inMemory(const Image& image) {
    const VipsImage* pixels = image.pixels().get_image();
    return pixels && pixels->data != nullptr;
}

// `pixels` behind a cache of full-width strips shared by every thread and pipeline that reads
// it: 64 strips of 16 rows.
vips::VImage sharedRows(const vips::VImage& pixels) {
    return pixels.tilecache(vips::VImage::option()
                                ->set("tile_width", pixels.width())
                                ->set("tile_height", 16)
                                ->set("max_tiles", 64)
                                ->set("threaded", true)
                                ->set("access", VIPS_ACCESS_RANDOM));
}

// The first line of a library's message, for the log.
std::string firstLine(const std::string& text) {
    const auto end = text.find_first_of("\r\n");
    return end == std::string::npos ? text : text.substr(0, end);
}

// A library's exception (libvips, std::filesystem, out of memory) caught while `step` ran on the
// photo `source`, as the road's own one-line error; the library's detail goes to the log.
[[noreturn]] void rethrowAsRoadError(const std::string& step, const fs::path& source,
                                     const std::function<void(const std::string&)>& log) {
    std::string reason;
    try {
        throw;
    } catch (const Error&) {
        throw;
    } catch (const BatchSkip&) {
        throw;
    } catch (const vips::VError& e) {
        log(source.filename().string() + ": " + step + ": libvips: " + firstLine(e.what()));
        if (step == "loading") throw GablewisePreset::PresetError::cannotDecodeImage(source);
        reason = "the image library failed";
    } catch (const std::bad_alloc&) {
        reason = "there is not enough memory";
    } catch (const fs::filesystem_error& e) {
        log(source.filename().string() + ": " + step + ": " + e.what());
        reason = e.path1().empty() ? e.code().message()
                                   : e.path1().filename().string() + ": " + writeFailureReason(e.path1(), e.code());
    } catch (const std::exception& e) {
        log(source.filename().string() + ": " + step + ": " + firstLine(e.what()));
        reason = "an unexpected error occurred";
    }
    throw Error("Could not process " + source.filename().string() + " (" + step + "): " + reason + ".");
}

// Whether a bracket member decodes, and its size once decoded.
struct MemberCheck {
    bool decodes = false;
    int width = 0, height = 0;
};

// What the items of a bracket learnt about its members, kept for the process so that they do not
// decode each other's files again: keyed by the file, its modification time and its size.
class MemberChecks {
public:
    static MemberChecks& shared() {
        static MemberChecks checks;
        return checks;
    }
    std::optional<MemberCheck> find(const fs::path& file) {
        const auto [key, stamp] = keyOf(file);
        std::lock_guard lock(mutex_);
        const auto it = entries_.find(key);
        if (it == entries_.end() || it->second.first != stamp) return std::nullopt;
        return it->second.second;
    }
    void store(const fs::path& file, const MemberCheck& check) {
        const auto [key, stamp] = keyOf(file);
        std::lock_guard lock(mutex_);
        if (entries_.size() >= 4096) entries_.clear();
        entries_[key] = {stamp, check};
    }

private:
    static std::pair<std::string, std::string> keyOf(const fs::path& file) {
        std::error_code ec;
        const fs::path canonical = fs::weakly_canonical(file, ec);
        const auto time = fs::last_write_time(file, ec);
        const auto size = fs::file_size(file, ec);
        return {(ec || canonical.empty() ? file.lexically_normal() : canonical).string(),
                fmt::format("{}:{}", time.time_since_epoch().count(), ec ? 0 : size)};
    }
    std::mutex mutex_;
    std::map<std::string, std::pair<std::string, MemberCheck>> entries_;
};

void rememberMember(const fs::path& file, const MemberCheck& check) { MemberChecks::shared().store(file, check); }

// Whether `file` decodes (and its size), as already learnt or by decoding it; the decoded photo
// goes to `keep` when asked for, and then the loader's own errors (a photo too large) pass.
MemberCheck checkMember(const fs::path& file, std::optional<Image>* keep = nullptr) {
    if (auto known = MemberChecks::shared().find(file)) return *known;
    std::optional<Image> image;
    try {
        image = CoreImagePipeline::shared().loadImage(file);
    } catch (const Error&) {
        if (keep) throw;
        image.reset();
    }
    MemberCheck check;
    if (image) check = {true, image->width(), image->height()};
    rememberMember(file, check);
    if (keep) *keep = std::move(image);
    return check;
}

}  // namespace

std::vector<fs::path> GablewisePreset::process(const BatchItem& item, const ProcessingContext& context) const {
    // libvips' warnings about this photo go to its log.
    VipsLogSink vipsLog([&](const std::string& line) {
        if (context.log) context.log(item.sourceURL.filename().string() + ": libvips: " + line);
    });
    const ScopedVipsLogSink routed(&vipsLog);
    std::string step = "loading";
    try {
        const CoreImagePipeline& pipeline = CoreImagePipeline::shared();
        const auto progress = [&](double fraction, const std::string& message) {
            if (context.onProgressUpdate) context.onProgressUpdate(fraction, message);
        };
        const auto log = [&](const std::string& line) {
            if (context.log) context.log(line);
        };
        const fs::path& source = item.sourceURL;
        const std::string sourceName = source.filename().string();

        // 1. Bracket. Its photos are fused by the first member that decodes; a member that does
        // not decode fails alone, and one whose size is not that member's is a photo of its own.
        std::vector<fs::path> members{source};
        std::optional<Image> loaded;  // the photo, when checking it decoded it
        if (mergeBrackets) {
            members = BracketMerger::brackets(source, supportedExtensions());
            if (members.size() < 2) members = {source};
        }
        if (members.size() >= 2 && !samePath(members.front(), source)) {
            const auto self = std::find_if(members.begin(), members.end(),
                                           [&](const fs::path& m) { return samePath(m, source); });
            const MemberCheck own = checkMember(source, &loaded);
            if (!own.decodes) throw PresetError::cannotDecodeImage(source);
            auto leader = members.begin();
            while (leader != self && !checkMember(*leader).decodes) ++leader;
            if (leader != self) {
                const MemberCheck first = checkMember(*leader);
                if (first.width == own.width && first.height == own.height)
                    throw BatchSkip(sourceName + " is merged into " + leader->filename().string() + "'s bracket");
                members = {source};
            } else {
                members.erase(members.begin(), self);  // nothing before it decodes: it leads the rest
                if (members.size() < 2) members = {source};
            }
        }

        // 2. Fusion, or the photo alone.
        progress(0.2, members.size() >= 2 ? "Merging bracket" : "Loading");
        Image photo;
        if (members.size() >= 2) {
            std::vector<MergeError> leftOut;
            try {
                photo = MergeGate::shared().run([&] { return ExposureFusion().fuseFiles(members, &leftOut); });
            } catch (const MergeError& e) {
                if (e.kind == MergeError::Kind::cannotDecode) {
                    rememberMember(source, {});
                    throw PresetError::cannotDecodeImage(source);
                }
                throw;
            }
            for (const MergeError& e : leftOut) {
                log(fmt::format("Left {} out of {}'s bracket: {}", e.member.filename().string(), sourceName, e.what()));
                if (e.kind == MergeError::Kind::cannotDecode) rememberMember(e.member, {});
            }
            for (const fs::path& m : members)
                if (std::none_of(leftOut.begin(), leftOut.end(), [&](const MergeError& e) { return e.member == m; }))
                    rememberMember(m, {true, photo.width(), photo.height()});
            if (members.size() - leftOut.size() >= 2)
                log(fmt::format("Merged {} exposures into {}", members.size() - leftOut.size(), sourceName));
        } else {
            if (!loaded) loaded = pipeline.loadImage(source);
            if (!loaded) throw PresetError::cannotDecodeImage(source);
            photo = *loaded;
        }
        try {
            // The one full-size copy both sets read; a photo decoded straight into memory is
            // that copy already.
            if (!inMemory(photo)) photo = photo.materialized();
        } catch (const vips::VError&) {
            throw PresetError::cannotDecodeImage(source);
        }
        const ImageProperties properties = photo.properties();

        // 3. Straightening.
        bool straightened = false;
        if (autoStraightenVerticals) {
            step = "straightening";
            progress(0.35, "Straightening");
            auto [warped, parameters] = ArchitecturalStraightener().autoStraighten(photo);
            if (!parameters.isIdentity()) {
                photo = warped;  // lazy: the encodes pull the warp through
                straightened = true;
                log(fmt::format("Straightened {}: roll {:.2f} degrees, keystone {:.3f}, {} lines", sourceName,
                                parameters.rotationAngleRadians * 180.0 / std::numbers::pi,
                                parameters.verticalKeystoneCorrection, parameters.linesDetected));
            }
        }

        // 4. Watermark, on the full-size photo so both sets carry it.
        if (watermarkURL) {
            step = "watermarking";
            progress(0.5, "Watermarking");
            std::optional<Image> logo;
            try {
                logo = pipeline.loadImage(*watermarkURL);
                if (logo) logo = logo->materialized();
            } catch (const std::exception&) {
                logo.reset();
            }
            if (!logo || logo->empty()) throw PresetError::cannotDecodeWatermark(*watermarkURL);
            // Lazy: the logo's area is composited as each set reads it.
            photo = photo.withPixels(Watermark::apply(photo.pixels(), logo->pixels(), watermarkOpacity));
        }

        // A straightened photo is computed once for both sets: they read it top to bottom at
        // about the same pace through a shared cache of its latest rows (a set that falls further
        // behind recomputes what it needs).
        if (straightened) photo = photo.withPixels(sharedRows(photo.pixels()));

        // Names: the job's pattern with the address and the set's size word.
        const TokenRenamer renamer;
        const auto nameFor = [&](const std::string& size) {
            return renamer.resolveStem(context.configuration.namingPattern, item, context.itemIndex,
                                       context.totalItems, {{"address", propertyAddress}, {"size", size}}) +
                   ".jpg";
        };
        const fs::path outputDirectory = context.configuration.outputDirectory;

        const auto finish = [&](std::vector<std::uint8_t>& bytes, const std::string& name) {
            if (stripGPSMetadata) MetadataStripper::stripPrivate(bytes, name);
        };

        // Every destination is checked before any encoding: not an input, not written by another
        // item of this job, a name the file system takes, nothing but a regular file in the way.
        std::vector<fs::path> inputs = members;
        if (watermarkURL) inputs.push_back(*watermarkURL);
        StagedOutputs outputs(item, context, inputs);
        const fs::path printDestination = outputDirectory / printFolder / nameFor("Print");
        const fs::path webDestination = outputDirectory / folderName(portal()) / nameFor("Web");
        if (exportPrintPackage) outputs.check(printDestination);
        if (exportWebPackage) outputs.check(webDestination);

        std::vector<Deliverable> deliverables;

        // 5 and 6. The print and web sets are encoded side by side: the web set on a task of its
        // own, the print set here; a print failure is reported before a web one.
        const auto encodeWeb = [&]() -> Deliverable {
            const ScopedVipsLogSink routedWeb(&vipsLog);
            Image web = photo;
            if (auto r = ratio(webAspect)) web = croppedToAspect(web, *r);
            web = pipeline.scaledToFit(web, maxWebDimension).materialized();
            Deliverable out;
            out.destination = webDestination;
            const std::string name = out.destination.filename().string();
            const int longest = std::max(web.width(), web.height());
            const auto scaledWeb = [&](double scale) {
                return scale < 1 ? pipeline.scaledToFit(web, std::max(1.0, std::round(longest * scale))) : web;
            };
            const WebEncoder::Encode encode = [&](double scale, double quality) -> std::optional<std::vector<std::uint8_t>> {
                auto bytes = pipeline.jpegData(scaledWeb(scale), quality, properties, ColorSpace::sRGB);
                if (bytes) finish(*bytes, name);
                return bytes;
            };
            WebEncoder::Result result;
            try {
                result = WebEncoder().encodeUnderCap(encode, static_cast<std::size_t>(maxWebFileSizeKB) * 1024, longest);
            } catch (const WebEncodingError& e) {
                if (e.kind == WebEncodingError::Kind::encodingFailed) throw PresetError::encodingFailed();
                throw PresetError::cannotMeetSizeLimit(maxWebFileSizeKB);
            }
            const Image chosen = scaledWeb(result.scale);  // lazy: only its size is read
            out.width = chosen.width();
            out.height = chosen.height();
            out.bytes = std::move(result.bytes);
            out.quality = result.quality;
            return out;
        };
        std::future<Deliverable> webTask;
        if (exportWebPackage) webTask = std::async(std::launch::async, encodeWeb);

        // 5. Print set: full resolution.
        if (exportPrintPackage) {
            step = "encoding the print set";
            progress(0.6, "Encoding print set");
            Deliverable print;
            print.destination = printDestination;
            auto bytes = pipeline.jpegData(photo, printQuality, properties, ColorSpace::sRGB);
            if (!bytes) throw PresetError::encodingFailed();
            print.bytes = std::move(*bytes);
            finish(print.bytes, print.destination.filename().string());
            print.width = photo.width();
            print.height = photo.height();
            print.quality = printQuality;
            deliverables.push_back(std::move(print));
        }

        // 6. Web set: portal shape, longest side, file-size cap.
        if (exportWebPackage) {
            step = "encoding the web set";
            progress(0.75, "Encoding web set");
            deliverables.push_back(webTask.get());
        }

        // 7. Write everything, then report it.
        step = "writing";
        progress(0.9, "Writing");
        for (const Deliverable& d : deliverables) outputs.write(d.destination, d.bytes);
        outputs.commit();
        std::vector<fs::path> written;
        for (const Deliverable& d : deliverables) {
            log(fmt::format("Wrote {}/{} from {} ({} x {}, {}, quality {:.0f})", d.destination.parent_path().filename().string(),
                            d.destination.filename().string(), sourceName, d.width, d.height, kilobytes(d.bytes.size()),
                            d.quality * 100));
            written.push_back(d.destination);
        }
        if (exportWebPackage && portal() == Portal::airbnb) {
            const Deliverable& web = deliverables.back();
            if (web.width < airbnbMinimumWidth || web.height < airbnbMinimumHeight)
                log(fmt::format("{}: the web image is {} x {} pixels, below Airbnb's minimum of {} x {}", sourceName,
                                web.width, web.height, airbnbMinimumWidth, airbnbMinimumHeight));
        }
        progress(1.0, "Done");
        return written;
    } catch (...) {
        rethrowAsRoadError(step, item.sourceURL, [&](const std::string& line) {
            if (context.log) context.log(line);
        });
    }
}

}  // namespace lw
