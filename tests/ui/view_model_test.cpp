// The shell's model: settings restored leniently and saved once after a burst of edits, files
// and folders ingested once each, jobs started, cancelled and followed on the main thread,
// finished rows cleared, progress averaged, the log capped.
#include "ShellTestSupport.h"

#include <QSignalSpy>
#include <QtTest>

#include <QProcess>

#include <cmath>
#include <map>

#include "FakeDesktop.h"
#include "audio/WAVWriter.h"
#include "presets/CastloomPreset.h"
#include "presets/GablewisePreset.h"
#include "presets/MapforgePreset.h"
#include "presets/PresetSettingsCodec.h"
#include "ui/StandaloneViewModel.h"

using namespace lw;
using namespace lw::ui;
using namespace lw::ui::test;

namespace {

using PhotoModel = StandaloneViewModel<GablewisePreset>;
using ProbeModel = StandaloneViewModel<ProbePreset>;

ShellEnvironment environment(std::shared_ptr<MemorySettingsStore> store, FakeDesktop& desktop, int workers = 2) {
    ShellEnvironment env;
    env.defaults = std::move(store);
    env.services = &desktop;
    env.maxConcurrentTasks = workers;
    return env;
}

QVariantMap textMap(std::initializer_list<std::pair<QString, QVariant>> pairs) {
    QVariantMap map;
    for (const auto& [k, v] : pairs) map.insert(k, v);
    return map;
}

std::vector<ProcessingStatus> statuses(const StandaloneViewModelBase& model) {
    std::vector<ProcessingStatus> result;
    for (const auto& i : model.queueItems()) result.push_back(i.status);
    return result;
}

// Holds the process call numbered `holdAt` (counted over the preset's copies) until released,
// so a test can press Cancel while that item runs.
struct Hold {
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    int holdAt = 0;  // 0: none
    bool waiting = false;
    bool open = false;
    void pass() {
        std::unique_lock lock(mutex);
        if (++calls != holdAt) return;
        waiting = true;
        changed.notify_all();
        changed.wait(lock, [&] { return open; });
        waiting = false;
    }
    void holdAfter(int more) {
        std::lock_guard lock(mutex);
        holdAt = calls + more + 1;
        open = false;
    }
    bool isWaiting() {
        std::lock_guard lock(mutex);
        return waiting;
    }
    void release() {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
};

template <class P>
class Held : public P {
public:
    explicit Held(P preset) : P(std::move(preset)) {}
    std::shared_ptr<Hold> hold = std::make_shared<Hold>();
    std::vector<fs::path> process(const BatchItem& item, const ProcessingContext& context) const override {
        hold->pass();
        return P::process(item, context);
    }
};

// A photo whose width tells it apart: 200 + 8 per letter after "a".
void writeNamedPhoto(const fs::path& file) {
    writePhoto(file, 200 + 8 * (file.stem().string()[0] - 'a'), 150);
}

// One second of a quiet tone with a short pause in the middle.
void writeEpisode(const fs::path& file) {
    constexpr double rate = 48000;
    std::vector<float> samples(static_cast<std::size_t>(rate));
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = 0.2f * static_cast<float>(std::sin(2 * M_PI * 220 * static_cast<double>(i) / rate));
    WAVWriter writer(file, rate, 1, 24);
    writer.write(samples, samples.size());
    writer.close();
}

// The tags ffprobe reads from a file's container, by name.
std::map<QString, QString> probedTags(const fs::path& file) {
    QProcess probe;
    probe.start("ffprobe", {"-v", "error", "-show_entries", "format_tags", "-of", "default=noprint_wrappers=1",
                            QString::fromStdString(file.string())});
    probe.waitForFinished(30000);
    std::map<QString, QString> tags;
    for (const QString& line : QString::fromUtf8(probe.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts)) {
        const QString entry = line.startsWith("TAG:") ? line.mid(4) : line;
        const auto eq = entry.indexOf('=');
        if (eq > 0) tags[entry.left(eq).toLower()] = entry.mid(eq + 1);
    }
    return tags;
}

// Steps of a window session, one a line:
//   add x y ...     ingests the files one by one, in this order (written first when missing)
//   break x, mend x makes x a file that cannot be read, or a good one again
//   run             presses Process All and waits for the job (if there is one)
//   run cancel N    presses Cancel while the job's item N runs (that item still finishes)
//   clear           Clear Finished
// Returns the number of failed rows after each run.
template <class Model>
QList<int> playSession(Model& model, Hold& gate, const fs::path& sources, const QStringList& steps,
                       const std::function<void(const fs::path&)>& writeSource, const std::string& extension) {
    QList<int> failures;
    QSignalSpy finished(&model, &StandaloneViewModelBase::jobFinished);
    for (const QString& step : steps) {
        const QStringList words = step.split(' ');
        const QString verb = words.first();
        const auto fileOf = [&](const QString& name) { return sources / (name.toStdString() + extension); };
        if (verb == "add") {
            for (const QString& name : words.mid(1)) {
                if (!fs::exists(fileOf(name))) writeSource(fileOf(name));
                model.ingest({fileOf(name)});
            }
        } else if (verb == "break") {
            std::ofstream(fileOf(words[1])) << "not a picture";
        } else if (verb == "mend") {
            fs::remove(fileOf(words[1]));
            writeSource(fileOf(words[1]));
        } else if (verb == "clear") {
            model.clearFinished();
        } else if (verb == "run") {
            finished.clear();
            const bool cancelling = words.size() == 3 && words[1] == "cancel";
            if (cancelling) gate.holdAfter(words[2].toInt() - 1);
            const bool runs = model.runnableCount() > 0;  // otherwise the button does nothing
            model.start();
            if (cancelling) {
                if (!waitUntil([&] { return gate.isWaiting(); }, 60000)) return {-1};
                model.cancel();
                gate.release();
            }
            if (runs && !finished.wait(120000)) return {-1};
            failures.push_back(static_cast<int>(std::count_if(
                model.queueItems().begin(), model.queueItems().end(),
                [](const BatchItem& i) { return i.status == ProcessingStatus::failed; })));
        }
    }
    return failures;
}

}  // namespace

class ViewModelTest : public QObject {
    Q_OBJECT

private slots:
    void restoresStoredSettingsLeniently_data() {
        QTest::addColumn<QVariant>("settings");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("webMaxKB");
        QTest::addColumn<bool>("merge");

        QTest::newRow("nothing stored") << QVariant() << "1042_Maple_Lane" << 2000 << false;
        QTest::newRow("valid pairs") << QVariant(textMap({{"address", "9_Elm"}, {"portal", "zillow"}, {"brackets", "true"}}))
                                     << "9_Elm" << 10000 << true;
        QTest::newRow("bad pair dropped, the rest kept")
            << QVariant(textMap({{"address", "9_Elm"}, {"brackets", "maybe"}, {"webMaxKB", "oops"}})) << "9_Elm" << 2000
            << false;
        QTest::newRow("one value not text: all ignored")
            << QVariant(textMap({{"address", "9_Elm"}, {"brackets", QVariant(true)}})) << "1042_Maple_Lane" << 2000 << false;
        QTest::newRow("not a dictionary") << QVariant(QString("address=9_Elm")) << "1042_Maple_Lane" << 2000 << false;
    }

