// The texture options panel: the sections each operation shows, the controls' fields, the size
// rows that always hold the stored value, and fields that keep their values while hidden.
#include "ShellTestSupport.h"

#include <QSlider>
#include <QtTest>

#include "FakeDesktop.h"
#include "presets/Vertical.h"
#include "ui/panels/MapforgeOptions.h"

using namespace lw;
using namespace lw::ui;
using namespace lw::ui::test;
using Mode = MapforgePreset::OperationalMode;
using Format = SpriteSheetCompiler::DataFormat;

Q_DECLARE_METATYPE(Mode)

namespace {

MapforgePreset defaultTexturePreset() {
    auto preset = defaultPreset(Vertical::mapforge);
    return dynamic_cast<const MapforgePreset&>(*preset);
}

struct Panel {
    FakeDesktop desktop;
    std::unique_ptr<MapforgeOptions::Model> model;
    std::unique_ptr<MapforgeOptions> panel;

    explicit Panel(MapforgePreset preset = defaultTexturePreset()) {
        ShellEnvironment env;
        env.defaults = std::make_shared<MemorySettingsStore>();
        env.services = &desktop;
        model = std::make_unique<MapforgeOptions::Model>(preset, Vertical::mapforge, Product::texture, env);
        panel = std::make_unique<MapforgeOptions>(*model);
        panel->resize(340, 1000);
        panel->show();
    }
    const MapforgePreset& preset() const { return model->preset(); }
    void choose(QComboBox* picker, const QString& text) {
        const int index = picker->findText(text);
        QVERIFY2(index >= 0, qPrintable(text));
        picker->setCurrentIndex(index);
        emit picker->activated(index);
    }
    void mode(Mode m) {
        choose(panel->operationPicker(), QString::fromStdString(rawValue(m)));
    }
};

QStringList items(QComboBox* picker) {
    QStringList list;
    for (int i = 0; i < picker->count(); ++i) list << picker->itemText(i);
    return list;
}

}  // namespace

class MapforgeOptionsTest : public QObject {
    Q_OBJECT

private slots:
    void sectionsByMode_data() {
        QTest::addColumn<Mode>("mode");
        QTest::addColumn<QStringList>("sections");
        QTest::newRow("packing") << Mode::channelPackingORM
                                 << QStringList{"What To Do", "Engine Channel Layout", "Recognised Map Names", "GPU Sizing"};
        QTest::newRow("convert") << Mode::normalMapConvert
                                 << QStringList{"What To Do", "Normal Map Convention", "GPU Sizing"};
        QTest::newRow("from height") << Mode::normalFromHeight
                                     << QStringList{"What To Do", "Normal Map from Height", "GPU Sizing"};
        QTest::newRow("pot") << Mode::powerOfTwoEnforce << QStringList{"What To Do", "GPU Sizing"};
        QTest::newRow("sprite") << Mode::spriteSheetAtlas << QStringList{"What To Do", "Sprite Sheet Packing"};
        QTest::newRow("tiling") << Mode::tilingCheck << QStringList{"What To Do", "Seamless Tiling Check"};
    }
    void sectionsByMode() {
        QFETCH(Mode, mode);
        QFETCH(QStringList, sections);
        Panel p;
        p.mode(mode);
        QCOMPARE(p.preset().operationalMode, mode);
        QCOMPARE(p.panel->shownSections(), sections);
        // The full sizing form in packing and power-of-two; the size picker alone for normals.
        const bool full = mode == Mode::channelPackingORM || mode == Mode::powerOfTwoEnforce;
        const bool sizing = full || mode == Mode::normalMapConvert || mode == Mode::normalFromHeight;
        QCOMPARE(p.panel->isShown(p.panel->sizingMaxSizePicker()), sizing);
        QCOMPARE(p.panel->isShown(p.panel->potToggle()), full);
        QCOMPARE(p.panel->isShown(p.panel->squareToggle()), full);
        QCOMPARE(p.panel->isShown(p.panel->mipmapToggle()), full);
    }

