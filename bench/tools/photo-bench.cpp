// photo-bench [--work DIR] [--runs N] [--batch N] [--jobs N] [--only road|fusion|batch] [--size WxH] [--keep 1]
//
// Times the photo road and exposure fusion on 24-megapixel photos made here (and on real
// photos a Debian package ships, when found), against the peer tools on the same input:
//   - the full road per photo (straighten, watermark, print and web sets, GPS removal) against
//     ImageMagick and libvips doing the plain conversion (auto-orient, print JPEG at quality 92,
//     web JPEG resized to 2048 at quality 85, strip);
//   - fusion of a 3-shot bracket against enfuse with its default weights;
//   - a batch of photos through batch-bench at 8 concurrent items.
// Every measured run is a child process, so wall time and peak memory (ru_maxrss) are taken the
// same way for us and for the peers. Prints figures and ratios; asserts nothing.
// The work folder is a fresh one of ours, or --work DIR when that is new or empty (else exit 2);
// only what the bench wrote is removed afterwards (unless --keep 1).
#include <exiv2/exiv2.hpp>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips8>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "core/JobModel.h"
#include "image/CoreImagePipeline.h"
#include "image/ExposureFusion.h"
#include "presets/GablewisePreset.h"
#include "CommandLine.h"
#include "MachineLoad.h"
#include "WorkFolder.h"

namespace fs = std::filesystem;
using namespace lw;

