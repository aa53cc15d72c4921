// The snapshot mode: its arguments, the second picture's name, the picked scroll content, the
// sizes it can draw, and the real application writing both pictures at the requested size and
// quitting, or failing with a message when it cannot.
#include "ShellTestSupport.h"

#include <QImage>
#include <QLabel>
#include <QProcess>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QtTest>

#include <cmath>
#include <limits>

#include "ui/WindowSnapshot.h"

using namespace lw::ui;
using namespace lw::ui::test;

namespace {

struct Run {
    int code = -1;   // the exit code, or -1 when it did not end normally
    QString errors;  // what it wrote to standard error
};

// Runs the application with these arguments.
Run runApp(const QStringList& arguments, const fs::path& configHome) {
    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(configHome.string()));
    app.setProcessEnvironment(env);
    app.start(LW_EAVESMARK, arguments);
    Run run;
    if (!app.waitForFinished(30000)) {
        app.kill();
        app.waitForFinished();
    } else if (app.exitStatus() == QProcess::NormalExit) {
        run.code = app.exitCode();
    }
    run.errors = QString::fromLocal8Bit(app.readAllStandardError());
    return run;
}

int regularFiles(const fs::path& folder) {
    int files = 0;
    for (const auto& entry : fs::directory_iterator(folder)) files += entry.is_regular_file();
    return files;
}

}  // namespace

