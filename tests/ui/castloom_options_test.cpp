// The podcast options panel: texts and choice lists, the fields each control writes, rows that
// always hold the stored value, conditional rows that keep their fields, and what the panel says
// with and without `ffmpeg` (a runner search list with and without a stand-in script) and with
// and without a speech model (a transcriber with and without its model folder).
#include "ShellTestSupport.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QToolButton>
#include <QSlider>
#include <QtTest>

#include "FakeDesktop.h"
#include "ui/panels/CastloomOptions.h"
#include "ui/panels/PanelHost.h"

using namespace lw;
using namespace lw::ui;
using namespace lw::ui::test;
using Standard = CastloomPreset::LoudnessStandard;
using ChapterMode = CastloomPreset::ChapterMode;
using ClipChoice = AudioVideoPipeline::ClipChoice;

namespace {

// A search list with a stand-in `ffmpeg` (or none), and a model folder with the recogniser's
// files (or an empty one).
struct Machine {
    TempDir dir{"castloom_machine"};
    std::unique_ptr<FFmpegRunner> runner;
    std::unique_ptr<AudioVideoPipeline> pipeline;
    std::unique_ptr<Transcriber> transcriber;

    Machine(bool ffmpeg, bool speech) {
        const fs::path tool = dir.path / "bin" / "ffmpeg";
        if (ffmpeg) {
            dir.touch("bin/ffmpeg");
            std::ofstream(tool) << "#!/bin/sh\nexit 0\n";
            fs::permissions(tool, fs::perms::owner_all);
        }
        runner = std::make_unique<FFmpegRunner>(std::vector<fs::path>{tool});
        pipeline = std::make_unique<AudioVideoPipeline>(*runner, nullptr);
        const fs::path model = dir.path / "model";
        fs::create_directories(model);
        if (speech) {
            dir.touch("model/en-us/mdef");
            dir.touch("model/en-us.lm.bin");
            dir.touch("model/cmudict-en-us.dict");
        }
        Transcriber::Options options;
        options.modelDirectory = model;
        transcriber = std::make_unique<Transcriber>(options);
    }
    PodcastCapabilities capabilities() const { return PodcastCapabilities::of(*pipeline, *transcriber); }
};

struct Panel {
    FakeDesktop desktop;
    Machine machine;
    std::unique_ptr<CastloomOptions::Model> model;
    std::unique_ptr<CastloomOptions> panel;

    explicit Panel(CastloomPreset preset = CastloomPreset(), bool ffmpeg = true, bool speech = true)
        : machine(ffmpeg, speech) {
        ShellEnvironment env;
        env.defaults = std::make_shared<MemorySettingsStore>();
        env.services = &desktop;
        model = std::make_unique<CastloomOptions::Model>(preset, Vertical::castloom, Product::podcast, env);
        panel = std::make_unique<CastloomOptions>(*model, machine.capabilities());
        panel->resize(340, 1600);
        panel->show();
    }
    const CastloomPreset& preset() const { return model->preset(); }
    void choose(QComboBox* picker, const QString& text) {
        const int index = picker->findText(text);
        QVERIFY2(index >= 0, qPrintable(text));
        picker->setCurrentIndex(index);
        emit picker->activated(index);
    }
};

QStringList items(QComboBox* picker) {
    QStringList list;
    for (int i = 0; i < picker->count(); ++i) list << picker->itemText(i);
    return list;
}

}  // namespace

