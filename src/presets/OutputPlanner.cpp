#include "presets/OutputPlanner.h"

#include <cstdio>
#include <functional>
#include <string>
#include <unordered_map>

#include "audio/podcast/AudioVideoPipeline.h"
#include "audio/podcast/ChapterBuilder.h"
#include "audio/podcast/CoverArt.h"
#include "audio/podcast/Transcriber.h"
#include "core/TokenRenamer.h"
#include "image/BracketMerger.h"
#include "image/ChannelPacker.h"
#include "image/NormalMapGenerator.h"
#include "image/TilingChecker.h"
#include "platform/Paths.h"
#include "presets/CastloomPreset.h"
#include "presets/GablewisePreset.h"
#include "presets/MapforgePreset.h"

namespace lw::OutputPlanner {

namespace fs = std::filesystem;

namespace {

using Names = std::vector<std::string>;
using Warnings = std::vector<std::string>;
// Expands the job's naming pattern for the item in hand with the given context variables.
using Resolver = std::function<std::string(const StringMap& variables)>;

std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) text += (i ? separator : "") + parts[i];
    return text;
}

std::string sizeText(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

bool sameFile(const fs::path& a, const fs::path& b) { return standardized(a) == standardized(b); }

// ---- photos

void planPhoto(const GablewisePreset& preset, const BatchItem& item, const Resolver& resolve, Names& names,
               Warnings& warnings) {
    if (preset.mergeBrackets) {
        const auto members = BracketMerger::brackets(item.sourceURL, preset.supportedExtensions());
        if (members.size() >= 2) {
            if (!sameFile(members.front(), item.sourceURL)) {
                warnings.push_back("Skipped: merged into " + members.front().filename().string() + "'s bracket");
                return;
            }
            warnings.push_back("Merges " + std::to_string(members.size()) + " exposures into one photo");
        }
    }
    const auto nameFor = [&](const std::string& size) {
        return resolve({{"address", preset.propertyAddress}, {"size", size}}) + ".jpg";
    };
    if (preset.exportPrintPackage) names.push_back("Print_Package/" + nameFor("Print"));
    if (preset.exportWebPackage) names.push_back(folderName(preset.portal()) + "/" + nameFor("Web"));
    if (!preset.exportPrintPackage && !preset.exportWebPackage) warnings.push_back("Both output sets are turned off");
}

// ---- textures

void planTexture(const MapforgePreset& preset, const BatchItem& item, bool usesDefaultPattern,
                 const Resolver& resolve, Names& names, Warnings& warnings) {
    using Mode = MapforgePreset::OperationalMode;
    const fs::path& source = item.sourceURL;

    // stem + "_Normal" + GL/DX with the default pattern; the resolved pattern otherwise.
    const auto normalName = [&](const std::string& stem) {
        const std::string tag = fileTag(preset.normalTarget);
        if (usesDefaultPattern) return stem + "_Normal" + tag + ".png";
        return resolve({{"name", stem + "_Normal" + tag}, {"profile", tag}, {"pot", "?"}}) + ".png";
    };
    const auto mipChain = [&](const std::string& base) {
        if (preset.generateMipmaps) names.push_back(base + "_mip1\u2026 (mipmap chain)");
    };

    switch (preset.operationalMode) {
        case Mode::channelPackingORM: {
            ChannelPacker packer;
            const auto sources = packer.discoverChannels(source);
            const auto own = packer.identify(source);
            if (!sources || !own) {
                warnings.push_back("Skipped: not an AO / Roughness / Smoothness / Metallic / Height map");
                return;
            }
            const auto primary = sources->primaryURL();
            if (!primary || !sameFile(*primary, source)) {
                warnings.push_back("Skipped: packed together with " +
                                   (primary ? primary->filename().string() : std::string("its set")));
                return;
            }
            TextureSize target{0, 0};
            if (const auto size = pixelSize(*primary)) target = preset.targetSize(size->width, size->height);
            const std::string base = resolve({{"name", own->first},
                                              {"pot", sizeText(target.width, target.height)},
                                              {"profile", fileTag(preset.engineProfile)}});
            names.push_back(base + ".png");
            mipChain(base);
            const auto missing = sources->missingInputs(preset.engineProfile);
            if (!missing.empty())
                warnings.push_back("No " + joined(missing, "/") + " map found; " + displayName(preset.engineProfile) +
                                   " defaults will be used");
            if (preset.generateMissingNormal && sources->has(ChannelPacker::Channel::height) &&
                !NormalMapGenerator::hasNormalMap(own->first, source.parent_path()))
                names.push_back(own->first + "_Normal" + fileTag(preset.normalTarget) + ".png");
            return;
        }
        case Mode::normalMapConvert: {
            const auto id = ChannelPacker().identifyNormal(source);
            if (!id) {
                warnings.push_back("Skipped: not named like a normal map (_Normal, _NormalDX, _NormalGL, _Nrm)");
                return;
            }
            if (id->second && *id->second == preset.normalTarget) {
                warnings.push_back("Skipped: already " + fileTag(*id->second));
                return;
            }
            names.push_back(normalName(id->first));
            return;
        }
        case Mode::normalFromHeight: {
            const auto [stem, namedLikeHeight] = NormalMapGenerator::stem(source);
            names.push_back(normalName(stem));
            if (!namedLikeHeight)
                warnings.push_back("Not named like a height map (_Height, _Disp, _Bump); it will be treated as one");
            return;
        }
        case Mode::powerOfTwoEnforce: {
            std::string pot = "?";
            if (const auto size = pixelSize(source)) {
                const TextureSize target = preset.targetSize(size->width, size->height);
                pot = sizeText(target.width, target.height);
                if (preset.forceSquare && size->width != size->height)
                    warnings.push_back("Will be stretched from " + sizeText(size->width, size->height) +
                                       " to square");
            }
            const std::string base = resolve({{"pot", pot}, {"profile", "POT"}});
            names.push_back(base + ".png");
            mipChain(base);  // the road writes the chain in this mode too
            return;
        }
        case Mode::spriteSheetAtlas: {
            const auto sequence = MapforgePreset::frameSequence(source, preset.supportedExtensions());
            if (!sequence.frames.empty() && !sameFile(sequence.frames.front(), source)) {
                warnings.push_back("Skipped: frame of the " + sequence.name + " sprite sheet");
                return;
            }
            std::vector<std::string> suffixes{""};
            if (preset.spriteHalfScale) suffixes.push_back("@1x");
            for (const auto& suffix : suffixes) {
                const auto files = MapforgePreset::spriteFileNames(sequence.name, suffix, 1, preset.spriteFormat);
                names.insert(names.end(), files.images.begin(), files.images.end());
                names.insert(names.end(), files.data.begin(), files.data.end());
            }
            if (preset.spriteRotate && !supportsRotation(preset.spriteFormat))
                warnings.push_back(displayName(preset.spriteFormat) +
                                   " can't use rotated frames; rotation is off for this format");
            if (sequence.frames.size() == 1) warnings.push_back("Only one frame found for this sheet");
            return;
        }
        case Mode::tilingCheck: {
            TilingChecker::Result result;
            try {
                result = TilingChecker::check(source);
            } catch (const std::exception&) {
                warnings.push_back("Could not read the image");
                return;
            }
            if (result.horizontalSeamRatio > TilingChecker::seamlessThreshold ||
                result.verticalSeamRatio > TilingChecker::seamlessThreshold) {
                names.push_back(item.originalFileName + "_Tiled2x2.png");
                warnings.push_back(result.summary());
            }
            return;
        }
    }
}

// ---- podcasts

constexpr double kLeastPeakRoomDB = 10.0;

void planPodcast(const CastloomPreset& preset, const BatchItem& item, std::int64_t index,
                 const Environment& environment, const Resolver& resolve, Names& names, Warnings& warnings) {
    using ChapterMode = CastloomPreset::ChapterMode;
    const std::string base = resolve(preset.namingVariables(item, static_cast<int>(index)));
    const bool acx = preset.loudnessStandard() == CastloomPreset::LoudnessStandard::acx;
    const bool speech = environment.speechAvailable;

    if (preset.generateMaster) names.push_back(base + AudioVideoPipeline::masterSuffix(preset.loudnessTarget()));
    if (acx) names.push_back(base + "_ACX_Check.txt");
    if (preset.generateRSSMaster) names.push_back(base + (environment.producesMP3 ? "_RSS_192k.mp3" : "_RSS.m4a"));
    if (preset.generateWhisperReference) names.push_back(base + "_WhisperRef_16k.wav");
    if (preset.generateTranscripts) {
        if (speech) {
            for (const char* suffix : {"_Transcript.srt", "_Transcript.vtt", "_Transcript.txt"})
                names.push_back(base + suffix);
        } else {
            warnings.push_back("Transcripts need an on-device speech model; they will be skipped");
        }
    }
    const bool manualChapters = preset.chapterMode == ChapterMode::manual;
    const bool readableList = manualChapters && !ChapterBuilder::parse(preset.chapterList).empty();
    if ((preset.chapterMode == ChapterMode::automatic && speech) || readableList) {
        names.push_back(base + "_Chapters.json");
        names.push_back(base + "_Chapters.txt");
    } else if (manualChapters) {
        warnings.push_back("Chapter list is empty or unreadable (use lines like \"5:30 Interview\")");
    }
    if (preset.removeFillerWords && !speech)
        warnings.push_back("Filler-word removal needs an on-device speech model; it will be skipped");
    if (preset.generateAudiogram) names.push_back(base + "_Audiogram.mp4");

    const auto missing = [](const std::optional<fs::path>& url) {
        std::error_code ec;
        return url && !fs::exists(*url, ec);
    };
    if (missing(preset.introURL)) warnings.push_back("Intro music not found: " + preset.introURL->filename().string());
    if (missing(preset.outroURL)) warnings.push_back("Outro music not found: " + preset.outroURL->filename().string());
    // Speech peaks well over 10 dB above its loudness: a target nearer the ceiling than that is
    // held back by the limiter on nearly every recording.
    const LoudnessNormalizer::LoudnessTarget target = preset.loudnessTarget();
    if (!target.acx && target.truePeakDB - target.integratedLUFS < kLeastPeakRoomDB) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "The %.1f LUFS target is only %.1f dB under the %.1f dBTP peak ceiling: most recordings will "
                      "be limited and end quieter than the target",
                      target.integratedLUFS, target.truePeakDB - target.integratedLUFS, target.truePeakDB);
        warnings.push_back(text);
    }
    if (preset.artworkURL) {
        const auto cover = CoverArt::check(
            *preset.artworkURL, {preset.generateRSSMaster, environment.producesMP3, preset.generateAudiogram});
        if (!cover.problem.empty()) warnings.push_back(cover.problem);
    }
}

