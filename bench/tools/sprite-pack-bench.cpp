// Sprite-sheet packing: time and page occupancy on a few hundred trimmed frames of mixed sizes,
// against the npm package free-tex-packer-core (MaxRectsBin, best short side fit) on the same
// frames with the same spacing, power-of-two pages, without and with rotation.
//
//   sprite-pack-bench [frames=300] [repeats=5]
//
// Occupancy = sum of the unique frames' slot areas (kept size + spacing + 2 x extrude per side)
// over the summed page area. free-tex-packer's `padding` is added on every side of a frame, ours
// only between neighbours, so its padding is half of ours for the same gap.
// The peer is installed into bench/node_modules on first use (npm, no package.json written).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <unistd.h>

#include "CommandLine.h"
#include "image/SpriteSheetCompiler.h"

namespace fs = std::filesystem;
using namespace lw;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPadding = 2;  // ours; the peer gets 1 (on each side)
constexpr int kExtrude = 1;

// Frames with random transparent margins so trimming matters; a few exact repeats.
std::vector<RGBAImage> makeFrames(int count) {
    std::mt19937 rng(7);
    auto uniform = [&](int lo, int hi) { return lo + static_cast<int>(rng() % static_cast<unsigned>(hi - lo + 1)); };
    std::vector<RGBAImage> frames;
    for (int i = 0; i < count; ++i) {
        if (i > 10 && i % 29 == 0) {
            frames.push_back(frames[static_cast<std::size_t>(uniform(0, i - 1))]);
            continue;
        }
        const int kind = uniform(0, 99);
        const int lo = kind < 50 ? 8 : kind < 85 ? 48 : 128;
        const int hi = kind < 50 ? 48 : kind < 85 ? 128 : 256;
        const int w = uniform(lo, hi), h = uniform(lo, hi);
        const int ml = uniform(0, 8), mr = uniform(0, 8), mt = uniform(0, 8), mb = uniform(0, 8);
        RGBAImage img(w + ml + mr, h + mt + mb);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                std::uint8_t* p = &img.at(x + ml, y + mt);
                p[3] = 255;
                p[0] = static_cast<std::uint8_t>(rng());
                p[1] = static_cast<std::uint8_t>(x * 3 + i);
                p[2] = static_cast<std::uint8_t>(y * 5);
            }
        frames.push_back(std::move(img));
    }
    return frames;
}

struct Result {
    double packMs = 0;   // from decoded frames
    double totalMs = 0;  // from files (ours: decode, pack, render, PNG pages; peer: load, pack, render, PNG, data)
    double occupancy = 0;
    int pages = 0;
    std::string sizes;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double occupancyOf(const SpriteSheetCompiler::Atlas& atlas) {
    double used = 0, total = 0;
    for (const auto& page : atlas.pages) {
        total += static_cast<double>(page.sheetWidth) * page.sheetHeight;
        for (const auto& f : page.frames)
            if (!f.isDuplicate)
                used += static_cast<double>(f.frame.width + kPadding + 2 * kExtrude) * (f.frame.height + kPadding + 2 * kExtrude);
    }
    return total > 0 ? used / total : 0;
}

Result runOurs(const std::vector<std::string>& names, const std::vector<RGBAImage>& frames,
               const std::vector<fs::path>& files, const fs::path& outDir, int maxSize, bool rotate, int repeats) {
    SpriteSheetCompiler::Options o;
    o.trim = true;
    o.padding = kPadding;
    o.extrude = kExtrude;
    o.maxSheetSize = maxSize;
    o.scale = 1.0;
    o.allowRotation = rotate;
    const SpriteSheetCompiler compiler;
    Result r;
    std::vector<double> pack, total;
    compiler.compileAtlas(names, frames, o, true);  // warm-up
    for (int k = 0; k < repeats; ++k) {
        std::vector<RGBAImage> copy = frames;  // the compiler takes the frames by value
        const auto t0 = Clock::now();
        const auto atlas = compiler.compileAtlas(names, std::move(copy), o, true);
        pack.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (k == 0) {
            r.occupancy = occupancyOf(atlas);
            r.pages = static_cast<int>(atlas.pages.size());
            for (const auto& p : atlas.pages)
                r.sizes += (r.sizes.empty() ? "" : " + ") + std::to_string(p.sheetWidth) + "x" + std::to_string(p.sheetHeight);
        }
        const auto t1 = Clock::now();
        const auto fromFiles = compiler.compileAtlas(files, o, true);
        for (std::size_t p = 0; p < fromFiles.pages.size(); ++p)
            fromFiles.pages[p].image.writePNG(outDir / ("ours-" + std::to_string(p) + ".png"));
        total.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t1).count());
    }
    r.packMs = median(pack);
    r.totalMs = median(total);
    return r;
}

