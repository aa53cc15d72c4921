// A plan and a run agree: the same batch is planned with `batch-bench --plan` and then run with
// `batch-bench`, and the projected names are compared with the files the run wrote, together
// with the warnings the plan predicts; a second run into the folder it reads takes no deliverables.
#include <gtest/gtest.h>

#include <exiv2/exiv2.hpp>
#include <vips/vips8>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "image/TextureImage.h"
#include "platform/Uuid.h"

namespace lw {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

const fs::path benchTool = fs::path(LW_BINARY_DIR) / "bench" / "batch-bench";

struct Result {
    int status = -1;
    Strings lines;
};

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

Result batchBench(const Strings& args) {
    std::string command = quoted(benchTool.string());
    for (const auto& a : args) command += " " + quoted(a);
    command += " 2>&1";
    Result result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return result;
    std::string text;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) result.lines.push_back(line);
    return result;
}

Strings withPrefix(const Strings& lines, const std::string& prefix) {
    Strings out;
    for (const auto& line : lines)
        if (line.rfind(prefix, 0) == 0) out.push_back(line.substr(prefix.size()));
    return out;
}

std::string reportLine(const Strings& lines) {
    const Strings reports = withPrefix(lines, "report: ");
    return reports.empty() ? std::string() : reports.back();
}

// Every file below `folder`, relative to it, sorted.
Strings filesBelow(const fs::path& folder) {
    Strings names;
    if (!fs::exists(folder)) return names;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file()) names.push_back(entry.path().lexically_relative(folder).string());
    std::sort(names.begin(), names.end());
    return names;
}

// The projected names as the files they stand for: a mipmap-chain entry stands for every
// "<base>_mip<N>_<side>.png" the run wrote.
void expectRunMatchesPlan(const Strings& planned, const Strings& written) {
    const std::string chain = "_mip1\u2026 (mipmap chain)";
    std::set<std::string> expected, chains;
    for (const auto& name : planned) {
        if (name.size() > chain.size() && name.compare(name.size() - chain.size(), chain.size(), chain) == 0)
            chains.insert(name.substr(0, name.size() - chain.size()) + "_mip");
        else
            expected.insert(name);
    }
    std::set<std::string> seenChains;
    std::set<std::string> rest;
    for (const auto& file : written) {
        bool inChain = false;
        for (const auto& prefix : chains)
            if (file.rfind(prefix, 0) == 0 && !expected.count(file)) {
                inChain = true;
                seenChains.insert(prefix);
            }
        if (!inChain) rest.insert(file);
    }
    EXPECT_EQ(rest, expected);
    EXPECT_EQ(seenChains, chains);
}

class PlanRunAgreement : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(benchTool)) GTEST_SKIP() << "batch-bench is not built in this tree";
        ASSERT_EQ(VIPS_INIT("plan_run_agreement_test"), 0);
        root = fs::temp_directory_path() / ("lw-plan-run-" + Uuid::random().toString());
        in = root / "in";
        out = root / "out";
        fs::create_directories(in);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    // Plans and then runs the batch; returns the plan's lines and the run's lines.
    std::pair<Result, Result> planAndRun(const Strings& args) {
        Strings plan = args;
        plan.insert(plan.begin() + 1, "--plan");
        const Strings before = filesBelow(root);
        Result planned = batchBench(plan);
        EXPECT_EQ(planned.status, 0) << ::testing::PrintToString(planned.lines);
        EXPECT_EQ(filesBelow(root), before);  // planning writes nothing
        Result ran = batchBench(args);
        return {planned, ran};
    }

    void photo(const std::string& name, const std::string& time, int denominator, double gain) const {
        vips::VImage grey = vips::VImage::black(64, 48, vips::VImage::option()->set("bands", 3)) + 100 * gain;
        grey.cast(VIPS_FORMAT_UCHAR)
            .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
            .jpegsave((in / name).c_str());
        auto image = Exiv2::ImageFactory::open((in / name).string());
        image->readMetadata();
        image->exifData()["Exif.Photo.DateTimeOriginal"] = time;
        image->exifData()["Exif.Photo.ExposureTime"] = Exiv2::URational(1, denominator);
        image->writeMetadata();
    }

    fs::path root, in, out;
};

