// Eavesmark driven as a user would, on a real X server: two photos dropped on the window, the
// run button pressed, the web and print images written and "Completed" in every queue row.
#include "ShellTestSupport.h"

#include <QImage>
#include <QLabel>
#include <QListView>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include "EavesmarkApp.h"
#include "ui/OptionWidgets.h"

using namespace lw;
using namespace lw::ui;
using namespace lw::ui::test;

namespace {

std::vector<fs::path> jpegsIn(const fs::path& folder) {
    std::vector<fs::path> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        if (entry.path().extension() == ".jpg") found.push_back(entry.path());
    return found;
}

// Drags the files onto the window's drop zone and drops them there, as a file manager does.
void dropOn(StandaloneView& view, const std::vector<fs::path>& files) {
    QMimeData mime;
    QList<QUrl> urls;
    for (const auto& file : files) urls << QUrl::fromLocalFile(QString::fromStdString(file.string()));
    mime.setUrls(urls);
    QWidget* zone = view.dropZone();
    const QPoint at = zone->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(zone, &enter);
    QVERIFY(enter.isAccepted());
    QDragMoveEvent move(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(zone, &move);
    QDropEvent drop(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(zone, &drop);
    QVERIFY(drop.isAccepted());
}

}  // namespace

class DropTest : public QObject {
    Q_OBJECT
    std::unique_ptr<TempDir> config_;

private slots:
    void initTestCase() {
        config_ = std::make_unique<TempDir>("drop_config");
        // The application's settings go to a throwaway config folder.
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config_->path.string()));
    }

    void dropTwoPhotosAndProcess() {
        TempDir shoot("drop_in");
        TempDir out("drop_out");
        const fs::path a = writePhoto(shoot.path / "IMG_0001.jpg", 400, 300);
        const fs::path b = writePhoto(shoot.path / "IMG_0002.jpg", 300, 400);

        app::EavesmarkApp app;
        app.model().setOutputDirectory(out.path);
        app.window().show();
        QVERIFY(QTest::qWaitForWindowExposed(&app.window()));
        StandaloneView& view = *app.window().view();

        dropOn(view, {a, b});
        if (QTest::currentTestFailed()) return;
        QVERIFY(waitUntil([&] { return app.model().queueItems().size() == 2; }, 5000));
        QCOMPARE(view.countLabel()->text(), QString("2 photos"));

        QSignalSpy finished(&app.model(), &StandaloneViewModelBase::jobFinished);
        QTest::mouseClick(view.runButton(), Qt::LeftButton);
        QVERIFY(finished.wait(120000));

        const auto print = jpegsIn(out.path / "Print_Package");
        const auto web = jpegsIn(out.path / folderName(GablewisePreset::Portal::mls));
        QCOMPARE(print.size(), std::size_t(2));
        QCOMPARE(web.size(), std::size_t(2));
        for (const auto& file : web) {
            const QImage image(QString::fromStdString(file.string()));
            QVERIFY(!image.isNull());
            QVERIFY(std::max(image.width(), image.height()) <= 2048);
        }
        for (int row = 0; row < 2; ++row) {
            const QString text = view.queueModel()->index(row).data(Qt::AccessibleTextRole).toString();
            QVERIFY2(text.endsWith("Completed"), qPrintable(text));
        }
        QVERIFY(view.clearFinishedButton()->isEnabled());
        QVERIFY(!view.runButton()->isEnabled());
    }

    // Two photos processed, one more dropped and "Process All" pressed again: the new photo is
    // number 03 and every row ends Completed.
    void dropMoreAndProcessAgain() {
        TempDir shoot("more_in");
        TempDir out("more_out");
        const std::vector<QSize> sizes{{400, 300}, {300, 400}, {500, 250}};
        std::vector<fs::path> photos;
        for (std::size_t i = 0; i < sizes.size(); ++i)
            photos.push_back(writePhoto(shoot.path / ("IMG_000" + std::to_string(i + 1) + ".jpg"), sizes[i].width(),
                                        sizes[i].height()));

        app::EavesmarkApp app;
        app.model().setOutputDirectory(out.path);
        app.window().show();
        QVERIFY(QTest::qWaitForWindowExposed(&app.window()));
        StandaloneView& view = *app.window().view();
        QSignalSpy finished(&app.model(), &StandaloneViewModelBase::jobFinished);
        for (std::size_t count : {2u, 3u}) {
            dropOn(view, count == 2 ? std::vector<fs::path>{photos[0], photos[1]} : std::vector<fs::path>{photos[2]});
            if (QTest::currentTestFailed()) return;
            QVERIFY(waitUntil([&] { return app.model().queueItems().size() == count; }, 5000));
            finished.clear();
            QTest::mouseClick(view.runButton(), Qt::LeftButton);
            QVERIFY(finished.wait(120000));
            for (int row = 0; row < static_cast<int>(count); ++row) {
                const QString text = view.queueModel()->index(row).data(Qt::AccessibleTextRole).toString();
                QVERIFY2(text.endsWith("Completed"), qPrintable(text));
            }
        }
        // Each print image is its photo at full size, under the photo's own number.
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            const fs::path print =
                out.path / "Print_Package" / ("1042_Maple_Lane_0" + std::to_string(i + 1) + "_Print.jpg");
            QCOMPARE(QImage(QString::fromStdString(print.string())).size(), sizes[i]);
        }
        QCOMPARE(jpegsIn(out.path / "Print_Package").size(), sizes.size());
    }

    void snapshotOnTheXServer() {
        TempDir dir("xsnapshot");
        const fs::path shot = dir.path / "shot.png";
        QProcess app;
        app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        app.start(LW_EAVESMARK, {"--snapshot", QString::fromStdString(shot.string()), "--snapshot-size", "1280x800"});
        QVERIFY(app.waitForFinished(30000));
        QCOMPARE(app.exitCode(), 0);
        QCOMPARE(QImage(QString::fromStdString(shot.string())).size(), QSize(1280, 800));
        QVERIFY(!QImage(QString::fromStdString((dir.path / "shot-options.png").string())).isNull());
    }

    // Typed into the naming field and Ctrl+Q at once, well within the save delay: the next
    // start shows the edit.
    void editJustBeforeQuitIsKept() {
        QString typed;
        {
            app::EavesmarkApp app;
            typed = app.model().namingPattern() + "_late";
            bool quitSent = false;
            QTimer::singleShot(0, &app.window(), [&] {
                app.window().activateWindow();
                if (!QTest::qWaitForWindowActive(&app.window())) return QCoreApplication::exit(2);
                QLineEdit* field = app.window().view()->namingSection()->field();
                field->setFocus();
                field->end(false);
                QTest::keyClicks(field, "_late");
                QTest::keyClick(app.window().windowHandle(), Qt::Key_Q, Qt::ControlModifier);
                quitSent = true;
            });
            QCOMPARE(app.run(), 0);
            QVERIFY(quitSent);
        }
        app::EavesmarkApp again;
        QCOMPARE(again.model().namingPattern(), typed);
    }
};

QTEST_MAIN(DropTest)
#include "drop_xvfb_test.moc"
