// The before/after view: the original fills the left half at first, the handle drags the split
// (not before 10 pixels of movement, and only from the handle), the split stays between 2 % and
// 98 %, and both pictures are fitted the same way.
#include "ShellTestSupport.h"

#include <QImage>
#include <QtTest>

#include "ui/ComparisonDiffView.h"

using namespace lw::ui;

namespace {

QImage filled(QSize size, QColor colour) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

// The picture as drawn; compares colours roughly (antialiased edges aside).
QColor pixel(QWidget& view, int x, int y) { return view.grab().toImage().pixelColor(x, y); }

bool near(QColor a, QColor b) {
    return std::abs(a.red() - b.red()) < 40 && std::abs(a.green() - b.green()) < 40 && std::abs(a.blue() - b.blue()) < 40;
}

struct View {
    ComparisonDiffView view;
    explicit View(QSize image = {400, 300})
        : view(filled(image, Qt::red), filled(image, Qt::blue)) {
        view.resize(400, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
    }
    void drag(QPoint from, QPoint to) {
        QTest::mousePress(&view, Qt::LeftButton, {}, from);
        // Moves in small steps, as a hand does.
        const int steps = 8;
        for (int i = 1; i <= steps; ++i) QTest::mouseMove(&view, from + (to - from) * i / steps);
        QTest::mouseRelease(&view, Qt::LeftButton, {}, to);
    }
};

}  // namespace

class ComparisonViewTest : public QObject {
    Q_OBJECT

private slots:
    void startsAtTheMiddle() {
        View v;
        QCOMPARE(v.view.splitFraction(), 0.5);
        QCOMPARE(v.view.minimumSize(), QSize(400, 300));
        QVERIFY(near(pixel(v.view, 100, 250), Qt::red));
        QVERIFY(near(pixel(v.view, 190, 250), Qt::red));
        QVERIFY(near(pixel(v.view, 210, 250), Qt::blue));
        QVERIFY(near(pixel(v.view, 300, 250), Qt::blue));
        QVERIFY(near(pixel(v.view, 200, 250), Qt::white));  // the line
        QVERIFY(near(pixel(v.view, 200, 140), Qt::white));  // the grip, beside its arrows
    }

    void dragsAndClamps_data() {
        QTest::addColumn<int>("toX");
        QTest::addColumn<double>("fraction");
        QTest::newRow("to a quarter") << 100 << 0.25;
        QTest::newRow("to three quarters") << 300 << 0.75;
        QTest::newRow("past the left edge") << -50 << 0.02;
        QTest::newRow("to the left edge") << 0 << 0.02;
        QTest::newRow("past the right edge") << 480 << 0.98;
    }
    void dragsAndClamps() {
        QFETCH(int, toX);
        QFETCH(double, fraction);
        View v;
        v.drag({200, 150}, {toX, 150});
        QCOMPARE(v.view.splitFraction(), fraction);
        // The split stays after the release.
        QTest::mouseMove(&v.view, {250, 150});
        QCOMPARE(v.view.splitFraction(), fraction);
        if (fraction == 0.02) {
            QVERIFY(near(pixel(v.view, 4, 250), Qt::red));  // 2 % of 400 is 8 pixels of original
            QVERIFY(near(pixel(v.view, 14, 250), Qt::blue));
        }
    }

    void shortDragsAndMissesDoNothing() {
        View v;
        v.drag({200, 150}, {209, 150});  // under 10 pixels
        QCOMPARE(v.view.splitFraction(), 0.5);
        v.drag({200, 150}, {206, 157});  // about 9.2 pixels on a slant
        QCOMPARE(v.view.splitFraction(), 0.5);
        v.drag({100, 150}, {50, 150});  // not on the handle
        QCOMPARE(v.view.splitFraction(), 0.5);
        v.drag({200, 20}, {300, 20});  // on the line, far from the grip
        QCOMPARE(v.view.splitFraction(), 0.75);
    }

    void resizingKeepsTheFraction() {
        View v;
        v.drag({200, 150}, {100, 150});
        v.view.resize(800, 300);
        QCOMPARE(v.view.splitFraction(), 0.25);
        QCOMPARE(v.view.splitX(), 200.0);
    }

    void picturesAreFittedAlike() {
        View v(QSize(200, 100));  // wider than the view: letterboxed top and bottom
        QCOMPARE(v.view.fittedRect({200, 100}), QRectF(0, 50, 400, 200));
        QVERIFY(near(pixel(v.view, 100, 45), Qt::black));  // under the labels
        QVERIFY(near(pixel(v.view, 300, 45), Qt::black));
        QVERIFY(near(pixel(v.view, 100, 280), Qt::black));
        QVERIFY(near(pixel(v.view, 100, 200), Qt::red));
        QVERIFY(near(pixel(v.view, 300, 200), Qt::blue));
        if (const QByteArray dir = qgetenv("LW_UI_SHOTS"); !dir.isEmpty()) v.view.grab().save(dir + "/comparison.png");
    }
};

QTEST_MAIN(ComparisonViewTest)
#include "comparison_view_test.moc"