TEST_F(PlanRunAgreement, Photos) {
    photo("BRK_1.jpg", "2024:06:01 09:00:00", 500, 0.6);
    photo("BRK_2.jpg", "2024:06:01 09:00:01", 125, 1.0);
    photo("BRK_3.jpg", "2024:06:01 09:00:02", 30, 1.6);
    photo("lone.jpg", "2024:06:01 15:00:00", 125, 1.0);
    fs::create_directories(out / "Zillow_Package");
    std::ofstream(out / "Zillow_Package" / "lone_Web.jpg") << "old";

    const Strings args{"photo", "brackets=true", "straighten=false", "portal=zillow", "--pattern", "{name}_{size}",
                       "--jobs", "2", "--out", out.string(), in.string()};
    const auto [plan, run] = planAndRun(args);
    const Strings planned = withPrefix(plan.lines, "PLAN ");
    EXPECT_EQ(planned, (Strings{"Print_Package/BRK_1_Print.jpg", "Zillow_Package/BRK_1_Web.jpg",
                                "Print_Package/lone_Print.jpg", "Zillow_Package/lone_Web.jpg"}));
    EXPECT_EQ(withPrefix(plan.lines, "WARN "),
              (Strings{"BRK_1.jpg: Merges 3 exposures into one photo", "BRK_2.jpg: Skipped: merged into BRK_1.jpg's bracket",
                       "BRK_3.jpg: Skipped: merged into BRK_1.jpg's bracket",
                       "lone.jpg: Zillow_Package/lone_Web.jpg already exists and will be replaced"}));
    EXPECT_EQ(reportLine(plan.lines), "planned=4 warnings=4 collisions=false");

    EXPECT_EQ(run.status, 0) << ::testing::PrintToString(run.lines);
    EXPECT_NE(reportLine(run.lines).find("processed=4 succeeded=2 failed=0 skipped=2"), std::string::npos)
        << reportLine(run.lines);
    expectRunMatchesPlan(planned, filesBelow(out));
    EXPECT_GT(fs::file_size(out / "Zillow_Package" / "lone_Web.jpg"), 3u);  // replaced
}