    void restoresStoredSettingsLeniently() {
        QFETCH(QVariant, settings);
        QFETCH(QString, address);
        QFETCH(int, webMaxKB);
        QFETCH(bool, merge);
        auto store = std::make_shared<MemorySettingsStore>();
        if (settings.isValid()) store->setValue("settings", settings);
        FakeDesktop desktop;
        GablewisePreset passed;
        passed.maxWebFileSizeKB = 2000;
        PhotoModel model(passed, Vertical::gablewise, Product::realEstate, environment(store, desktop));
        QCOMPARE(QString::fromStdString(model.preset().propertyAddress), address);
        QCOMPARE(model.preset().maxWebFileSizeKB, webMaxKB);
        QCOMPARE(model.preset().mergeBrackets, merge);
    }

    void restoresPatternAndFolder() {
        FakeDesktop desktop;
        {
            auto store = std::make_shared<MemorySettingsStore>();
            store->setValue("namingPattern", QString(""));
            store->setValue("outputDirectory", QString(""));
            PhotoModel model(GablewisePreset(), Vertical::gablewise, Product::realEstate, environment(store, desktop));
            QCOMPARE(model.namingPattern(), QString(""));  // an empty pattern is taken as stored
            QCOMPARE(model.outputDirectory(), BatchConfiguration::defaultConfiguration().outputDirectory);
        }
        {
            auto store = std::make_shared<MemorySettingsStore>();
            store->setValue("outputDirectory", QString("/srv/listings/out"));
            PhotoModel model(GablewisePreset(), Vertical::gablewise, Product::realEstate, environment(store, desktop));
            QCOMPARE(model.namingPattern(), QString("{address}_{index:02}_{size}"));
            QCOMPARE(model.outputDirectory(), fs::path("/srv/listings/out"));
        }
    }