    void choicesAndTexts() {
        Panel p;
        QCOMPARE(MapforgeOptions::tokens(), QString("{name}, {profile}, {pot}, {index:02}, {ext}"));
        QCOMPARE(items(p.panel->operationPicker()),
                 (QStringList{"Channel Packing (ORM / MaskMap)", "Normal Map: DirectX ⇄ OpenGL",
                              "Normal Map from Height Map", "Enforce Power-of-Two (POT)",
                              "2D Sprite Sheet Compilation", "Seamless Tiling Check"}));
        QCOMPARE(items(p.panel->targetPicker()),
                 (QStringList{"Unreal Engine (ORM)", "glTF / Godot (ORM)", "Unity HDRP Mask Map",
                              "Unity URP / Built-in (Metallic)"}));
        QCOMPARE(items(p.panel->convertNormals().convention),
                 (QStringList{"OpenGL (Y+) · Unity, Blender, Godot", "DirectX (Y−) · Unreal, 3ds Max"}));
        QCOMPARE(items(p.panel->formatPicker()),
                 (QStringList{"JSON Hash (Phaser, PixiJS)", "JSON Array (Phaser, generic)", "Cocos2d (.plist)",
                              "Godot 4 SpriteFrames (.tres)", "Unity sliced sprite (.png.meta)"}));
        QCOMPARE(items(p.panel->sizingMaxSizePicker()),
                 (QStringList{"No limit", "1024 (mobile)", "2048", "4096", "8192"}));
        QCOMPARE(p.panel->mapNamesText()->text(),
                 QString("_AO · _Roughness · _Smoothness · _Gloss\n_Metallic · _Height · _DetailMask\n\n"
                         "Drop a whole material folder: one packed texture per material."));
        p.choose(p.panel->targetPicker(), "glTF / Godot (ORM)");
        QCOMPARE(p.preset().engineProfile, ChannelPacker::EngineProfile::gltfORM);
        QCOMPARE(p.panel->layoutText()->text(), QString("R: AO · G: Roughness · B: Metallic · A: White"));
        QCOMPARE(p.panel->section("GPU Sizing")->rowOf(p.panel->sizingMaxSizePicker())->toolTip(),
                 QString("Downscales anything larger, keeping the aspect ratio. For sprite sheets it's the largest sheet."));
        QCOMPARE(p.panel->convertNormals().convention->parentWidget()->findChild<QLabel*>("rowLabel")->text(),
                 QString("Convert to"));
    }

    void missingNormalShowsTheNormalControls() {
        MapforgePreset preset = defaultTexturePreset();
        preset.generateMissingNormal = false;
        preset.normalStrength = 10;
        Panel p(preset);
        const auto& normals = p.panel->packingNormals();
        QVERIFY(!p.panel->isShown(normals.convention));
        QVERIFY(!p.panel->isShown(normals.strength));
        p.panel->missingNormalToggle()->click();
        QVERIFY(p.preset().generateMissingNormal);
        QVERIFY(p.panel->isShown(normals.convention));
        QVERIFY(p.panel->isShown(normals.strength));
        QCOMPARE(normals.strengthValue->text(), QString("10.0"));
        QCOMPARE(normals.strength->minimum(), 500);
        QCOMPARE(normals.strength->maximum(), 10000);

        normals.strength->setValue(2500);
        QCOMPARE(p.preset().normalStrength, 2.5);
        QCOMPARE(normals.strengthValue->text(), QString("2.5"));
        // The same fields in the height mode's controls.
        QCOMPARE(p.panel->heightNormals().strengthValue->text(), QString("2.5"));
        p.choose(normals.convention, "DirectX (Y−) · Unreal, 3ds Max");
        QCOMPARE(p.preset().normalTarget, ChannelPacker::NormalConvention::directX);
        QCOMPARE(p.panel->convertNormals().convention->currentText(), QString("DirectX (Y−) · Unreal, 3ds Max"));
    }

    void sizingControlsWriteTheirFields() {
        Panel p;
        p.mode(Mode::powerOfTwoEnforce);
        const MapforgePreset before = p.preset();
        p.panel->potToggle()->click();
        QCOMPARE(p.preset().enforcePOT, !before.enforcePOT);
        p.panel->squareToggle()->click();
        QCOMPARE(p.preset().forceSquare, !before.forceSquare);
        p.panel->mipmapToggle()->click();
        QCOMPARE(p.preset().generateMipmaps, !before.generateMipmaps);
        p.choose(p.panel->sizingMaxSizePicker(), "1024 (mobile)");
        QCOMPARE(p.preset().maxTextureSize, std::int64_t(1024));
        p.choose(p.panel->sizingMaxSizePicker(), "No limit");
        QCOMPARE(p.preset().maxTextureSize, std::int64_t(0));
        // Square stays available with power-of-two off.
        if (p.preset().enforcePOT) p.panel->potToggle()->click();
        QVERIFY(p.panel->squareToggle()->isEnabled());
        QCOMPARE(p.preset().potScaleMode, before.potScaleMode);
    }