namespace {

struct Measure {
    double seconds = 0;
    double peakMB = 0;
    int status = 0;
};

// Runs argv as a child; wall time and the child's peak resident memory.
Measure runChild(const std::vector<std::string>& argv, bool quiet = true) {
    std::vector<char*> cargs;
    for (const auto& a : argv) cargs.push_back(const_cast<char*>(a.c_str()));
    cargs.push_back(nullptr);
    std::fflush(stdout);
    std::fflush(stderr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (quiet) {
            std::freopen("/dev/null", "w", stdout);
            std::freopen("/dev/null", "w", stderr);
        }
        execvp(cargs[0], cargs.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Measure m;
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.peakMB = usage.ru_maxrss / 1024.0;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    return m;
}

// Best wall time of `runs` runs (peak memory of the worst run).
Measure best(const std::vector<std::string>& argv, int runs) {
    Measure result;
    result.seconds = 1e30;
    for (int i = 0; i < runs; ++i) {
        const Measure m = runChild(argv);
        result.seconds = std::min(result.seconds, m.seconds);
        result.peakMB = std::max(result.peakMB, m.peakMB);
        result.status = std::max(result.status, m.status);
    }
    return result;
}

Measure sum(const Measure& a, const Measure& b) {
    return {a.seconds + b.seconds, std::max(a.peakMB, b.peakMB), std::max(a.status, b.status)};
}

bool have(const char* tool) { return std::system(("command -v " + std::string(tool) + " >/dev/null 2>&1").c_str()) == 0; }

// A facade-like 24 MP scene: noise for texture, vertical edges rolled by about 1.5 degrees.
vips::VImage makeScene(int w, int h, double gain) {
    vips::VImage xy = vips::VImage::xyz(w, h);
    vips::VImage x = xy[0], y = xy[1];
    vips::VImage bars = ((x % 373) < 40).ifthenelse(60, 170);
    vips::VImage sky = (y < h / 3).ifthenelse(230, bars);
    vips::VImage noise = vips::VImage::gaussnoise(w, h, vips::VImage::option()->set("sigma", 18.0));
    vips::VImage grey = sky + noise - 128 + y / h * 30;
    vips::VImage rgb = (grey * std::vector<double>{1.0, 0.95, 0.85}) * gain;
    rgb = rgb.similarity(vips::VImage::option()->set("angle", 1.5))
              .crop(0, 0, w, h)
              .embed(0, 0, w, h, vips::VImage::option()->set("extend", VIPS_EXTEND_MIRROR));
    return (rgb < 0).ifthenelse(0, (rgb > 255).ifthenelse(255, rgb)).cast(VIPS_FORMAT_UCHAR)
        .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

void addCameraMetadata(const fs::path& file, const std::string& time, double exposure) {
    auto image = Exiv2::ImageFactory::open(file.string());
    image->readMetadata();
    Exiv2::ExifData& exif = image->exifData();
    exif["Exif.Image.Make"] = "Bench";
    exif["Exif.Image.Model"] = "Synthetic";
    exif["Exif.Photo.DateTimeOriginal"] = time;
    exif["Exif.Photo.ExposureTime"] = Exiv2::URational(1, static_cast<uint32_t>(std::lround(1 / exposure)));
    exif["Exif.Photo.FNumber"] = Exiv2::URational(8, 1);
    exif["Exif.Photo.ISOSpeedRatings"] = uint16_t(100);
    exif["Exif.GPSInfo.GPSLatitudeRef"] = "N";
    exif["Exif.GPSInfo.GPSLatitude"] = "47/1 36/1 0/1";
    exif["Exif.GPSInfo.GPSLongitudeRef"] = "W";
    exif["Exif.GPSInfo.GPSLongitude"] = "122/1 19/1 0/1";
    image->writeMetadata();
}

void saveJpeg(const vips::VImage& img, const fs::path& file) {
    img.jpegsave(file.c_str(), vips::VImage::option()->set("Q", 92));
}

// ---- child modes (measured in their own process)

int childRoad(const fs::path& input, const fs::path& out, const fs::path& logo) {
    GablewisePreset preset;
    preset.watermarkURL = logo;
    BatchConfiguration configuration(out, true, preset.defaultNamingPattern(), false, 1, false, false, {});
    BatchItem item(Uuid::random(), input, std::nullopt, ProcessingStatus::pending, 0, std::nullopt, {});
    ProcessingContext context{Uuid::random(), configuration, 1, 1, {}, {}, {}};
    try {
        const auto written = preset.process(item, context);
        return written.size() == 2 ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
}

int childFusion(const std::vector<fs::path>& inputs, const fs::path& out) {
    try {
        const Image fused = ExposureFusion().fuseFiles(inputs);
        CoreImagePipeline::shared().write(fused, out, PixelFormat::RGBA16, ColorSpace::sRGB, 1.0, std::nullopt);
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
    return 0;
}

std::string self;

const char* const kUsage =
    "usage: photo-bench [--work DIR] [--runs N] [--batch N] [--jobs N] [--only road|fusion|batch] [--size WxH]\n"
    "                   [--keep 0|1]\n"
    "  --work DIR   folder for the photos and results, new or empty (default: a fresh one in the\n"
    "               temporary folder)\n"
    "  --runs N     best of N runs, 1 to 1000 (default 3)\n"
    "  --batch N    photos in the batch part, 0 to 100000; 0 leaves it out (default 64)\n"
    "  --jobs N     concurrent items of the batch part, 1 to 4096 (default 8)\n"
    "  --only PART  road, fusion or batch alone (default: all three)\n"
    "  --size WxH   size of the made photos (default 6000x4000; a side under 64 counts as 64)\n"
    "  --keep 0|1   1 keeps the work folder afterwards (default 0)\n";

bool isOption(const std::string& a) {
    for (const char* o : {"--work", "--runs", "--batch", "--jobs", "--only", "--keep", "--size"})
        if (a == o) return true;
    return false;
}

void printRow(const std::string& name, const Measure& m) {
    std::printf("  %-44s %8.2f s  %8.0f MB%s\n", name.c_str(), m.seconds, m.peakMB, m.status ? "  (FAILED)" : "");
}

}  // namespace

int main(int argc, char** argv) {
    if (VIPS_INIT(argv[0])) return 1;
    self = fs::canonical("/proc/self/exe").string();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "--child-road" && args.size() == 4) return childRoad(args[1], args[2], args[3]);
    if (!args.empty() && args[0] == "--child-fusion" && args.size() >= 3) {
        std::vector<fs::path> inputs(args.begin() + 1, args.end() - 1);
        return childFusion(inputs, args.back());
    }

    fs::path work;  // a fresh folder of our own unless --work names one
    int W = 6000, H = 4000;
    bool keep = false;
    int runs = 3, batch = 64, jobs = 8;
    std::string only;
    for (std::size_t i = 0; i < args.size(); i += 2) {
        if (bench::isHelp(args[i])) return bench::printHelp(kUsage);
        const std::string& option = args[i];
        if (!isOption(option)) return bench::refuse("photo-bench", "unknown option '" + option + "'", kUsage);
        if (i + 1 >= args.size()) return bench::refuse("photo-bench", option + " needs a value", kUsage);
        const std::string& value = args[i + 1];
        const auto whole = [&](int& field, long long lo, long long hi) {
            const auto n = bench::wholeNumber(value, lo, hi);
            if (n) field = static_cast<int>(*n);
            return n.has_value();
        };
        const auto bad = [&](const std::string& allowed) {
            return bench::refuse("photo-bench", option + " takes " + allowed + ", not '" + value + "'", kUsage);
        };
        if (args[i] == "--work") work = args[i + 1];
        else if (option == "--runs" && !whole(runs, 1, 1000)) return bad("a whole number from 1 to 1000");
        else if (option == "--batch" && !whole(batch, 0, 100000)) return bad("a whole number from 0 to 100000");
        else if (option == "--jobs" && !whole(jobs, 1, 4096)) return bad("a whole number from 1 to 4096");
        else if (option == "--only") {
            if (value != "road" && value != "fusion" && value != "batch") return bad("road, fusion or batch");
            only = value;
        } else if (option == "--keep") {
            if (value != "0" && value != "1") return bad("0 or 1");
            keep = value == "1";
        } else if (option == "--size") {
            const auto x = value.find('x');
            const auto w = bench::wholeNumber(value.substr(0, x), 1, 65535);
            const auto h = x == std::string::npos ? std::nullopt : bench::wholeNumber(value.substr(x + 1), 1, 65535);
            if (!w || !h) return bad("a width and a height in pixels joined by x, such as 6000x4000");
            W = static_cast<int>(*w);
            H = static_cast<int>(*h);
        }
    }
    W = std::max(W, 64);
    H = std::max(H, 64);
    std::string refusal;
    const bench::WorkFolder workFolder = work.empty() ? bench::WorkFolder::fresh("lw-photo-bench")
                                                      : bench::WorkFolder::named(work, refusal);
    if (!refusal.empty()) {
        std::cerr << "photo-bench: --work " << refusal << "\n";
        return 2;
    }
    work = workFolder.path();

    bench::printMachineLoad("photo-bench");
    std::printf("photo-bench: %.0f MP (%d x %d) photos in %s, best of %d runs\n", W * double(H) / 1e6, W, H, work.c_str(), runs);
    const fs::path photo = work / "facade.jpg";
    saveJpeg(makeScene(W, H, 1.0), photo);
    addCameraMetadata(photo, "2024:05:01 10:00:00", 1.0 / 125);
    const fs::path logo = work / "logo.png";
    {
        vips::VImage rgb = vips::VImage::black(600, 200, vips::VImage::option()->set("bands", 3)) + 240;
        vips::VImage a = (vips::VImage::xyz(600, 200)[0] % 100 < 70).ifthenelse(255, 0);
        rgb.bandjoin(a).cast(VIPS_FORMAT_UCHAR).pngsave(logo.c_str());
    }

    std::vector<fs::path> photos{photo};
    for (const char* dir : {"/usr/share/backgrounds", "/usr/share/wallpapers", "/usr/share/pixmaps"}) {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            const auto ext = it->path().extension().string();
            if (ext != ".jpg" && ext != ".jpeg" && ext != ".JPG") continue;
            try {
                vips::VImage header = vips::VImage::new_from_file(it->path().c_str());
                if (static_cast<double>(header.width()) * header.height() >= 8e6) photos.push_back(it->path());
            } catch (const vips::VError&) {
            }
            if (photos.size() >= 3) break;
        }
    }

    // ---- full road against the plain conversions
    const auto part = [&](const char* name) { return only.empty() || only == name; };
    for (const fs::path& input : photos) {
        if (!part("road")) break;
        std::printf("\nroad: %s\n", input.filename().c_str());
        const fs::path ours = work / "road";
        fs::remove_all(ours);
        const Measure road = best({self, "--child-road", input.string(), ours.string(), logo.string()}, runs);
        printRow("ours: full road (straighten, logo, print, web)", road);
        Measure magick{}, vipsPlain{};
        bool haveMagick = have("convert"), haveVips = have("vips") && have("vipsthumbnail");
        if (haveMagick) {
            magick = best({"convert", input.string(), "-auto-orient", "-strip", "(", "+clone", "-quality", "92",
                           "-write", (work / "im_print.jpg").string(), "+delete", ")", "-resize", "2048x2048",
                           "-quality", "85", (work / "im_web.jpg").string()},
                          runs);
            printRow("ImageMagick: plain conversion", magick);
        }
        if (haveVips) {
            const Measure print = best({"vips", "autorot", input.string(), (work / "vips_print.jpg[Q=92,strip]").string()}, runs);
            const Measure web = best({"vipsthumbnail", input.string(), "-s", "2048", "-o",
                                      (work / "vips_web.jpg[Q=85,strip]").string()},
                                     runs);
            vipsPlain = sum(print, web);
            printRow("libvips: plain conversion (autorot + thumbnail)", vipsPlain);
        }
        if (haveVips) std::printf("  ratio ours / libvips plain      : %.2fx (goal <= 1.3x)%s\n", road.seconds / vipsPlain.seconds,
                                 bench::busyNote());
        if (haveMagick) std::printf("  ratio ImageMagick / ours        : %.2fx faster (goal >= 3x)%s\n", magick.seconds / road.seconds,
                                   bench::busyNote());
    }

    // ---- fusion against enfuse
    if (part("fusion")) {
        std::printf("\nfusion: 3-shot bracket of %d x %d\n", W, H);
        std::vector<std::string> shots;
        const double gains[] = {0.45, 1.0, 1.8};
        for (int k = 0; k < 3; ++k) {
            const fs::path p = work / ("bracket_" + std::to_string(k) + ".jpg");
            vips::VImage scene = makeScene(W, H, gains[k]);
            if (k == 2) scene = scene.embed(3, -2, W, H, vips::VImage::option()->set("extend", VIPS_EXTEND_COPY));
            saveJpeg(scene, p);
            shots.push_back(p.string());
        }
        std::vector<std::string> oursArgs{self, "--child-fusion"};
        oursArgs.insert(oursArgs.end(), shots.begin(), shots.end());
        oursArgs.push_back((work / "fused.tif").string());
        const Measure ours = best(oursArgs, runs);
        printRow("ours: align + Mertens fusion, 16-bit TIFF", ours);
        if (have("enfuse")) {
            std::vector<std::string> enfuseArgs{"enfuse", "-o", (work / "enfused.tif").string()};
            enfuseArgs.insert(enfuseArgs.end(), shots.begin(), shots.end());
            const Measure enfuse = best(enfuseArgs, 1);
            printRow("enfuse (default weights)", enfuse);
            std::printf("  ratio enfuse / ours             : %.2fx faster (goal >= 3x)%s\n", enfuse.seconds / ours.seconds,
                        bench::busyNote());
            try {
                // Distance from enfuse's result in 8-bit terms (ours is 16-bit, enfuse's 8-bit).
                vips::VImage a = vips::VImage::new_from_file((work / "fused.tif").c_str()).cast(VIPS_FORMAT_DOUBLE) / 257.0;
                vips::VImage b = vips::VImage::new_from_file((work / "enfused.tif").c_str());
                if (b.bands() > 3) b = b.extract_band(0, vips::VImage::option()->set("n", 3));
                if (b.format() == VIPS_FORMAT_USHORT) b = b.cast(VIPS_FORMAT_DOUBLE) / 257.0;
                std::printf("  mean abs difference from enfuse : %.3f (8-bit levels)\n", (a - b).abs().avg());
            } catch (const vips::VError& e) {
                std::printf("  mean abs difference from enfuse : unavailable (%s)\n", e.what());
            }
            std::printf("  peak memory ours / enfuse       : %.2f (goal <= 1)%s\n", ours.peakMB / enfuse.peakMB, bench::busyNote());
        }
    }

    // ---- a batch through the queue
    if (batch > 0 && part("batch")) {
        const fs::path folder = work / "batch";
        fs::create_directories(folder);
        for (int i = 0; i < batch; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "IMG_%04d.jpg", i);
            fs::create_hard_link(photo, folder / name);
        }
        const fs::path tool = fs::path(self).parent_path() / "batch-bench";
        const Measure m = runChild({tool.string(), "photo", "watermark=" + logo.string(), "--jobs",
                                    std::to_string(jobs), "--out", (work / "batch_out").string(), folder.string()});
        std::printf("\nbatch: %d photos at %d concurrent items through batch-bench\n", batch, jobs);
        printRow("ours: batch", m);
        std::printf("  per photo                       : %.2f s; peak memory %.0f MB (goal < 3072 MB)%s\n",
                    m.seconds / batch, m.peakMB, bench::busyNote());
    }
    if (!keep) workFolder.removeOwn();
    return 0;
}