const char* kPeerScript = R"JS(
const path = require('path');
const fs = require('fs');
const [modules, dir, maxSize, rotate, repeats] = process.argv.slice(2);
const core = path.join(modules, 'free-tex-packer-core');
const PackProcessor = require(path.join(core, 'PackProcessor'));
const TextureRenderer = require(path.join(core, 'utils/TextureRenderer'));
const { readImage } = require(path.join(core, 'utils/imageFormats'));
const { getPackerByType } = require(path.join(core, 'packers/index'));
const { packAsync } = require(core);
const padding = 1, extrude = 1;
const names = fs.readdirSync(dir).filter(n => n.endsWith('.png')).sort();
const inputs = names.map(n => ({ path: n, contents: fs.readFileSync(path.join(dir, n)) }));
const publicOptions = { width: Number(maxSize), height: Number(maxSize), powerOfTwo: true, padding, extrude, allowRotation: rotate === '1',
  allowTrim: true, detectIdentical: true, packer: 'MaxRectsBin', packerMethod: 'BestShortSideFit', exporter: 'JsonHash' };
(async () => {
  const images = {};
  for (const f of inputs) {
    const img = await readImage(f.contents, f.path);
    img.name = f.path; img._base64 = f.contents.toString('base64');
    img.width = img.bitmap.width; img.height = img.bitmap.height;
    images[img.name] = img;
  }
  const packer = getPackerByType('MaxRectsBin');
  const options = Object.assign({}, publicOptions, { packer, packerMethod: packer.getMethodByType('BestShortSideFit') });
  const packTimes = [], totalTimes = [];
  let result;
  for (let k = 0; k < Number(repeats); ++k) {
    const t0 = process.hrtime.bigint();
    PackProcessor.pack(images, options, res => { result = res; }, err => { throw new Error(err.description); });
    packTimes.push(Number(process.hrtime.bigint() - t0) / 1e6);
    const t1 = process.hrtime.bigint();
    await packAsync(inputs, publicOptions);
    totalTimes.push(Number(process.hrtime.bigint() - t1) / 1e6);
  }
  let used = 0, total = 0;
  const sizes = [];
  for (const page of result) {
    const { width, height } = TextureRenderer.getSize(page, options);
    total += width * height;
    sizes.push(width + 'x' + height);
    for (const item of page) if (!item.cloned)
      used += (item.frame.w + 2 * padding + 2 * extrude) * (item.frame.h + 2 * padding + 2 * extrude);
  }
  const med = a => a.slice().sort((x, y) => x - y)[Math.floor(a.length / 2)];
  console.log(JSON.stringify({ packMs: med(packTimes), totalMs: med(totalTimes), occupancy: used / total,
                               pages: result.length, sizes: sizes.join(' + ') }));
})().catch(e => { console.error(e); process.exit(1); });
)JS";

std::string capture(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    if (::pclose(p) != 0) return {};
    return out;
}

