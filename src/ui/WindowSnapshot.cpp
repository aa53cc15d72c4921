#include "ui/WindowSnapshot.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QFileInfo>
#include <QPixmap>
#include <QPointer>
#include <QSaveFile>
#include <QScrollArea>
#include <QTimer>
#include <QWidget>

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

// Writes through a temporary file renamed into place; false on any failure.
bool writePNG(QWidget* widget, const QString& path) {
    const QPixmap picture = widget->grab(QRect(QPoint(0, 0), widget->size()));
    if (picture.isNull()) return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    if (!picture.save(&file, "PNG")) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
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
    QTimer::singleShot(1000, qApp, [request = *request] {
        QWidget* window = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->isVisible() && w->windowType() == Qt::Window) {
                window = w;
                break;
            }
        }
        if (!window) {
            QCoreApplication::quit();
            return;
        }
        if (request.size) window->resize(qRound(request.size->width()), qRound(request.size->height()));
        window->repaint();
        QPointer<QWidget> held(window);
        QTimer::singleShot(1500, qApp, [held, path = request.path] {
            if (held) {
                writePNG(held, path);
                if (QWidget* content = tallestScrollContent(held)) writePNG(content, optionsPath(path));
            }
            QCoreApplication::quit();
        });
    });
}

}  // namespace lw::ui::WindowSnapshot