    void storedPatternAndFolderMustBeText_data() {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("folder");  // empty: the default folder
        const QString fallback = "{address}_{index:02}_{size}";
        QTest::newRow("text") << QVariant(QString("{name}")) << "{name}" << "{name}";
        QTest::newRow("number") << QVariant(0) << fallback << QString();
        QTest::newRow("decimal") << QVariant(2.5) << fallback << QString();
        QTest::newRow("boolean") << QVariant(true) << fallback << QString();
        QTest::newRow("list") << QVariant(QStringList{"{name}"}) << fallback << QString();
        QTest::newRow("dictionary") << QVariant(textMap({{"a", "b"}})) << fallback << QString();
    }
    void storedPatternAndFolderMustBeText() {
        QFETCH(QVariant, stored);
        QFETCH(QString, pattern);
        QFETCH(QString, folder);
        auto store = std::make_shared<MemorySettingsStore>();
        store->setValue("namingPattern", stored);
        store->setValue("outputDirectory", stored);
        FakeDesktop desktop;
        PhotoModel model(GablewisePreset(), Vertical::gablewise, Product::realEstate, environment(store, desktop));
        QCOMPARE(model.namingPattern(), pattern);
        // The output folder follows the same rule: a stored 0 is no folder named "0".
        QCOMPARE(model.outputDirectory(), folder.isEmpty() ? BatchConfiguration::defaultConfiguration().outputDirectory
                                                           : std::filesystem::path(folder.toStdString()));
    }

    void burstOfEditsSavesOnceAfterTheLast() {
        auto store = std::make_shared<MemorySettingsStore>();
        FakeDesktop desktop;
        PhotoModel model(GablewisePreset(), Vertical::gablewise, Product::realEstate, environment(store, desktop));
        QSignalSpy saved(&model, &StandaloneViewModelBase::saved);
        // Building the model saves nothing.
        QTest::qWait(StandaloneViewModelBase::kSaveDelayMs + 150);
        QCOMPARE(store->writeCount(), 0);

        // Three edits 100 ms apart, the event loop running between them. A machine too busy to
        // come back within the save delay (less the 5 % a coarse timer may fire early) made no
        // burst: that try is waited out and the burst made again. Times are taken just before
        // an edit, so they never run ahead of the save timer it starts.
        const qint64 delayNs = qint64(StandaloneViewModelBase::kSaveDelayMs) * 1000000;
        QElapsedTimer clock;
        qint64 lastEdit = 0;
        bool burst = false;
        for (int attempt = 0; attempt < 5 && !burst; ++attempt) {
            if (attempt > 0) {
                QTest::qWait(StandaloneViewModelBase::kSaveDelayMs + 150);
                saved.clear();
            }
            clock.start();
            burst = true;
            for (const char* address : {"A", "B", "C"}) {
                if (address[0] != 'A') QTest::qWait(100);
                const qint64 now = clock.nsecsElapsed();
                if (address[0] != 'A' && now - lastEdit >= delayNs * 95 / 100) burst = false;
                lastEdit = now;
                model.updatePreset([address](GablewisePreset& p) { p.propertyAddress = address; });
            }
        }
        QVERIFY(burst);
        QVERIFY(saved.wait(2000));
        QVERIFY(clock.nsecsElapsed() - lastEdit >= delayNs * 95 / 100);
        QTest::qWait(StandaloneViewModelBase::kSaveDelayMs + 100);
        QCOMPARE(saved.count(), 1);
        QCOMPARE(store->value("settings")->toMap().value("address").toString(), QString("C"));
        QCOMPARE(store->value("namingPattern")->toString(), QString("{address}_{index:02}_{size}"));

        // Pattern and folder edits are saved the same way, and read back by a new model.
        model.setNamingPattern("{name}");
        model.setOutputDirectory("/tmp/elsewhere");
        QVERIFY(saved.wait(2000));
        PhotoModel again(GablewisePreset(), Vertical::gablewise, Product::realEstate, environment(store, desktop));
        QCOMPARE(again.preset().propertyAddress, std::string("C"));
        QCOMPARE(again.namingPattern(), QString("{name}"));
        QCOMPARE(again.outputDirectory(), fs::path("/tmp/elsewhere"));
    }

