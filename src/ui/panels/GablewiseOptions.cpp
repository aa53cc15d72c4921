#include "ui/panels/GablewiseOptions.h"

#include <QHBoxLayout>
#include <QSignalBlocker>
#include <QSlider>

#include <algorithm>
#include <cmath>

namespace lw::ui {

namespace fs = std::filesystem;

QString GablewiseOptions::tokens() { return "{address}, {index:02}, {size}, {name}, {date}"; }

std::vector<double> GablewiseOptions::dimensionChoices(double value) {
    std::vector<double> choices{1024, 1536, 2048, 2560, 3000, 4096};
    if (std::find(choices.begin(), choices.end(), value) == choices.end()) {
        choices.push_back(value);
        std::sort(choices.begin(), choices.end());
    }
    return choices;
}

std::vector<int> GablewiseOptions::sizeChoices(int value) {
    std::vector<int> choices{500, 1000, 2000, 3000, 5000, 10000};
    if (std::find(choices.begin(), choices.end(), value) == choices.end()) {
        choices.push_back(value);
        std::sort(choices.begin(), choices.end());
    }
    return choices;
}

QString GablewiseOptions::dimensionLabel(double pixels) {
    return QString::number(static_cast<long long>(pixels)) + " px";
}

QString GablewiseOptions::sizeLabel(int kilobytes) {
    if (kilobytes >= 1000) return QString::asprintf("%g", kilobytes / 1000.0) + " MB";
    return QString::number(kilobytes) + " KB";
}

QString GablewiseOptions::opacityLabel(double opacity) {
    return tr("Opacity ") + QString::number(static_cast<long long>(opacity * 100)) + "%";
}

GablewiseOptions::GablewiseOptions(Model& model, QWidget* parent) : OptionForm(parent), model_(model) {
    // Listing
    FormSection* listing = addSection(tr("Listing"));
    address_ = listing->addTextField(tr("Property Address"));
    listing->addNote(tr("Used for the {address} part of file names."));

    // Photo Fixes
    FormSection* fixes = addSection(tr("Photo Fixes"));
    merge_ = fixes->addToggle(
        tr("Merge Exposure Brackets"),
        tr("Blends the 3-7 shots of one scene taken at different exposures into one evenly lit photo."));
    bracketNote_ = fixes->addNote(
        tr("Shots taken seconds apart at different exposures become one natural-looking photo (windows and "
           "interiors both visible). Use a tripod or hold steady."));
    straighten_ = fixes->addToggle(tr("Auto-Straighten Vertical Lines"), tr("Corrects leaning walls and tilted horizons."));
    strip_ = fixes->addToggle(tr("Remove GPS & Private Metadata"), tr("Removes location data for seller privacy."));

    // Web Set
    FormSection* webSet = addSection(tr("Web Set"));
    web_ = webSet->addToggle(tr("Export Web Set"));
    portal_ = webSet->addPicker(tr("Made for"));
    for (auto portal : GablewisePreset::allPortals())
        portal_->addItem(QString::fromStdString(displayName(portal)), static_cast<int>(portal));
    portalNote_ = webSet->addNote(QString());
    dimension_ = webSet->addPicker(tr("Longest Side"));
    size_ = webSet->addPicker(tr("File Size Limit"));
    shape_ = webSet->addPicker(tr("Shape"));
    for (auto aspect : GablewisePreset::allWebAspects())
        shape_->addItem(QString::fromStdString(displayName(aspect)), static_cast<int>(aspect));

    // Print Set
    FormSection* printSet = addSection(tr("Print Set"));
    print_ = printSet->addToggle(tr("Export Full-Resolution Print Set"));

    // Watermark
    FormSection* watermark = addSection(tr("Watermark"));
    logo_ = new FilePickerRow(
        tr("Logo"), {FileType::png(), FileType::jpeg()},
        [this](std::optional<fs::path> url) { model_.updatePreset([&](GablewisePreset& p) { p.watermarkURL = url; }); },
        model_.services());
    watermark->addRow(logo_);
    auto* sliderRow = new QWidget;
    auto* sliderLayout = new QHBoxLayout(sliderRow);
    sliderLayout->setContentsMargins(0, 0, 0, 0);
    opacityLabel_ = new QLabel(sliderRow);
    opacityLabel_->setMinimumWidth(opacityLabel_->fontMetrics().horizontalAdvance(opacityLabel(1.0)) + 4);
    opacity_ = new QSlider(Qt::Horizontal, sliderRow);
    opacity_->setRange(100, 1000);  // thousandths of 0.1 ... 1.0
    opacity_->setAccessibleName(tr("Opacity"));
    sliderLayout->addWidget(opacityLabel_);
    sliderLayout->addWidget(opacity_, 1);
    opacityRow_ = watermark->addRow(sliderRow);

    connect(address_, &QLineEdit::textEdited, this, [this](const QString& text) {
        model_.updatePreset([&](GablewisePreset& p) { p.propertyAddress = text.toStdString(); });
    });
    const auto toggle = [this](QCheckBox* box, bool GablewisePreset::*field) {
        connect(box, &QCheckBox::toggled, this,
                [this, field](bool on) { model_.updatePreset([&](GablewisePreset& p) { p.*field = on; }); });
    };
    toggle(merge_, &GablewisePreset::mergeBrackets);
    toggle(straighten_, &GablewisePreset::autoStraightenVerticals);
    toggle(strip_, &GablewisePreset::stripGPSMetadata);
    toggle(web_, &GablewisePreset::exportWebPackage);
    toggle(print_, &GablewisePreset::exportPrintPackage);
    connect(portal_, &QComboBox::activated, this, [this](int index) {
        const auto portal = static_cast<GablewisePreset::Portal>(portal_->itemData(index).toInt());
        model_.updatePreset([&](GablewisePreset& p) { p.setPortal(portal); });
    });
    connect(dimension_, &QComboBox::activated, this, [this](int index) {
        const double value = dimension_->itemData(index).toDouble();
        model_.updatePreset([&](GablewisePreset& p) { p.maxWebDimension = value; });
    });
    connect(size_, &QComboBox::activated, this, [this](int index) {
        const int value = size_->itemData(index).toInt();
        model_.updatePreset([&](GablewisePreset& p) { p.maxWebFileSizeKB = value; });
    });
    connect(shape_, &QComboBox::activated, this, [this](int index) {
        const auto aspect = static_cast<GablewisePreset::WebAspect>(shape_->itemData(index).toInt());
        model_.updatePreset([&](GablewisePreset& p) { p.webAspect = aspect; });
    });
    connect(opacity_, &QSlider::valueChanged, this, [this](int value) {
        model_.updatePreset([&](GablewisePreset& p) { p.watermarkOpacity = value / 1000.0; });
    });
    connect(&model_, &StandaloneViewModelBase::presetChanged, this, &GablewiseOptions::refresh);
    refresh();
}

bool GablewiseOptions::isShown(QWidget* control) const {
    for (QWidget* w = control; w && w != this; w = w->parentWidget())
        if (w->isHidden()) return false;
    return true;
}

void GablewiseOptions::refresh() {
    const GablewisePreset& p = model_.preset();
    const QSignalBlocker b1(address_), b2(merge_), b3(straighten_), b4(strip_), b5(web_), b6(portal_), b7(dimension_),
        b8(size_), b9(shape_), b10(print_), b11(opacity_);

    if (address_->text() != QString::fromStdString(p.propertyAddress))
        address_->setText(QString::fromStdString(p.propertyAddress));
    merge_->setChecked(p.mergeBrackets);
    straighten_->setChecked(p.autoStraightenVerticals);
    strip_->setChecked(p.stripGPSMetadata);
    web_->setChecked(p.exportWebPackage);
    print_->setChecked(p.exportPrintPackage);

    portal_->setCurrentIndex(portal_->findData(static_cast<int>(p.portal())));
    portalNote_->setText(QString::fromStdString(note(p.portal())));

    dimension_->clear();
    for (double d : dimensionChoices(p.maxWebDimension)) dimension_->addItem(dimensionLabel(d), d);
    dimension_->setCurrentIndex(dimension_->findData(p.maxWebDimension));
    size_->clear();
    for (int k : sizeChoices(p.maxWebFileSizeKB)) size_->addItem(sizeLabel(k), k);
    size_->setCurrentIndex(size_->findData(p.maxWebFileSizeKB));
    shape_->setCurrentIndex(shape_->findData(static_cast<int>(p.webAspect)));

    logo_->setUrl(p.watermarkURL);
    opacityLabel_->setText(opacityLabel(p.watermarkOpacity));
    opacity_->setValue(static_cast<int>(std::lround(std::clamp(p.watermarkOpacity, 0.1, 1.0) * 1000)));

    // What shows follows the preset alone.
    const auto rowOf = [](QWidget* control) {
        return qobject_cast<QWidget*>(control->property("lwRow").value<QObject*>());
    };
    rowOf(bracketNote_)->setVisible(p.mergeBrackets);
    rowOf(portal_)->setVisible(p.exportWebPackage);
    rowOf(portalNote_)->setVisible(p.exportWebPackage);
    const bool custom = p.exportWebPackage && p.portal() == GablewisePreset::Portal::custom;
    rowOf(dimension_)->setVisible(custom);
    rowOf(size_)->setVisible(custom);
    rowOf(shape_)->setVisible(custom);
    opacityRow_->setVisible(p.watermarkURL.has_value());
}

}  // namespace lw::ui
