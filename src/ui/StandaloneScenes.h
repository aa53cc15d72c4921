#pragma once
// The scenes of a hosted vertical: the main window with its menus, and the tray menu (where
// the desktop has a system tray). Menus, in order: File ("Add Files…" Ctrl+O, "Quit"), Edit
// ("Delete" of the queue list), "Batch" (the run label, "Cancel" Ctrl+., "Clear Finished",
// "Show Output Folder" Shift+Ctrl+O, "Reset All Settings") and Help ("About …",
// "Check for Updates…"). Enablement follows the model.
#include <QMainWindow>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

#include "ui/StandaloneView.h"

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace lw::ui {

// "Eavesmark: 42%" while processing (the percentage truncated), else "Eavesmark: 2 waiting".
QString trayStatusText(const QString& title, bool isProcessing, double overallProgress, int runnableCount);

class StandaloneWindow : public QMainWindow {
    Q_OBJECT
public:
    // `resetAllSettings` restores the build's default preset and naming pattern.
    StandaloneWindow(StandaloneViewModelBase& model, StandaloneBranding branding, OptionsFactory options,
                     std::function<void()> resetAllSettings, QWidget* parent = nullptr);

    StandaloneView* view() const { return view_; }
    QAction* addFilesAction() const { return addFiles_; }
    QAction* runAction() const { return run_; }
    QAction* cancelAction() const { return cancel_; }
    QAction* clearFinishedAction() const { return clearFinished_; }
    QAction* showOutputAction() const { return showOutput_; }
    QAction* resetAction() const { return reset_; }
    QAction* checkForUpdatesAction() const { return checkUpdates_; }

protected:
    // Writes a settings save that is still waiting.
    void closeEvent(QCloseEvent* event) override;

private:
    void refresh();
    StandaloneViewModelBase& model_;
    StandaloneView* view_;
    QAction* addFiles_;
    QAction* run_;
    QAction* cancel_;
    QAction* clearFinished_;
    QAction* showOutput_;
    QAction* reset_;
    QAction* checkUpdates_;
};

// The tray icon and its menu: status line, "Open <title>", the run label, "Show Output Folder",
// "Quit". Made only when the desktop has a system tray.
class MenuBarExtra : public QObject {
    Q_OBJECT
public:
    MenuBarExtra(StandaloneViewModelBase& model, const StandaloneBranding& branding, QWidget* window,
                 QObject* parent = nullptr);
    // None when the desktop has no system tray.
    static std::unique_ptr<MenuBarExtra> createIfAvailable(StandaloneViewModelBase& model,
                                                           const StandaloneBranding& branding, QWidget* window);
    QMenu* menu() const { return menu_; }
    QAction* statusAction() const { return status_; }
    QAction* runAction() const { return run_; }

private:
    void refresh();
    StandaloneViewModelBase& model_;
    QString title_;
    QMenu* menu_;
    QAction* status_;
    QAction* run_;
    QSystemTrayIcon* icon_ = nullptr;
};

}  // namespace lw::ui
