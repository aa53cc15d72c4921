#pragma once
// A vertical's option panel in the standard window, outside the shipped application (which
// hosts the photo vertical only): for snapshot tools and tests.
#include <memory>
#include <optional>

#include "core/JobModel.h"
#include "presets/Vertical.h"
#include "ui/StandaloneScenes.h"
#include "ui/StandaloneViewModel.h"
#include "ui/panels/CastloomOptions.h"

namespace lw::ui {

class HostedPanel {
public:
    virtual ~HostedPanel() = default;
    virtual StandaloneWindow& window() = 0;
    virtual StandaloneViewModelBase& model() = 0;
};

// Texts of the texture and podcast verticals' windows (title, icon, nouns, tokens of the panel).
// The photo vertical's branding belongs to its application; this returns a plain one for it.
StandaloneBranding hostedBranding(Vertical vertical);

// The window of `preset`'s vertical showing its panel, not yet shown. `branding` replaces
// hostedBranding(); `capabilities` replaces what the podcast panel asks of this machine. The
// environment should hold an in-memory settings store.
std::unique_ptr<HostedPanel> hostPanel(Vertical vertical, const BatchPreset& preset, ShellEnvironment environment,
                                       std::optional<StandaloneBranding> branding = std::nullopt,
                                       std::optional<PodcastCapabilities> capabilities = std::nullopt);

}  // namespace lw::ui