class CastloomOptionsTest : public QObject {
    Q_OBJECT

private slots:
    void sectionsChoicesAndTexts() {
        Panel p;
        QCOMPARE(CastloomOptions::tokens(), QString("{show}, {ep:02}, {title}, {date}"));
        QCOMPARE(p.panel->sectionTitles(), (QStringList{"Show", "Loudness Target", "Clean-Up", "Intro & Outro Music",
                                                         "Exports", "Chapters", "Social Audiogram"}));
        QCOMPARE(items(p.panel->standardPicker()),
                 (QStringList{"Apple Podcasts (-16 LUFS)", "Spotify (-14 LUFS)", "YouTube (-14 LUFS)",
                              "Broadcast EBU R128 (-23 LUFS)", "Broadcast ATSC A/85 (-24 LKFS)",
                              "Audible / ACX audiobook", "Custom"}));
        QCOMPARE(items(p.panel->humPicker()),
                 (QStringList{"Off", "Auto-detect", "50 Hz (Europe, Asia)", "60 Hz (Americas)"}));
        QCOMPARE(items(p.panel->pausePicker()),
                 (QStringList{"Off", "Longer than 1.5 s", "Longer than 2 s", "Longer than 3 s"}));
        QCOMPARE(items(p.panel->chapterPicker()), (QStringList{"Off", "Automatic (from pauses)", "My list"}));
        QCOMPARE(items(p.panel->shapePicker()),
                 (QStringList{"Square 1:1 (Instagram, X)", "Vertical 9:16 (Reels, TikTok, Shorts)",
                              "Wide 16:9 (YouTube)"}));
        QCOMPARE(items(p.panel->clipPicker()),
                 (QStringList{"Liveliest part (automatic)", "Start of episode", "Starting at…"}));
        QCOMPARE(items(p.panel->lengthPicker()),
                 (QStringList{"15 seconds", "30 seconds", "45 seconds", "60 seconds", "90 seconds"}));
        QCOMPARE(p.panel->helpOf(p.panel->rumbleToggle()), QString("Removes desk thumps, traffic and mic-handling rumble."));
        QCOMPARE(p.panel->helpOf(p.panel->gateToggle()), QString("Turns background noise down by 12 dB when nobody is talking."));
        QCOMPARE(p.panel->helpOf(p.panel->captionToggle()),
                 QString("Word-by-word highlighted captions from the on-device transcript."));
        QCOMPARE(p.panel->chapterExampleNote()->text(),
                 QString("One per line, e.g.  0:00 Intro  ·  5:30 Interview  ·  42:10 Wrap-up"));
        QCOMPARE(p.panel->episodeStepper()->label()->text(), QString("Starting Episode #: 1"));
        QCOMPARE(p.panel->startField()->placeholderText(), QString("m:ss"));
        QCOMPARE(p.panel->outroRow()->findChild<QLabel*>()->text(), QString("Outro"));
    }

    void loudnessNotes_data() {
        QTest::addColumn<int>("standard");
        QTest::addColumn<QString>("note");
        QTest::newRow("apple") << int(Standard::applePodcasts)
                               << "Apple's recommended level for spoken word. Peaks stay under -1 dBTP.";
        QTest::newRow("spotify") << int(Standard::spotify) << "Matches the platform's playback level, so it isn't turned down.";
        QTest::newRow("youtube") << int(Standard::youtube) << "Matches the platform's playback level, so it isn't turned down.";
        QTest::newRow("ebu") << int(Standard::ebuR128) << "True peak ceiling -1 dBTP for broadcast delivery.";
        QTest::newRow("atsc") << int(Standard::atsc) << "True peak ceiling -2 dBTP for broadcast delivery.";
        QTest::newRow("acx") << int(Standard::acx)
                             << "RMS -23 to -18 dB, peaks under -3 dB, noise floor under -60 dB. A pass/fail report is "
                                "written next to the master.";
        QTest::newRow("custom") << int(Standard::custom) << "Try -19 LUFS for mono spoken word.";
    }
    void loudnessNotes() {
        QFETCH(int, standard);
        QFETCH(QString, note);
        Panel p;
        p.choose(p.panel->standardPicker(), QString::fromStdString(displayName(static_cast<Standard>(standard))));
        QCOMPARE(int(p.preset().loudnessStandard()), standard);
        QCOMPARE(p.panel->loudnessNoteLabel()->text(), note);
        QCOMPARE(p.panel->isShown(p.panel->targetSlider()), standard == int(Standard::custom));
        QCOMPARE(p.panel->labelOf(p.panel->masterToggle()),
                 standard == int(Standard::acx) ? QString("24-bit WAV Master + ACX Check Report")
                                                : QString("24-bit WAV Loudness Master"));
    }