    void storedSizeOutsideTheRowsIsShownLast() {
        MapforgePreset preset = defaultTexturePreset();
        preset.maxTextureSize = 512;
        Panel p(preset);
        QCOMPARE(items(p.panel->sizingMaxSizePicker()),
                 (QStringList{"No limit", "1024 (mobile)", "2048", "4096", "8192", "512"}));
        QCOMPARE(p.panel->sizingMaxSizePicker()->currentText(), QString("512"));
        QCOMPARE(p.panel->spriteMaxSizePicker()->currentText(), QString("512"));
        p.choose(p.panel->sizingMaxSizePicker(), "4096");
        QCOMPARE(items(p.panel->sizingMaxSizePicker()).size(), 5);
        QCOMPARE(p.panel->spriteMaxSizePicker()->currentText(), QString("4096"));
    }

    void spriteControls() {
        MapforgePreset preset = defaultTexturePreset();
        preset.operationalMode = Mode::spriteSheetAtlas;
        preset.spriteRotate = true;
        preset.spritePadding = 1;
        preset.spriteExtrude = 7;
        Panel p(preset);
        QVERIFY(p.panel->rotateToggle()->isEnabled());
        // Godot and Unity grey out rotation and keep the stored value.
        for (const QString format : {"Godot 4 SpriteFrames (.tres)", "Unity sliced sprite (.png.meta)"}) {
            p.choose(p.panel->formatPicker(), format);
            QVERIFY(!p.panel->rotateToggle()->isEnabled());
            QVERIFY(p.panel->rotateToggle()->isChecked());
            QVERIFY(p.preset().spriteRotate);
        }
        QCOMPARE(p.preset().spriteFormat, Format::unity);
        p.choose(p.panel->formatPicker(), "Cocos2d (.plist)");
        QVERIFY(p.panel->rotateToggle()->isEnabled());
        QVERIFY(p.panel->rotateToggle()->isChecked());

        // Steppers stop at their ends.
        Stepper* padding = p.panel->paddingStepper();
        QCOMPARE(padding->label()->text(), QString("Padding: 1 px"));
        padding->downButton()->click();
        padding->downButton()->click();
        QCOMPARE(p.preset().spritePadding, std::int64_t(0));
        QVERIFY(!padding->downButton()->isEnabled());
        for (int i = 0; i < 20; ++i) padding->step(+1);
        QCOMPARE(p.preset().spritePadding, std::int64_t(16));
        QCOMPARE(padding->label()->text(), QString("Padding: 16 px"));
        Stepper* extrude = p.panel->extrudeStepper();
        extrude->upButton()->click();
        extrude->upButton()->click();
        QCOMPARE(p.preset().spriteExtrude, std::int64_t(8));
        QCOMPARE(extrude->label()->text(), QString("Extrude: 8 px"));
        QVERIFY(!extrude->upButton()->isEnabled());

        p.panel->trimToggle()->click();
        QVERIFY(!p.preset().spriteTrim);
        p.panel->halfScaleToggle()->click();
        QVERIFY(p.preset().spriteHalfScale);
        p.choose(p.panel->spriteMaxSizePicker(), "2048");
        QCOMPARE(p.preset().maxTextureSize, std::int64_t(2048));
    }

    void switchingModesKeepsEveryField() {
        MapforgePreset preset = defaultTexturePreset();
        preset.generateMissingNormal = true;
        preset.spritePadding = 9;
        preset.spriteFormat = Format::godot;
        preset.forceSquare = true;
        Panel p(preset);
        for (Mode m : allOperationalModes()) p.mode(m);
        p.mode(preset.operationalMode);
        QVERIFY(p.preset().generateMissingNormal);
        QCOMPARE(p.preset().spritePadding, std::int64_t(9));
        QCOMPARE(p.preset().spriteFormat, Format::godot);
        QVERIFY(p.preset().forceSquare);
        QVERIFY(p.panel->isShown(p.panel->packingNormals().strength));
    }
};

QTEST_MAIN(MapforgeOptionsTest)
#include "mapforge_options_test.moc"
