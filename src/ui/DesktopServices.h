#pragma once
// What the shell asks of the desktop: open panels, alerts, the file manager and the browser.
// Views and models take a DesktopServices& so tests can answer panels and alerts themselves.
#include <QString>
#include <QStringList>

#include <filesystem>
#include <optional>
#include <vector>

class QWidget;

namespace lw::ui {

// One content type an open panel accepts: a name and its extensions (lower case, no dot).
struct FileType {
    QString name;
    QStringList extensions;

    static FileType png() { return {"PNG image", {"png"}}; }
    static FileType jpeg() { return {"JPEG image", {"jpg", "jpeg"}}; }
    // "PNG image (*.png *.PNG)"
    QString nameFilter() const;
};

// A modal alert: the message, the informative text, and the buttons in order (the first is the
// default). No buttons means the single "OK". Both texts are shown as plain text.
struct Alert {
    QString message;
    QString informativeText;
    QStringList buttons;
};

class DesktopServices {
public:
    virtual ~DesktopServices() = default;

    // Files and folders, several at once, no type filter. Empty when cancelled.
    virtual std::vector<std::filesystem::path> chooseFilesAndFolders(QWidget* parent);
    // One folder (new folders can be made), opened at `start`; none when cancelled.
    virtual std::optional<std::filesystem::path> chooseFolder(QWidget* parent, const std::filesystem::path& start,
                                                              const QString& prompt);
    // One file of the given types. nullopt when cancelled; an inner none when confirmed without
    // a file.
    virtual std::optional<std::optional<std::filesystem::path>> chooseFile(QWidget* parent,
                                                                           const std::vector<FileType>& types);
    // Shows the files selected in the file manager (org.freedesktop.FileManager1.ShowItems),
    // or opens the first one's folder (the folder itself for a folder) when that service is absent.
    virtual void reveal(const std::vector<std::filesystem::path>& files);
    // Runs the alert modally; returns the index of the button that ended it.
    virtual int runAlert(const Alert& alert);
    // Opens a web address in the user's browser.
    virtual void openUrl(const QString& url);

    // The desktop's own panels and services.
    static DesktopServices& shared();
};

}  // namespace lw::ui