    // The application quits (its event loop ends) less than the save delay after an edit.
    void quittingWritesAnEditNotYetSaved() {
        auto store = std::make_shared<MemorySettingsStore>();
        FakeDesktop desktop;
        PhotoModel model(GablewisePreset(), Vertical::gablewise, Product::realEstate, environment(store, desktop));
        QTimer::singleShot(0, &model, [&model] {
            model.updatePreset([](GablewisePreset& p) { p.propertyAddress = "Last_Edit"; });
            model.setNamingPattern("{name}_late");
            QCoreApplication::quit();
        });
        QCOMPARE(QCoreApplication::exec(), 0);
        QCOMPARE(store->writeCount(), 3);  // settings, pattern and folder, once
        QCOMPARE(store->value("settings")->toMap().value("address").toString(), QString("Last_Edit"));
        QCOMPARE(store->value("namingPattern")->toString(), QString("{name}_late"));
    }

    void resetKeepsTheOutputFolder() {
        auto store = std::make_shared<MemorySettingsStore>();
        store->setValue("settings", textMap({{"address", "9_Elm"}}));
        FakeDesktop desktop;
        PhotoModel model(GablewisePreset(), Vertical::gablewise, Product::realEstate, environment(store, desktop));
        model.setNamingPattern("{name}");
        model.setOutputDirectory("/tmp/keep");
        model.resetSettings(GablewisePreset());
        QCOMPARE(model.preset().propertyAddress, std::string("1042_Maple_Lane"));
        QCOMPARE(model.namingPattern(), QString("{address}_{index:02}_{size}"));
        QCOMPARE(model.outputDirectory(), fs::path("/tmp/keep"));
    }

    void ingestsEachEligibleFileOnce() {
        TempDir dir("ingest");
        const fs::path a = dir.touch("shoot/b.jpg");
        dir.touch("shoot/a.jpg");
        dir.touch("shoot/.hidden.jpg");
        dir.touch("shoot/notes.pdf");
        FakeDesktop desktop;
        ProbeModel model(ProbePreset(), Vertical::gablewise, Product::realEstate,
                         environment(std::make_shared<MemorySettingsStore>(), desktop));
        model.ingest({a});
        model.ingest({a});
        QCOMPARE(model.queueItems().size(), std::size_t(1));
        dir.touch("shoot/c.jpg");
        model.ingest({dir.path / "shoot", dir.path / "missing.jpg"});
        QCOMPARE(model.queueItems().size(), std::size_t(3));
        QCOMPARE(model.queueItems()[1].originalFileName, std::string("a"));
        QCOMPARE(model.queueItems()[2].originalFileName, std::string("c"));
        for (const auto& item : model.queueItems()) QCOMPARE(item.status, ProcessingStatus::pending);

        // The open panel's choice is ingested; a cancelled panel changes nothing.
        desktop.filesAndFoldersAnswers.push_back({dir.touch("more/d.jpg")});
        model.browse();
        model.browse();
        QCOMPARE(model.queueItems().size(), std::size_t(4));
    }

    // The output folder in a dropped folder holds the last run's deliverables, not new photos;
    // dropped as the folder itself, its own deliverables are left out and anything else is taken.
    void leavesTheOutputFolderOutOfDroppedFolders() {
        TempDir dir("ingest_out");
        dir.touch("shoot/a.jpg");
        dir.touch("shoot/Out/MLS_Web_Package/House_01_Web.jpg");
        dir.touch("shoot/Out/Print_Package/House_01_Print.jpg");
        dir.touch("shoot/Out/extra.jpg");
        FakeDesktop desktop;
        PhotoModel model(GablewisePreset(), Vertical::gablewise, Product::realEstate,
                         environment(std::make_shared<MemorySettingsStore>(), desktop));
        model.setOutputDirectory(dir.path / "shoot" / "Out");
        model.ingest({dir.path / "shoot"});
        QCOMPARE(model.queueItems().size(), std::size_t(1));
        QVERIFY(model.logLines().isEmpty());
        model.ingest({dir.path / "shoot" / "Out"});
        QCOMPARE(model.queueItems().size(), std::size_t(2));
        QCOMPARE(model.queueItems()[1].originalFileName, std::string("extra"));
        // The files left out are told, with the reason and the way to take one all the same.
        QCOMPARE(model.logLines(),
                 QStringList{"Left out 2 files of the output folder, named like this preset's outputs: "
                             "MLS_Web_Package/House_01_Web.jpg, Print_Package/House_01_Print.jpg. Add such a file by "
                             "itself to process it."});
        model.ingest({dir.path / "shoot" / "Out" / "Print_Package" / "House_01_Print.jpg"});
        QCOMPARE(model.queueItems().size(), std::size_t(3));
        QCOMPARE(model.logLines().size(), 1);
    }

