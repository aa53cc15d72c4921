#include "ui/ComparisonDiffView.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

#include "ui/Style.h"

namespace lw::ui {

namespace {

constexpr double kLineWidth = 2;
constexpr double kGripDiameter = 28;

// A soft shadow: the shape's outline widened step by step in fading black.
void drawShadow(QPainter& p, const QPainterPath& shape, double opacity, double radius) {
    p.save();
    p.setBrush(Qt::NoBrush);
    for (int i = static_cast<int>(radius); i >= 1; --i) {
        QColor c(0, 0, 0);
        c.setAlphaF(opacity / (radius + 1));
        p.setPen(QPen(c, 2.0 * i, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPath(shape);
    }
    p.restore();
}

}  // namespace

ComparisonDiffView::ComparisonDiffView(QImage originalImage, QImage processedImage, QWidget* parent)
    : QWidget(parent), original_(std::move(originalImage)), processed_(std::move(processedImage)) {
    setMinimumSize(400, 300);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QRectF ComparisonDiffView::fittedRect(const QSize& size) const {
    if (size.isEmpty()) return {};
    const double scale = std::min(width() / double(size.width()), height() / double(size.height()));
    const QSizeF fitted(size.width() * scale, size.height() * scale);
    return {QPointF((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted};
}

bool ComparisonDiffView::isOnHandle(const QPointF& point) const {
    const QPointF centre(splitX(), height() / 2.0);
    const QPointF d = point - centre;
    if (std::hypot(d.x(), d.y()) <= kGripDiameter / 2) return true;
    return std::fabs(point.x() - centre.x()) <= kLineWidth / 2 && point.y() >= 0 && point.y() <= height();
}

void ComparisonDiffView::drawLabel(QPainter& p, const QString& text, const QColor& background, bool leading) {
    const QFont f = ui::font(10, Weight::bold, true);
    const QFontMetricsF metrics(f);
    const QSizeF box(metrics.horizontalAdvance(text) + 16, metrics.height() + 8);
    const double x = leading ? 12 : width() - 12 - box.width();
    const QRectF rect(QPointF(x, 12), box);
    QPainterPath shape;
    shape.addRoundedRect(rect, 4, 4);
    p.fillPath(shape, background);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(rect, Qt::AlignCenter, text);
}

void ComparisonDiffView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    p.fillRect(rect(), Qt::black);

    // The processed picture, then the original up to the split.
    if (!processed_.isNull()) p.drawImage(fittedRect(processed_.size()), processed_);
    const double split = splitX();
    if (!original_.isNull()) {
        p.save();
        p.setClipRect(QRectF(0, 0, std::max(0.0, split), height()));
        p.drawImage(fittedRect(original_.size()), original_);
        p.restore();
    }

    // The handle: a white line the full height, a white grip in its middle with the arrows.
    QPainterPath line;
    line.addRect(QRectF(split - kLineWidth / 2, 0, kLineWidth, height()));
    drawShadow(p, line, 0.6, 3);
    p.fillPath(line, Qt::white);
    const QPointF centre(split, height() / 2.0);
    QPainterPath grip;
    grip.addEllipse(centre, kGripDiameter / 2, kGripDiameter / 2);
    drawShadow(p, grip, 0.4, 3);
    p.fillPath(grip, Qt::white);
    // "arrow.left.and.right": a bold double-headed arrow at the 11-point size.
    const double half = ui::font(11).pixelSize() * 0.45;
    const double head = half * 0.5;
    QPainterPath arrows;
    arrows.moveTo(centre.x() - half, centre.y());
    arrows.lineTo(centre.x() + half, centre.y());
    arrows.moveTo(centre.x() - half + head, centre.y() - head);
    arrows.lineTo(centre.x() - half, centre.y());
    arrows.lineTo(centre.x() - half + head, centre.y() + head);
    arrows.moveTo(centre.x() + half - head, centre.y() - head);
    arrows.lineTo(centre.x() + half, centre.y());
    arrows.lineTo(centre.x() + half - head, centre.y() + head);
    p.setPen(QPen(Qt::black, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(arrows);

    // The labels, over everything.
    QColor before(0, 0, 0);
    before.setAlphaF(0.7);
    QColor after = accentColor(this);
    after.setAlphaF(0.85);
    drawLabel(p, tr("BEFORE (Original)"), before, true);
    drawLabel(p, tr("AFTER (Processed)"), after, false);
}

void ComparisonDiffView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !isOnHandle(event->position())) {
        QWidget::mousePressEvent(event);
        return;
    }
    pressed_ = true;
    dragging_ = false;
    pressAt_ = event->position();
}

void ComparisonDiffView::mouseMoveEvent(QMouseEvent* event) {
    if (!pressed_) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    const QPointF at = event->position();
    if (!dragging_ && std::hypot(at.x() - pressAt_.x(), at.y() - pressAt_.y()) < kDragThreshold) return;
    dragging_ = true;
    if (width() <= 0) return;
    splitFraction_ = std::clamp(at.x() / width(), kMinimumFraction, kMaximumFraction);
    update();
}

void ComparisonDiffView::mouseReleaseEvent(QMouseEvent* event) {
    if (!pressed_) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    pressed_ = false;
    dragging_ = false;
}

}  // namespace lw::ui
