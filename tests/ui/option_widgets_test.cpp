// The shared option widgets: notes wrap instead of being cut, file rows follow the host's value
// and report choices and removals, the naming section writes every edit.
#include <QApplication>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtTest>

#include <fstream>

#include "FakeDesktop.h"
#include "ui/OptionWidgets.h"
#include "ui/Style.h"

using namespace lw::ui;
using lw::ui::test::FakeDesktop;
namespace fs = std::filesystem;

class OptionWidgetsTest : public QObject {
    Q_OBJECT
private:
    fs::path dir_;

private slots:
    void initTestCase() {
        dir_ = fs::temp_directory_path() / ("lw_widgets_" + std::to_string(QCoreApplication::applicationPid()));
        fs::create_directories(dir_);
    }
    void cleanupTestCase() { fs::remove_all(dir_); }

    void longNoteWrapsInNarrowColumn() {
        QWidget column;
        auto* layout = new QVBoxLayout(&column);
        const QString text = "Shots taken seconds apart at different exposures become one natural-looking photo "
                             "(windows and interiors both visible). Use a tripod or hold steady.";
        auto* note = new OptionNote(text);
        layout->addWidget(note);
        column.setFixedWidth(200);
        column.show();
        QVERIFY(QTest::qWaitForWindowExposed(&column));
        const int oneLine = note->fontMetrics().height();
        QVERIFY(note->height() > 3 * oneLine);
        QVERIFY(note->height() >= note->heightForWidth(note->width()));
        QCOMPARE(note->text(), text);
        QCOMPARE(note->font().pixelSize(), font(10).pixelSize());
    }

    void filePickerRowFollowsHostValue() {
        FakeDesktop desktop;
        std::vector<std::optional<fs::path>> calls;
        FilePickerRow row("Logo", {FileType::png(), FileType::jpeg()}, [&](auto url) { calls.push_back(url); }, desktop);
        row.resize(320, 30);
        row.show();
        QVERIFY(!row.chooseButton()->isHidden());
        QVERIFY(row.fileNameLabel()->isHidden());
        QVERIFY(row.removeButton()->isHidden());
        QCOMPARE(row.chooseButton()->text(), QString("Choose…"));

        // Cancelled panel: nothing is reported.
        QTest::mouseClick(row.chooseButton(), Qt::LeftButton);
        QCOMPARE(calls.size(), std::size_t(0));
        QCOMPARE(desktop.fileRequests.size(), std::size_t(1));
        QCOMPARE(desktop.fileRequests[0].size(), std::size_t(2));
        QCOMPARE(desktop.fileRequests[0][0].extensions, QStringList{"png"});

        // Confirmed: the choice is reported, the row waits for the host.
        const fs::path logo = dir_ / "logo.png";
        std::ofstream(logo) << "x";
        desktop.fileAnswers.push_back(std::optional<fs::path>(logo));
        QTest::mouseClick(row.chooseButton(), Qt::LeftButton);
        QCOMPARE(calls.size(), std::size_t(1));
        QCOMPARE(*calls[0], logo);
        QVERIFY(!row.url());

        row.setUrl(logo);
        QVERIFY(row.chooseButton()->isHidden());
        QVERIFY(!row.fileNameLabel()->isHidden());
        QCOMPARE(row.fileNameLabel()->text(), QString("logo.png"));
        QCOMPARE(row.fileNameLabel()->currentColor(), row.palette().color(QPalette::WindowText));
        QCOMPARE(row.removeButton()->toolTip(), QString("Remove"));

        // The file goes away: red at the next paint, "Remove" still there.
        fs::remove(logo);
        QCOMPARE(row.fileNameLabel()->currentColor(), failureColor());
        QVERIFY(!row.removeButton()->isHidden());
        QTest::mouseClick(row.removeButton(), Qt::LeftButton);
        QCOMPARE(calls.size(), std::size_t(2));
        QVERIFY(!calls[1]);
        row.setUrl(std::nullopt);
        QVERIFY(!row.chooseButton()->isHidden());
        QVERIFY(row.fileNameLabel()->isHidden());
    }

    void longFileNameShortenedInTheMiddle() {
        FakeDesktop desktop;
        FilePickerRow row("Logo", {FileType::png()}, [](auto) {}, desktop);
        row.setFixedWidth(300);
        const fs::path logo = dir_ / "an_extremely_long_agency_logo_file_name_that_never_fits_in_the_column.png";
        row.setUrl(logo);
        row.show();
        QVERIFY(QTest::qWaitForWindowExposed(&row));
        const QString shown = row.fileNameLabel()->displayedText();
        QVERIFY(shown.contains(QChar(0x2026)));
        QVERIFY(shown.startsWith("an_"));
        QVERIFY(shown.endsWith(".png"));
        QVERIFY(!shown.contains('\n'));
    }

    void namingSectionWritesEveryEdit() {
        NamingPatternSection section("");
        QCOMPARE(section.title(), QString("File Naming"));
        QCOMPARE(section.note()->text(), QString("Available: "));
        QCOMPARE(section.field()->placeholderText(), QString("Pattern"));
        QStringList edits;
        connect(&section, &NamingPatternSection::patternEdited, this, [&](const QString& p) { edits << p; });
        section.setPattern("{name}");
        QVERIFY(edits.isEmpty());  // the host's own value is not echoed back
        section.show();
        section.field()->setFocus();
        section.field()->selectAll();
        QTest::keyClick(section.field(), Qt::Key_Backspace);
        QCOMPARE(edits, QStringList{""});
        QTest::keyClicks(section.field(), "{ab");
        QCOMPARE(edits.last(), QString("{ab"));
        QCOMPARE(edits.size(), 4);

        NamingPatternSection withTokens("{address}, {index:02}");
        QCOMPARE(withTokens.note()->text(), QString("Available: {address}, {index:02}"));
    }
};

QTEST_MAIN(OptionWidgetsTest)
#include "option_widgets_test.moc"
