// The photo options panel: choice lists always hold the current value, labels read as the user
// expects, portals fill in the web limits, conditional rows follow the preset and hiding a row
// never changes its field.
#include "ShellTestSupport.h"

#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QtTest>

#include "FakeDesktop.h"
#include "ui/Style.h"
#include "ui/panels/GablewiseOptions.h"

using namespace lw;
using namespace lw::ui;
using namespace lw::ui::test;
using Portal = GablewisePreset::Portal;
using WebAspect = GablewisePreset::WebAspect;

namespace {

struct Panel {
    FakeDesktop desktop;
    std::unique_ptr<GablewiseOptions::Model> model;
    std::unique_ptr<GablewiseOptions> panel;

    explicit Panel(GablewisePreset preset = GablewisePreset()) {
        ShellEnvironment env;
        env.defaults = std::make_shared<MemorySettingsStore>();
        env.services = &desktop;
        model = std::make_unique<GablewiseOptions::Model>(preset, Vertical::gablewise, Product::realEstate, env);
        panel = std::make_unique<GablewiseOptions>(*model);
        panel->resize(340, 900);
        panel->show();
    }
    const GablewisePreset& preset() const { return model->preset(); }
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

class GablewiseOptionsTest : public QObject {
    Q_OBJECT

private slots:
    void choiceLists() {
        QCOMPARE(GablewiseOptions::dimensionChoices(2048), (std::vector<double>{1024, 1536, 2048, 2560, 3000, 4096}));
        QCOMPARE(GablewiseOptions::dimensionChoices(1800),
                 (std::vector<double>{1024, 1536, 1800, 2048, 2560, 3000, 4096}));
        QCOMPARE(GablewiseOptions::dimensionChoices(5000).back(), 5000.0);
        QCOMPARE(GablewiseOptions::sizeChoices(1500), (std::vector<int>{500, 1000, 1500, 2000, 3000, 5000, 10000}));
        QCOMPARE(GablewiseOptions::sizeChoices(2000).size(), std::size_t(6));
    }

    void labels_data() {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("expected");
        QTest::newRow("1 MB") << GablewiseOptions::sizeLabel(1000) << "1 MB";
        QTest::newRow("1.5 MB") << GablewiseOptions::sizeLabel(1500) << "1.5 MB";
        QTest::newRow("10 MB") << GablewiseOptions::sizeLabel(10000) << "10 MB";
        QTest::newRow("100 MB") << GablewiseOptions::sizeLabel(100000) << "100 MB";
        QTest::newRow("KB") << GablewiseOptions::sizeLabel(750) << "750 KB";
        QTest::newRow("px") << GablewiseOptions::dimensionLabel(2048) << "2048 px";
        QTest::newRow("px fraction dropped") << GablewiseOptions::dimensionLabel(1800.9) << "1800 px";
        QTest::newRow("85%") << GablewiseOptions::opacityLabel(0.85) << "Opacity 85%";
        QTest::newRow("0.29 reads 28%") << GablewiseOptions::opacityLabel(0.29) << "Opacity 28%";
        QTest::newRow("below the slider") << GablewiseOptions::opacityLabel(0.05) << "Opacity 5%";
    }
    void labels() {
        QFETCH(QString, label);
        QFETCH(QString, expected);
        QCOMPARE(label, expected);
    }

    void sectionsAndRowsInOrder() {
        Panel p;
        QStringList titles;
        for (auto* section : p.panel->findChildren<FormSection*>(QString(), Qt::FindDirectChildrenOnly))
            titles << section->title();
        QCOMPARE(titles, (QStringList{"Listing", "Photo Fixes", "Web Set", "Print Set", "Watermark"}));
        QCOMPARE(items(p.panel->portalPicker()),
                 (QStringList{"MLS / Realtor.com", "Zillow", "Airbnb / Vrbo", "Custom"}));
        QCOMPARE(items(p.panel->shapePicker()), (QStringList{"As shot", "4:3", "3:2", "16:9"}));
        QCOMPARE(p.panel->addressField()->text(), QString("1042_Maple_Lane"));
        QCOMPARE(GablewiseOptions::tokens(), QString("{address}, {index:02}, {size}, {name}, {date}"));
        QVERIFY(p.panel->portalNote()->text().startsWith("2048 px longest side, under 2 MB: accepted by most MLS boards"));
        QCOMPARE(p.panel->straightenToggle()->parentWidget()->toolTip(), QString("Corrects leaning walls and tilted horizons."));
    }

    void controlsWriteTheirFields() {
        Panel p;
        QTest::keyClicks(p.panel->addressField(), "_B");
        QCOMPARE(p.preset().propertyAddress, std::string("1042_Maple_Lane_B"));
        p.panel->stripToggle()->click();
        QCOMPARE(p.preset().stripGPSMetadata, false);
        p.panel->printToggle()->click();
        QCOMPARE(p.preset().exportPrintPackage, false);
    }

