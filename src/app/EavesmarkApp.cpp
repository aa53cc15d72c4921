#include "EavesmarkApp.h"

#include <QApplication>
#include <QDir>

#include "ui/panels/GablewiseOptions.h"

namespace lw::app {

ui::StandaloneBranding EavesmarkApp::branding() {
    return {"Eavesmark",
            "Listing photos ready for the MLS, Zillow and Airbnb",
            "building.2.crop.circle",
            "Drop Listing Photos or a Shoot Folder Here",
            "Merges brackets, straightens walls, removes GPS, adds your watermark, and exports web and print sets.",
            "Process All",
            "photo",
            ui::GablewiseOptions::tokens()};
}

GablewisePreset EavesmarkApp::defaultPreset() {
    return GablewisePreset("1042_Maple_Lane", true, true, true, true, 2048, 2000, std::nullopt, 0.85);
}

namespace {

// The background update check is for installed copies, not for the executable in its build tree.
bool startedFromInstall() {
    const QString here = QDir(QCoreApplication::applicationDirPath()).canonicalPath();
    const QString buildTree = QDir(QStringLiteral(LW_BUILD_TREE)).canonicalPath();
    if (buildTree.isEmpty()) return true;
    return here != buildTree && !here.startsWith(buildTree + "/");
}

}  // namespace

EavesmarkApp::EavesmarkApp() {
    ui::ShellEnvironment environment;
    environment.updates.currentVersion = QStringLiteral(LW_VERSION);
    environment.updates.currentBuild = QStringLiteral(LW_BUILD_NUMBER);
    environment.updates.installed = startedFromInstall();
    model_ = std::make_unique<ui::StandaloneViewModel<GablewisePreset>>(defaultPreset(), Vertical::gablewise,
                                                                        Product::realEstate, environment);
    auto* model = model_.get();
    window_ = std::make_unique<ui::StandaloneWindow>(
        *model, branding(), [model] { return new ui::GablewiseOptions(*model); },
        [model] { model->resetSettings(defaultPreset()); });
}

EavesmarkApp::~EavesmarkApp() {
    tray_.reset();
    window_.reset();
    model_.reset();
}

int EavesmarkApp::run() {
    window_->show();
    tray_ = ui::MenuBarExtra::createIfAvailable(*model_, branding(), window_.get());
    return QApplication::exec();
}

}  // namespace lw::app
