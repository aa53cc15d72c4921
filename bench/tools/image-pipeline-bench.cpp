// Times the photo pipeline on a 24-megapixel JPEG made here, next to the peer tools:
//   load + scaledToFit(2048) + jpegData(0.85)   vs  `vips thumbnail`  and ImageMagick `convert`
//   analyze + straighten at full size (rendered), and the peak memory of one straighten.
// Usage: image-pipeline-bench [runs]      (prints medians and ratios; asserts nothing; --help)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "image/ArchitecturalStraightener.h"
#include "image/CoreImagePipeline.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace lw;

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Runs argv (no shell); returns wall seconds, or -1 when it fails. `maxRssKb` gets the
// child's peak resident size.
double run(const std::vector<std::string>& args, long* maxRssKb = nullptr) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    auto t0 = Clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    posix_spawn_file_actions_destroy(&fa);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    if (maxRssKb) *maxRssKb = ru.ru_maxrss;
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// A facade (dark members leaning by a roll and a keystone) with fine noise, 6000 x 4000.
void makePhoto(const fs::path& path) {
    const int W = 720, H = 480;
    Raster8 small(W, H, 3, 205);
    const double roll = 1.5 * M_PI / 180, gradient = 2 * 0.06 / H;
    for (int i = 0; i < 9; ++i) {
        const double x = W * (0.06 + 0.11 * i);
        const double slope = std::tan(roll) + gradient * (x - W / 2.0);
        for (int y = 0; y < H; ++y) {
            const double c = x + slope * (y - H / 2.0);
            for (int px = static_cast<int>(c) - 5; px <= static_cast<int>(c) + 5; ++px)
                if (px >= 0 && px < W && std::fabs(px + 0.5 - c) < 4)
                    for (int ch = 0; ch < 3; ++ch) small.at(px, y, ch) = static_cast<std::uint8_t>(40 + 30 * ch);
        }
    }
    vips::VImage big = Image::fromRaster(small).pixels().resize(6000.0 / W, vips::VImage::option()->set("vscale", 4000.0 / H));
    vips::VImage noise = vips::VImage::gaussnoise(6000, 4000, vips::VImage::option()->set("sigma", 12.0)->set("mean", 0.0));
    vips::VImage photo = (big + noise).cast(VIPS_FORMAT_UCHAR);
    photo = photo.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    photo.jpegsave(path.c_str(), vips::VImage::option()->set("Q", 92));
}

int straightenOnce(const fs::path& file) {
    auto img = CoreImagePipeline::shared().loadImage(file);
    if (!img) return 1;
    ArchitecturalStraightener s;
    auto p = s.analyze(*img);
    if (p.isIdentity()) p = {0.06, 0, -0.026, true, 0};
    Image out = s.straighten(*img, p);
    auto bytes = CoreImagePipeline::shared().jpegData(out, 0.85, std::nullopt, ColorSpace::sRGB);
    return bytes ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--straighten-once") return straightenOnce(argv[2]);
    const char* const usage =
        "usage: image-pipeline-bench [RUNS]\n"
        "  RUNS  runs of each measurement, 1 to 1000; medians are printed (default 5)\n";
    if (argc > 1 && bench::isHelp(argv[1])) return bench::printHelp(usage);
    int runs = 5;
    if (argc > 1) {
        std::string problem;
        const auto n = bench::positionalNumber(argv[1], "RUNS", 1, 1000, problem);
        if (!n) return bench::refuse("image-pipeline-bench", problem, usage);
        runs = static_cast<int>(*n);
    }
    if (argc > 2) return bench::refuse("image-pipeline-bench", std::string("unexpected argument '") + argv[2] + "'", usage);
    auto& pipe = CoreImagePipeline::shared();
    const fs::path dir = fs::temp_directory_path() / ("lw-image-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path photo = dir / "photo24mp.jpg";
    makePhoto(photo);
    std::printf("input: %s, 6000 x 4000 (24 MP), %.1f MB; %d runs, medians\n", photo.c_str(),
                fs::file_size(photo) / 1e6, runs);

    // Ours, in process.
    std::vector<double> ours;
    size_t bytes = 0;
    for (int i = 0; i < runs; ++i) {
        auto t0 = Clock::now();
        auto img = pipe.loadImage(photo);
        auto scaled = pipe.scaledToFit(*img, 2048);
        auto jpeg = pipe.jpegData(scaled, 0.85, std::nullopt, ColorSpace::sRGB);
        ours.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
        bytes = jpeg ? jpeg->size() : 0;
    }
    const double oursT = median(ours);
    std::printf("load + scaledToFit(2048) + jpegData(0.85): %.1f ms (%zu bytes out)\n", oursT * 1e3, bytes);

    // Start-up of the peer processes alone, to read their times net of it as well.
    std::vector<double> startup;
    for (int i = 0; i < runs; ++i) startup.push_back(std::max(0.0, run({"vips", "--version"})));
    const double vipsStart = median(startup);
    std::printf("vips start-up alone (vips --version): %.1f ms\n", vipsStart * 1e3);

    auto peer = [&](const char* name, const std::vector<std::string>& args, double start) {
        std::vector<double> t;
        for (int i = 0; i < runs; ++i) {
            double s = run(args);
            if (s < 0) {
                std::printf("%s: not available or failed\n", name);
                return;
            }
            t.push_back(s);
        }
        const double m = median(t);
        std::printf("%s: %.1f ms (a process, start-up included); ours / it = %.2f", name, m * 1e3, oursT / m);
        if (start > 0 && m > start) std::printf("; net of start-up %.1f ms, ours / it = %.2f", (m - start) * 1e3, oursT / (m - start));
        std::printf("\n");
    };
    peer("vips thumbnail", {"vips", "thumbnail", photo.string(), (dir / "vips.jpg").string() + "[Q=85]", "2048"}, vipsStart);
    const std::string convert = fs::exists("/usr/bin/convert") ? "/usr/bin/convert" : "convert";
    peer("ImageMagick convert", {convert, photo.string(), "-auto-orient", "-resize", "2048x2048", "-quality", "85",
                                 (dir / "magick.jpg").string()}, 0);

    // Analyze + straighten at full size, rendered.
    std::vector<double> analyzeT, straightenT;
    ArchitecturalStraightener::StraightenParameters params;
    for (int i = 0; i < runs; ++i) {
        auto img = pipe.loadImage(photo)->materialized();
        ArchitecturalStraightener s;
        auto t0 = Clock::now();
        params = s.analyze(img);
        auto t1 = Clock::now();
        auto p = params.isIdentity() ? ArchitecturalStraightener::StraightenParameters{0.06, 0, -0.026, true, 0} : params;
        Image out = s.straighten(img, p).materialized();
        auto t2 = Clock::now();
        analyzeT.push_back(std::chrono::duration<double>(t1 - t0).count());
        straightenT.push_back(std::chrono::duration<double>(t2 - t1).count());
    }
    std::printf("analyze (24 MP, decoded): %.1f ms -> roll %.3f deg, keystone %.4f, %d lines\n", median(analyzeT) * 1e3,
                params.rotationAngleRadians * 180 / M_PI, params.verticalKeystoneCorrection, params.linesDetected);
    std::printf("straighten (24 MP, rendered to memory): %.1f ms\n", median(straightenT) * 1e3);

    long rss = 0;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = 0;
        if (run({self, "--straighten-once", photo.string()}, &rss) >= 0)
            std::printf("peak memory, load + analyze + straighten + encode of one 24 MP photo: %.0f MB (goal < 600 MB)\n",
                        rss / 1024.0);
    }
    fs::remove_all(dir);
    return 0;
}
