#pragma once
// The option panel of the game-texture vertical: "What To Do" picks the operation, and only the
// sections of that operation follow (channel layout and map names, normal conventions, GPU
// sizing, sprite-sheet packing, the tiling note). Each control writes one field of the model's
// MapforgePreset; switching operations or hiding a row never changes a field.
#include <QString>
#include <QWidget>

#include <cstdint>
#include <vector>

#include "presets/MapforgePreset.h"
#include "ui/OptionWidgets.h"
#include "ui/StandaloneViewModel.h"
#include "ui/panels/PanelControls.h"

class QSlider;

namespace lw::ui {

class MapforgeOptions : public OptionForm {
    Q_OBJECT
public:
    using Model = StandaloneViewModel<MapforgePreset>;

    explicit MapforgeOptions(Model& model, QWidget* parent = nullptr);

    // The naming tokens of this vertical.
    static QString tokens();
    // The "Max Size" rows as (label, value): "No limit", "1024 (mobile)", "2048", "4096",
    // "8192", then the current value when it is none of these.
    static std::vector<std::pair<QString, std::int64_t>> maxSizeRows(std::int64_t current);
    // "2.0": one decimal.
    static QString strengthText(double strength);

    // One "Convention" or "Convert to" picker with its "Strength" row where the mode has one.
    struct NormalControls {
        QComboBox* convention = nullptr;
        QSlider* strength = nullptr;
        QLabel* strengthValue = nullptr;
        QWidget* strengthRow = nullptr;
    };

    // The parts, for tests.
    FormSection* section(const QString& title) const;
    // Titles of the sections shown, in order.
    QStringList shownSections() const;
    bool isShown(const QWidget* control) const { return isShownIn(this, control); }
    QComboBox* operationPicker() const { return operation_; }
    QComboBox* targetPicker() const { return target_; }
    QLabel* layoutText() const { return layout_; }
    QCheckBox* missingNormalToggle() const { return missingNormal_; }
    const NormalControls& packingNormals() const { return packingNormals_; }
    const NormalControls& convertNormals() const { return convertNormals_; }
    const NormalControls& heightNormals() const { return heightNormals_; }
    QLabel* mapNamesText() const { return mapNames_; }
    QCheckBox* potToggle() const { return pot_; }
    QCheckBox* squareToggle() const { return square_; }
    QComboBox* sizingMaxSizePicker() const { return sizingMaxSize_; }
    QCheckBox* mipmapToggle() const { return mipmaps_; }
    QComboBox* formatPicker() const { return format_; }
    QCheckBox* trimToggle() const { return trim_; }
    QCheckBox* rotateToggle() const { return rotate_; }
    Stepper* paddingStepper() const { return padding_; }
    Stepper* extrudeStepper() const { return extrude_; }
    QCheckBox* halfScaleToggle() const { return halfScale_; }
    QComboBox* spriteMaxSizePicker() const { return spriteMaxSize_; }

private:
    QComboBox* conventionPicker(FormSection* section, const QString& title);
    NormalControls normalControls(FormSection* section, const QString& title);
    QComboBox* maxSizePicker(FormSection* section);
    void toggle(QCheckBox* box, bool MapforgePreset::*field);
    void refresh();

    Model& model_;
    std::vector<FormSection*> sections_;
    std::vector<QComboBox*> conventionPickers_;
    std::vector<NormalControls> strengthRows_;
    std::vector<QComboBox*> maxSizePickers_;
    QComboBox* operation_;
    QComboBox* target_;
    QLabel* layout_;
    QCheckBox* missingNormal_;
    NormalControls packingNormals_;
    NormalControls convertNormals_;
    NormalControls heightNormals_;
    QLabel* mapNames_;
    QCheckBox* pot_;
    QCheckBox* square_;
    QComboBox* sizingMaxSize_;
    QCheckBox* mipmaps_;
    QComboBox* format_;
    QCheckBox* trim_;
    QCheckBox* rotate_;
    Stepper* padding_;
    Stepper* extrude_;
    QCheckBox* halfScale_;
    QComboBox* spriteMaxSize_;
};

}  // namespace lw::ui
