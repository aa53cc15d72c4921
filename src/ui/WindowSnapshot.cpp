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

std::optional<Request> parse(const QStringList& arguments) {
    const int at = arguments.indexOf("--snapshot");
    if (at < 0 || at + 1 >= arguments.size()) return std::nullopt;
    Request request{arguments[at + 1], std::nullopt};
    const int sizeAt = arguments.indexOf("--snapshot-size");
    if (sizeAt >= 0 && sizeAt + 1 < arguments.size()) {
        std::vector<double> numbers;
        for (const QString& piece : arguments[sizeAt + 1].toLower().split('x', Qt::SkipEmptyParts)) {
            bool ok = false;
            const double value = piece.toDouble(&ok);
            if (ok) numbers.push_back(value);
        }
        if (numbers.size() == 2) request.size = QSizeF(numbers[0], numbers[1]);
    }
    return request;
}

QString sizeProblem(const QSizeF& size, double devicePixelRatio) {
    const double ratio = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
    const auto drawable = [ratio](double side) { return std::isfinite(side) && std::abs(side) * ratio <= kMaxSide; };
    if (drawable(size.width()) && drawable(size.height())) return {};
    const int largest = static_cast<int>(std::floor(kMaxSide / ratio));
    return QString("cannot draw a snapshot of %1x%2: each side can be at most %3 pixels")
        .arg(size.width(), 0, 'g', 10)
        .arg(size.height(), 0, 'g', 10)
        .arg(largest);
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
    if (request->size) {
        const QString problem = sizeProblem(*request->size, qApp->devicePixelRatio());
        if (!problem.isEmpty()) {
            // Once the event loop runs: an exit before it starts would be lost.
            QTimer::singleShot(0, qApp, [problem] { fail(problem); });
            return;
        }
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
        if (request.size) window->resize(qRound(request.size->width()), qRound(request.size->height()));
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
