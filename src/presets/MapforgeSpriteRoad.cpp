#include "platform/Paths.h"
#include "presets/MapforgeSpriteRoad.h"

#include <algorithm>
#include <climits>
#include <fstream>

#include "core/StagedOutputs.h"
#include "image/SpriteDataWriters.h"
#include "image/SpriteSheetCompiler.h"
#include "platform/AtomicFile.h"
#include "platform/FileSafety.h"
#include "presets/MapforgePreset.h"

namespace lw {

namespace fs = std::filesystem;

namespace {

class SpriteOutputError : public Error {
public:
    using Error::Error;
};

std::string lowercase(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// A stem split into its prefix (trailing separators dropped) and its trailing digits.
struct NumberedStem {
    std::string prefix;
    std::string digits;  // empty: no trailing number
};

NumberedStem splitStem(const std::string& stem) {
    std::size_t end = stem.size();
    while (end > 0 && stem[end - 1] >= '0' && stem[end - 1] <= '9') --end;
    NumberedStem s{stem.substr(0, end), stem.substr(end)};
    if (s.digits.empty()) return s;
    while (!s.prefix.empty() && std::string_view("_- .").find(s.prefix.back()) != std::string_view::npos)
        s.prefix.pop_back();
    return s;
}

// Numeric order of digit strings of any length (leading zeros ignored).
int compareNumbers(const std::string& a, const std::string& b) {
    const auto strip = [](const std::string& d) {
        const auto first = d.find_first_not_of('0');
        return first == std::string::npos ? std::string_view() : std::string_view(d).substr(first);
    };
    const std::string_view x = strip(a), y = strip(b);
    if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
    return x.compare(y) < 0 ? -1 : (x == y ? 0 : 1);
}


std::string sizeText(int w, int h) { return std::to_string(w) + "x" + std::to_string(h); }

std::string dataFileText(SpriteSheetCompiler::DataFormat format, const SpriteSheetCompiler::AtlasResult& page,
                         const std::string& imageName, double scale) {
    using F = SpriteSheetCompiler::DataFormat;
    switch (format) {
        case F::jsonHash: return SpriteDataWriters::jsonHash(page, imageName, scale);
        case F::jsonArray: return SpriteDataWriters::jsonArray(page, imageName, scale);
        case F::cocos: return SpriteDataWriters::cocosPlist(page, imageName);
        case F::unity: return SpriteDataWriters::unityMeta(page, imageName);
        case F::godot: break;
    }
    return {};
}

// Every file of the item goes to a temporary name first; only when all are written are they
// renamed into place, so a failed item leaves none of its files behind and removes nothing
// another item wrote.
class SpriteOutputs {
public:
    SpriteOutputs(const BatchItem& item, const ProcessingContext& context, const std::vector<fs::path>& inputs,
                  std::string sequenceName)
        : folder_(context.configuration.outputDirectory)
        , sequence_(std::move(sequenceName))
        , staged_(item, context, inputs) {}

    void writePNG(const std::string& name, const RGBAImage& image) {
        AtomicFile& file = add(name);
        try {
            image.writePNG(file.tempPath());
        } catch (const Error&) {
            throw SpriteOutputError("Could not write " + name + " to " + folder_.string() + ".");
        }
    }

    void writeText(const std::string& name, const std::string& text) {
        StagedOutputs::writeFile(add(name), text);
    }

    std::vector<fs::path> commit() {
        try {
            return staged_.commit();
        } catch (const OutputError& e) {
            throwNameTaken(e);
        }
    }

private:
    AtomicFile& add(const std::string& name) {
        try {
            return staged_.add(folder_ / name);
        } catch (const DestinationError& e) {
            if (e.kind == DestinationError::Kind::replacesInput)
                throw SpriteOutputError(name + " would replace one of its own frames; choose another output folder.");
            throw;
        } catch (const OutputError& e) {
            throwNameTaken(e);
        }
    }

    // Sheets are named after their frame sequence, not the naming pattern: a sheet another item
    // wrote means two sequences have the same name, and only renaming frames parts them.
    [[noreturn]] void throwNameTaken(const OutputError& e) const {
        if (e.collision.empty()) throw e;
        throw OutputError::nameTaken(e.file, e.collision,
                                     "Sprite sheets are named after their frames, and both frame sequences are named " +
                                         sequence_ + ": rename the frames of one of them.");
    }

    fs::path folder_;
    std::string sequence_;
    StagedOutputs staged_;
};

}  // namespace

MapforgePreset::FrameSequence MapforgePreset::frameSequence(const fs::path& containing,
                                                            const std::set<std::string>& extensions) {
    const std::string itemName = containing.filename().string();
    const NumberedStem own = splitStem(containing.stem().string());
    if (own.digits.empty()) return {containing.stem().string(), {containing}};

    struct Member {
        fs::path path;
        std::string name;
        std::string digits;
    };
    std::vector<Member> members;
    bool sawItem = false;
    std::error_code ec;
    const fs::path folder = containing.parent_path();
    for (fs::directory_iterator it(folder.empty() ? fs::path(".") : folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        const fs::path& path = it->path();
        const std::string name = path.filename().string();
        if (name.empty() || name[0] == '.') continue;
        std::string ext = path.extension().string();
        if (!ext.empty()) ext.erase(0, 1);
        if (!extensions.count(lowercase(ext))) continue;
        std::error_code typeError;
        if (!it->is_regular_file(typeError)) continue;
        const NumberedStem s = splitStem(path.stem().string());
        if (s.digits.empty() || s.prefix != own.prefix) continue;
        if (name == itemName) sawItem = true;
        members.push_back({folder / path.filename(), name, s.digits});
    }
    if (!sawItem) members.push_back({containing, itemName, own.digits});
    std::sort(members.begin(), members.end(), [](const Member& a, const Member& b) {
        const int c = compareNumbers(a.digits, b.digits);
        return c != 0 ? c < 0 : a.name < b.name;
    });
    FrameSequence sequence{own.prefix.empty() ? std::string("Sprite") : own.prefix, {}};
    for (auto& m : members) sequence.frames.push_back(std::move(m.path));
    return sequence;
}

MapforgePreset::SpriteFileNames MapforgePreset::spriteFileNames(const std::string& sequenceName, const std::string& suffix,
                                                                int pages, SpriteSheetCompiler::DataFormat format) {
    using F = SpriteSheetCompiler::DataFormat;
    SpriteFileNames names;
    const int count = std::max(1, pages);
    // The data files refer to the pages by repaired names: the pages are written under those.
    const std::string sequence = SpriteDataWriters::repairedUtf8(sequenceName);
    for (int i = 0; i < count; ++i) {
        const std::string base =
            count == 1 ? sequence + "_Atlas" + suffix : sequence + "_Atlas-" + std::to_string(i) + suffix;
        names.images.push_back(base + ".png");
        switch (format) {
            case F::jsonHash:
            case F::jsonArray: names.data.push_back(base + ".json"); break;
            case F::cocos: names.data.push_back(base + ".plist"); break;
            case F::unity: names.data.push_back(base + ".png.meta"); break;
            case F::godot: break;
        }
    }
    if (format == F::godot) names.data.push_back(sequence + "_Atlas" + suffix + ".tres");
    return names;
}

std::vector<fs::path> processSpriteSheet(const MapforgePreset& preset, const BatchItem& item,
                                         const ProcessingContext& context) {
    auto log = [&](const std::string& line) {
        if (context.log) context.log(line);
    };
    const std::string fileName = item.sourceURL.filename().string();
    const MapforgePreset::FrameSequence sequence =
        MapforgePreset::frameSequence(item.sourceURL, preset.supportedExtensions());
    if (sequence.frames.empty() || sequence.frames.front().filename() != item.sourceURL.filename())
        throw BatchSkip(fileName + " is part of the " + sequence.name + " sprite sheet");

    if (context.onProgressUpdate)
        context.onProgressUpdate(0.4, "Packing " + std::to_string(sequence.frames.size()) + " frames...");

    const auto format = preset.spriteFormat;
    SpriteSheetCompiler::Options options;
    options.trim = preset.spriteTrim;
    options.padding = static_cast<int>(std::clamp<std::int64_t>(preset.spritePadding, 0, 4096));
    options.extrude = static_cast<int>(std::clamp<std::int64_t>(preset.spriteExtrude, 0, 4096));
    options.maxSheetSize = preset.maxTextureSize < 1
                               ? 8192
                               : static_cast<int>(std::min<std::int64_t>(preset.maxTextureSize, INT_MAX / 4));
    options.allowRotation = preset.spriteRotate && supportsRotation(format);

    struct Variant {
        std::string suffix;
        double scale;
    };
    std::vector<Variant> variants{{"", 1.0}};
    if (preset.spriteHalfScale) variants.push_back({"@1x", 0.5});

    SpriteOutputs outputs(item, context, sequence.frames, sequence.name);
    const SpriteSheetCompiler compiler;
    bool reportedUnreadable = false;
    for (const Variant& variant : variants) {
        options.scale = variant.scale;
        SpriteSheetCompiler::Atlas atlas;
        try {
            atlas = compiler.compileAtlas(sequence.frames, options, true);
        } catch (const SpriteSheetCompiler::AtlasError& e) {
            if (e.kind == SpriteSheetCompiler::AtlasError::Kind::failedToLoadFrames) {
                std::string list;
                for (const auto& f : sequence.frames) list += (list.empty() ? "" : ", ") + f.filename().string();
                log("None of the frames of the " + sequence.name + " sprite sheet could be decoded: " + list);
            }
            throw;
        }
        if (!reportedUnreadable) {
            for (const auto& bad : atlas.unreadableFrames)
                log(bad.filename().string() + " could not be decoded and was left out of the " + sequence.name +
                    " sprite sheet");
            reportedUnreadable = true;
        }
        const int pageCount = static_cast<int>(atlas.pages.size());
        const auto names = MapforgePreset::spriteFileNames(sequence.name, variant.suffix, pageCount, format);
        for (int p = 0; p < pageCount; ++p) {
            const auto& page = atlas.pages[static_cast<std::size_t>(p)];
            outputs.writePNG(names.images[static_cast<std::size_t>(p)], page.image);
            if (format != SpriteSheetCompiler::DataFormat::godot)
                outputs.writeText(names.data[static_cast<std::size_t>(p)],
                                  dataFileText(format, page, names.images[static_cast<std::size_t>(p)], variant.scale));
        }
        if (format == SpriteSheetCompiler::DataFormat::godot)
            outputs.writeText(names.data.front(), SpriteDataWriters::godotSpriteFrames(atlas, names.images, sequence.name));

        std::string sizes;
        for (int p = 0; p < pageCount; ++p) {
            const auto& page = atlas.pages[static_cast<std::size_t>(p)];
            sizes += (p ? " + " : "") + sizeText(page.sheetWidth, page.sheetHeight);
        }
        std::string line = "Packed " + std::to_string(atlas.frameCount()) + " frames into " + sizes;
        if (pageCount > 1) line += " (" + std::to_string(pageCount) + " sheets)";
        if (!variant.suffix.empty()) line += " at half size (" + variant.suffix + ")";
        line += ", " + std::to_string(atlas.rotatedCount()) + " rotated";
        if (atlas.duplicateCount() > 0) line += ", " + std::to_string(atlas.duplicateCount()) + " duplicate frames reused";
        log(line);
    }
    std::vector<fs::path> written = outputs.commit();
    log("Texture processing finished.");
    return written;
}

}  // namespace lw
