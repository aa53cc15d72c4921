#include "ui/panels/PanelHost.h"

#include "presets/CastloomPreset.h"
#include "presets/GablewisePreset.h"
#include "presets/MapforgePreset.h"
#include "ui/panels/CastloomOptions.h"
#include "ui/panels/GablewiseOptions.h"
#include "ui/panels/MapforgeOptions.h"

namespace lw::ui {

namespace {

template <class P>
class Hosted : public HostedPanel {
public:
    Hosted(const P& preset, Vertical vertical, Product product, ShellEnvironment environment,
           const StandaloneBranding& branding, std::function<QWidget*(StandaloneViewModel<P>&)> makePanel)
        : model_(preset, vertical, product, std::move(environment)) {
        auto* model = &model_;
        const P reset = preset;
        window_ = std::make_unique<StandaloneWindow>(
            model_, branding, [model, makePanel] { return makePanel(*model); },
            [model, reset] { model->resetSettings(reset); });
    }
    ~Hosted() override { window_.reset(); }
    StandaloneWindow& window() override { return *window_; }
    StandaloneViewModelBase& model() override { return model_; }

private:
    StandaloneViewModel<P> model_;
    std::unique_ptr<StandaloneWindow> window_;
};

StandaloneBranding fromPreset(const BatchPreset& preset, const QString& dropTitle, const QString& itemNoun,
                              const QString& tokens) {
    return {QString::fromStdString(preset.displayName()),
            QString::fromStdString(preset.verticalName()),
            QString::fromStdString(preset.systemIconName()),
            dropTitle,
            QString::fromStdString(preset.description()),
            QObject::tr("Process All"),
            itemNoun,
            tokens};
}

}  // namespace

StandaloneBranding hostedBranding(Vertical vertical) {
    const auto preset = defaultPreset(vertical);
    switch (vertical) {
        case Vertical::mapforge:
            return fromPreset(*preset, QObject::tr("Drop Textures or Material Folders Here"), QObject::tr("texture"),
                              MapforgeOptions::tokens());
        case Vertical::castloom:
            return fromPreset(*preset, QObject::tr("Drop Episodes Here"), QObject::tr("episode"),
                              CastloomOptions::tokens());
        case Vertical::gablewise:
            break;
    }
    return fromPreset(*preset, QObject::tr("Drop Listing Photos Here"), QObject::tr("photo"), GablewiseOptions::tokens());
}

std::unique_ptr<HostedPanel> hostPanel(Vertical vertical, const BatchPreset& preset, ShellEnvironment environment,
                                       std::optional<StandaloneBranding> branding,
                                       std::optional<PodcastCapabilities> capabilities) {
    const StandaloneBranding texts = branding ? *branding : hostedBranding(vertical);
    switch (vertical) {
        case Vertical::mapforge:
            return std::make_unique<Hosted<MapforgePreset>>(
                dynamic_cast<const MapforgePreset&>(preset), vertical, Product::texture, std::move(environment), texts,
                [](StandaloneViewModel<MapforgePreset>& model) { return new MapforgeOptions(model); });
        case Vertical::gablewise:
            return std::make_unique<Hosted<GablewisePreset>>(
                dynamic_cast<const GablewisePreset&>(preset), vertical, Product::realEstate, std::move(environment),
                texts, [](StandaloneViewModel<GablewisePreset>& model) { return new GablewiseOptions(model); });
        case Vertical::castloom: {
            const PodcastCapabilities asked = capabilities ? *capabilities : PodcastCapabilities::current();
            return std::make_unique<Hosted<CastloomPreset>>(
                dynamic_cast<const CastloomPreset&>(preset), vertical, Product::podcast, std::move(environment), texts,
                [asked](StandaloneViewModel<CastloomPreset>& model) { return new CastloomOptions(model, asked); });
        }
    }
    return nullptr;
}

}  // namespace lw::ui
