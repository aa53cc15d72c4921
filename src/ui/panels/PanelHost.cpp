#include "ui/panels/PanelHost.h"

#include "presets/GablewisePreset.h"
#include "presets/MapforgePreset.h"
#include "ui/panels/GablewiseOptions.h"
#include "ui/panels/MapforgeOptions.h"

namespace lw::ui {

namespace {

template <class P, class Panel>
class Hosted : public HostedPanel {
public:
    Hosted(const P& preset, Vertical vertical, Product product, ShellEnvironment environment,
           const StandaloneBranding& branding)
        : model_(preset, vertical, product, std::move(environment)) {
        auto* model = &model_;
        const P reset = preset;
        window_ = std::make_unique<StandaloneWindow>(
            model_, branding, [model] { return new Panel(*model); }, [model, reset] { model->resetSettings(reset); });
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
            return fromPreset(*preset, QObject::tr("Drop Episodes Here"), QObject::tr("episode"), QString());
        case Vertical::gablewise:
            break;
    }
    return fromPreset(*preset, QObject::tr("Drop Listing Photos Here"), QObject::tr("photo"), GablewiseOptions::tokens());
}

std::unique_ptr<HostedPanel> hostPanel(Vertical vertical, const BatchPreset& preset, ShellEnvironment environment,
                                       std::optional<StandaloneBranding> branding) {
    const StandaloneBranding texts = branding ? *branding : hostedBranding(vertical);
    switch (vertical) {
        case Vertical::mapforge:
            return std::make_unique<Hosted<MapforgePreset, MapforgeOptions>>(
                dynamic_cast<const MapforgePreset&>(preset), vertical, Product::texture, std::move(environment), texts);
        case Vertical::gablewise:
            return std::make_unique<Hosted<GablewisePreset, GablewiseOptions>>(
                dynamic_cast<const GablewisePreset&>(preset), vertical, Product::realEstate, std::move(environment),
                texts);
        case Vertical::castloom:
            break;
    }
    return nullptr;
}

}  // namespace lw::ui