// A bracket member turned the other way is planned and run as a photo of its own; one cut short
// (which a plan, reading headers only, cannot tell) fails alone, and the run still writes what
// the plan names.
TEST_F(PlanRunAgreement, PhotosWithABadBracketMember) {
    for (const bool turned : {true, false}) {
        SCOPED_TRACE(turned ? "turned" : "cut short");
        fs::remove_all(in);
        fs::remove_all(out);
        fs::create_directories(in);
        photo("BRK_1.jpg", "2024:06:01 09:00:00", 500, 0.6);
        photo("BRK_2.jpg", "2024:06:01 09:00:01", 125, 1.0);
        photo("BRK_3.jpg", "2024:06:01 09:00:02", 30, 1.6);
        const fs::path bad = in / "BRK_2.jpg";
        if (turned) {
            auto image = Exiv2::ImageFactory::open(bad.string());
            image->readMetadata();
            image->exifData()["Exif.Image.Orientation"] = uint16_t(6);
            image->writeMetadata();
        } else {
            std::ifstream file(bad, std::ios::binary);
            std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
            file.close();
            // Cut half-way through the pixel data, after the start-of-scan marker: the headers stay.
            std::size_t scan = 0;
            for (std::size_t i = 0; i + 1 < bytes.size(); ++i)
                if (static_cast<unsigned char>(bytes[i]) == 0xFF && static_cast<unsigned char>(bytes[i + 1]) == 0xDA) scan = i;
            ASSERT_GT(scan, 0u);
            bytes.resize(scan + (bytes.size() - scan) / 2);
            std::ofstream(bad, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        }
        const auto [plan, run] = planAndRun({"photo", "brackets=true", "straighten=false", "web=false", "--pattern",
                                             "{name}_{size}", "--out", out.string(), in.string()});
        const Strings planned = withPrefix(plan.lines, "PLAN ");
        if (turned) {
            EXPECT_EQ(planned, (Strings{"Print_Package/BRK_1_Print.jpg", "Print_Package/BRK_2_Print.jpg",
                                        "Print_Package/BRK_3_Print.jpg"}));
            EXPECT_EQ(run.status, 0) << ::testing::PrintToString(run.lines);
            EXPECT_NE(reportLine(run.lines).find("succeeded=3 failed=0 skipped=0"), std::string::npos)
                << reportLine(run.lines);
        } else {
            EXPECT_EQ(planned, Strings{"Print_Package/BRK_1_Print.jpg"});
            EXPECT_EQ(run.status, 1) << ::testing::PrintToString(run.lines);
            EXPECT_NE(reportLine(run.lines).find("succeeded=1 failed=1 skipped=1"), std::string::npos)
                << reportLine(run.lines);
        }
        expectRunMatchesPlan(planned, filesBelow(out));
    }
}

TEST_F(PlanRunAgreement, PhotosWhoseNamesCollide) {
    photo("a.jpg", "2024:06:01 09:00:00", 125, 1.0);
    photo("b.jpg", "2024:06:01 12:00:00", 125, 1.0);
    const Strings args{"photo", "straighten=false", "print=false", "address=Elm Row", "--pattern", "{address}",
                       "--out", out.string(), in.string()};
    const auto [plan, run] = planAndRun(args);
    EXPECT_EQ(withPrefix(plan.lines, "PLAN "), (Strings{"MLS_Web_Package/Elm Row.jpg", "MLS_Web_Package/Elm Row.jpg"}));
    EXPECT_EQ(withPrefix(plan.lines, "WARN "),
              (Strings{"a.jpg: MLS_Web_Package/Elm Row.jpg is also written by b.jpg; add {index} or {name} to the pattern",
                       "b.jpg: MLS_Web_Package/Elm Row.jpg is also written by a.jpg; add {index} or {name} to the pattern"}));
    EXPECT_EQ(reportLine(plan.lines), "planned=2 warnings=2 collisions=true");
    // Both items aim at one file: whatever the run makes of it, that file is all it leaves.
    EXPECT_EQ(filesBelow(out), Strings{"MLS_Web_Package/Elm Row.jpg"});
}

// A pattern that names nothing: empty is the preset's own pattern; one that resolves to no name
// or only dots gives each file its source's name, never a hidden file.
TEST_F(PlanRunAgreement, PatternsThatNameNothing) {
    photo("a.jpg", "2024:06:01 09:00:00", 125, 1.0);
    photo("b.jpg", "2024:06:01 12:00:00", 125, 1.0);
    const fs::path wall = root / "textures" / "wall.png";
    fs::create_directories(wall.parent_path());
    writePng(Raster8(24, 24, 1, 128), wall);
    struct Case {
        Strings settings;
        std::string pattern;
        Strings files;  // below the output folder
    };
    const Strings ownNames{"MLS_Web_Package/a.jpg", "MLS_Web_Package/b.jpg", "Print_Package/a.jpg",
                           "Print_Package/b.jpg"};
    const std::vector<Case> cases{
        {{"photo", "address=Elm"}, "",
         {"MLS_Web_Package/Elm_01_Web.jpg", "MLS_Web_Package/Elm_02_Web.jpg", "Print_Package/Elm_01_Print.jpg",
          "Print_Package/Elm_02_Print.jpg"}},
        {{"photo", "address=Elm"}, ".", ownNames},
        {{"photo", "address=Elm"}, "...", ownNames},
        {{"photo", "address="}, "{address}", ownNames},
        {{"texture", "mode=pot"}, "", {"wall_POT_32x32.png"}},
        {{"texture", "mode=pot"}, "..", {"wall.png"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("pattern '" + c.pattern + "' " + c.settings[0]);
        fs::remove_all(out);
        Strings args = c.settings;
        args.insert(args.end(), {"straighten=false", "--pattern", c.pattern, "--out", out.string()});
        if (c.settings[0] == "texture") args.erase(std::find(args.begin(), args.end(), "straighten=false"));
        args.push_back(c.settings[0] == "texture" ? wall.string() : in.string());
        const auto [plan, run] = planAndRun(args);
        Strings planned = withPrefix(plan.lines, "PLAN ");
        std::sort(planned.begin(), planned.end());
        EXPECT_EQ(planned, c.files);
        EXPECT_EQ(run.status, 0) << ::testing::PrintToString(run.lines);
        EXPECT_EQ(filesBelow(out), c.files);
    }
}

TEST_F(PlanRunAgreement, Textures) {
    const auto png = [&](const fs::path& file, int w, int h) { writePng(Raster8(w, h, 1, 128), file); };
    fs::create_directories(in / "wood");
    png(in / "wood" / "Wood_AO.png", 60, 40);
    png(in / "wood" / "Wood_Roughness.png", 60, 40);
    png(in / "wood" / "Wood_Height.png", 60, 40);
    png(in / "wood" / "Stone_Albedo.png", 8, 8);
    auto [plan, run] = planAndRun({"texture", "mipmaps=true", "makeNormal=true", "--out", (out / "wood").string(),
                                   (in / "wood").string()});
    Strings planned = withPrefix(plan.lines, "PLAN ");
    EXPECT_EQ(planned, (Strings{"Wood_ORM_64x32.png", "Wood_ORM_64x32_mip1\u2026 (mipmap chain)", "Wood_NormalGL.png"}));
    EXPECT_EQ(withPrefix(plan.lines, "WARN "),
              (Strings{"Stone_Albedo.png: Skipped: not an AO / Roughness / Smoothness / Metallic / Height map",
                       "Wood_AO.png: No Metallic map found; Unreal Engine (ORM) defaults will be used",
                       "Wood_Height.png: Skipped: packed together with Wood_AO.png",
                       "Wood_Roughness.png: Skipped: packed together with Wood_AO.png"}));
    EXPECT_EQ(run.status, 0) << ::testing::PrintToString(run.lines);
    EXPECT_NE(reportLine(run.lines).find("succeeded=1 failed=0 skipped=3"), std::string::npos) << reportLine(run.lines);
    expectRunMatchesPlan(planned, filesBelow(out / "wood"));

    fs::create_directories(in / "sprites");
    for (int i = 1; i <= 3; ++i) png(in / "sprites" / ("run_" + std::to_string(i) + ".png"), 8, 8);
    std::tie(plan, run) = planAndRun({"texture", "mode=sprite", "halfScale=true", "format=godot", "rotate=true",
                                      "--out", (out / "sprites").string(), (in / "sprites").string()});
    planned = withPrefix(plan.lines, "PLAN ");
    EXPECT_EQ(withPrefix(plan.lines, "WARN "),
              (Strings{"run_1.png: Godot 4 SpriteFrames (.tres) can't use rotated frames; rotation is off for this format",
                       "run_2.png: Skipped: frame of the run sprite sheet",
                       "run_3.png: Skipped: frame of the run sprite sheet"}));
    EXPECT_EQ(run.status, 0) << ::testing::PrintToString(run.lines);
    expectRunMatchesPlan(planned, filesBelow(out / "sprites"));

    // Power-of-two sizes under a limit that is no power of two, and a JPEG shown turned by its
    // EXIF orientation: plan and run give the same shown, power-of-two sizes.
    fs::create_directories(in / "pot");
    writePng(Raster8(1000, 600, 3, 90), in / "pot" / "wall.png");
    {
        vips::VImage turned = (vips::VImage::black(512, 256, vips::VImage::option()->set("bands", 3)) + 100)
                                  .cast(VIPS_FORMAT_UCHAR)
                                  .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
        turned.set("orientation", 6);
        turned.jpegsave((in / "pot" / "turned.jpg").c_str());
    }
    std::tie(plan, run) = planAndRun(
        {"texture", "mode=pot", "maxSize=1000", "--out", (out / "pot").string(), (in / "pot").string()});
    planned = withPrefix(plan.lines, "PLAN ");
    EXPECT_EQ(planned, (Strings{"turned_POT_256x512.png", "wall_POT_512x256.png"}));
    EXPECT_EQ(run.status, 0) << ::testing::PrintToString(run.lines);
    expectRunMatchesPlan(planned, filesBelow(out / "pot"));
    for (const auto& [name, w, h] : {std::tuple<std::string, int, int>{"turned_POT_256x512.png", 256, 512},
                                     {"wall_POT_512x256.png", 512, 256}}) {
        if (!fs::exists(out / "pot" / name)) continue;
        const vips::VImage written = vips::VImage::new_from_file((out / "pot" / name).c_str());
        EXPECT_EQ(written.width(), w) << name;
        EXPECT_EQ(written.height(), h) << name;
    }

    fs::create_directories(in / "tiles");
    Raster8 ramp(16, 16, 3);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) ramp.at(x, y, 0) = static_cast<std::uint8_t>(x * 16);
    writePng(ramp, in / "tiles" / "ramp.png");
    writePng(Raster8(16, 16, 3, 90), in / "tiles" / "flat.png");
    std::tie(plan, run) =
        planAndRun({"texture", "mode=tiling", "--out", (out / "tiles").string(), (in / "tiles").string()});
    planned = withPrefix(plan.lines, "PLAN ");
    EXPECT_EQ(planned, Strings{"ramp_Tiled2x2.png"});
    const Strings warnings = withPrefix(plan.lines, "WARN ");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind("ramp.png: Left and right edges differ ", 0), 0u) << warnings[0];
    EXPECT_EQ(run.status, 1);  // the texture that does not tile fails, with its preview written
    expectRunMatchesPlan(planned, filesBelow(out / "tiles"));
}

// A second run into a folder the run also reads takes only the sources again, not the first
// run's deliverables: with the output folder inside the dropped folder and equal to it.
TEST_F(PlanRunAgreement, ASecondRunTakesNoDeliverablesAsInput) {
    photo("a.jpg", "2024:06:01 09:00:00", 125, 1.0);
    photo("b.jpg", "2024:06:01 12:00:00", 125, 1.0);
    for (const fs::path& folder : {in / "Out", in}) {
        for (int run = 1; run <= 2; ++run) {
            const Result result = batchBench({"photo", "straighten=false", "--out", folder.string(), in.string()});
            EXPECT_EQ(result.status, 0) << ::testing::PrintToString(result.lines);
            EXPECT_NE(reportLine(result.lines).find("processed=2 succeeded=2"), std::string::npos)
                << folder << " run " << run << ": " << reportLine(result.lines);
        }
    }
    EXPECT_EQ(filesBelow(in / "MLS_Web_Package"), (Strings{"1042_Maple_Lane_01_Web.jpg", "1042_Maple_Lane_02_Web.jpg"}));

    const fs::path episodes = root / "episodes";
    fs::create_directories(episodes);
    const std::string command = "sox -n -r 44100 -c 1 -b 16 " + quoted((episodes / "pilot.wav").string()) +
                                " synth 4 sine 220 tremolo 3 60 vol 0.3 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    for (int run = 1; run <= 2; ++run) {
        const Result result = batchBench({"podcast", "whisper=true", "audiogram=true", "--out", episodes.string(),
                                          episodes.string()});
        EXPECT_EQ(result.status, 0) << ::testing::PrintToString(result.lines);
        EXPECT_NE(reportLine(result.lines).find("processed=1 succeeded=1"), std::string::npos)
            << "run " << run << ": " << reportLine(result.lines);
    }
    EXPECT_EQ(filesBelow(episodes).size(), 5u) << ::testing::PrintToString(filesBelow(episodes));
}

