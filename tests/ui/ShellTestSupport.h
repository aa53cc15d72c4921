#pragma once
// Shared pieces of the shell's tests: a preset whose items are steered by their file names,
// small photo files, temporary folders and a wait helper.
// libvips (glib) comes before Qt, whose "signals" keyword glib's headers use as a name.
#include <vips/vips8>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/JobModel.h"
#include "platform/Error.h"

namespace lw::ui::test {

namespace fs = std::filesystem;

// A preset that does no real work. An item whose name contains "fail" fails, "skip" is
// skipped, "hold" reports progress 0.5 and waits until released; any other item writes
// NAME.out into the output folder and returns it.
class ProbePreset : public BatchPreset {
public:
    struct Gate {
        std::mutex mutex;
        std::condition_variable changed;
        bool open = false;
        int waiting = 0;
        void release() {
            std::lock_guard lock(mutex);
            open = true;
            changed.notify_all();
        }
    };
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();

    std::string id() const override { return "test.probe"; }
    std::string displayName() const override { return "Probe"; }
    std::string verticalName() const override { return "Tests"; }
    std::string description() const override { return "Does no work."; }
    std::string systemIconName() const override { return "circle"; }
    std::set<std::string> supportedExtensions() const override { return {"jpg", "txt"}; }
    std::string defaultNamingPattern() const override { return "{name}_probe"; }

    std::vector<fs::path> process(const BatchItem& item, const ProcessingContext& context) const override {
        const std::string& name = item.originalFileName;
        if (name.find("fail") != std::string::npos) throw Error("Cannot read " + name + ".");
        if (name.find("skip") != std::string::npos) throw BatchSkip("Not needed.");
        if (name.find("hold") != std::string::npos) {
            context.onProgressUpdate(0.5, std::nullopt);
            std::unique_lock lock(gate->mutex);
            ++gate->waiting;
            gate->changed.notify_all();
            gate->changed.wait(lock, [&] { return gate->open; });
        }
        fs::create_directories(context.configuration.outputDirectory);
        const fs::path out = context.configuration.outputDirectory / (name + ".out");
        std::ofstream(out) << "done";
        return {out};
    }
};

// A fresh folder under the temporary directory, removed with the object.
struct TempDir {
    fs::path path;
    explicit TempDir(const std::string& tag) {
        path = fs::temp_directory_path() /
               ("lw_ui_" + tag + "_" + std::to_string(QCoreApplication::applicationPid()) + "_" +
                std::to_string(reinterpret_cast<std::uintptr_t>(this) % 100000));
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path touch(const std::string& name) const {
        const fs::path file = path / name;
        fs::create_directories(file.parent_path());
        std::ofstream(file) << "x";
        return file;
    }
};

// A small noisy JPEG photo.
inline fs::path writePhoto(const fs::path& file, int width = 320, int height = 240) {
    static const bool ready = VIPS_INIT("lw_ui_tests") == 0;
    (void)ready;
    fs::create_directories(file.parent_path());
    vips::VImage noise = vips::VImage::gaussnoise(width, height, vips::VImage::option()->set("sigma", 40.0)) + 40;
    vips::VImage rgb = noise.bandjoin({noise * 0.8, noise * 0.6}).cast(VIPS_FORMAT_UCHAR);
    rgb.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB)).jpegsave(file.c_str());
    return file;
}

// Runs the event loop until `done` holds or `ms` pass.
inline bool waitUntil(const std::function<bool()>& done, int ms = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) return false;
        QTest::qWait(10);
    }
    return true;
}

}  // namespace lw::ui::test
