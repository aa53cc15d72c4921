// panel-snapshot VERTICAL [key=value ...] --size WxH OUT.png
//
// Builds the vertical's preset from its defaults and the pairs (the strict settings reader),
// shows its option panel in the standard window at W x H and writes the window's picture to
// OUT.png and the option column's whole content to OUT-options.png, then exits 0. VERTICAL is a
// registry name ("texture", "castloom", "photo", ...). Settings are not read from or written
// to the user's configuration. Exit 2 for bad arguments or settings (a size that is not two
// positive numbers joined by x among them), 1 when the snapshot mode cannot draw that size (over
// its limit, under the window's minimum) or write a picture (it says why).
#include <QApplication>

#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "EavesmarkApp.h"
#include "presets/PresetSettingsCodec.h"
#include "presets/Vertical.h"
#include "ui/SettingsStore.h"
#include "ui/WindowSnapshot.h"
#include "ui/panels/PanelHost.h"

using namespace lw;

namespace {

const char* const kUsage = "usage: panel-snapshot VERTICAL [key=value ...] --size WxH OUT.png\n";

int usage(const std::string& problem) {
    std::cerr << "panel-snapshot: " << problem << "\n" << kUsage;
    return 2;
}

int help() {
    return bench::printHelp(std::string(kUsage) +
                            "  VERTICAL    gablewise, texture or castloom (or another of their names: photos, podcast, ...)\n"
                            "  key=value   the vertical's settings (batch-bench --help lists them)\n"
                            "  --size WxH  window size in pixels, such as 1280x800\n"
                            "  OUT.png     the window's picture; OUT-options.png gets the option column\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usage("no vertical given");
    for (const auto& arg : args)
        if (bench::isHelp(arg)) return help();
    const auto vertical = verticalNamed(args[0]);
    if (!vertical) return usage("unknown vertical '" + args[0] + "' (gablewise, texture or castloom)");
    StringMap values;
    std::optional<std::string> size, out;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--size") {
            if (i + 1 >= args.size()) return usage("--size needs WxH");
            size = args[++i];
        } else if (arg.rfind("--", 0) != 0 && arg.find('=') != std::string::npos && arg.find('=') > 0) {
            const auto eq = arg.find('=');
            if (!values.emplace(arg.substr(0, eq), arg.substr(eq + 1)).second)
                return usage("setting '" + arg.substr(0, eq) + "' given twice");
        } else if (!out && arg.rfind("--", 0) != 0) {
            out = arg;
        } else {
            return usage("unexpected argument '" + arg + "'");
        }
    }
    if (!size) return usage("--size WxH is required");
    if (!ui::WindowSnapshot::parseSize(QString::fromStdString(*size)))
        return usage("--size takes a width and a height in pixels joined by x, such as 1280x800, not '" + *size + "'");
    if (!out) return usage("no output file given");

    std::unique_ptr<BatchPreset> preset;
    try {
        preset = PresetSettingsCodec::makePreset(*vertical, values, true);
    } catch (const std::exception& e) {
        return usage(e.what());
    }

    // The window's snapshot mode does the capture: it reads these arguments when the window shows.
    std::vector<std::string> qtArgs{argv[0], "--snapshot", *out, "--snapshot-size", *size};
    std::vector<char*> qtArgv;
    for (auto& a : qtArgs) qtArgv.push_back(a.data());
    int qtArgc = static_cast<int>(qtArgv.size());
    qtArgv.push_back(nullptr);
    QApplication application(qtArgc, qtArgv.data());

    ui::ShellEnvironment environment;
    environment.defaults = std::make_shared<ui::MemorySettingsStore>();
    std::optional<ui::StandaloneBranding> branding;
    if (*vertical == Vertical::gablewise) branding = app::EavesmarkApp::branding();
    auto hosted = ui::hostPanel(*vertical, *preset, environment, branding);
    if (!hosted) return usage("no panel for this vertical");
    hosted->window().show();
    const int status = QApplication::exec();
    hosted.reset();
    return status;
}