class SnapshotTest : public QObject {
    Q_OBJECT

private slots:
    void parse_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("path");  // empty: no request
        QTest::addColumn<QSizeF>("size");   // empty: no resize
        QTest::addColumn<bool>("refused");  // a size was asked for and cannot be read
        const QString app = "/usr/bin/eavesmark";
        QTest::newRow("no options") << QStringList{app} << "" << QSizeF() << false;
        QTest::newRow("snapshot last") << QStringList{app, "--snapshot"} << "" << QSizeF() << false;
        QTest::newRow("path only") << QStringList{app, "--snapshot", "out.png"} << "out.png" << QSizeF() << false;
        QTest::newRow("size") << QStringList{app, "--snapshot", "o.png", "--snapshot-size", "1280x800"} << "o.png"
                              << QSizeF(1280, 800) << false;
        QTest::newRow("capital X") << QStringList{app, "--snapshot", "o.png", "--snapshot-size", "1280X800"} << "o.png"
                                   << QSizeF(1280, 800) << false;
        QTest::newRow("size first") << QStringList{app, "--snapshot-size", "1280x800", "--snapshot", "o.png"}
                                    << "o.png" << QSizeF(1280, 800) << false;
        QTest::newRow("one number") << QStringList{app, "--snapshot", "o.png", "--snapshot-size", "1280x"} << "o.png"
                                    << QSizeF() << true;
        QTest::newRow("bare number") << QStringList{app, "--snapshot", "o.png", "--snapshot-size", "1280"} << "o.png"
                                     << QSizeF() << true;
        QTest::newRow("three numbers") << QStringList{app, "--snapshot", "o.png", "--snapshot-size", "1280x800x600"}
                                       << "o.png" << QSizeF() << true;
        QTest::newRow("piece not a number") << QStringList{app, "--snapshot", "o.png", "--snapshot-size", "1280xabcx800"}
                                            << "o.png" << QSizeF() << true;
        QTest::newRow("not a size") << QStringList{app, "--snapshot", "o.png", "--snapshot-size", "abc"} << "o.png"
                                    << QSizeF() << true;
        QTest::newRow("zero") << QStringList{app, "--snapshot", "o.png", "--snapshot-size", "0x0"} << "o.png"
                              << QSizeF() << true;
        QTest::newRow("negative") << QStringList{app, "--snapshot", "o.png", "--snapshot-size", "-5x100"} << "o.png"
                                  << QSizeF() << true;
        QTest::newRow("blank") << QStringList{app, "--snapshot", "o.png", "--snapshot-size", " 1280x800"} << "o.png"
                               << QSizeF() << true;
        QTest::newRow("size option last") << QStringList{app, "--snapshot", "o.png", "--snapshot-size"} << "o.png"
                                          << QSizeF() << true;
        QTest::newRow("joined with =") << QStringList{app, "--snapshot=o.png"} << "" << QSizeF() << false;
        QTest::newRow("next argument whatever it is") << QStringList{app, "--snapshot", "--snapshot-size", "10x10"}
                                                      << "--snapshot-size" << QSizeF(10, 10) << false;
    }
    void parse() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, path);
        QFETCH(QSizeF, size);
        QFETCH(bool, refused);
        const auto request = WindowSnapshot::parse(arguments);
        QCOMPARE(request.has_value(), !path.isEmpty());
        if (!request) return;
        QCOMPARE(request->path, path);
        QCOMPARE(request->size.has_value(), !size.isEmpty());
        if (request->size) QCOMPARE(*request->size, size);
        const QString problem = WindowSnapshot::requestProblem(*request, 1.0);
        QCOMPARE(!problem.isEmpty(), refused);
        if (refused && request->sizeText && !request->sizeText->isEmpty())
            QVERIFY2(problem.contains(*request->sizeText), qPrintable(problem));
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

    void drawableSizes_data() {
        QTest::addColumn<QSizeF>("size");
        QTest::addColumn<double>("ratio");
        QTest::addColumn<bool>("drawable");
        const double inf = std::numeric_limits<double>::infinity();
        QTest::newRow("usual") << QSizeF(1280, 800) << 1.0 << true;
        QTest::newRow("largest") << QSizeF(8192, 8192) << 1.0 << true;
        QTest::newRow("too wide") << QSizeF(8193, 800) << 1.0 << false;
        QTest::newRow("too tall") << QSizeF(800, 8193) << 1.0 << false;
        QTest::newRow("huge") << QSizeF(100000, 100000) << 1.0 << false;
        QTest::newRow("largest at ratio 2") << QSizeF(4096, 4096) << 2.0 << true;
        QTest::newRow("too large at ratio 2") << QSizeF(4097, 800) << 2.0 << false;
        QTest::newRow("infinite") << QSizeF(inf, 800) << 1.0 << false;
        QTest::newRow("not a number") << QSizeF(std::nan(""), 800) << 1.0 << false;
        QTest::newRow("beyond a whole number") << QSizeF(800, -1e300) << 1.0 << false;
        QTest::newRow("small, left to the window") << QSizeF(10, 0) << 1.0 << true;
    }
    void drawableSizes() {
        QFETCH(QSizeF, size);
        QFETCH(double, ratio);
        QFETCH(bool, drawable);
        const QString problem = WindowSnapshot::sizeProblem(size, ratio);
        QCOMPARE(problem.isEmpty(), drawable);
        if (!drawable)
            QVERIFY2(problem.contains(QString("at most %1 pixels").arg(int(WindowSnapshot::kMaxSide / ratio))),
                     qPrintable(problem));
    }

    void applicationWritesBothPictures() {
        TempDir dir("snapshot");
        const fs::path shot = dir.path / "shot.png";
        QCOMPARE(runApp({"--snapshot-size", "1280X800", "--snapshot", QString::fromStdString(shot.string())},
                        dir.path / "config")
                     .code,
                 0);
        const QImage window(QString::fromStdString(shot.string()));
        QCOMPARE(window.size(), QSize(1280, 800));
        const QImage options(QString::fromStdString((dir.path / "shot-options.png").string()));
        QVERIFY(!options.isNull());
        QVERIFY(options.width() <= 340 && options.width() > 300);
        QVERIFY(options.height() > 500);
        // No temporary files are left beside them.
        QCOMPARE(regularFiles(dir.path), 2);
    }

    void applicationRefusesSizesItCannotDraw_data() {
        QTest::addColumn<QString>("size");
        QTest::addColumn<QString>("reason");
        QTest::newRow("100000x100000") << "100000x100000" << "at most 8192 pixels";
        QTest::newRow("20000x20000") << "20000x20000" << "at most 8192 pixels";
        QTest::newRow("99999999999x10") << "99999999999x10" << "at most 8192 pixels";
        QTest::newRow("0x0") << "0x0" << "joined by x";
        QTest::newRow("-5x100") << "-5x100" << "joined by x";
        QTest::newRow("abc") << "abc" << "joined by x";
        QTest::newRow("1280x") << "1280x" << "joined by x";
        QTest::newRow("below the minimum") << "400x300" << "the window is at least";
        QTest::newRow("narrower than the minimum") << "500x800" << "the window is at least";
    }
    void applicationRefusesSizesItCannotDraw() {
        QFETCH(QString, size);
        QFETCH(QString, reason);
        TempDir dir("snapshot_refused");
        const fs::path shot = dir.path / "shot.png";
        const Run run = runApp({"--snapshot", QString::fromStdString(shot.string()), "--snapshot-size", size},
                               dir.path / "config");
        QVERIFY2(run.code == 1, qPrintable(QString("exit %1: %2").arg(run.code).arg(run.errors)));
        QVERIFY2(run.errors.contains("cannot draw a snapshot of " + size + ":") && run.errors.contains(reason),
                 qPrintable(run.errors));
        QCOMPARE(regularFiles(dir.path), 0);
    }

    void missingFolderWritesNothingAndFails() {
        TempDir dir("snapshot_missing");
        const QString shot = QString::fromStdString((dir.path / "no" / "shot.png").string());
        const Run run = runApp({"--snapshot", shot}, dir.path / "config");
        QVERIFY2(run.code > 0, qPrintable(run.errors));
        QVERIFY2(run.errors.contains(shot), qPrintable(run.errors));
        QVERIFY(!fs::exists(dir.path / "no"));
    }
};

QTEST_MAIN(SnapshotTest)
#include "snapshot_test.moc"
