#pragma once
// The snapshot mode: `--snapshot PATH [--snapshot-size WxH]` draws the main window (resized to
// W x H first when given), writes a PNG of the window to PATH and one of the option column's
// whole content (scrolled-out parts included) to PATH without its extension + "-options.png",
// then quits. The window's size and picture are those of its client area: on Linux the title
// bar belongs to the window manager, outside the application.
#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>

class QWidget;

namespace lw::ui::WindowSnapshot {

struct Request {
    QString path;
    std::optional<QSizeF> size;
};

// The request in these arguments: the first "--snapshot" followed by a path, and the first
// "--snapshot-size" followed by exactly two numbers split at "x" or "X" (empty and
// non-numeric pieces dropped). None without a path.
std::optional<Request> parse(const QStringList& arguments);

// "shot.png" -> "shot-options.png"; "shots/main" -> "shots/main-options.png".
QString optionsPath(const QString& path);

// The tallest content among the scroll areas under `root` (depth first; a scroll area's own
// children are not searched), or none.
QWidget* tallestScrollContent(QWidget* root);

// Reads the process arguments; when the mode is requested, waits 1 s, takes the first visible
// top-level window, resizes it, waits 1.5 s, writes both pictures (failures skip a picture
// silently) and quits the application. Otherwise does nothing.
void captureIfRequested();

}  // namespace lw::ui::WindowSnapshot
