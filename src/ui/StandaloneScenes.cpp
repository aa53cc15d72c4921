#include "ui/StandaloneScenes.h"

#include <QApplication>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSystemTrayIcon>

#include "ui/Style.h"

namespace lw::ui {

QString trayStatusText(const QString& title, bool isProcessing, double overallProgress, int runnableCount) {
    if (isProcessing)
        return title + ": " + QString::number(static_cast<long long>(overallProgress * 100)) + "%";
    return title + ": " + QString::number(runnableCount) + QObject::tr(" waiting");
}

StandaloneWindow::StandaloneWindow(StandaloneViewModelBase& model, StandaloneBranding branding, OptionsFactory options,
                                   std::function<void()> resetAllSettings, QWidget* parent)
    : QMainWindow(parent), model_(model) {
    setWindowTitle(branding.title);
    setWindowIcon(symbolIcon(branding.icon, accentColor(this)));
    const QString title = branding.title;
    const QString runLabel = branding.runLabel;
    view_ = new StandaloneView(model, std::move(branding), std::move(options), this);
    setCentralWidget(view_);
    resize(1040, 720);

    QMenu* file = menuBar()->addMenu(tr("&File"));
    addFiles_ = file->addAction(tr("Add Files…"), QKeySequence(Qt::CTRL | Qt::Key_O), this, [this] { model_.browse(this); });
    file->addSeparator();
    file->addAction(tr("Quit"), QKeySequence::Quit, qApp, &QApplication::quit);

    QMenu* edit = menuBar()->addMenu(tr("&Edit"));
    QAction* remove = edit->addAction(tr("Delete"), this, [this] { model_.remove(model_.selection()); });
    connect(edit, &QMenu::aboutToShow, this,
            [this, remove] { remove->setEnabled(view_->queueList()->hasFocus() && !model_.selection().empty()); });

    QMenu* batch = menuBar()->addMenu(tr("&Batch"));
    run_ = batch->addAction(runLabel, &model_, &StandaloneViewModelBase::start);
    cancel_ = batch->addAction(tr("Cancel"), QKeySequence(Qt::CTRL | Qt::Key_Period), &model_,
                               &StandaloneViewModelBase::cancel);
    batch->addSeparator();
    clearFinished_ = batch->addAction(tr("Clear Finished"), &model_, &StandaloneViewModelBase::clearFinished);
    showOutput_ = batch->addAction(tr("Show Output Folder"), QKeySequence(Qt::SHIFT | Qt::CTRL | Qt::Key_O), &model_,
                                   &StandaloneViewModelBase::revealOutput);
    batch->addSeparator();
    reset_ = batch->addAction(tr("Reset All Settings"), this, [resetAllSettings] {
        if (resetAllSettings) resetAllSettings();
    });

    QMenu* help = menuBar()->addMenu(tr("&Help"));
    help->addAction(tr("About %1").arg(title), this, [this, title] {
        QMessageBox::about(this, tr("About %1").arg(title),
                           title + " " + QApplication::applicationVersion());
    });
    checkUpdates_ = help->addAction(tr("Check for Updates…"), this, [this] { model_.updates().checkNow(); });

    connect(&model_, &StandaloneViewModelBase::isProcessingChanged, this, &StandaloneWindow::refresh);
    connect(&model_, &StandaloneViewModelBase::queueItemsChanged, this, &StandaloneWindow::refresh);
    refresh();
}

void StandaloneWindow::refresh() {
    run_->setEnabled(!model_.isProcessing() && model_.runnableCount() > 0);
    cancel_->setEnabled(model_.isProcessing());
}

void StandaloneWindow::closeEvent(QCloseEvent* event) {
    model_.savePending();
    QMainWindow::closeEvent(event);
}

MenuBarExtra::MenuBarExtra(StandaloneViewModelBase& model, const StandaloneBranding& branding, QWidget* window,
                           QObject* parent)
    : QObject(parent), model_(model), title_(branding.title) {
    menu_ = new QMenu;
    status_ = menu_->addAction(QString());
    status_->setEnabled(false);
    menu_->addSeparator();
    menu_->addAction(tr("Open ") + branding.title, this, [window] {
        window->show();
        window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        window->raise();
        window->activateWindow();
    });
    run_ = menu_->addAction(branding.runLabel, &model_, &StandaloneViewModelBase::start);
    menu_->addAction(tr("Show Output Folder"), &model_, &StandaloneViewModelBase::revealOutput);
    menu_->addSeparator();
    menu_->addAction(tr("Quit"), qApp, &QApplication::quit);
    connect(this, &QObject::destroyed, menu_, &QObject::deleteLater);

    connect(&model_, &StandaloneViewModelBase::isProcessingChanged, this, &MenuBarExtra::refresh);
    connect(&model_, &StandaloneViewModelBase::queueItemsChanged, this, &MenuBarExtra::refresh);
    connect(&model_, &StandaloneViewModelBase::overallProgressChanged, this, &MenuBarExtra::refresh);
    refresh();

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        icon_ = new QSystemTrayIcon(symbolIcon(branding.icon), this);
        icon_->setToolTip(branding.title);
        icon_->setContextMenu(menu_);
        icon_->show();
    }
}

std::unique_ptr<MenuBarExtra> MenuBarExtra::createIfAvailable(StandaloneViewModelBase& model,
                                                              const StandaloneBranding& branding, QWidget* window) {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return nullptr;
    return std::make_unique<MenuBarExtra>(model, branding, window);
}

void MenuBarExtra::refresh() {
    status_->setText(trayStatusText(title_, model_.isProcessing(), model_.overallProgress(), model_.runnableCount()));
    run_->setEnabled(!model_.isProcessing() && model_.runnableCount() > 0);
}

}  // namespace lw::ui