    // A texture run in place with a pattern of its own: the next drop of the folder takes the
    // source again after Clear Finished, never the file this window wrote from it, however given.
    void neverTakesBackWhatThisWindowWrote() {
        TempDir dir("in_place");
        vips::VImage::black(1000, 600).cast(VIPS_FORMAT_UCHAR).pngsave((dir.path / "rock_BaseColor.png").c_str());
        auto built = PresetSettingsCodec::makePreset(Vertical::mapforge, {{"mode", "pot"}}, true);
        FakeDesktop desktop;
        StandaloneViewModel<MapforgePreset> model(dynamic_cast<MapforgePreset&>(*built), Vertical::mapforge,
                                                  Product::texture,
                                                  environment(std::make_shared<MemorySettingsStore>(), desktop));
        model.setOutputDirectory(dir.path);
        model.setNamingPattern("{name}_{pot}");
        QSignalSpy finished(&model, &StandaloneViewModelBase::jobFinished);
        const auto filesInFolder = [&] {
            QStringList names;
            for (const auto& entry : fs::directory_iterator(dir.path))
                names << QString::fromStdString(entry.path().filename().string());
            names.sort();
            return names;
        };
        for (int run = 1; run <= 2; ++run) {
            model.ingest({dir.path});
            QCOMPARE(model.queueItems().size(), std::size_t(1));
            QCOMPARE(model.queueItems()[0].originalFileName, std::string("rock_BaseColor"));
            finished.clear();
            model.start();
            QVERIFY(finished.wait(60000));
            QCOMPARE(statuses(model), std::vector{ProcessingStatus::completed});
            QCOMPARE(filesInFolder(), (QStringList{"rock_BaseColor.png", "rock_BaseColor_1024x512.png"}));
            const vips::VImage written = vips::VImage::new_from_file((dir.path / "rock_BaseColor_1024x512.png").c_str());
            QCOMPARE(written.width(), 1024);
            QCOMPARE(written.height(), 512);

            const auto lines = model.logLines().size();
            model.ingest({dir.path});
            QCOMPARE(model.queueItems().size(), std::size_t(1));
            QCOMPARE(model.logLines().size(), lines + 1);
            QCOMPARE(model.logLines().last(),
                     QString("Left out 1 file this window has written: rock_BaseColor_1024x512.png."));
            model.ingest({dir.path / "rock_BaseColor_1024x512.png"});  // by name too
            QCOMPARE(model.queueItems().size(), std::size_t(1));
            model.clearFinished();
        }
    }

    void runsJobsAndFollowsReports() {
        TempDir dir("run");
        TempDir out("run_out");
        FakeDesktop desktop;
        ProbeModel model(ProbePreset(), Vertical::gablewise, Product::realEstate,
                         environment(std::make_shared<MemorySettingsStore>(), desktop));
        model.setOutputDirectory(out.path);
        model.ingest({dir.touch("1_ok.jpg"), dir.touch("2_fail.jpg"), dir.touch("3_skip.jpg")});
        QCOMPARE(model.runnableCount(), 3);
        QSignalSpy finished(&model, &StandaloneViewModelBase::jobFinished);
        model.start();
        QVERIFY(model.isProcessing());
        QVERIFY(finished.wait(10000));
        QVERIFY(!model.isProcessing());
        QCOMPARE(statuses(model), (std::vector{ProcessingStatus::completed, ProcessingStatus::failed,
                                               ProcessingStatus::skipped}));
        QCOMPARE(*model.queueItems()[1].errorMessage, std::string("Cannot read 2_fail."));
        QCOMPARE(*model.queueItems()[2].errorMessage, std::string("Not needed."));
        QCOMPARE(model.overallProgress(), 1.0);
        const Uuid okID = model.queueItems()[0].id;
        QCOMPARE(model.itemOutputs().at(okID), std::vector<fs::path>{out.path / "1_ok.out"});
        QVERIFY(model.logLines().last().startsWith("Done in "));
        QVERIFY(model.logLines().last().endsWith("s: 1 finished, 1 failed, 1 skipped."));
        QVERIFY(model.logLines().first().startsWith("["));  // the manager's lines carry the time
        QCOMPARE(model.runnableCount(), 1);
        // A finished file is not queued again by a new drop.
        model.ingest({dir.path});
        QCOMPARE(model.queueItems().size(), std::size_t(3));

        // Revealing shows the outputs, or the source when they are gone.
        model.reveal(model.queueItems()[0]);
        QCOMPARE(desktop.revealed.back(), std::vector<fs::path>{out.path / "1_ok.out"});
        fs::remove(out.path / "1_ok.out");
        model.reveal(model.queueItems()[0]);
        QCOMPARE(desktop.revealed.back(), std::vector<fs::path>{model.queueItems()[0].sourceURL});

        // The failed item runs again (and fails again); completed and skipped ones do not.
        finished.clear();
        model.start();
        QCOMPARE(model.queueItems()[1].status, ProcessingStatus::pending);
        QVERIFY(!model.queueItems()[1].errorMessage);
        QCOMPARE(model.queueItems()[1].progress, 0.0);
        QCOMPARE(model.queueItems()[0].status, ProcessingStatus::completed);
        QVERIFY(finished.wait(10000));
        QVERIFY(model.logLines().last().endsWith("s: 0 finished, 1 failed, 0 skipped."));

        // Clearing keeps failed rows; only completed and skipped ones go.
        model.clearFinished();
        QCOMPARE(model.queueItems().size(), std::size_t(1));
        QCOMPARE(model.queueItems()[0].status, ProcessingStatus::failed);

        // Nothing runnable: start does nothing and logs nothing.
        model.remove({model.queueItems()[0].id});
        const auto lines = model.logLines().size();
        model.start();
        QVERIFY(!model.isProcessing());
        QCOMPARE(model.logLines().size(), lines);
    }