// ---- conflicts between items, and files already there

void flagConflicts(std::vector<SimulatedItemReport>& reports, bool checkExisting) {
    // Standardize each output folder once; names add at most a sub-folder below it.
    std::unordered_map<std::string, fs::path> folders;
    const auto pathOf = [&](const SimulatedItemReport& report, const std::string& name) {
        auto [it, inserted] = folders.try_emplace(report.projectedDirectory.string());
        if (inserted) it->second = standardized(report.projectedDirectory);
        return (it->second / name).lexically_normal().string();
    };

    std::vector<std::vector<std::string>> paths(reports.size());
    std::unordered_map<std::string, std::vector<std::size_t>> writers;
    for (std::size_t r = 0; r < reports.size(); ++r)
        for (const auto& name : reports[r].projectedFileNames) {
            paths[r].push_back(pathOf(reports[r], name));
            writers[paths[r].back()].push_back(r);
        }

    for (std::size_t r = 0; r < reports.size(); ++r) {
        auto& report = reports[r];
        for (std::size_t n = 0; n < report.projectedFileNames.size(); ++n) {
            const auto& list = writers[paths[r][n]];
            std::optional<std::size_t> other;
            for (std::size_t position : list)
                if (position != r) {
                    other = position;
                    break;
                }
            const std::string& name = report.projectedFileNames[n];
            const fs::path output(paths[r][n]);
            if (other) {
                report.warnings.push_back(name + " is also written by " +
                                          reports[*other].sourceURL.filename().string() +
                                          "; add {index} or {name} to the pattern");
            } else if (output.filename() == report.sourceURL.filename() &&
                       output == standardized(report.sourceURL)) {
                // Not a file to replace: the item's own input, which is never written over.
                report.warnings.push_back(name + " would replace its own source file; choose another output folder "
                                                 "or naming pattern.");
            } else if (checkExisting) {
                std::error_code ec;
                if (fs::exists(paths[r][n], ec)) report.warnings.push_back(name + " already exists and will be replaced");
            }
        }
    }
}

}  // namespace

