#pragma once
// Eavesmark: the shell hosting the real-estate photo vertical.
#include <memory>

#include "presets/GablewisePreset.h"
#include "ui/StandaloneScenes.h"
#include "ui/StandaloneViewModel.h"

namespace lw::app {

class EavesmarkApp {
public:
    // The build's texts.
    static ui::StandaloneBranding branding();
    // The preset of a first run and of "Reset All Settings".
    static GablewisePreset defaultPreset();

    EavesmarkApp();
    ~EavesmarkApp();
    // Shows the window (and the tray menu where there is a tray) and runs the event loop.
    int run();

    ui::StandaloneViewModel<GablewisePreset>& model() { return *model_; }
    ui::StandaloneWindow& window() { return *window_; }

private:
    std::unique_ptr<ui::StandaloneViewModel<GablewisePreset>> model_;
    std::unique_ptr<ui::StandaloneWindow> window_;
    std::unique_ptr<ui::MenuBarExtra> tray_;
};

}  // namespace lw::app
