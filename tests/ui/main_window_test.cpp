// The main window as the user sees it: the empty state, counts, the busy and idle controls of
// the queue header, menus and tray enablement, selection removal, the log pane, the drop
// highlight and the fixed option column.
#include "ShellTestSupport.h"

#include <QAction>
#include <QDragEnterEvent>
#include <QListView>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>
#include <QtTest>

#include "FakeDesktop.h"
#include "ui/OptionWidgets.h"
#include "ui/StandaloneScenes.h"
#include "ui/Style.h"

using namespace lw;
using namespace lw::ui;
using namespace lw::ui::test;

namespace {

using ProbeModel = StandaloneViewModel<ProbePreset>;

StandaloneBranding branding() {
    return {"Eavesmark", "Listing photos", "building.2.crop.circle", "Drop Here", "Hint", "Process All", "photo",
            "{name}"};
}

struct Window {
    FakeDesktop desktop;
    std::shared_ptr<MemorySettingsStore> store = std::make_shared<MemorySettingsStore>();
    ProbePreset preset;
    std::unique_ptr<ProbeModel> model;
    std::unique_ptr<StandaloneWindow> window;
    int resets = 0;

    Window() {
        ShellEnvironment env;
        env.defaults = store;
        env.services = &desktop;
        env.maxConcurrentTasks = 1;
        model = std::make_unique<ProbeModel>(preset, Vertical::gablewise, Product::realEstate, env);
        window = std::make_unique<StandaloneWindow>(*model, branding(), [] { return new QLabel("panel"); },
                                                    [this] { ++resets; });
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
    }
    StandaloneView& view() { return *window->view(); }
};

bool shown(QWidget* w) { return w->isVisibleTo(w->window()); }

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void trayStatusLine_data() {
        QTest::addColumn<bool>("processing");
        QTest::addColumn<double>("progress");
        QTest::addColumn<int>("runnable");
        QTest::addColumn<QString>("text");
        QTest::newRow("42 per cent") << true << 0.425 << 3 << "Eavesmark: 42%";
        QTest::newRow("truncated, not rounded") << true << 0.999 << 0 << "Eavesmark: 99%";
        QTest::newRow("idle, two waiting") << false << 0.5 << 2 << "Eavesmark: 2 waiting";
        QTest::newRow("idle, one waiting") << false << 0.0 << 1 << "Eavesmark: 1 waiting";
    }
    void trayStatusLine() {
        QFETCH(bool, processing);
        QFETCH(double, progress);
        QFETCH(int, runnable);
        QFETCH(QString, text);
        QCOMPARE(trayStatusText("Eavesmark", processing, progress, runnable), text);
    }