// Run in place, a source of the user's whose name looks like one of the preset's deliverables is
// left out of the walk with a line that names it; given by name it is taken.
TEST_F(PlanRunAgreement, ASourceNamedLikeADeliverableIsLeftOutWithAWord) {
    struct Case {
        std::string vertical;
        std::string source;       // an ordinary source
        std::string lookalike;    // a source named like a deliverable
    };
    const std::vector<Case> cases{
        {"texture", "rock_Height.png", "rock_NormalGL.png"},
        {"podcast", "Interview.wav", "Guest_Master_-16LUFS.wav"},
    };
    for (const auto& c : cases) {
        const fs::path folder = root / c.vertical;
        fs::create_directories(folder);
        for (const auto& name : {c.source, c.lookalike}) {
            const std::string command =
                c.vertical == "texture"
                    ? "vips black " + quoted((folder / name).string()) + " 64 64 2>&1"
                    : "sox -n -r 44100 -c 1 -b 16 " + quoted((folder / name).string()) + " synth 1 sine 220 vol 0.3 2>&1";
            ASSERT_EQ(std::system(command.c_str()), 0) << command;
        }
        const std::string stem = fs::path(c.lookalike).stem().string();
        const auto mentions = [&](const Strings& lines) {
            return std::count_if(lines.begin(), lines.end(),
                                 [&](const std::string& line) { return line.find(stem) != std::string::npos; });
        };
        const std::string told = "Left out 1 file of the output folder, named like this preset's outputs: " +
                                 c.lookalike + ". Add such a file by itself to process it.";

        const Result walked = batchBench({c.vertical, "--plan", "--out", folder.string(), folder.string()});
        EXPECT_EQ(walked.status, 0) << ::testing::PrintToString(walked.lines);
        EXPECT_EQ(withPrefix(walked.lines, "Left out "), Strings{told.substr(9)}) << c.vertical;
        EXPECT_EQ(mentions(walked.lines), 1) << ::testing::PrintToString(walked.lines);  // the line alone

        const Result named = batchBench(
            {c.vertical, "--plan", "--out", folder.string(), folder.string(), (folder / c.lookalike).string()});
        EXPECT_EQ(withPrefix(named.lines, "Left out ").size(), 0u) << ::testing::PrintToString(named.lines);
        EXPECT_GT(mentions(named.lines), 0) << ::testing::PrintToString(named.lines);
    }
}

