#pragma once
// Where an audiogram clip starts when the choice is automatic. Pure functions.
#include <vector>

#include "audio/podcast/Transcriber.h"

namespace lw::ClipPicker {

// Start (seconds) of the stretch of `length` seconds that begins a sentence and is densest in
// words, questions and exclamations; 0 when the episode is too short or has fewer than 9 words.
double liveliestStart(const std::vector<CaptionWord>& words, double duration, double length);
// Start (seconds) of the loudest window of `length` seconds over block levels `step` seconds apart.
double loudestStart(const std::vector<float>& levels, double step, double length);

}  // namespace lw::ClipPicker
