#include "ui/Style.h"

#include <QApplication>
#include <QFontDatabase>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QWidget>

#include <cmath>

namespace lw::ui {

namespace {

// Pixel size of the design's 13-point body text in this application.
double bodyPixels() {
    const QFont base = QApplication::font();
    if (base.pixelSize() > 0) return base.pixelSize();
    // Points to pixels at the logical 96 dpi the toolkit lays out with.
    const double px = base.pointSizeF() * 96.0 / 72.0;
    return px > 0 ? px : 13.0;
}

}  // namespace

QFont font(double points, Weight weight, bool monospaced) {
    QFont f = monospaced ? QFontDatabase::systemFont(QFontDatabase::FixedFont) : QApplication::font();
    f.setPixelSize(std::max(8, static_cast<int>(std::lround(points * bodyPixels() / 13.0))));
    switch (weight) {
        case Weight::regular: f.setWeight(QFont::Normal); break;
        case Weight::semibold: f.setWeight(QFont::DemiBold); break;
        case Weight::bold: f.setWeight(QFont::Bold); break;
    }
    return f;
}

void setFont(QWidget* widget, double points, Weight weight, bool monospaced) {
    widget->setFont(font(points, weight, monospaced));
}

QColor secondaryColor(const QWidget* widget) {
    const QPalette palette = widget ? widget->palette() : QApplication::palette();
    QColor c = palette.color(QPalette::WindowText);
    c.setAlphaF(0.55);
    return c;
}

QColor accentColor(const QWidget* widget) {
    const QPalette palette = widget ? widget->palette() : QApplication::palette();
    return palette.color(QPalette::Highlight);
}

QColor failureColor() { return QColor(0xD7, 0x26, 0x2B); }
QColor successColor() { return QColor(0x2A, 0x9D, 0x45); }

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    palette.setColor(QPalette::ButtonText, color);
    widget->setPalette(palette);
}

namespace {

// Draws one symbol into a square in the text colour of the palette in use.
class SymbolEngine : public QIconEngine {
public:
    SymbolEngine(QString name, QColor tint) : name_(std::move(name)), tint_(tint) {}

    void paint(QPainter* p, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        QColor ink = tint_.isValid() ? tint_ : QApplication::palette().color(QPalette::WindowText);
        if (mode == QIcon::Disabled) ink.setAlphaF(0.35);
        const double s = std::min(rect.width(), rect.height());
        p->save();
        p->setRenderHint(QPainter::Antialiasing);
        p->translate(rect.x() + (rect.width() - s) / 2.0, rect.y() + (rect.height() - s) / 2.0);
        p->scale(s / 24.0, s / 24.0);
        QPen pen(ink, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        p->setPen(pen);
        p->setBrush(Qt::NoBrush);
        if (name_ == "building.2.crop.circle") {
            p->drawEllipse(QRectF(1.5, 1.5, 21, 21));
            p->drawRect(QRectF(6.5, 8, 5.5, 10));
            p->drawRect(QRectF(12, 11.5, 5.5, 6.5));
            p->setPen(QPen(ink, 1.2));
            for (double y : {10.5, 13.0, 15.5}) p->drawPoint(QPointF(9.25, y));
            for (double y : {14.0, 16.0}) p->drawPoint(QPointF(14.75, y));
        } else if (name_ == "terminal") {
            p->drawRoundedRect(QRectF(2.5, 4, 19, 16), 2.5, 2.5);
            p->drawPolyline(QPolygonF({QPointF(6.5, 9), QPointF(9.5, 12), QPointF(6.5, 15)}));
            p->drawLine(QPointF(11.5, 15.5), QPointF(16.5, 15.5));
        } else if (name_ == "folder") {
            QPainterPath path;
            path.moveTo(2.5, 6.5);
            path.lineTo(9, 6.5);
            path.lineTo(11, 8.5);
            path.lineTo(21.5, 8.5);
            path.lineTo(21.5, 19);
            path.lineTo(2.5, 19);
            path.closeSubpath();
            p->drawPath(path);
        } else if (name_ == "xmark.circle.fill") {
            p->setPen(Qt::NoPen);
            QColor fill = ink;
            fill.setAlphaF(fill.alphaF() * 0.5);
            p->setBrush(fill);
            p->drawEllipse(QRectF(2, 2, 20, 20));
            p->setPen(QPen(QApplication::palette().color(QPalette::Base), 2.0, Qt::SolidLine, Qt::RoundCap));
            p->drawLine(QPointF(8.5, 8.5), QPointF(15.5, 15.5));
            p->drawLine(QPointF(15.5, 8.5), QPointF(8.5, 15.5));
        } else if (name_ == "cube.transparent") {
            p->drawPolygon(QPolygonF({QPointF(12, 2.5), QPointF(20.5, 7), QPointF(20.5, 17), QPointF(12, 21.5),
                                      QPointF(3.5, 17), QPointF(3.5, 7)}));
            p->drawPolyline(QPolygonF({QPointF(3.5, 7), QPointF(12, 11.5), QPointF(20.5, 7)}));
            p->drawLine(QPointF(12, 11.5), QPointF(12, 21.5));
        } else if (name_ == "waveform.badge.mic") {
            const double heights[] = {4, 9, 14, 8, 12, 5};
            for (int i = 0; i < 6; ++i) {
                const double x = 3.5 + i * 3.4;
                p->drawLine(QPointF(x, 12 - heights[i] / 2), QPointF(x, 12 + heights[i] / 2));
            }
        } else {
            p->drawEllipse(QRectF(3, 3, 18, 18));
        }
        p->restore();
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QPixmap pm(size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        paint(&p, QRect(QPoint(0, 0), size), mode, state);
        return pm;
    }

    QIconEngine* clone() const override { return new SymbolEngine(name_, tint_); }

private:
    QString name_;
    QColor tint_;
};

QString themeName(const QString& symbol) {
    if (symbol == "building.2.crop.circle") return "go-home";
    if (symbol == "terminal") return "utilities-terminal";
    if (symbol == "folder") return "folder";
    if (symbol == "xmark.circle.fill") return "edit-clear";
    if (symbol == "cube.transparent") return "applications-graphics";
    if (symbol == "waveform.badge.mic") return "audio-input-microphone";
    return {};
}

}  // namespace

QIcon symbolIcon(const QString& symbolName, const QColor& tint) {
    const QString theme = themeName(symbolName);
    if (!theme.isEmpty() && QIcon::hasThemeIcon(theme)) return QIcon::fromTheme(theme);
    return QIcon(new SymbolEngine(symbolName, tint));
}

}  // namespace lw::ui