TEST_F(PlanRunAgreement, Podcasts) {
    const fs::path speech = "/usr/share/pocketsphinx/test/data/librivox";
    if (!fs::exists(speech / "sense_and_sensibility_01_austen_64kb-0870.wav")) GTEST_SKIP() << "no recorded speech";
    // One episode of real speech, about 15 seconds. The audiogram is left out to keep the run short;
    // its name is the plain base name plus a suffix, covered by the planner's own tests.
    const std::string episode = (in / "pilot.wav").string();
    const std::string command = "sox " + quoted((speech / "sense_and_sensibility_01_austen_64kb-0870.wav").string()) +
                                " " + quoted((speech / "sense_and_sensibility_01_austen_64kb-0920.wav").string()) +
                                " " + quoted(episode) + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);

    const auto [plan, run] = planAndRun({"podcast", "show=Night Shift", "episode=3", "standard=acx", "whisper=true",
                                         "audiogram=false", "chapters=manual", "chapterList=0:00 Opening; 0:05 Story",
                                         "outro=" + (in / "missing.wav").string(), "--out", out.string(),
                                         in.string()});
    const Strings planned = withPrefix(plan.lines, "PLAN ");
    ASSERT_FALSE(planned.empty()) << ::testing::PrintToString(plan.lines);
    EXPECT_EQ(planned.front(), "Night Shift_03_pilot_Master_ACX.wav");
    EXPECT_NE(std::find(planned.begin(), planned.end(), "Night Shift_03_pilot_ACX_Check.txt"), planned.end());
    EXPECT_NE(std::find(planned.begin(), planned.end(), "Night Shift_03_pilot_Chapters.json"), planned.end());
    const Strings warnings = withPrefix(plan.lines, "WARN ");
    EXPECT_NE(std::find(warnings.begin(), warnings.end(), "pilot.wav: Outro music not found: missing.wav"),
              warnings.end());
    EXPECT_EQ(run.status, 0) << ::testing::PrintToString(run.lines);
    expectRunMatchesPlan(planned, filesBelow(out));
}

}  // namespace
}  // namespace lw
