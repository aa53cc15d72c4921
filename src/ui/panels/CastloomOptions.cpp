#include "ui/panels/CastloomOptions.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QSlider>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "audio/podcast/ChapterBuilder.h"
#include "ui/Style.h"

namespace lw::ui {

namespace fs = std::filesystem;
using Standard = CastloomPreset::LoudnessStandard;
using ChapterMode = CastloomPreset::ChapterMode;
using ClipChoice = AudioVideoPipeline::ClipChoice;

namespace {

QString text(const std::string& s) { return QString::fromStdString(s); }

std::vector<FileType> audioTypes() {
    return {{"Audio", {"wav", "aif", "aiff", "mp3", "m4a", "aac", "flac", "caf", "ogg", "opus"}},
            {"MPEG-4 audio", {"m4a", "m4b", "mp4"}},
            {"MP3 audio", {"mp3"}},
            {"WAV audio", {"wav"}},
            {"AIFF audio", {"aif", "aiff"}}};
}

// The target slider works in half-LUFS steps.
constexpr int kTargetSteps = 2;

}  // namespace

PodcastCapabilities PodcastCapabilities::current() {
    return {[] { return AudioVideoPipeline::shared().producesMP3(); }, [] { return Transcriber::isSupported(); }};
}

PodcastCapabilities PodcastCapabilities::of(const AudioVideoPipeline& pipeline, const Transcriber& transcriber) {
    return {[&pipeline] { return pipeline.producesMP3(); }, [&transcriber] { return transcriber.isAvailable(); }};
}

QString CastloomOptions::tokens() { return "{show}, {ep:02}, {title}, {date}"; }

QString CastloomOptions::loudnessNote(Standard standard) {
    switch (standard) {
        case Standard::applePodcasts:
            return tr("Apple's recommended level for spoken word. Peaks stay under -1 dBTP.");
        case Standard::spotify:
        case Standard::youtube: return tr("Matches the platform's playback level, so it isn't turned down.");
        case Standard::ebuR128: return QString::asprintf("True peak ceiling %.0f dBTP for broadcast delivery.", -1.0);
        case Standard::atsc: return QString::asprintf("True peak ceiling %.0f dBTP for broadcast delivery.", -2.0);
        case Standard::acx:
            return tr("RMS -23 to -18 dB, peaks under -3 dB, noise floor under -60 dB. A pass/fail report is written "
                      "next to the master.");
        case Standard::custom: return tr("Try -19 LUFS for mono spoken word.");
    }
    return {};
}

QString CastloomOptions::targetText(double lufs) { return QString::asprintf("%.1f LUFS", lufs); }

std::vector<std::pair<QString, double>> CastloomOptions::pauseRows(double stored) {
    std::vector<std::pair<QString, double>> rows{
        {tr("Off"), 0}, {tr("Longer than 1.5 s"), 1.5}, {tr("Longer than 2 s"), 2}, {tr("Longer than 3 s"), 3}};
    if (std::none_of(rows.begin(), rows.end(), [&](const auto& row) { return row.second == stored; }))
        rows.emplace_back(QString::asprintf("Longer than %.1f s", stored), stored);
    return rows;
}

std::vector<std::pair<QString, double>> CastloomOptions::lengthRows(double stored) {
    std::vector<std::pair<QString, double>> rows;
    for (double s : {15.0, 30.0, 45.0, 60.0, 90.0}) rows.emplace_back(QString::number(int(s)) + tr(" seconds"), s);
    if (std::none_of(rows.begin(), rows.end(), [&](const auto& row) { return row.second == stored; })) {
        // Whole seconds, toward zero; a value no integer holds is shown as it is.
        const bool whole = std::isfinite(stored) && std::fabs(stored) < 9.0e15;
        const QString number = whole ? QString::number(static_cast<long long>(std::trunc(stored)))
                                     : QString::number(stored);
        rows.emplace_back(number + tr(" seconds"), stored);
    }
    return rows;
}

int CastloomOptions::clipKind(const ClipChoice& clip) {
    switch (clip.kind) {
        case ClipChoice::Kind::automatic: return 0;
        case ClipChoice::Kind::start: return 1;
        case ClipChoice::Kind::at: return 2;
    }
    return 0;
}

ClipChoice CastloomOptions::withClipKind(const ClipChoice& clip, int kind) {
    if (kind == 0) return ClipChoice::automatic();
    if (kind == 1) return ClipChoice::start();
    if (clip.kind == ClipChoice::Kind::at) return clip;
    return ClipChoice::at(60);
}

QCheckBox* CastloomOptions::toggle(FormSection* section, const QString& label, bool CastloomPreset::*field,
                                   const QString& help) {
    QCheckBox* box = section->addToggle(label, help);
    connect(box, &QCheckBox::toggled, this,
            [this, field](bool on) { model_.updatePreset([&](CastloomPreset& p) { p.*field = on; }); });
    return box;
}

QCheckBox* CastloomOptions::cleanupToggle(FormSection* section, const QString& label, bool CleanupOptions::*field,
                                          const QString& help) {
    QCheckBox* box = section->addToggle(label, help);
    connect(box, &QCheckBox::toggled, this,
            [this, field](bool on) { model_.updatePreset([&](CastloomPreset& p) { p.cleanup.*field = on; }); });
    return box;
}

FilePickerRow* CastloomOptions::fileRow(FormSection* section, const QString& label, std::vector<FileType> types,
                                        std::optional<fs::path> CastloomPreset::*field) {
    auto* row = new FilePickerRow(
        label, std::move(types),
        [this, field](std::optional<fs::path> url) { model_.updatePreset([&](CastloomPreset& p) { p.*field = url; }); },
        model_.services());
    section->addRow(row);
    return row;
}

FormSection* CastloomOptions::section(const QString& title) const {
    for (FormSection* s : sections_)
        if (s->title() == title) return s;
    return nullptr;
}

QStringList CastloomOptions::sectionTitles() const {
    QStringList titles;
    for (FormSection* s : sections_) titles << s->title();
    return titles;
}

namespace {
QWidget* rowOfControl(QWidget* control) {
    return qobject_cast<QWidget*>(control->property("lwRow").value<QObject*>());
}
}  // namespace

QString CastloomOptions::labelOf(QWidget* control) const {
    QLabel* caption = rowOfControl(control)->findChild<QLabel*>("rowLabel");
    return caption ? caption->text() : QString();
}

QString CastloomOptions::helpOf(QWidget* control) const { return rowOfControl(control)->toolTip(); }

void CastloomOptions::setLabel(QWidget* control, const QString& label, const QString& help) {
    QWidget* row = rowOfControl(control);
    if (QLabel* caption = row->findChild<QLabel*>("rowLabel"); caption && caption->text() != label)
        caption->setText(label);
    control->setAccessibleName(label);
    row->setToolTip(help);
}

CastloomOptions::CastloomOptions(Model& model, PodcastCapabilities capabilities, QWidget* parent)
    : OptionForm(parent), model_(model), capabilities_(std::move(capabilities)) {
    const auto add = [this](const QString& title) {
        FormSection* s = addSection(title);
        sections_.push_back(s);
        return s;
    };

    // Show
    FormSection* show = add(tr("Show"));
    showTitle_ = show->addTextField(tr("Show Title"));
    connect(showTitle_, &QLineEdit::textEdited, this, [this](const QString& t) {
        model_.updatePreset([&](CastloomPreset& p) { p.showTitle = t.toStdString(); });
    });
    host_ = show->addTextField(tr("Host / Artist Name"));
    connect(host_, &QLineEdit::textEdited, this, [this](const QString& t) {
        model_.updatePreset([&](CastloomPreset& p) { p.hostName = t.toStdString(); });
    });
    episode_ = new Stepper([](int v) { return tr("Starting Episode #: ") + QString::number(v); }, 1, 9999);
    show->addRow(episode_);
    connect(episode_, &Stepper::valueChanged, this,
            [this](int v) { model_.updatePreset([&](CastloomPreset& p) { p.episodeNumber = v; }); });

    // Loudness Target
    FormSection* loudness = add(tr("Loudness Target"));
    standard_ = addWidePicker(loudness, tr("Deliver for"));
    for (auto s : CastloomPreset::allLoudnessStandards()) standard_->addItem(text(displayName(s)), static_cast<int>(s));
    connect(standard_, &QComboBox::activated, this, [this](int index) {
        const auto standard = static_cast<Standard>(standard_->itemData(index).toInt());
        model_.updatePreset([&](CastloomPreset& p) { p.setLoudnessStandard(standard); });
    });
    auto* targetBox = new QWidget;
    auto* targetLayout = new QHBoxLayout(targetBox);
    targetLayout->setContentsMargins(0, 0, 0, 0);
    target_ = new QSlider(Qt::Horizontal, targetBox);
    target_->setRange(-30 * kTargetSteps, -10 * kTargetSteps);
    target_->setSingleStep(1);
    target_->setPageStep(2);
    target_->setAccessibleName(tr("Target loudness"));
    targetLayout->addWidget(target_, 1);
    targetValue_ = new QLabel(targetBox);
    ui::setFont(targetValue_, 11, Weight::bold, true);
    targetValue_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    targetValue_->setFixedWidth(std::max(80, targetValue_->fontMetrics().horizontalAdvance("-30.0 LUFS") + 4));
    targetLayout->addWidget(targetValue_);
    targetRow_ = loudness->addRow(targetBox);
    connect(target_, &QSlider::valueChanged, this, [this](int v) {
        model_.updatePreset([&](CastloomPreset& p) { p.targetLUFS = double(v) / kTargetSteps; });
    });
    loudnessNote_ = loudness->addNote(QString());

    // Clean-Up
    FormSection* cleanup = add(tr("Clean-Up"));
    rumble_ = cleanupToggle(cleanup, tr("Rumble Filter (80 Hz)"), &CleanupOptions::rumbleFilter,
                            tr("Removes desk thumps, traffic and mic-handling rumble."));
    hum_ = cleanup->addPicker(tr("Hum Removal"));
    for (auto mode : allHumModes()) hum_->addItem(text(displayName(mode)), static_cast<int>(mode));
    connect(hum_, &QComboBox::activated, this, [this](int index) {
        const auto mode = static_cast<CleanupOptions::HumMode>(hum_->itemData(index).toInt());
        model_.updatePreset([&](CastloomPreset& p) { p.cleanup.humRemoval = mode; });
    });
    leveler_ = cleanupToggle(cleanup, tr("Leveler (even out speakers)"), &CleanupOptions::leveler,
                             tr("Brings quiet guests up and loud moments down before loudness normalization."));
    gate_ = cleanupToggle(cleanup, tr("Noise Gate Between Phrases"), &CleanupOptions::noiseGate,
                          tr("Turns background noise down by 12 dB when nobody is talking."));
    trim_ = cleanupToggle(cleanup, tr("Trim Dead Air at Start and End"), &CleanupOptions::trimSilence);
    pause_ = cleanup->addPicker(tr("Shorten Long Pauses"));
    connect(pause_, &QComboBox::activated, this, [this](int index) {
        const double seconds = pause_->itemData(index).toDouble();
        model_.updatePreset([&](CastloomPreset& p) { p.cleanup.maxPauseSeconds = seconds; });
    });
    filler_ = toggle(cleanup, tr("Remove Filler Words (um, uh, repeats)"), &CastloomPreset::removeFillerWords);

    // Intro & Outro Music
    FormSection* music = add(tr("Intro & Outro Music"));
    intro_ = fileRow(music, tr("Intro"), audioTypes(), &CastloomPreset::introURL);
    outro_ = fileRow(music, tr("Outro"), audioTypes(), &CastloomPreset::outroURL);
    music->addNote(tr("Loudness-matched to the episode and joined with short fades."));

    // Exports
    FormSection* exports = add(tr("Exports"));
    master_ = toggle(exports, QString(), &CastloomPreset::generateMaster);
    rss_ = toggle(exports, QString(), &CastloomPreset::generateRSSMaster);
    transcript_ = toggle(exports, tr("Transcript (.srt, .vtt, .txt)"), &CastloomPreset::generateTranscripts);
    reference_ = toggle(exports, tr("16kHz Mono Whisper Reference WAV"), &CastloomPreset::generateWhisperReference);

    // Chapters
    FormSection* chapters = add(tr("Chapters"));
    chapters_ = addWidePicker(chapters, tr("Chapter Markers"));
    for (auto mode : CastloomPreset::allChapterModes()) chapters_->addItem(text(displayName(mode)), static_cast<int>(mode));
    connect(chapters_, &QComboBox::activated, this, [this](int index) {
        const auto mode = static_cast<ChapterMode>(chapters_->itemData(index).toInt());
        model_.updatePreset([&](CastloomPreset& p) { p.chapterMode = mode; });
    });
    chapterList_ = new QPlainTextEdit;
    chapterList_->setAccessibleName(tr("Chapter list"));
    ui::setFont(chapterList_, 11, Weight::regular, true);
    chapterList_->setFixedHeight(84);
    chapterList_->setFrameShape(QFrame::NoFrame);
    {
        QColor border = secondaryColor(this);
        border.setAlphaF(0.25);
        chapterList_->setStyleSheet(QString("QPlainTextEdit { border: 1px solid rgba(%1,%2,%3,%4); border-radius: 5px; }")
                                        .arg(border.red())
                                        .arg(border.green())
                                        .arg(border.blue())
                                        .arg(border.alphaF(), 0, 'f', 3));
    }
    chapterListRow_ = chapters->addRow(chapterList_);
    connect(chapterList_, &QPlainTextEdit::textChanged, this, [this] {
        const std::string typed = chapterList_->toPlainText().toStdString();
        if (typed == model_.preset().chapterList) return;
        model_.updatePreset([&](CastloomPreset& p) { p.chapterList = typed; });
    });
    chapterExample_ = chapters->addNote(tr("One per line, e.g.  0:00 Intro  ·  5:30 Interview  ·  42:10 Wrap-up"));
    chapterOutput_ = chapters->addNote(
        tr("Saved as a Podcasting 2.0 chapters file (.json) for your host and a timestamp list (.txt) for show notes. "
           "Also embedded in the MP3 when FFmpeg is installed."));

    // Social Audiogram
    FormSection* audiogram = add(tr("Social Audiogram"));
    audiogram_ = toggle(audiogram, tr("Audiogram Video (MP4)"), &CastloomPreset::generateAudiogram);
    shape_ = addWidePicker(audiogram, tr("Shape"));
    for (auto ratio : AudiogramGenerator::allAspectRatios()) shape_->addItem(text(shortName(ratio)), static_cast<int>(ratio));
    connect(shape_, &QComboBox::activated, this, [this](int index) {
        const auto ratio = static_cast<AudiogramGenerator::AspectRatio>(shape_->itemData(index).toInt());
        model_.updatePreset([&](CastloomPreset& p) { p.audiogramAspect = ratio; });
    });
    clip_ = addWidePicker(audiogram, tr("Clip"));
    clip_->addItem(tr("Liveliest part (automatic)"), 0);
    clip_->addItem(tr("Start of episode"), 1);
    clip_->addItem(tr("Starting at…"), 2);
    connect(clip_, &QComboBox::activated, this, [this](int index) {
        const int kind = clip_->itemData(index).toInt();
        model_.updatePreset([&](CastloomPreset& p) { p.audiogramClip = withClipKind(p.audiogramClip, kind); });
    });
    auto* startBox = new QWidget;
    auto* startLayout = new QHBoxLayout(startBox);
    startLayout->setContentsMargins(0, 0, 0, 0);
    startLayout->addWidget(new QLabel(tr("Start time"), startBox));
    startLayout->addStretch(1);
    start_ = new QLineEdit(startBox);
    start_->setPlaceholderText(tr("m:ss"));
    start_->setAccessibleName(tr("Start time"));
    ui::setFont(start_, 11, Weight::regular, true);
    start_->setFixedWidth(80);
    startLayout->addWidget(start_);
    startRow_ = audiogram->addRow(startBox);
    connect(start_, &QLineEdit::textEdited, this, [this](const QString& typed) {
        const auto seconds = ChapterBuilder::seconds(typed.trimmed().toStdString());
        if (!seconds) return;
        typingStart_ = true;
        model_.updatePreset([&](CastloomPreset& p) { p.audiogramClip = ClipChoice::at(*seconds); });
        typingStart_ = false;
    });
    // While typing the field keeps the user's text; afterwards it shows the stored start again.
    connect(start_, &QLineEdit::editingFinished, this, &CastloomOptions::refresh);
    length_ = audiogram->addPicker(tr("Length"));
    connect(length_, &QComboBox::activated, this, [this](int index) {
        const double seconds = length_->itemData(index).toDouble();
        model_.updatePreset([&](CastloomPreset& p) { p.audiogramSeconds = seconds; });
    });
    caption_ = toggle(audiogram, tr("Burn In Captions"), &CastloomPreset::captionAudiogram,
                      tr("Word-by-word highlighted captions from the on-device transcript."));
    artwork_ = fileRow(audiogram, tr("Cover Art"), {FileType::png(), FileType::jpeg()}, &CastloomPreset::artworkURL);

    connect(&model_, &StandaloneViewModelBase::presetChanged, this, &CastloomOptions::refresh);
    refresh();
}

void CastloomOptions::refresh() {
    const CastloomPreset& p = model_.preset();
    const bool mp3 = capabilities_.producesMP3 && capabilities_.producesMP3();
    const bool speech = capabilities_.transcriptionAvailable && capabilities_.transcriptionAvailable();

    std::vector<std::unique_ptr<QSignalBlocker>> blocked;
    for (QObject* o : std::initializer_list<QObject*>{showTitle_, host_, standard_, target_, rumble_, hum_, leveler_,
                                                      gate_, trim_, pause_, filler_, master_, rss_, transcript_,
                                                      reference_, chapters_, chapterList_, audiogram_, shape_, clip_,
                                                      start_, length_, caption_})
        blocked.push_back(std::make_unique<QSignalBlocker>(o));

    // Show
    if (showTitle_->text() != text(p.showTitle)) showTitle_->setText(text(p.showTitle));
    if (host_->text() != text(p.hostName)) host_->setText(text(p.hostName));
    episode_->setValue(p.episodeNumber);

    // Loudness Target
    const Standard standard = p.loudnessStandard();
    standard_->setCurrentIndex(standard_->findData(static_cast<int>(standard)));
    target_->setValue(static_cast<int>(std::lround(std::clamp(p.targetLUFS, -30.0, -10.0) * kTargetSteps)));
    targetValue_->setText(targetText(p.targetLUFS));
    targetRow_->setVisible(standard == Standard::custom);
    loudnessNote_->setText(loudnessNote(standard));

    // Clean-Up
    rumble_->setChecked(p.cleanup.rumbleFilter);
    hum_->setCurrentIndex(hum_->findData(static_cast<int>(p.cleanup.humRemoval)));
    leveler_->setChecked(p.cleanup.leveler);
    gate_->setChecked(p.cleanup.noiseGate);
    trim_->setChecked(p.cleanup.trimSilence);
    pause_->clear();
    int pauseIndex = 0;
    for (const auto& [label, seconds] : pauseRows(p.cleanup.maxPauseSeconds)) {
        if (seconds == p.cleanup.maxPauseSeconds) pauseIndex = pause_->count();
        pause_->addItem(label, seconds);
    }
    pause_->setCurrentIndex(pauseIndex);
    filler_->setChecked(p.removeFillerWords);
    const QString needsModel = tr("Needs an on-device speech model.");
    filler_->setEnabled(speech);
    rowOfControl(filler_)->findChild<QLabel*>("rowLabel")->setEnabled(speech);
    setLabel(filler_, tr("Remove Filler Words (um, uh, repeats)"),
             speech ? tr("Finds them in the on-device transcript and cuts them from the audio.") : needsModel);

    // Intro & Outro Music
    intro_->setUrl(p.introURL);
    outro_->setUrl(p.outroURL);

    // Exports
    master_->setChecked(p.generateMaster);
    setLabel(master_,
             standard == Standard::acx ? tr("24-bit WAV Master + ACX Check Report") : tr("24-bit WAV Loudness Master"),
             QString());
    rss_->setChecked(p.generateRSSMaster);
    setLabel(rss_, mp3 ? tr("192kbps MP3 RSS File (ID3 tags)") : tr("RSS File (AAC .m4a + tags)"),
             tr("MP3 export uses FFmpeg when it's installed (sudo apt install ffmpeg); otherwise an AAC .m4a is made."));
    transcript_->setChecked(p.generateTranscripts);
    transcript_->setEnabled(speech);
    rowOfControl(transcript_)->findChild<QLabel*>("rowLabel")->setEnabled(speech);
    setLabel(transcript_, tr("Transcript (.srt, .vtt, .txt)"),
             speech ? tr("Made on this computer; nothing is uploaded.") : needsModel);
    reference_->setChecked(p.generateWhisperReference);

    // Chapters
    chapters_->setCurrentIndex(chapters_->findData(static_cast<int>(p.chapterMode)));
    if (chapterList_->toPlainText().toStdString() != p.chapterList) chapterList_->setPlainText(text(p.chapterList));
    const bool manual = p.chapterMode == ChapterMode::manual;
    chapterListRow_->setVisible(manual);
    chapterExample_->setVisible(manual);
    chapterOutput_->setVisible(p.chapterMode != ChapterMode::off);

    // Social Audiogram
    audiogram_->setChecked(p.generateAudiogram);
    shape_->setCurrentIndex(shape_->findData(static_cast<int>(p.audiogramAspect)));
    clip_->setCurrentIndex(clipKind(p.audiogramClip));
    const bool at = p.audiogramClip.kind == ClipChoice::Kind::at;
    if (at && !typingStart_) start_->setText(text(ChapterBuilder::clock(p.audiogramClip.seconds, false)));
    length_->clear();
    int lengthIndex = 0;
    const auto lengths = lengthRows(p.audiogramSeconds);
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        if (lengths[i].second == p.audiogramSeconds) lengthIndex = static_cast<int>(i);
        length_->addItem(lengths[i].first, lengths[i].second);
    }
    if (lengths.size() > 5) lengthIndex = 5;  // the stored value's own row (also when it is not a number)
    length_->setCurrentIndex(lengthIndex);
    caption_->setChecked(p.captionAudiogram);
    caption_->setEnabled(speech);
    rowOfControl(caption_)->findChild<QLabel*>("rowLabel")->setEnabled(speech);
    artwork_->setUrl(p.artworkURL);

    const bool on = p.generateAudiogram;
    for (QWidget* control : {static_cast<QWidget*>(shape_), static_cast<QWidget*>(clip_),
                             static_cast<QWidget*>(length_), static_cast<QWidget*>(caption_)})
        rowOfControl(control)->setVisible(on);
    startRow_->setVisible(on && at);
}

}  // namespace lw::ui