std::optional<fs::path> peerModules() {
    const fs::path bench = fs::path(__FILE__).parent_path().parent_path();
    const fs::path modules = bench / "node_modules";
    if (fs::exists(modules / "free-tex-packer-core" / "package.json")) return modules;
    std::printf("installing free-tex-packer-core into %s ...\n", modules.c_str());
    const std::string cmd = "npm install --no-save --no-package-lock --no-audit --no-fund --silent --prefix '" +
                            bench.string() + "' free-tex-packer-core >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0 || !fs::exists(modules / "free-tex-packer-core")) return std::nullopt;
    return modules;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const char* const usage =
        "usage: sprite-pack-bench [FRAMES] [REPEATS]\n"
        "  FRAMES   frames to pack, 1 to 100000 (default 300)\n"
        "  REPEATS  runs of each packing, the median printed, 1 to 1000 (default 5)\n";
    if (argc > 1 && bench::isHelp(argv[1])) return bench::printHelp(usage);
    if (argc > 3) return bench::refuse("sprite-pack-bench", std::string("unexpected argument '") + argv[3] + "'", usage);
    int count = 300, repeats = 5;
    for (int i = 1; i < argc; ++i) {
        std::string problem;
        const auto n = bench::positionalNumber(argv[i], i == 1 ? "FRAMES" : "REPEATS", 1, i == 1 ? 100000 : 1000, problem);
        if (!n) return bench::refuse("sprite-pack-bench", problem, usage);
        (i == 1 ? count : repeats) = static_cast<int>(*n);
    }
    const fs::path dir = fs::temp_directory_path() / ("sprite-pack-bench-" + std::to_string(::getpid()));
    const fs::path framesDir = dir / "frames";
    fs::create_directories(framesDir);

    const std::vector<RGBAImage> frames = makeFrames(count);
    std::vector<std::string> names;
    std::vector<fs::path> files;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "frame_%04zu.png", i);
        names.push_back(name);
        files.push_back(framesDir / name);
        frames[i].writePNG(files.back());
    }
    std::printf("%d frames, padding %d (peer %d per side), extrude %d, power-of-two pages, median of %d\n", count,
                kPadding, kPadding / 2, kExtrude, repeats);

    const auto modules = peerModules();
    const fs::path script = dir / "peer.js";
    std::ofstream(script) << kPeerScript;
    for (int maxSize : {4096, 2048})
    for (bool rotate : {false, true}) {
        const Result ours = runOurs(names, frames, files, dir, maxSize, rotate, repeats);
        std::printf("\nsheet limit %d, %s rotation\n", maxSize, rotate ? "with" : "without");
        std::printf("  ours                 pack %8.2f ms  from files %8.2f ms  occupancy %5.1f%%  %d page(s) %s\n",
                    ours.packMs, ours.totalMs, ours.occupancy * 100, ours.pages, ours.sizes.c_str());
        if (!modules) {
            std::printf("  free-tex-packer-core not available (npm install failed)\n");
            continue;
        }
        const std::string out = capture("node '" + script.string() + "' '" + modules->string() + "' '" +
                                        framesDir.string() + "' " + std::to_string(maxSize) + " " + (rotate ? "1" : "0") + " " + std::to_string(repeats));
        nlohmann::json peer;
        try {
            peer = nlohmann::json::parse(out);
        } catch (const std::exception&) {
            std::printf("  free-tex-packer-core failed to run\n");
            continue;
        }
        const double packMs = peer["packMs"], totalMs = peer["totalMs"], occ = peer["occupancy"];
        std::printf("  free-tex-packer-core pack %8.2f ms  from files %8.2f ms  occupancy %5.1f%%  %d page(s) %s\n",
                    packMs, totalMs, occ * 100, peer["pages"].get<int>(), peer["sizes"].get<std::string>().c_str());
        std::printf("  ratio (peer / ours)  pack %8.2fx    from files %8.2fx    occupancy ours - peer %+.1f points\n",
                    packMs / ours.packMs, totalMs / ours.totalMs, (ours.occupancy - occ) * 100);
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