    void portalFillsTheWebLimits() {
        GablewisePreset preset;
        preset.setPortal(Portal::custom);
        preset.maxWebDimension = 4096;
        Panel p(preset);
        QVERIFY(p.panel->isShown(p.panel->dimensionPicker()));
        QCOMPARE(p.panel->dimensionPicker()->currentText(), QString("4096 px"));

        p.choose(p.panel->portalPicker(), "Zillow");
        QCOMPARE(p.preset().maxWebDimension, 2048.0);
        QCOMPARE(p.preset().maxWebFileSizeKB, 10000);
        QCOMPARE(p.preset().webAspect, WebAspect::fourThree);
        QVERIFY(!p.panel->isShown(p.panel->dimensionPicker()));
        QCOMPARE(p.panel->portalNote()->text(), QString("2048 px, cropped to 4:3 (the shape Zillow shows), under 10 MB."));

        p.choose(p.panel->portalPicker(), "Custom");
        QVERIFY(p.panel->isShown(p.panel->dimensionPicker()));
        QCOMPARE(p.panel->dimensionPicker()->currentText(), QString("2048 px"));
        QCOMPARE(p.panel->sizePicker()->currentText(), QString("10 MB"));
        QCOMPARE(p.panel->shapePicker()->currentText(), QString("4:3"));

        p.choose(p.panel->sizePicker(), "500 KB");
        QCOMPARE(p.preset().maxWebFileSizeKB, 500);
        p.choose(p.panel->dimensionPicker(), "3000 px");
        QCOMPARE(p.preset().maxWebDimension, 3000.0);
        p.choose(p.panel->shapePicker(), "16:9");
        QCOMPARE(p.preset().webAspect, WebAspect::sixteenNine);

        // Turning the web set off hides its rows and keeps the values.
        p.panel->webToggle()->click();
        QVERIFY(!p.panel->isShown(p.panel->portalPicker()));
        QVERIFY(!p.panel->isShown(p.panel->portalNote()));
        QVERIFY(!p.panel->isShown(p.panel->sizePicker()));
        p.panel->webToggle()->click();
        QCOMPARE(p.panel->portalPicker()->currentText(), QString("Custom"));
        QCOMPARE(p.panel->sizePicker()->currentText(), QString("500 KB"));
    }

    void storedSizeOutsideTheListStaysVisibleAndKept() {
        GablewisePreset preset;
        preset.setPortal(Portal::airbnb);
        preset.maxWebDimension = 4000;
        Panel p(preset);
        QVERIFY(p.panel->portalNote()->text().startsWith("3000 px, cropped to 3:2"));
        QVERIFY(!p.panel->isShown(p.panel->dimensionPicker()));
        QCOMPARE(p.preset().maxWebDimension, 4000.0);
        QVERIFY(items(p.panel->dimensionPicker()).contains("4000 px"));
        QCOMPARE(p.panel->dimensionPicker()->currentText(), QString("4000 px"));
    }

    void bracketNoteFollowsTheToggle() {
        Panel p;
        QVERIFY(!p.panel->isShown(p.panel->bracketNote()));
        p.panel->mergeToggle()->click();
        QVERIFY(p.preset().mergeBrackets);
        QVERIFY(p.panel->isShown(p.panel->bracketNote()));
        // Directly under its toggle.
        QVERIFY(p.panel->bracketNote()->geometry().top() >= p.panel->mergeToggle()->parentWidget()->geometry().bottom());
        QVERIFY(p.panel->bracketNote()->geometry().bottom() <=
                p.panel->straightenToggle()->parentWidget()->geometry().top());
    }

    void logoAndOpacity() {
        TempDir dir("logo");
        const fs::path logo = dir.touch("agency.png");
        Panel p;
        QVERIFY(!p.panel->isShown(p.panel->opacitySlider()));
        p.desktop.fileAnswers.push_back(std::optional<fs::path>(logo));
        p.panel->logoRow()->chooseButton()->click();
        QCOMPARE(*p.preset().watermarkURL, logo);
        QCOMPARE(p.desktop.fileRequests.back().size(), std::size_t(2));
        QCOMPARE(p.desktop.fileRequests.back()[0].extensions, QStringList{"png"});
        QCOMPARE(p.desktop.fileRequests.back()[1].extensions, (QStringList{"jpg", "jpeg"}));
        QVERIFY(p.panel->isShown(p.panel->opacitySlider()));
        QCOMPARE(p.panel->opacityText()->text(), QString("Opacity 85%"));

        p.panel->opacitySlider()->setValue(400);
        QCOMPARE(p.preset().watermarkOpacity, 0.4);
        QCOMPARE(p.panel->opacityText()->text(), QString("Opacity 40%"));

        p.panel->logoRow()->removeButton()->click();
        QVERIFY(!p.preset().watermarkURL);
        QVERIFY(!p.panel->isShown(p.panel->opacitySlider()));
        QCOMPARE(p.preset().watermarkOpacity, 0.4);

        p.desktop.fileAnswers.push_back(std::optional<fs::path>(logo));
        p.panel->logoRow()->chooseButton()->click();
        QCOMPARE(p.panel->opacitySlider()->value(), 400);

        // A logo deleted after it was chosen shows in red and stays set.
        fs::remove(logo);
        QCOMPARE(p.panel->logoRow()->fileNameLabel()->currentColor(), failureColor());
        QCOMPARE(*p.preset().watermarkURL, logo);
    }

    void storedOpacityBelowTheSliderIsKept() {
        GablewisePreset preset;
        preset.watermarkURL = fs::path("/nowhere/logo.png");
        preset.watermarkOpacity = 0.05;
        Panel p(preset);
        QCOMPARE(p.panel->opacityText()->text(), QString("Opacity 5%"));
        QCOMPARE(p.preset().watermarkOpacity, 0.05);
    }
};

QTEST_MAIN(GablewiseOptionsTest)
#include "gablewise_options_test.moc"