    void guardsWhileProcessingAndAveragesProgress() {
        TempDir dir("busy");
        TempDir out("busy_out");
        FakeDesktop desktop;
        ProbePreset preset;
        auto gate = preset.gate;
        ProbeModel model(preset, Vertical::gablewise, Product::realEstate,
                         environment(std::make_shared<MemorySettingsStore>(), desktop, 1));
        model.setOutputDirectory(out.path);
        model.ingest({dir.touch("a_ok.jpg"), dir.touch("b_hold.jpg"), dir.touch("c_ok.jpg"), dir.touch("d_ok.jpg")});
        model.start();
        // One worker: a completes, b waits at 0.5, c and d are pending at 0.
        QVERIFY(waitUntil([&] { return model.queueItems()[1].progress == 0.5; }));
        QCOMPARE(model.queueItems()[0].status, ProcessingStatus::completed);
        QCOMPARE(model.overallProgress(), 0.75);

        const auto ids = std::set<Uuid>{model.queueItems()[2].id};
        model.remove(ids);
        QCOMPARE(model.queueItems().size(), std::size_t(4));
        QSignalSpy finished(&model, &StandaloneViewModelBase::jobFinished);
        model.start();  // a second start while processing does nothing
        model.clearFinished();  // allowed while processing
        QCOMPARE(model.queueItems().size(), std::size_t(3));

        // Cancel returns to idle at once; the held item still finishes, the rest never start.
        model.cancel();
        QVERIFY(!model.isProcessing());
        gate->release();
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(statuses(model), (std::vector{ProcessingStatus::completed, ProcessingStatus::pending,
                                               ProcessingStatus::pending}));
        QVERIFY(model.logLines().filter("Cancellation requested.").size() == 1);
        QCOMPARE(model.runnableCount(), 2);
    }

    // Cancel pressed straight after Process All, before the job's thread has handed the job to
    // the queue manager, still stops it: no item starts, and the next Process All runs them all.
    void cancelRightAfterStartStartsNothing() {
        FakeDesktop desktop;
        TempDir dir("cancel_at_start"), out("cancel_at_start_out");
        ProbePreset preset;
        ProbeModel model(preset, Vertical::gablewise, Product::realEstate,
                         environment(std::make_shared<MemorySettingsStore>(), desktop, 1));
        model.setOutputDirectory(out.path);
        model.ingest({dir.touch("a_ok.jpg"), dir.touch("b_ok.jpg"), dir.touch("c_ok.jpg")});
        QSignalSpy finished(&model, &StandaloneViewModelBase::jobFinished);
        model.start();
        model.cancel();
        QVERIFY(!model.isProcessing());
        QVERIFY(finished.wait(10000));
        QCOMPARE(statuses(model), (std::vector{ProcessingStatus::pending, ProcessingStatus::pending,
                                               ProcessingStatus::pending}));
        model.start();
        QVERIFY(finished.wait(10000));
        QCOMPARE(statuses(model), (std::vector{ProcessingStatus::completed, ProcessingStatus::completed,
                                               ProcessingStatus::completed}));
    }

