// The snapshot mode: its arguments, the second picture's name, the picked scroll content, and
// the real application writing both pictures at the requested size and quitting.
#include "ShellTestSupport.h"

#include <QImage>
#include <QLabel>
#include <QProcess>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QtTest>

#include "ui/WindowSnapshot.h"

using namespace lw::ui;
using namespace lw::ui::test;

namespace {

// Runs the application with these arguments; its exit code, or -1 when it did not end.
int runApp(const QStringList& arguments, const fs::path& configHome) {
    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(configHome.string()));
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    app.start(LW_EAVESMARK, arguments);
    if (!app.waitForFinished(30000)) {
        app.kill();
        app.waitForFinished();
        return -1;
    }
    return app.exitStatus() == QProcess::NormalExit ? app.exitCode() : -1;
}

}  // namespace

class SnapshotTest : public QObject {
    Q_OBJECT

private slots:
    void parse_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("path");  // empty: no request
        QTest::addColumn<QSizeF>("size");   // empty: no resize
        const QString app = "/usr/bin/eavesmark";
        QTest::newRow("no options") << QStringList{app} << "" << QSizeF();
        QTest::newRow("snapshot last") << QStringList{app, "--snapshot"} << "" << QSizeF();
        QTest::newRow("path only") << QStringList{app, "--snapshot", "out.png"} << "out.png" << QSizeF();
        QTest::newRow("size") << QStringList{app, "--snapshot", "o.png", "--snapshot-size", "1280x800"} << "o.png"
                              << QSizeF(1280, 800);
        QTest::newRow("capital X") << QStringList{app, "--snapshot", "o.png", "--snapshot-size", "1280X800"} << "o.png"
                                   << QSizeF(1280, 800);
        QTest::newRow("size first") << QStringList{app, "--snapshot-size", "1280x800", "--snapshot", "o.png"}
                                    << "o.png" << QSizeF(1280, 800);
        QTest::newRow("one number") << QStringList{app, "--snapshot", "o.png", "--snapshot-size", "1280x"} << "o.png"
                                    << QSizeF();
        QTest::newRow("bare number") << QStringList{app, "--snapshot", "o.png", "--snapshot-size", "1280"} << "o.png"
                                     << QSizeF();
        QTest::newRow("three numbers") << QStringList{app, "--snapshot", "o.png", "--snapshot-size", "1280x800x600"}
                                       << "o.png" << QSizeF();
        QTest::newRow("piece not a number dropped")
            << QStringList{app, "--snapshot", "o.png", "--snapshot-size", "1280xabcx800"} << "o.png" << QSizeF(1280, 800);
        QTest::newRow("size option last") << QStringList{app, "--snapshot", "o.png", "--snapshot-size"} << "o.png"
                                          << QSizeF();
        QTest::newRow("joined with =") << QStringList{app, "--snapshot=o.png"} << "" << QSizeF();
        QTest::newRow("next argument whatever it is") << QStringList{app, "--snapshot", "--snapshot-size", "10x10"}
                                                      << "--snapshot-size" << QSizeF(10, 10);
    }
    void parse() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, path);
        QFETCH(QSizeF, size);
        const auto request = WindowSnapshot::parse(arguments);
        QCOMPARE(request.has_value(), !path.isEmpty());
        if (!request) return;
        QCOMPARE(request->path, path);
        QCOMPARE(request->size.has_value(), !size.isEmpty());
        if (request->size) QCOMPARE(*request->size, size);
    }

    void optionsPicturePath() {
        QCOMPARE(WindowSnapshot::optionsPath("shot.png"), QString("shot-options.png"));
        QCOMPARE(WindowSnapshot::optionsPath("/tmp/a.b/shot.jpeg"), QString("/tmp/a.b/shot-options.png"));
        QCOMPARE(WindowSnapshot::optionsPath("shots/main"), QString("shots/main-options.png"));
        QCOMPARE(WindowSnapshot::optionsPath("a.b/main"), QString("a.b/main-options.png"));
    }

    void tallestScrollContentWins() {
        QWidget root;
        auto* layout = new QVBoxLayout(&root);
        auto* shortArea = new QScrollArea;
        auto* shortContent = new QLabel("short");
        shortContent->setFixedHeight(100);
        shortArea->setWidget(shortContent);
        auto* tallArea = new QScrollArea;
        auto* tallContent = new QLabel("tall");
        tallContent->setFixedHeight(900);
        tallArea->setWidget(tallContent);
        auto* empty = new QScrollArea;
        layout->addWidget(empty);
        layout->addWidget(shortArea);
        layout->addWidget(tallArea);
        QCOMPARE(WindowSnapshot::tallestScrollContent(&root), static_cast<QWidget*>(tallContent));
        QCOMPARE(WindowSnapshot::tallestScrollContent(nullptr), static_cast<QWidget*>(nullptr));
    }

    void applicationWritesBothPictures() {
        TempDir dir("snapshot");
        const fs::path shot = dir.path / "shot.png";
        QCOMPARE(runApp({"--snapshot-size", "1280X800", "--snapshot", QString::fromStdString(shot.string())},
                        dir.path / "config"),
                 0);
        const QImage window(QString::fromStdString(shot.string()));
        QCOMPARE(window.size(), QSize(1280, 800));
        const QImage options(QString::fromStdString((dir.path / "shot-options.png").string()));
        QVERIFY(!options.isNull());
        QVERIFY(options.width() <= 340 && options.width() > 300);
        QVERIFY(options.height() > 500);
        // No temporary files are left beside them.
        int files = 0;
        for (const auto& entry : fs::directory_iterator(dir.path)) files += entry.is_regular_file();
        QCOMPARE(files, 2);
    }

    void missingFolderWritesNothingAndStillQuits() {
        TempDir dir("snapshot_missing");
        QCOMPARE(runApp({"--snapshot", QString::fromStdString((dir.path / "no" / "shot.png").string())},
                        dir.path / "config"),
                 0);
        QVERIFY(!fs::exists(dir.path / "no"));
    }
};

QTEST_MAIN(SnapshotTest)
#include "snapshot_test.moc"
