#include "ui/DesktopServices.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

namespace lw::ui {

namespace fs = std::filesystem;

QString FileType::nameFilter() const {
    QStringList globs;
    for (const auto& e : extensions) globs << "*." + e << "*." + e.toUpper();
    return name + " (" + globs.join(' ') + ")";
}

namespace {

QString qpath(const fs::path& p) { return QString::fromStdString(p.string()); }
fs::path fspath(const QString& s) { return fs::path(s.toStdString()); }

// A file dialog that accepts files and folders together: Open takes the selection as it is
// instead of entering a selected folder.
class FilesAndFoldersDialog : public QFileDialog {
public:
    explicit FilesAndFoldersDialog(QWidget* parent) : QFileDialog(parent) {
        setOption(QFileDialog::DontUseNativeDialog, true);
        setFileMode(QFileDialog::ExistingFiles);
        setWindowTitle(tr("Add Files"));
        for (auto* view : findChildren<QAbstractItemView*>())
            view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    }
    std::vector<fs::path> chosen;

    // Open with nothing selected takes the folder on show (the user went into it to add it).
    void accept() override {
        chosen.clear();
        for (const auto& f : selectedFiles()) chosen.push_back(fspath(f));
        if (chosen.empty()) chosen.push_back(fspath(directory().absolutePath()));
        QDialog::accept();
    }
};

}  // namespace

std::vector<fs::path> DesktopServices::chooseFilesAndFolders(QWidget* parent) {
    FilesAndFoldersDialog dialog(parent);
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.chosen;
}

std::optional<fs::path> DesktopServices::chooseFolder(QWidget* parent, const fs::path& start, const QString& prompt) {
    QFileDialog dialog(parent);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setLabelText(QFileDialog::Accept, prompt);
    std::error_code ec;
    fs::path dir = start;
    while (!dir.empty() && !fs::is_directory(dir, ec) && dir != dir.parent_path()) dir = dir.parent_path();
    if (!dir.empty()) dialog.setDirectory(qpath(dir));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return fspath(dialog.selectedFiles().first());
}

std::optional<std::optional<fs::path>> DesktopServices::chooseFile(QWidget* parent, const std::vector<FileType>& types) {
    QFileDialog dialog(parent);
    dialog.setFileMode(QFileDialog::ExistingFile);
    QStringList filters;
    if (types.size() > 1) {
        FileType all{QFileDialog::tr("Supported files"), {}};
        for (const auto& t : types) all.extensions << t.extensions;
        filters << all.nameFilter();
    }
    for (const auto& t : types) filters << t.nameFilter();
    if (!filters.isEmpty()) dialog.setNameFilters(filters);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    if (dialog.selectedFiles().isEmpty()) return std::optional<fs::path>();
    return std::optional<fs::path>(fspath(dialog.selectedFiles().first()));
}

void DesktopServices::reveal(const std::vector<fs::path>& files) {
    if (files.empty()) return;
    QStringList uris;
    for (const auto& f : files) uris << QUrl::fromLocalFile(qpath(f)).toString();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                                           "org.freedesktop.FileManager1", "ShowItems");
        call << uris << QString();
        const QDBusMessage reply = bus.call(call, QDBus::Block, 3000);
        if (reply.type() == QDBusMessage::ReplyMessage) return;
    }
    std::error_code ec;
    const fs::path& first = files.front();
    const fs::path folder = fs::is_directory(first, ec) ? first : first.parent_path();
    QDesktopServices::openUrl(QUrl::fromLocalFile(qpath(folder)));
}

int DesktopServices::runAlert(const Alert& alert) {
    QMessageBox box(QApplication::activeWindow());
    box.setText(alert.message);
    box.setInformativeText(alert.informativeText);
    // Alert texts may come from outside (an update feed): never markup, never a live link.
    box.setTextFormat(Qt::PlainText);
    for (auto* label : box.findChildren<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
        label->setOpenExternalLinks(false);
    }
    box.setIcon(QMessageBox::Information);
    std::vector<QAbstractButton*> buttons;
    if (alert.buttons.isEmpty()) {
        buttons.push_back(box.addButton(QMessageBox::Ok));
    } else {
        for (int i = 0; i < alert.buttons.size(); ++i) {
            auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
            buttons.push_back(box.addButton(alert.buttons[i], role));
        }
    }
    box.setDefaultButton(qobject_cast<QPushButton*>(buttons.front()));
    box.exec();
    for (std::size_t i = 0; i < buttons.size(); ++i)
        if (box.clickedButton() == buttons[i]) return static_cast<int>(i);
    return static_cast<int>(buttons.size()) - 1;  // closed another way: the last (cancelling) button
}

void DesktopServices::openUrl(const QString& url) { QDesktopServices::openUrl(QUrl(url)); }

DesktopServices& DesktopServices::shared() {
    static DesktopServices services;
    return services;
}

}  // namespace lw::ui