    void standardMovesTheTargetAndTheSliderHalfSteps() {
        Panel p;
        p.choose(p.panel->standardPicker(), "Custom");
        QVERIFY(p.panel->isShown(p.panel->targetSlider()));
        QCOMPARE(p.panel->targetSlider()->minimum(), -60);
        QCOMPARE(p.panel->targetSlider()->maximum(), -20);
        p.panel->targetSlider()->setValue(-39);
        QCOMPARE(p.preset().targetLUFS, -19.5);
        QCOMPARE(p.panel->targetValue()->text(), QString("-19.5 LUFS"));
        p.choose(p.panel->standardPicker(), "Spotify (-14 LUFS)");
        QCOMPARE(p.preset().targetLUFS, -14.0);
        QVERIFY(!p.panel->isShown(p.panel->targetSlider()));
        p.choose(p.panel->standardPicker(), "Custom");
        QCOMPARE(p.panel->targetValue()->text(), QString("-14.0 LUFS"));
        QCOMPARE(p.panel->targetSlider()->value(), -28);
        // ACX keeps the target as it was.
        p.choose(p.panel->standardPicker(), "Audible / ACX audiobook");
        QCOMPARE(p.preset().targetLUFS, -14.0);
    }

    void controlsWriteTheirFields() {
        Panel p;
        QTest::keyClicks(p.panel->showTitleField(), "!");
        QCOMPARE(p.preset().showTitle, std::string("The Kitchen Table Hour!"));
        QTest::keyClicks(p.panel->hostField(), "s");
        QCOMPARE(p.preset().hostName, std::string("Studio Masters"));
        Stepper* episode = p.panel->episodeStepper();
        QVERIFY(!episode->downButton()->isEnabled());
        episode->step(-1);
        QCOMPARE(p.preset().episodeNumber, 1);
        episode->upButton()->click();
        QCOMPARE(p.preset().episodeNumber, 2);
        QCOMPARE(episode->label()->text(), QString("Starting Episode #: 2"));
        QCOMPARE(episode->maximum(), 9999);

        const CastloomPreset before = p.preset();
        for (QCheckBox* box : {p.panel->rumbleToggle(), p.panel->levelerToggle(), p.panel->gateToggle(),
                               p.panel->trimToggle(), p.panel->fillerToggle(), p.panel->masterToggle(),
                               p.panel->rssToggle(), p.panel->transcriptToggle(), p.panel->referenceToggle(),
                               p.panel->captionToggle()})
            box->click();
        const CastloomPreset& after = p.preset();
        QCOMPARE(after.cleanup.rumbleFilter, !before.cleanup.rumbleFilter);
        QCOMPARE(after.cleanup.leveler, !before.cleanup.leveler);
        QCOMPARE(after.cleanup.noiseGate, !before.cleanup.noiseGate);
        QCOMPARE(after.cleanup.trimSilence, !before.cleanup.trimSilence);
        QCOMPARE(after.removeFillerWords, !before.removeFillerWords);
        QCOMPARE(after.generateMaster, !before.generateMaster);
        QCOMPARE(after.generateRSSMaster, !before.generateRSSMaster);
        QCOMPARE(after.generateTranscripts, !before.generateTranscripts);
        QCOMPARE(after.generateWhisperReference, !before.generateWhisperReference);
        QCOMPARE(after.captionAudiogram, !before.captionAudiogram);
        QCOMPARE(after.cleanup.roomToneSeconds, before.cleanup.roomToneSeconds);

        p.choose(p.panel->humPicker(), "60 Hz (Americas)");
        QCOMPARE(p.preset().cleanup.humRemoval, CleanupOptions::HumMode::hz60);
        p.choose(p.panel->pausePicker(), "Longer than 1.5 s");
        QCOMPARE(p.preset().cleanup.maxPauseSeconds, 1.5);
        p.choose(p.panel->shapePicker(), "Wide 16:9 (YouTube)");
        QCOMPARE(p.preset().audiogramAspect, AudiogramGenerator::AspectRatio::landscape);
        p.choose(p.panel->lengthPicker(), "90 seconds");
        QCOMPARE(p.preset().audiogramSeconds, 90.0);

        TempDir dir("castloom_files");
        const fs::path intro = dir.touch("intro.wav"), cover = dir.touch("cover.jpg");
        p.desktop.fileAnswers.push_back(std::optional<fs::path>(intro));
        p.panel->introRow()->chooseButton()->click();
        QCOMPARE(*p.preset().introURL, intro);
        QCOMPARE(p.desktop.fileRequests.back().size(), std::size_t(5));
        p.desktop.fileAnswers.push_back(std::optional<fs::path>(intro));
        p.panel->outroRow()->chooseButton()->click();
        QCOMPARE(*p.preset().outroURL, intro);
        p.panel->introRow()->removeButton()->click();
        QVERIFY(!p.preset().introURL);
        p.desktop.fileAnswers.push_back(std::optional<fs::path>(cover));
        p.panel->artworkRow()->chooseButton()->click();
        QCOMPARE(*p.preset().artworkURL, cover);
        QCOMPARE(p.desktop.fileRequests.back()[0].extensions, QStringList{"png"});
    }

