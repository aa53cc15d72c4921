#pragma once
// A before/after view of one image: the processed picture fills the view (fitted, letterboxed on
// black), the original is drawn over it left of a vertical split, and dragging the round handle
// on the split moves it (a drag of at least 10 pixels, held between 2 % and 98 % of the width).
// "BEFORE (Original)" and "AFTER (Processed)" label the two sides at the top.
#include <QImage>
#include <QPoint>
#include <QWidget>

namespace lw::ui {

class ComparisonDiffView : public QWidget {
    Q_OBJECT
public:
    ComparisonDiffView(QImage originalImage, QImage processedImage, QWidget* parent = nullptr);

    // Where the split is, as a fraction of the width; 0.5 when the view is made.
    double splitFraction() const { return splitFraction_; }
    // The split's x position in the view.
    double splitX() const { return width() * splitFraction_; }
    // Whether `point` lies on the handle (the line or its round grip), which is what a drag starts on.
    bool isOnHandle(const QPointF& point) const;
    // The rectangle an image of `size` fills when fitted to the view (aspect ratio kept, centred).
    QRectF fittedRect(const QSize& size) const;

    static constexpr double kMinimumFraction = 0.02;
    static constexpr double kMaximumFraction = 0.98;
    static constexpr double kDragThreshold = 10;

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void drawLabel(QPainter& p, const QString& text, const QColor& background, bool leading);

    QImage original_;
    QImage processed_;
    double splitFraction_ = 0.5;
    bool pressed_ = false;   // a press on the handle is held
    bool dragging_ = false;  // it has moved at least the threshold
    QPointF pressAt_;
};

}  // namespace lw::ui
