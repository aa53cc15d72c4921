#pragma once
// The snapshot mode: `--snapshot PATH [--snapshot-size WxH]` draws the main window (resized to
// W x H first when given), writes a PNG of the window to PATH and one of the option column's
// whole content (scrolled-out parts included) to PATH without its extension + "-options.png",
// then quits with status 0. The window's size and picture are those of its client area: on
// Linux the title bar belongs to the window manager, outside the application. A size it cannot
// draw, no window, or a picture not written is reported on standard error and ends the
// application with status 1.
#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>

class QWidget;

namespace lw::ui::WindowSnapshot {

struct Request {
    QString path;
    std::optional<QString> sizeText;  // the value after "--snapshot-size" as given; empty when it was last
    std::optional<QSizeF> size;       // read from sizeText; none when not given or malformed
};

// "WxH" (or "WXH"): two positive finite numbers joined by one "x"; none for anything else
// ("1280x", "0x0", "-5x100", "abc", "1280x800x600").
std::optional<QSizeF> parseSize(const QString& text);

// The request in these arguments: the first "--snapshot" followed by a path, and the first
// "--snapshot-size" with the argument after it. None without a path.
std::optional<Request> parse(const QStringList& arguments);

// Why the request's size cannot be drawn before there is a window: the option without a value,
// a malformed value or a side over the limit, each repeating the value as given. Empty when
// there is no size or it may be drawn.
QString requestProblem(const Request& request, double devicePixelRatio);

// The longest window side drawn, in device pixels. A picture holds 4 bytes a pixel and is made
// several times over (the backing store, the grab, the PNG encoder's rows): at this side that is
// a quarter gigabyte each; far beyond it the pictures no longer fit in memory.
constexpr int kMaxSide = 8192;

// Why a window of `size` (in pixels of `devicePixelRatio` device pixels) cannot be drawn,
// naming the limit; empty when it can. Not finite or over kMaxSide device pixels on a side (in
// either direction) cannot; small sides are left to the window's minimum size.
QString sizeProblem(const QSizeF& size, double devicePixelRatio);

// "shot.png" -> "shot-options.png"; "shots/main" -> "shots/main-options.png".
QString optionsPath(const QString& path);

// The tallest content among the scroll areas under `root` (depth first; a scroll area's own
// children are not searched), or none.
QWidget* tallestScrollContent(QWidget* root);

// Reads the process arguments; when the mode is requested, refuses a size it cannot draw (the
// application ends at once with status 1), else waits 1 s, takes the first visible top-level
// window, resizes it (a size below the window's minimum is refused then, with status 1 and
// nothing written), waits 1.5 s, writes both pictures and ends the application: status 0 when
// both were written, else 1 after saying which one failed. Otherwise does nothing.
void captureIfRequested();

}  // namespace lw::ui::WindowSnapshot
