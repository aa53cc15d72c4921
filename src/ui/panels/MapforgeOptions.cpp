#include "ui/panels/MapforgeOptions.h"

#include <QHBoxLayout>
#include <QSignalBlocker>
#include <QSlider>

#include <algorithm>
#include <cmath>
#include <memory>

#include "ui/Style.h"

namespace lw::ui {

using Mode = MapforgePreset::OperationalMode;

namespace {

constexpr int kStrengthScale = 1000;  // slider units per strength unit

QString text(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

QString MapforgeOptions::tokens() { return "{name}, {profile}, {pot}, {index:02}, {ext}"; }

std::vector<std::pair<QString, std::int64_t>> MapforgeOptions::maxSizeRows(std::int64_t current) {
    std::vector<std::pair<QString, std::int64_t>> rows{
        {tr("No limit"), 0}, {tr("1024 (mobile)"), 1024}, {"2048", 2048}, {"4096", 4096}, {"8192", 8192}};
    const bool listed = std::any_of(rows.begin(), rows.end(), [&](const auto& row) { return row.second == current; });
    if (!listed) rows.emplace_back(QString::number(current), current);
    return rows;
}

QString MapforgeOptions::strengthText(double strength) { return QString::asprintf("%.1f", strength); }

QComboBox* MapforgeOptions::conventionPicker(FormSection* section, const QString& title) {
    QComboBox* picker = addWidePicker(section, title);
    for (auto convention : allNormalConventions())
        picker->addItem(text(displayName(convention)), static_cast<int>(convention));
    connect(picker, &QComboBox::activated, this, [this, picker](int index) {
        const auto convention = static_cast<ChannelPacker::NormalConvention>(picker->itemData(index).toInt());
        model_.updatePreset([&](MapforgePreset& p) { p.normalTarget = convention; });
    });
    conventionPickers_.push_back(picker);
    return picker;
}

MapforgeOptions::NormalControls MapforgeOptions::normalControls(FormSection* section, const QString& title) {
    NormalControls controls;
    controls.convention = conventionPicker(section, title);
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new QLabel(tr("Strength"), row));
    controls.strength = new QSlider(Qt::Horizontal, row);
    controls.strength->setRange(static_cast<int>(0.5 * kStrengthScale), static_cast<int>(10.0 * kStrengthScale));
    controls.strength->setAccessibleName(tr("Strength"));
    layout->addWidget(controls.strength, 1);
    controls.strengthValue = new QLabel(row);
    ui::setFont(controls.strengthValue, 11, Weight::regular, true);
    controls.strengthValue->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    controls.strengthValue->setFixedWidth(std::max(30, controls.strengthValue->fontMetrics().horizontalAdvance("10.0") + 2));
    layout->addWidget(controls.strengthValue);
    controls.strengthRow = section->addRow(row);
    QSlider* slider = controls.strength;
    connect(slider, &QSlider::valueChanged, this, [this](int value) {
        model_.updatePreset([&](MapforgePreset& p) { p.normalStrength = double(value) / kStrengthScale; });
    });
    strengthRows_.push_back(controls);
    return controls;
}

QComboBox* MapforgeOptions::maxSizePicker(FormSection* section) {
    QComboBox* picker = section->addPicker(
        tr("Max Size"), tr("Downscales anything larger, keeping the aspect ratio. For sprite sheets it's the largest sheet."));
    connect(picker, &QComboBox::activated, this, [this, picker](int index) {
        const auto size = picker->itemData(index).toLongLong();
        model_.updatePreset([&](MapforgePreset& p) { p.maxTextureSize = size; });
    });
    maxSizePickers_.push_back(picker);
    return picker;
}

void MapforgeOptions::toggle(QCheckBox* box, bool MapforgePreset::*field) {
    connect(box, &QCheckBox::toggled, this,
            [this, field](bool on) { model_.updatePreset([&](MapforgePreset& p) { p.*field = on; }); });
}

MapforgeOptions::MapforgeOptions(Model& model, QWidget* parent) : OptionForm(parent), model_(model) {
    const auto add = [this](const QString& title) {
        FormSection* s = addSection(title);
        sections_.push_back(s);
        return s;
    };

    // What To Do
    FormSection* what = add(tr("What To Do"));
    operation_ = addWidePicker(what, tr("Operation"));
    for (auto mode : allOperationalModes()) operation_->addItem(text(rawValue(mode)), static_cast<int>(mode));
    connect(operation_, &QComboBox::activated, this, [this](int index) {
        const auto mode = static_cast<Mode>(operation_->itemData(index).toInt());
        model_.updatePreset([&](MapforgePreset& p) { p.operationalMode = mode; });
    });

    // Engine Channel Layout
    FormSection* layout = add(tr("Engine Channel Layout"));
    target_ = addWidePicker(layout, tr("Target"));
    for (auto profile : allEngineProfiles()) target_->addItem(text(displayName(profile)), static_cast<int>(profile));
    connect(target_, &QComboBox::activated, this, [this](int index) {
        const auto profile = static_cast<ChannelPacker::EngineProfile>(target_->itemData(index).toInt());
        model_.updatePreset([&](MapforgePreset& p) { p.engineProfile = profile; });
    });
    layout_ = addTextBlock(layout, QString(), true);
    layout->addNote(tr("Roughness and smoothness are converted automatically, so either kind of map works."));
    missingNormal_ = layout->addToggle(
        tr("Make Normal Map When Missing"),
        tr("If a material has a height map but no normal map, one is generated from the height map."));
    toggle(missingNormal_, &MapforgePreset::generateMissingNormal);
    packingNormals_ = normalControls(layout, "Convention");

    // Recognised Map Names
    FormSection* names = add(tr("Recognised Map Names"));
    mapNames_ = addTextBlock(names,
                             QStringLiteral("_AO · _Roughness · _Smoothness · _Gloss\n_Metallic · _Height · _DetailMask\n\n") +
                                 tr("Drop a whole material folder: one packed texture per material."),
                             true, true);

    // Normal Map Convention
    FormSection* convert = add(tr("Normal Map Convention"));
    convertNormals_.convention = conventionPicker(convert, "Convert to");
    convert->addNote(tr("Flips the green channel. Files already named for the target (e.g. _NormalGL) are skipped."));

    // Normal Map from Height
    FormSection* height = add(tr("Normal Map from Height"));
    heightNormals_ = normalControls(height, "Convention");
    height->addNote(tr("Drop height, displacement or bump maps (_Height, _Disp, _Bump). Edges wrap, so tiling height "
                       "maps give tiling normal maps."));

    // GPU Sizing (full form; the short form shows the size picker alone)
    FormSection* sizing = add(tr("GPU Sizing"));
    pot_ = sizing->addToggle(tr("Enforce Power-of-Two Dimensions"),
                             tr("Aligns dimensions to 512, 1024, 2048 or 4096 for ASTC/BC GPU compression."));
    toggle(pot_, &MapforgePreset::enforcePOT);
    square_ = sizing->addToggle(tr("Force Square Texture"),
                                tr("Stretch to a square texture (e.g. 2048x1024 becomes 2048x2048)."));
    toggle(square_, &MapforgePreset::forceSquare);
    sizingMaxSize_ = maxSizePicker(sizing);
    mipmaps_ = sizing->addToggle(tr("Generate Mipmap Chain (_mip0.._mipN)"));
    toggle(mipmaps_, &MapforgePreset::generateMipmaps);

    // Sprite Sheet Packing
    FormSection* sprite = add(tr("Sprite Sheet Packing"));
    format_ = addWidePicker(sprite, tr("Data Format"));
    for (auto format : allDataFormats()) format_->addItem(text(displayName(format)), static_cast<int>(format));
    connect(format_, &QComboBox::activated, this, [this](int index) {
        const auto format = static_cast<SpriteSheetCompiler::DataFormat>(format_->itemData(index).toInt());
        model_.updatePreset([&](MapforgePreset& p) { p.spriteFormat = format; });
    });
    trim_ = sprite->addToggle(tr("Trim Transparent Edges"),
                              tr("Crops empty space around each frame; the data file keeps the offset so sprites stay "
                                 "in place."));
    toggle(trim_, &MapforgePreset::spriteTrim);
    rotate_ = sprite->addToggle(tr("Rotate Frames to Pack Tighter"), tr("Supported by the JSON and Cocos formats."));
    toggle(rotate_, &MapforgePreset::spriteRotate);
    padding_ = new Stepper([](int v) { return tr("Padding: ") + QString::number(v) + " px"; }, 0, 16);
    sprite->addRow(padding_);
    connect(padding_, &Stepper::valueChanged, this,
            [this](int v) { model_.updatePreset([&](MapforgePreset& p) { p.spritePadding = v; }); });
    extrude_ = new Stepper([](int v) { return tr("Extrude: ") + QString::number(v) + " px"; }, 0, 8);
    sprite->addRow(extrude_)->setToolTip(
        tr("Repeats edge pixels outward so filtering never bleeds in neighbouring frames."));
    connect(extrude_, &Stepper::valueChanged, this,
            [this](int v) { model_.updatePreset([&](MapforgePreset& p) { p.spriteExtrude = v; }); });
    halfScale_ = sprite->addToggle(tr("Also Export @1x Half-Size Sheet"));
    toggle(halfScale_, &MapforgePreset::spriteHalfScale);
    spriteMaxSize_ = maxSizePicker(sprite);
    sprite->addNote(tr("Identical frames are stored once. Sets too big for one sheet continue on extra sheets "
                       "(_Atlas-0, _Atlas-1…)."));

    // Seamless Tiling Check
    FormSection* tiling = add(tr("Seamless Tiling Check"));
    addTextBlock(tiling,
                 tr("Compares each texture's opposite edges. Textures that tile cleanly pass; ones with a visible seam "
                    "are marked failed, with a 2x2 tiled preview saved so you can see it."),
                 false, true);

    connect(&model_, &StandaloneViewModelBase::presetChanged, this, &MapforgeOptions::refresh);
    refresh();
}

FormSection* MapforgeOptions::section(const QString& title) const {
    for (FormSection* s : sections_)
        if (s->title() == title) return s;
    return nullptr;
}

QStringList MapforgeOptions::shownSections() const {
    QStringList titles;
    for (FormSection* s : sections_)
        if (!s->isHidden()) titles << s->title();
    return titles;
}

void MapforgeOptions::refresh() {
    const MapforgePreset& p = model_.preset();
    std::vector<std::unique_ptr<QSignalBlocker>> blocked;
    std::vector<QObject*> controls{operation_, target_, missingNormal_, pot_, square_, mipmaps_, format_, trim_,
                                   rotate_, halfScale_};
    controls.insert(controls.end(), conventionPickers_.begin(), conventionPickers_.end());
    controls.insert(controls.end(), maxSizePickers_.begin(), maxSizePickers_.end());
    for (const NormalControls& c : strengthRows_) controls.push_back(c.strength);
    for (QObject* o : controls) blocked.push_back(std::make_unique<QSignalBlocker>(o));

    operation_->setCurrentIndex(operation_->findData(static_cast<int>(p.operationalMode)));
    target_->setCurrentIndex(target_->findData(static_cast<int>(p.engineProfile)));
    layout_->setText(text(layoutDescription(p.engineProfile)));
    missingNormal_->setChecked(p.generateMissingNormal);
    for (QComboBox* picker : conventionPickers_)
        picker->setCurrentIndex(picker->findData(static_cast<int>(p.normalTarget)));
    for (const NormalControls& c : strengthRows_) {
        c.strength->setValue(static_cast<int>(std::lround(std::clamp(p.normalStrength, 0.5, 10.0) * kStrengthScale)));
        c.strengthValue->setText(strengthText(p.normalStrength));
    }
    pot_->setChecked(p.enforcePOT);
    square_->setChecked(p.forceSquare);
    mipmaps_->setChecked(p.generateMipmaps);
    for (QComboBox* picker : maxSizePickers_) {
        picker->clear();
        for (const auto& [label, value] : maxSizeRows(p.maxTextureSize)) picker->addItem(label, qlonglong(value));
        picker->setCurrentIndex(picker->findData(qlonglong(p.maxTextureSize)));
    }
    format_->setCurrentIndex(format_->findData(static_cast<int>(p.spriteFormat)));
    trim_->setChecked(p.spriteTrim);
    rotate_->setChecked(p.spriteRotate);
    rotate_->setEnabled(supportsRotation(p.spriteFormat));
    padding_->setValue(static_cast<int>(p.spritePadding));
    extrude_->setValue(static_cast<int>(p.spriteExtrude));
    halfScale_->setChecked(p.spriteHalfScale);

    // Sections by operation; the short "GPU Sizing" form holds the size picker alone.
    const Mode mode = p.operationalMode;
    const bool packing = mode == Mode::channelPackingORM;
    const bool fullSizing = packing || mode == Mode::powerOfTwoEnforce;
    const bool shortSizing = mode == Mode::normalMapConvert || mode == Mode::normalFromHeight;
    section(tr("Engine Channel Layout"))->setVisible(packing);
    section(tr("Recognised Map Names"))->setVisible(packing);
    section(tr("Normal Map Convention"))->setVisible(mode == Mode::normalMapConvert);
    section(tr("Normal Map from Height"))->setVisible(mode == Mode::normalFromHeight);
    section(tr("GPU Sizing"))->setVisible(fullSizing || shortSizing);
    for (QWidget* control : {static_cast<QWidget*>(pot_), static_cast<QWidget*>(square_), static_cast<QWidget*>(mipmaps_)})
        section(tr("GPU Sizing"))->rowOf(control)->setVisible(fullSizing);
    section(tr("Sprite Sheet Packing"))->setVisible(mode == Mode::spriteSheetAtlas);
    section(tr("Seamless Tiling Check"))->setVisible(mode == Mode::tilingCheck);
    FormSection* layout = section(tr("Engine Channel Layout"));
    layout->rowOf(packingNormals_.convention)->setVisible(p.generateMissingNormal);
    packingNormals_.strengthRow->setVisible(p.generateMissingNormal);
}

}  // namespace lw::ui
