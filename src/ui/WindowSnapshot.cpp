#include "ui/WindowSnapshot.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QFileInfo>
#include <QImageReader>
#include <QPixmap>
#include <QPointer>
#include <QSaveFile>
#include <QScrollArea>
#include <QTimer>
#include <QWidget>

#include <cmath>
#include <cstdio>

namespace lw::ui::WindowSnapshot {

std::optional<QSizeF> parseSize(const QString& text) {
    const QStringList pieces = text.toLower().split('x');
    if (pieces.size() != 2) return std::nullopt;
    double sides[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        bool ok = false;
        sides[i] = pieces[i].toDouble(&ok);
        if (!ok || pieces[i] != pieces[i].trimmed() || !std::isfinite(sides[i]) || !(sides[i] > 0)) return std::nullopt;
    }
    return QSizeF(sides[0], sides[1]);
}

namespace {

// The start of every refusal of a size, repeating it as given.
QString refusing(const QString& sizeText) { return "cannot draw a snapshot of " + sizeText + ": "; }

}  // namespace

std::optional<Request> parse(const QStringList& arguments) {
    const int at = arguments.indexOf("--snapshot");
    if (at < 0 || at + 1 >= arguments.size()) return std::nullopt;
    Request request{arguments[at + 1], std::nullopt, std::nullopt};
    const int sizeAt = arguments.indexOf("--snapshot-size");
    if (sizeAt >= 0) {
        request.sizeText = sizeAt + 1 < arguments.size() ? arguments[sizeAt + 1] : QString();
        request.size = parseSize(*request.sizeText);
    }
    return request;
}

QString sizeProblem(const QSizeF& size, double devicePixelRatio) {
    const double ratio = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
    const auto drawable = [ratio](double side) { return std::isfinite(side) && std::abs(side) * ratio <= kMaxSide; };
    if (drawable(size.width()) && drawable(size.height())) return {};
    const int largest = static_cast<int>(std::floor(kMaxSide / ratio));
    return QString("each side can be at most %1 pixels").arg(largest);
}

QString requestProblem(const Request& request, double devicePixelRatio) {
    if (!request.sizeText) return {};
    if (request.sizeText->isEmpty()) return "--snapshot-size needs a width and a height in pixels, such as 1280x800";
    const QString refused = refusing(*request.sizeText);
    if (!request.size) return refused + "the size is a width and a height in pixels joined by x, such as 1280x800";
    const QString problem = sizeProblem(*request.size, devicePixelRatio);
    return problem.isEmpty() ? problem : refused + problem;
}

QString optionsPath(const QString& path) {
    const QFileInfo info(path);
    const QString suffix = info.suffix();
    QString base = path;
    if (!suffix.isEmpty() && !info.completeBaseName().isEmpty() && info.fileName() != "." + suffix)
        base.chop(suffix.size() + 1);
    return base + "-options.png";
}

namespace {

void collect(QWidget* widget, std::vector<QAbstractScrollArea*>& found) {
    for (QObject* child : widget->children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (!w || w->isWindow()) continue;
        if (auto* area = qobject_cast<QAbstractScrollArea*>(w)) {
            found.push_back(area);
            continue;
        }
        collect(w, found);
    }
}

// Writes through a temporary file renamed into place; false on any failure, also when the file
// in place does not read back as a PNG of the picture's size.
bool writePNG(QWidget* widget, const QString& path) {
    const QPixmap picture = widget->grab(QRect(QPoint(0, 0), widget->size()));
    if (picture.isNull()) return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    if (!picture.save(&file, "PNG")) {
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) return false;
    QImageReader written(path, "PNG");
    return written.canRead() && written.size() == picture.size();
}

// Says why the mode failed and ends the application with status 1.
void fail(const QString& problem) {
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), qPrintable(problem));
    QCoreApplication::exit(1);
}

}  // namespace

QWidget* tallestScrollContent(QWidget* root) {
    std::vector<QAbstractScrollArea*> areas;
    if (root) collect(root, areas);
    QWidget* best = nullptr;
    for (auto* area : areas) {
        QWidget* content = nullptr;
        if (auto* scroll = qobject_cast<QScrollArea*>(area)) content = scroll->widget();
        if (!content) continue;
        if (!best || content->height() > best->height()) best = content;
    }
    return best;
}

void captureIfRequested() {
    const auto request = parse(QCoreApplication::arguments());
    if (!request) return;
    const QString problem = requestProblem(*request, qApp->devicePixelRatio());
    if (!problem.isEmpty()) {
        // Once the event loop runs: an exit before it starts would be lost.
        QTimer::singleShot(0, qApp, [problem] { fail(problem); });
        return;
    }
    QTimer::singleShot(1000, qApp, [request = *request] {
        QWidget* window = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->isVisible() && w->windowType() == Qt::Window) {
                window = w;
                break;
            }
        }
        if (!window) return fail("no window to take a snapshot of");
        if (request.size) {
            const QSize wanted(qRound(request.size->width()), qRound(request.size->height()));
            const QSize minimum = window->minimumSize();
            const QString refused = refusing(*request.sizeText);
            if (wanted.width() < minimum.width() || wanted.height() < minimum.height())
                return fail(refused +
                            QString("the window is at least %1x%2 pixels").arg(minimum.width()).arg(minimum.height()));
            window->resize(wanted);
            if (window->size() != wanted)
                return fail(refused + QString("the window took %1x%2 pixels").arg(window->width()).arg(window->height()));
        }
        window->repaint();
        QPointer<QWidget> held(window);
        QTimer::singleShot(1500, qApp, [held, path = request.path] {
            if (!held) return fail("the window closed before its snapshot");
            if (!writePNG(held, path)) return fail("could not write the window snapshot to " + path);
            QWidget* content = tallestScrollContent(held);
            if (!content) return fail("the window has no option column to take a snapshot of");
            const QString options = optionsPath(path);
            if (!writePNG(content, options)) return fail("could not write the option column snapshot to " + options);
            QCoreApplication::exit(0);
        });
    });
}

}  // namespace lw::ui::WindowSnapshot
