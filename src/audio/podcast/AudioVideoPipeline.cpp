#include "audio/podcast/AudioVideoPipeline.h"

#include <cstdio>

#include "platform/Error.h"

namespace lw {

AudioVideoPipeline& AudioVideoPipeline::shared() {
    static AudioVideoPipeline pipeline;
    return pipeline;
}

std::string AudioVideoPipeline::masterSuffix(const LoudnessNormalizer::LoudnessTarget& target) {
    if (target.acx) return "_Master_ACX.wav";
    char text[64];
    std::snprintf(text, sizeof text, "_Master_%.0fLUFS.wav", target.integratedLUFS);
    return text;
}

std::vector<std::filesystem::path> AudioVideoPipeline::processMultiFormat(const MultiFormatExportRequest&,
                                                                          const ProgressHandler&,
                                                                          const LogHandler&) const {
    throw Error("Podcast export is not available in this build.");
}

}  // namespace lw