    void storedValuesOutsideTheRowsAreSelected() {
        CastloomPreset preset;
        preset.cleanup.maxPauseSeconds = 2.5;
        preset.audiogramSeconds = 20;
        Panel p(preset);
        QCOMPARE(items(p.panel->pausePicker()).size(), 5);
        QCOMPARE(p.panel->pausePicker()->currentText(), QString("Longer than 2.5 s"));
        QCOMPARE(items(p.panel->lengthPicker()).size(), 6);
        QCOMPARE(p.panel->lengthPicker()->currentText(), QString("20 seconds"));
        p.choose(p.panel->pausePicker(), "Longer than 3 s");
        QCOMPARE(items(p.panel->pausePicker()).size(), 4);
        QCOMPARE(p.panel->pausePicker()->currentText(), QString("Longer than 3 s"));

        // Values no integer holds still give a row instead of stopping the panel.
        for (double odd : {std::numeric_limits<double>::infinity(), 1e300, 20.9}) {
            const auto rows = CastloomOptions::lengthRows(odd);
            QCOMPARE(rows.size(), std::size_t(6));
        }
        QCOMPARE(CastloomOptions::lengthRows(20.9).back().first, QString("20 seconds"));
    }

    void clipKindAndStartTime() {
        Panel p;
        QCOMPARE(p.panel->clipPicker()->currentText(), QString("Liveliest part (automatic)"));
        QVERIFY(!p.panel->isShown(p.panel->startField()));
        p.choose(p.panel->clipPicker(), "Starting at…");
        QCOMPARE(p.preset().audiogramClip, ClipChoice::at(60));
        QVERIFY(p.panel->isShown(p.panel->startField()));
        QCOMPARE(p.panel->startField()->text(), QString("01:00"));

        p.panel->startField()->setFocus();
        p.panel->startField()->selectAll();
        QTest::keyClicks(p.panel->startField(), "1:30");
        QCOMPARE(p.preset().audiogramClip, ClipChoice::at(90));
        QTest::keyClicks(p.panel->startField(), "abc");
        QCOMPARE(p.preset().audiogramClip, ClipChoice::at(90));
        QCOMPARE(p.panel->startField()->text(), QString("1:30abc"));
        emit p.panel->startField()->editingFinished();
        QCOMPARE(p.panel->startField()->text(), QString("01:30"));

        p.model->updatePreset([](CastloomPreset& preset) { preset.audiogramClip = ClipChoice::at(150); });
        p.choose(p.panel->clipPicker(), "Starting at…");
        QCOMPARE(p.preset().audiogramClip, ClipChoice::at(150));
        QCOMPARE(p.panel->startField()->text(), QString("02:30"));
        p.choose(p.panel->clipPicker(), "Start of episode");
        QCOMPARE(p.preset().audiogramClip, ClipChoice::start());
        QVERIFY(!p.panel->isShown(p.panel->startField()));
    }