    void cancelWhileIdleReachesTheManager() {
        FakeDesktop desktop;
        ProbeModel model(ProbePreset(), Vertical::gablewise, Product::realEstate,
                         environment(std::make_shared<MemorySettingsStore>(), desktop));
        model.cancel();
        QVERIFY(!model.isProcessing());
        QVERIFY(waitUntil([&] { return !model.logLines().isEmpty(); }, 2000));
        QVERIFY(model.logLines().last().endsWith("] Cancellation requested."));
    }

    void logKeepsTheNewest500Lines() {
        FakeDesktop desktop;
        ProbeModel model(ProbePreset(), Vertical::gablewise, Product::realEstate,
                         environment(std::make_shared<MemorySettingsStore>(), desktop));
        for (int i = 1; i <= 501; ++i) model.log(QString::number(i));
        QCOMPARE(model.logLines().size(), 500);
        QCOMPARE(model.logLines().first(), QString("2"));
        QCOMPARE(model.logLines().last(), QString("501"));
    }

    void outputFolderPanelsAndReveal() {
        TempDir dir("folder");
        FakeDesktop desktop;
        ProbeModel model(ProbePreset(), Vertical::gablewise, Product::realEstate,
                         environment(std::make_shared<MemorySettingsStore>(), desktop));
        const fs::path target = dir.path / "new" / "out";
        model.chooseOutputDirectory();  // cancelled
        QCOMPARE(desktop.folderPrompts.back(), QString("Use Folder"));
        desktop.folderAnswers.push_back(target);
        model.chooseOutputDirectory();
        QCOMPARE(model.outputDirectory(), target);
        model.revealOutput();
        QVERIFY(fs::is_directory(target));
        QCOMPARE(desktop.revealed.back(), std::vector<fs::path>{target});
    }

    // Within one window an item's number is given once: later jobs keep it for the same source
    // and give a new source the next one, so the ordinary next steps write each photo (or
    // episode) under its own number and never into another's file.
    void numbersItemsOnceAcrossJobs_data() {
        QTest::addColumn<QString>("vertical");
        QTest::addColumn<QString>("pattern");  // empty: the preset's default
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QList<int>>("failures");  // failed rows after each run
        QTest::addColumn<QString>("file");         // an output's name, its changing part as %1
        QTest::addColumn<QStringList>("listing");  // every output: "changing part=source"
        const QString print = "1042_Maple_Lane_%1_Print.jpg";

        QTest::newRow("add more")
            << "photos" << "" << QStringList{"add a b c d", "run", "add e f", "run"} << QList<int>{0, 0} << print
            << QStringList{"01=a", "02=b", "03=c", "04=d", "05=e", "06=f"};
        QTest::newRow("add more: {total} is the highest number given")
            << "photos" << "{index:02}_of_{total}_{size}" << QStringList{"add a b c d", "run", "add e f", "run"}
            << QList<int>{0, 0} << "%1_Print.jpg"
            << QStringList{"01_of_4=a", "02_of_4=b", "03_of_4=c", "04_of_4=d", "05_of_6=e", "06_of_6=f"};
        QTest::newRow("resume after Cancel, then Process All again")
            << "photos" << "" << QStringList{"add a b c d e f", "run cancel 2", "run", "run"} << QList<int>{0, 0, 0}
            << print << QStringList{"01=a", "02=b", "03=c", "04=d", "05=e", "06=f"};
        QTest::newRow("retry a failure")
            << "photos" << "" << QStringList{"add a b c", "break b", "run", "mend b", "run"} << QList<int>{1, 0}
            << print << QStringList{"01=a", "02=b", "03=c"};
        QTest::newRow("re-add one photo after Clear Finished")
            << "photos" << "" << QStringList{"add a b c", "run", "clear", "add b", "run"} << QList<int>{0, 0} << print
            << QStringList{"01=a", "02=b", "03=c"};
        QTest::newRow("re-add in another order after Clear Finished, with a new one")
            << "photos" << "" << QStringList{"add a b c d", "run", "clear", "add d e b", "run"} << QList<int>{0, 0}
            << print << QStringList{"01=a", "02=b", "03=c", "04=d", "05=e"};
        QTest::newRow("podcast batch resumed after Cancel")
            << "podcast" << "" << QStringList{"add a b c", "run cancel 1", "run"} << QList<int>{0, 0}
            << "Show_%1_RSS_192k.mp3" << QStringList{"11_a=a", "12_b=b", "13_c=c"};
    }