    void emptyQueue() {
        Window w;
        QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));
        QCOMPARE(w.window->windowTitle(), QString("Eavesmark"));
        QCOMPARE(w.view().dropZone()->height(), 150);
        QVERIFY(shown(w.view().emptyOverlay()));
        QCOMPARE(w.view().emptyOverlay()->text(), QString("Nothing queued yet"));
        QCOMPARE(w.view().countLabel()->text(), QString("0 photos"));
        QVERIFY(!w.view().runButton()->isEnabled());
        QVERIFY(!w.view().clearFinishedButton()->isEnabled());
        QVERIFY(!shown(w.view().cancelButton()));
        QVERIFY(!w.window->runAction()->isEnabled());
        QVERIFY(!w.window->cancelAction()->isEnabled());
        QVERIFY(w.window->clearFinishedAction()->isEnabled());
        QVERIFY(w.window->showOutputAction()->isEnabled());
        QVERIFY(w.window->resetAction()->isEnabled());
        QCOMPARE(w.window->runAction()->text(), QString("Process All"));
        QCOMPARE(w.window->cancelAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Period));
        QCOMPARE(w.window->addFilesAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
        QCOMPARE(w.window->showOutputAction()->shortcut(), QKeySequence(Qt::SHIFT | Qt::CTRL | Qt::Key_O));
        QCOMPARE(w.view().runButton()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
        MenuBarExtra tray(*w.model, branding(), w.window.get());
        QCOMPARE(tray.statusAction()->text(), QString("Eavesmark: 0 waiting"));
        QVERIFY(!tray.runAction()->isEnabled());

        w.window->resetAction()->trigger();
        QCOMPARE(w.resets, 1);
        w.window->showOutputAction()->trigger();
        QCOMPARE(w.desktop.revealed.size(), std::size_t(1));
    }

    void countsAndRows() {
        TempDir dir("rows");
        Window w;
        w.model->ingest({dir.touch("IMG_0001.JPG")});
        QCOMPARE(w.view().countLabel()->text(), QString("1 photo"));
        QCOMPARE(w.view().dropZone()->height(), 96);
        QVERIFY(!shown(w.view().emptyOverlay()));
        QVERIFY(w.view().runButton()->isEnabled());
        QVERIFY(w.window->runAction()->isEnabled());
        QCOMPARE(w.view().queueModel()->index(0).data().toString(), QString("IMG_0001.jpg"));
        w.model->ingest({dir.touch("b.jpg")});
        QCOMPARE(w.view().countLabel()->text(), QString("2 photos"));
    }

    void busyAndIdleControls() {
        TempDir dir("busy");
        TempDir out("busy_out");
        Window w;
        w.model->setOutputDirectory(out.path);
        w.model->ingest({dir.touch("a_hold.jpg"), dir.touch("b.jpg")});
        MenuBarExtra tray(*w.model, branding(), w.window.get());
        // The run button's shortcut (a shortcut clicks the button after its pressed look).
        QTest::keyClick(w.window->windowHandle(), Qt::Key_R, Qt::ControlModifier);
        QVERIFY(waitUntil([&] { return w.model->isProcessing(); }, 2000));
        QVERIFY(shown(w.view().progressBar()));
        QVERIFY(shown(w.view().cancelButton()));
        QVERIFY(!shown(w.view().runButton()));
        QVERIFY(!shown(w.view().clearFinishedButton()));
        QVERIFY(!w.window->runAction()->isEnabled());
        QVERIFY(w.window->cancelAction()->isEnabled());
        QVERIFY(!tray.runAction()->isEnabled());
        QVERIFY(waitUntil([&] { return w.model->overallProgress() == 0.5; }));
        QCOMPARE(tray.statusAction()->text(), QString("Eavesmark: 50%"));
        QCOMPARE(w.view().progressBar()->value(), 500);

        QTest::mouseClick(w.view().cancelButton(), Qt::LeftButton);
        QVERIFY(!w.model->isProcessing());
        QVERIFY(shown(w.view().runButton()));
        QVERIFY(w.view().runButton()->isEnabled());  // b never started: still pending
        QVERIFY(w.window->runAction()->isEnabled());
        QVERIFY(!w.window->cancelAction()->isEnabled());
        w.preset.gate->release();
        QVERIFY(waitUntil([&] { return w.model->queueItems()[0].status == ProcessingStatus::completed; }));
        QVERIFY(w.view().clearFinishedButton()->isEnabled());
    }

    void failureReasonsUnderTheName() {
        TempDir dir("reasons");
        TempDir out("reasons_out");
        Window w;
        w.model->setOutputDirectory(out.path);
        w.model->ingest({dir.touch("a.jpg"), dir.touch("b_fail.jpg"), dir.touch("c_skip.jpg")});
        QListView* list = w.view().queueList();
        const int plain = list->visualRect(list->model()->index(1, 0)).height();
        w.model->start();
        QVERIFY(waitUntil([&] { return !w.model->isProcessing(); }));
        QCoreApplication::processEvents();
        // Failed and skipped rows grow by the message line; completed rows do not.
        QCOMPARE(list->visualRect(list->model()->index(0, 0)).height(), plain);
        QVERIFY(list->visualRect(list->model()->index(1, 0)).height() > plain);
        QVERIFY(list->visualRect(list->model()->index(2, 0)).height() > plain);
        QCOMPARE(list->model()->index(1, 0).data(Qt::AccessibleTextRole).toString(), QString("b_fail.jpg Failed"));
    }

    void removingSelectedRows() {
        TempDir dir("select");
        Window w;
        w.model->ingest({dir.touch("a.jpg"), dir.touch("b.jpg"), dir.touch("c.jpg"), dir.touch("d.jpg")});
        QListView* list = w.view().queueList();
        list->selectionModel()->select(QItemSelection(list->model()->index(0, 0), list->model()->index(2, 0)),
                                       QItemSelectionModel::ClearAndSelect);
        QCOMPARE(w.model->selection().size(), std::size_t(3));
        const Uuid first = w.model->queueItems()[0].id;
        const Uuid last = w.model->queueItems()[3].id;
        QCOMPARE(w.view().removalFor(first), w.model->selection());
        QCOMPARE(w.view().removalFor(last), std::set<Uuid>{last});

        list->setFocus();
        QTest::keyClick(list, Qt::Key_Delete);
        QCOMPARE(w.model->queueItems().size(), std::size_t(1));
        QVERIFY(w.model->selection().empty());
        QCOMPARE(w.model->queueItems()[0].id, last);
    }

    void logPane() {
        Window w;
        QVERIFY(!shown(w.view().logPane()));
        QCOMPARE(w.view().logToggle()->text(), QString("Show Log"));
        w.view().logToggle()->click();
        QVERIFY(w.model->showLog());
        QVERIFY(shown(w.view().logPane()));
        QCOMPARE(w.view().logToggle()->text(), QString("Hide Log"));
        QCOMPARE(w.view().logPane()->height(), 120);
        for (int i = 1; i <= 520; ++i) w.model->log(QString("line %1").arg(i));
        QCoreApplication::processEvents();
        QScrollBar* bar = w.view().logPane()->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());
        QCOMPARE(w.view().logPane()->document()->blockCount(), 500);
        QVERIFY(w.view().logPane()->toPlainText().endsWith("line 520"));
        QVERIFY(w.view().logPane()->toPlainText().startsWith("line 21\n"));
    }

    void dropHighlightAndDrop() {
        TempDir dir("drop");
        const fs::path file = dir.touch("photo.jpg");
        Window w;
        DropZone* zone = w.view().dropZone();
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(file.string())), QUrl("https://example.com/x.jpg")});
        QDragEnterEvent enter(zone->rect().center(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(zone, &enter);
        QVERIFY(enter.isAccepted());
        QVERIFY(w.model->isDropTargeted());
        QCOMPARE(zone->borderColor(), accentColor(zone));
        QDragLeaveEvent leave;
        QApplication::sendEvent(zone, &leave);
        QVERIFY(!w.model->isDropTargeted());
        QVERIFY(qAbs(zone->borderColor().alphaF() - secondaryColor(zone).alphaF() * 0.3) < 0.001);

        QApplication::sendEvent(zone, &enter);
        QDropEvent drop(QPointF(zone->rect().center()), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(zone, &drop);
        QVERIFY(drop.isAccepted());
        QVERIFY(!w.model->isDropTargeted());
        QVERIFY(waitUntil([&] { return w.model->queueItems().size() == 1; }, 2000));

        // Text without file addresses is not taken.
        QMimeData text;
        text.setText("hello");
        QDragEnterEvent refused(zone->rect().center(), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
        refused.ignore();
        QApplication::sendEvent(zone, &refused);
        QVERIFY(!refused.isAccepted());
        QVERIFY(!w.model->isDropTargeted());
    }

    void outputRowAndColumns() {
        Window w;
        const QString path = QString::fromStdString(w.model->outputDirectory().string());
        QCOMPARE(w.view().outputPathLabel()->toolTip(), path);
        w.desktop.folderAnswers.push_back(fs::path("/tmp/chosen"));
        w.model->chooseOutputDirectory();
        QCOMPARE(w.view().outputPathLabel()->text(), QString("/tmp/chosen"));

        QCOMPARE(w.view().minimumSize(), QSize(860, 600));
        for (int width : {900, 1600}) {
            w.window->resize(width, 700);
            QCoreApplication::processEvents();
            QCOMPARE(w.view().optionColumn()->width(), 340);
        }
        QCOMPARE(w.view().namingSection()->field()->text(), QString("{name}_probe"));
        QTest::keyClicks(w.view().namingSection()->field(), "_x");
        QCOMPARE(w.model->namingPattern(), QString("{name}_probe_x"));
        QCOMPARE(w.view().namingSection()->note()->text(), QString("Available: {name}"));
    }

    void closingTheWindowWritesAnEditNotYetSaved() {
        Window w;
        QTest::keyClicks(w.view().namingSection()->field(), "_x");
        QCOMPARE(w.store->writeCount(), 0);  // the debounced save is still waiting
        QVERIFY(w.window->close());
        QCOMPARE(w.store->value("namingPattern").value_or(QVariant()).toString(), QString("{name}_probe_x"));
        const int writes = w.store->writeCount();
        QTest::qWait(StandaloneViewModelBase::kSaveDelayMs + 100);
        QCOMPARE(w.store->writeCount(), writes);  // and not again later

        // Nothing pending: closing writes nothing.
        Window idle;
        QVERIFY(idle.window->close());
        QCOMPARE(idle.store->writeCount(), 0);
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