    void audiogramOffHidesItsGroupButNotTheCover() {
        Panel p;
        p.choose(p.panel->clipPicker(), "Starting at…");
        p.panel->audiogramToggle()->click();
        QVERIFY(!p.preset().generateAudiogram);
        for (QWidget* w : {static_cast<QWidget*>(p.panel->shapePicker()), static_cast<QWidget*>(p.panel->clipPicker()),
                           static_cast<QWidget*>(p.panel->startField()), static_cast<QWidget*>(p.panel->lengthPicker()),
                           static_cast<QWidget*>(p.panel->captionToggle())})
            QVERIFY(!p.panel->isShown(w));
        QVERIFY(p.panel->isShown(p.panel->artworkRow()));
        p.panel->audiogramToggle()->click();
        QVERIFY(p.panel->isShown(p.panel->startField()));
        QCOMPARE(p.preset().audiogramClip, ClipChoice::at(60));
    }

    void chapterRowsByMode() {
        Panel p;
        const auto shown = [&] {
            return QList<bool>{p.panel->isShown(p.panel->chapterEditor()), p.panel->isShown(p.panel->chapterExampleNote()),
                               p.panel->isShown(p.panel->chapterOutputNote())};
        };
        QCOMPARE(shown(), (QList<bool>{false, false, false}));
        p.choose(p.panel->chapterPicker(), "Automatic (from pauses)");
        QCOMPARE(p.preset().chapterMode, ChapterMode::automatic);
        QCOMPARE(shown(), (QList<bool>{false, false, true}));
        p.choose(p.panel->chapterPicker(), "My list");
        QCOMPARE(shown(), (QList<bool>{true, true, true}));
        // Editor, example note, output note, in that order.
        QVERIFY(p.panel->chapterEditor()->mapTo(p.panel.get(), QPoint()).y() <
                p.panel->chapterExampleNote()->mapTo(p.panel.get(), QPoint()).y());
        QVERIFY(p.panel->chapterExampleNote()->mapTo(p.panel.get(), QPoint()).y() <
                p.panel->chapterOutputNote()->mapTo(p.panel.get(), QPoint()).y());
        QTest::keyClicks(p.panel->chapterEditor(), "0:00 Intro");
        QTest::keyClick(p.panel->chapterEditor(), Qt::Key_Return);
        QTest::keyClicks(p.panel->chapterEditor(), "not a time");
        QCOMPARE(p.preset().chapterList, std::string("0:00 Intro\nnot a time"));
        p.choose(p.panel->chapterPicker(), "Off");
        QCOMPARE(p.preset().chapterList, std::string("0:00 Intro\nnot a time"));
        QCOMPARE(p.panel->chapterOutputNote()->text(),
                 QString("Saved as a Podcasting 2.0 chapters file (.json) for your host and a timestamp list (.txt) "
                         "for show notes. Also embedded in the MP3 when FFmpeg is installed."));
    }

