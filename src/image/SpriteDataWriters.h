#pragma once
// The data files that describe sprite-sheet pages to game engines and libraries. Each function
// returns the whole file's text; writing it (atomically) is the caller's business.
#include <string>
#include <vector>

#include "image/SpriteSheetCompiler.h"

namespace lw::SpriteDataWriters {

// JSON hash ("frames" keyed by frame name) and JSON array ("frames" as a list with "filename"),
// in the layout Phaser and PixiJS load. Rotated frames give their upright size, as those readers expect.
std::string jsonHash(const SpriteSheetCompiler::AtlasResult& page, const std::string& imageFileName, double scale);
std::string jsonArray(const SpriteSheetCompiler::AtlasResult& page, const std::string& imageFileName, double scale);

// Cocos2d property list, format 3, as XML. Duplicate frames are also listed as aliases of the
// frame they repeat.
std::string cocosPlist(const SpriteSheetCompiler::AtlasResult& page, const std::string& imageFileName);

// Unity texture importer settings (the sheet's .png.meta): multiple sprites, 100 pixels per unit,
// rects with a bottom-left origin, pivots that keep trimmed sprites in place. The file guid and
// each sprite's ids derive from SHA-256 of the sheet and frame names, so they are stable across runs.
std::string unityMeta(const SpriteSheetCompiler::AtlasResult& page, const std::string& imageFileName);

// Godot 4 SpriteFrames text resource for all pages: one texture per page (paths relative to the
// resource), one AtlasTexture per frame, one looping animation.
std::string godotSpriteFrames(const SpriteSheetCompiler::Atlas& atlas, const std::vector<std::string>& imageFileNames,
                              const std::string& animationName, double framesPerSecond = 12.0);

// File names on Linux are bytes; data files hold UTF-8. Invalid sequences become U+FFFD, so a
// page named from the repaired text is the one its data file points to.
std::string repairedUtf8(const std::string& text);

// Lower-case hex of the first `bytes` bytes of SHA-256(text).
std::string sha256Hex(const std::string& text, std::size_t bytes = 32);

}  // namespace lw::SpriteDataWriters
