#pragma once
// The option panel of the podcast vertical: "Show", "Loudness Target", "Clean-Up", "Intro &
// Outro Music", "Exports", "Chapters" and "Social Audiogram". Each control writes one field of
// the model's CastloomPreset. What the machine can deliver is asked at every redraw: whether the
// RSS file will be an MP3 (an `ffmpeg` program is found) and whether on-device transcription is
// available; the answers change labels, help texts and enabled states, never a stored field.
#include <QString>
#include <QWidget>

#include <functional>
#include <vector>

#include "presets/CastloomPreset.h"
#include "ui/OptionWidgets.h"
#include "ui/StandaloneViewModel.h"
#include "ui/panels/PanelControls.h"

class QPlainTextEdit;
class QSlider;

namespace lw::ui {

// The panel's questions about the machine, asked afresh at every redraw.
struct PodcastCapabilities {
    std::function<bool()> producesMP3;
    std::function<bool()> transcriptionAvailable;
    // The shared export pipeline and the installed recogniser.
    static PodcastCapabilities current();
    // What these answer; both must outlive the panel.
    static PodcastCapabilities of(const AudioVideoPipeline& pipeline, const Transcriber& transcriber);
};

class CastloomOptions : public OptionForm {
    Q_OBJECT
public:
    using Model = StandaloneViewModel<CastloomPreset>;

    explicit CastloomOptions(Model& model, PodcastCapabilities capabilities = PodcastCapabilities::current(),
                             QWidget* parent = nullptr);

    // The naming tokens of this vertical.
    static QString tokens();
    // The note under the loudness picker for this standard.
    static QString loudnessNote(CastloomPreset::LoudnessStandard standard);
    // "-16.0 LUFS".
    static QString targetText(double lufs);
    // Pause rows as (label, seconds): "Off", "Longer than 1.5 s", "Longer than 2 s",
    // "Longer than 3 s", then "Longer than %.1f s" of the stored value when it is none of them.
    static std::vector<std::pair<QString, double>> pauseRows(double stored);
    // Length rows: 15, 30, 45, 60, 90 " seconds", then the stored value when it is none of them.
    static std::vector<std::pair<QString, double>> lengthRows(double stored);
    // 0 automatic, 1 start of episode, 2 a given start.
    static int clipKind(const AudioVideoPipeline::ClipChoice& clip);
    // The clip after choosing kind `kind`: a start time already set is kept, otherwise one minute.
    static AudioVideoPipeline::ClipChoice withClipKind(const AudioVideoPipeline::ClipChoice& clip, int kind);

    // Re-reads the preset and asks the machine again (the model's changes call it).
    void refresh();

    // The parts, for tests.
    FormSection* section(const QString& title) const;
    QStringList sectionTitles() const;
    bool isShown(const QWidget* control) const { return isShownIn(this, control); }
    // The caption and the help of a toggle's row.
    QString labelOf(QWidget* control) const;
    QString helpOf(QWidget* control) const;
    QLineEdit* showTitleField() const { return showTitle_; }
    QLineEdit* hostField() const { return host_; }
    Stepper* episodeStepper() const { return episode_; }
    QComboBox* standardPicker() const { return standard_; }
    QSlider* targetSlider() const { return target_; }
    QLabel* targetValue() const { return targetValue_; }
    OptionNote* loudnessNoteLabel() const { return loudnessNote_; }
    QCheckBox* rumbleToggle() const { return rumble_; }
    QComboBox* humPicker() const { return hum_; }
    QCheckBox* levelerToggle() const { return leveler_; }
    QCheckBox* gateToggle() const { return gate_; }
    QCheckBox* trimToggle() const { return trim_; }
    QComboBox* pausePicker() const { return pause_; }
    QCheckBox* fillerToggle() const { return filler_; }
    FilePickerRow* introRow() const { return intro_; }
    FilePickerRow* outroRow() const { return outro_; }
    QCheckBox* masterToggle() const { return master_; }
    QCheckBox* rssToggle() const { return rss_; }
    QCheckBox* transcriptToggle() const { return transcript_; }
    QCheckBox* referenceToggle() const { return reference_; }
    QComboBox* chapterPicker() const { return chapters_; }
    QPlainTextEdit* chapterEditor() const { return chapterList_; }
    OptionNote* chapterExampleNote() const { return chapterExample_; }
    OptionNote* chapterOutputNote() const { return chapterOutput_; }
    QCheckBox* audiogramToggle() const { return audiogram_; }
    QComboBox* shapePicker() const { return shape_; }
    QComboBox* clipPicker() const { return clip_; }
    QLineEdit* startField() const { return start_; }
    QComboBox* lengthPicker() const { return length_; }
    QCheckBox* captionToggle() const { return caption_; }
    FilePickerRow* artworkRow() const { return artwork_; }

private:
    QCheckBox* toggle(FormSection* section, const QString& label, bool CastloomPreset::*field,
                      const QString& help = {});
    QCheckBox* cleanupToggle(FormSection* section, const QString& label, bool CleanupOptions::*field,
                             const QString& help = {});
    FilePickerRow* fileRow(FormSection* section, const QString& label, std::vector<FileType> types,
                           std::optional<std::filesystem::path> CastloomPreset::*field);
    void setLabel(QWidget* control, const QString& label, const QString& help);

    Model& model_;
    PodcastCapabilities capabilities_;
    std::vector<FormSection*> sections_;
    QLineEdit* showTitle_;
    QLineEdit* host_;
    Stepper* episode_;
    QComboBox* standard_;
    QWidget* targetRow_;
    QSlider* target_;
    QLabel* targetValue_;
    OptionNote* loudnessNote_;
    QCheckBox* rumble_;
    QComboBox* hum_;
    QCheckBox* leveler_;
    QCheckBox* gate_;
    QCheckBox* trim_;
    QComboBox* pause_;
    QCheckBox* filler_;
    FilePickerRow* intro_;
    FilePickerRow* outro_;
    QCheckBox* master_;
    QCheckBox* rss_;
    QCheckBox* transcript_;
    QCheckBox* reference_;
    QComboBox* chapters_;
    QPlainTextEdit* chapterList_;
    QWidget* chapterListRow_;
    OptionNote* chapterExample_;
    OptionNote* chapterOutput_;
    QCheckBox* audiogram_;
    QComboBox* shape_;
    QComboBox* clip_;
    QWidget* startRow_;
    QLineEdit* start_;
    QComboBox* length_;
    QCheckBox* caption_;
    FilePickerRow* artwork_;
    bool typingStart_ = false;  // the start field's own edit is being stored
};

}  // namespace lw::ui