std::optional<TextureSize> pixelSize(const fs::path& file) { return ChannelPacker::pixelSize(file); }

Environment Environment::current() {
    return {AudioVideoPipeline::shared().producesMP3(), Transcriber::isSupported()};
}

std::vector<SimulatedItemReport> plan(const BatchPreset& preset, const std::vector<BatchItem>& items,
                                      const BatchConfiguration& configuration, bool checkExistingFiles) {
    // Only podcast plans depend on the machine's programs.
    const Environment environment = dynamic_cast<const CastloomPreset*>(&preset) ? Environment::current() : Environment{};
    return plan(preset, items, configuration, checkExistingFiles, environment);
}

std::vector<SimulatedItemReport> plan(const BatchPreset& preset, const std::vector<BatchItem>& items,
                                      const BatchConfiguration& configuration, bool checkExistingFiles,
                                      const Environment& environment) {
    std::vector<SimulatedItemReport> reports;
    reports.reserve(items.size());
    const auto total = static_cast<std::int64_t>(items.size());
    const auto* photo = dynamic_cast<const GablewisePreset*>(&preset);
    const auto* texture = dynamic_cast<const MapforgePreset*>(&preset);
    const auto* podcast = dynamic_cast<const CastloomPreset*>(&preset);
    const bool usesDefaultPattern = configuration.namingPattern == preset.defaultNamingPattern();

    for (std::size_t i = 0; i < items.size(); ++i) {
        const BatchItem& item = items[i];
        SimulatedItemReport report{Uuid::random(), item.sourceURL, {}, configuration.outputDirectory, {}};
        const auto index = static_cast<std::int64_t>(i) + 1;
        const Resolver resolve = [&](const StringMap& variables) {
            return TokenRenamer::resolveStem(configuration.namingPattern, item, index, total, variables);
        };
        if (photo)
            planPhoto(*photo, item, resolve, report.projectedFileNames, report.warnings);
        else if (texture)
            planTexture(*texture, item, usesDefaultPattern, resolve, report.projectedFileNames, report.warnings);
        else if (podcast)
            planPodcast(*podcast, item, index, environment, resolve, report.projectedFileNames, report.warnings);
        reports.push_back(std::move(report));
    }
    flagConflicts(reports, checkExistingFiles);
    return reports;
}

bool hasCollisions(const std::vector<SimulatedItemReport>& reports) {
    for (const auto& report : reports)
        for (const auto& warning : report.warnings)
            if (warning.find("is also written by") != std::string::npos) return true;
    return false;
}

}  // namespace lw::OutputPlanner
