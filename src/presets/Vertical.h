#pragma once
// The three verticals of the system, and the one place where each vertical's preset is built
// with its default values.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/JobModel.h"

namespace lw {

enum class Vertical { gablewise, mapforge, castloom };

// "gablewise", "texture", "castloom".
std::string rawValue(Vertical vertical);
// Exact, case-sensitive match of the raw values ("mapforge" is not one).
std::optional<Vertical> verticalFromRawValue(const std::string& raw);
// "Eavesmark", "Mapforge Lite", "Castloom".
std::string displayName(Vertical vertical);
// The id of the vertical's default preset.
std::string presetID(Vertical vertical);
const std::vector<Vertical>& allVerticals();

// From free text: lower-cased (not trimmed), then a name, an alias or a preset ID.
std::optional<Vertical> verticalNamed(const std::string& name);
// From a preset ID alone: exact and case-sensitive.
std::optional<Vertical> verticalWithPresetID(const std::string& presetID);

// A fresh preset of the vertical's type with the system's default values.
std::unique_ptr<BatchPreset> defaultPreset(Vertical vertical);

}  // namespace lw
