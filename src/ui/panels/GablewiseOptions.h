#pragma once
// The option panel of the real-estate photo vertical: "Listing", "Photo Fixes", "Web Set",
// "Print Set" and "Watermark". Each control writes one field of the model's GablewisePreset;
// the bracket note, the portal rows, the custom size rows and the opacity slider show only
// when their switch or choice asks for them (hidden fields keep their values).
#include <QString>
#include <QWidget>

#include <vector>

#include "presets/GablewisePreset.h"
#include "ui/OptionWidgets.h"
#include "ui/StandaloneViewModel.h"

class QSlider;

namespace lw::ui {

class GablewiseOptions : public OptionForm {
    Q_OBJECT
public:
    using Model = StandaloneViewModel<GablewisePreset>;

    explicit GablewiseOptions(Model& model, QWidget* parent = nullptr);

    // The naming tokens of this vertical.
    static QString tokens();
    // 1024, 1536, 2048, 2560, 3000, 4096, plus `value` in order when it is not one of them.
    static std::vector<double> dimensionChoices(double value);
    // 500, 1000, 2000, 3000, 5000, 10000 (KB), plus `value` in order when it is not one of them.
    static std::vector<int> sizeChoices(int value);
    // "2048 px" (fraction dropped); "1.5 MB" from 1000 KB up, else "750 KB"; "Opacity 85%".
    static QString dimensionLabel(double pixels);
    static QString sizeLabel(int kilobytes);
    static QString opacityLabel(double opacity);

    // The controls, for tests.
    QLineEdit* addressField() const { return address_; }
    QCheckBox* mergeToggle() const { return merge_; }
    OptionNote* bracketNote() const { return bracketNote_; }
    QCheckBox* straightenToggle() const { return straighten_; }
    QCheckBox* stripToggle() const { return strip_; }
    QCheckBox* webToggle() const { return web_; }
    QComboBox* portalPicker() const { return portal_; }
    OptionNote* portalNote() const { return portalNote_; }
    QComboBox* dimensionPicker() const { return dimension_; }
    QComboBox* sizePicker() const { return size_; }
    QComboBox* shapePicker() const { return shape_; }
    QCheckBox* printToggle() const { return print_; }
    FilePickerRow* logoRow() const { return logo_; }
    QSlider* opacitySlider() const { return opacity_; }
    QLabel* opacityText() const { return opacityLabel_; }
    // Whether a control's row is shown (not hidden explicitly).
    bool isShown(QWidget* control) const;

private:
    void refresh();

    Model& model_;
    QLineEdit* address_;
    QCheckBox* merge_;
    OptionNote* bracketNote_;
    QCheckBox* straighten_;
    QCheckBox* strip_;
    QCheckBox* web_;
    QComboBox* portal_;
    OptionNote* portalNote_;
    QComboBox* dimension_;
    QComboBox* size_;
    QComboBox* shape_;
    QCheckBox* print_;
    FilePickerRow* logo_;
    QWidget* opacityRow_;
    QLabel* opacityLabel_;
    QSlider* opacity_;
};

}  // namespace lw::ui