    void whatTheMachineCanDeliver_data() {
        QTest::addColumn<bool>("ffmpeg");
        QTest::addColumn<bool>("speech");
        QTest::newRow("everything") << true << true;
        QTest::newRow("no ffmpeg") << false << true;
        QTest::newRow("no speech model") << true << false;
        QTest::newRow("neither") << false << false;
    }
    void whatTheMachineCanDeliver() {
        QFETCH(bool, ffmpeg);
        QFETCH(bool, speech);
        CastloomPreset preset;
        preset.removeFillerWords = true;
        Panel p(preset, ffmpeg, speech);
        QCOMPARE(p.machine.pipeline->producesMP3(), ffmpeg);
        QCOMPARE(p.machine.transcriber->isAvailable(), speech);

        QCOMPARE(p.panel->labelOf(p.panel->rssToggle()),
                 ffmpeg ? QString("192kbps MP3 RSS File (ID3 tags)") : QString("RSS File (AAC .m4a + tags)"));
        QCOMPARE(p.panel->helpOf(p.panel->rssToggle()),
                 QString("MP3 export uses FFmpeg when it's installed (sudo apt install ffmpeg); otherwise an AAC .m4a "
                         "is made."));
        for (QCheckBox* box : {p.panel->fillerToggle(), p.panel->transcriptToggle(), p.panel->captionToggle()}) {
            QCOMPARE(box->isEnabled(), speech);
            QVERIFY(box->isChecked());  // stored values stay on
        }
        QCOMPARE(p.panel->helpOf(p.panel->fillerToggle()),
                 speech ? QString("Finds them in the on-device transcript and cuts them from the audio.")
                        : QString("Needs an on-device speech model."));
        QCOMPARE(p.panel->helpOf(p.panel->transcriptToggle()),
                 speech ? QString("Made on this computer; nothing is uploaded.") : QString("Needs an on-device speech model."));
        QCOMPARE(p.panel->helpOf(p.panel->captionToggle()),
                 QString("Word-by-word highlighted captions from the on-device transcript."));
        QVERIFY(p.preset().removeFillerWords);
        QVERIFY(p.preset().generateTranscripts);
    }

    void answersAreAskedAgainAtEachRedraw() {
        Panel p(CastloomPreset(), false, false);
        QCOMPARE(p.panel->labelOf(p.panel->rssToggle()), QString("RSS File (AAC .m4a + tags)"));
        // Installing ffmpeg and the model shows at the next change of the preset.
        const fs::path tool = p.machine.dir.path / "bin" / "ffmpeg";
        p.machine.dir.touch("bin/ffmpeg");
        fs::permissions(tool, fs::perms::owner_all);
        p.machine.dir.touch("model/en-us/mdef");
        p.machine.dir.touch("model/en-us.lm.bin");
        p.machine.dir.touch("model/cmudict-en-us.dict");
        p.panel->referenceToggle()->click();
        QCOMPARE(p.panel->labelOf(p.panel->rssToggle()), QString("192kbps MP3 RSS File (ID3 tags)"));
        QVERIFY(p.panel->transcriptToggle()->isEnabled());
    }

    // The panel in the standard window at 1280 x 800: nothing of it lies outside the option
    // column's width. With LW_UI_SHOTS set, the window pictures are written there.
    void hostedInTheWindow() {
        for (bool machine : {true, false}) {
            Machine m(machine, machine);
            CastloomPreset preset;
            preset.setLoudnessStandard(machine ? Standard::acx : Standard::custom);
            preset.chapterMode = machine ? ChapterMode::manual : ChapterMode::automatic;
            preset.audiogramClip = ClipChoice::at(95);
            preset.cleanup.maxPauseSeconds = 2.5;
            ShellEnvironment env;
            env.defaults = std::make_shared<MemorySettingsStore>();
            FakeDesktop desktop;
            env.services = &desktop;
            auto hosted = hostPanel(Vertical::castloom, preset, env, std::nullopt, m.capabilities());
            hosted->window().resize(1280, 800);
            hosted->window().show();
            QVERIFY(QTest::qWaitForWindowExposed(&hosted->window()));
            QWidget* panel = hosted->window().view()->optionsPanel();
            QVERIFY(qobject_cast<CastloomOptions*>(panel));
            const int column = hosted->window().view()->optionColumn()->viewport()->width();
            for (QWidget* w : panel->findChildren<QWidget*>())
                if (w->isVisibleTo(panel)) QVERIFY2(w->mapTo(panel, QPoint(w->width(), 0)).x() <= column, qPrintable(w->objectName()));
            if (const QByteArray dir = qgetenv("LW_UI_SHOTS"); !dir.isEmpty()) {
                const QString name = dir + (machine ? "/pod-machine" : "/pod-bare");
                hosted->window().grab().save(name + ".png");
                panel->parentWidget()->grab().save(name + "-options.png");
            }
        }
    }
};

QTEST_MAIN(CastloomOptionsTest)
#include "castloom_options_test.moc"
