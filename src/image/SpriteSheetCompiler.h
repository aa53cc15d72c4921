#pragma once
// Sprite-sheet data formats. The compiler itself joins this header later.
namespace lw {

class SpriteSheetCompiler {
public:
    enum class DataFormat { jsonHash, jsonArray, cocos, godot, unity };
};

}  // namespace lw