    void numbersItemsOnceAcrossJobs() {
        QFETCH(QString, vertical);
        QFETCH(QString, pattern);
        QFETCH(QStringList, steps);
        QFETCH(QList<int>, failures);
        QFETCH(QString, file);
        QFETCH(QStringList, listing);
        TempDir sources("numbering_in");
        TempDir out("numbering_out");
        FakeDesktop desktop;
        const auto env = environment(std::make_shared<MemorySettingsStore>(), desktop, 1);

        QList<int> failed;
        fs::path outputs;
        if (vertical == "photos") {
            GablewisePreset photos;
            photos.autoStraightenVerticals = false;
            photos.exportWebPackage = false;
            StandaloneViewModel<Held<GablewisePreset>> model(Held<GablewisePreset>(photos), Vertical::gablewise, Product::realEstate,
                                                             env);
            model.setOutputDirectory(out.path);
            if (!pattern.isEmpty()) model.setNamingPattern(pattern);
            failed = playSession(model, *model.preset().hold, sources.path, steps, writeNamedPhoto, ".jpg");
            outputs = out.path / "Print_Package";
        } else {
            CastloomPreset podcast;
            podcast.showTitle = "Show";
            podcast.episodeNumber = 11;
            podcast.generateMaster = false;
            podcast.generateTranscripts = false;
            podcast.generateAudiogram = false;
            StandaloneViewModel<Held<CastloomPreset>> model(Held<CastloomPreset>(podcast), Vertical::castloom, Product::podcast, env);
            model.setOutputDirectory(out.path);
            if (!pattern.isEmpty()) model.setNamingPattern(pattern);
            failed = playSession(model, *model.preset().hold, sources.path, steps, writeEpisode, ".wav");
            outputs = out.path;
        }
        QCOMPARE(failed, failures);

        // Every output by name, told apart by an independent reading: a photo by its width, an
        // episode by the title and track tags ffprobe finds.
        const std::string suffix = file.mid(file.indexOf("%1") + 2).toStdString();
        QStringList found;
        for (const auto& entry : fs::directory_iterator(outputs)) {
            const std::string name = entry.path().filename().string();
            if (name.size() < suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
                continue;
            QString source;
            if (vertical == "photos") {
                const int width = vips::VImage::new_from_file(entry.path().c_str()).width();
                source = QString(QChar('a' + (width - 200) / 8));
            } else {
                const auto tags = probedTags(entry.path());
                source = tags.count("title") ? tags.at("title") : "?";
                const QString track = tags.count("track") ? tags.at("track") : "?";
                QVERIFY2(QString::fromStdString(name).contains("_" + track + "_"), qPrintable(QString::fromStdString(name) + " track " + track));
            }
            const QString stem = file.left(file.indexOf("%1"));
            found << QString::fromStdString(name).mid(stem.size()).chopped(static_cast<int>(suffix.size())) + "=" +
                         source;
        }
        found.sort();
        QCOMPARE(found, listing);
    }

    void processesRealPhotos() {
        TempDir dir("photos");
        TempDir out("photos_out");
        writePhoto(dir.path / "IMG_0001.jpg");
        writePhoto(dir.path / "IMG_0002.jpg", 240, 320);
        FakeDesktop desktop;
        GablewisePreset preset;
        preset.autoStraightenVerticals = false;
        PhotoModel model(preset, Vertical::gablewise, Product::realEstate,
                         environment(std::make_shared<MemorySettingsStore>(), desktop));
        model.setOutputDirectory(out.path);
        model.ingest({dir.path});
        QCOMPARE(model.queueItems().size(), std::size_t(2));
        QSignalSpy finished(&model, &StandaloneViewModelBase::jobFinished);
        model.start();
        QVERIFY(finished.wait(60000));
        QCOMPARE(statuses(model), (std::vector{ProcessingStatus::completed, ProcessingStatus::completed}));
        for (const auto& item : model.queueItems()) {
            const auto& outputs = model.itemOutputs().at(item.id);
            QCOMPARE(outputs.size(), std::size_t(2));  // print and web
            for (const auto& file : outputs) QVERIFY(fs::is_regular_file(file));
        }
        const auto& first = model.itemOutputs().at(model.queueItems()[0].id);
        QCOMPARE(first[0].parent_path().filename().string(), std::string("Print_Package"));
        QCOMPARE(first[1].parent_path().filename().string(), folderName(GablewisePreset::Portal::mls));
    }
};

QTEST_MAIN(ViewModelTest)
#include "view_model_test.moc"
