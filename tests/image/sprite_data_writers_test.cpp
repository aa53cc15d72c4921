#include "image/SpriteDataWriters.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>
#include <plist/plist.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace lw;
using SSC = SpriteSheetCompiler;
using json = nlohmann::json;

namespace {

// A page of 64x32: a trimmed frame, a rotated one, an untrimmed one and a duplicate of the first,
// with names that need escaping.
SSC::AtlasResult samplePage() {
    SSC::AtlasResult page;
    page.sheetWidth = 64;
    page.sheetHeight = 32;
    page.frames = {
        {"héllo wörld 01.png", {1, 1, 6, 4}, false, true, {2, 3, 6, 4}, {10, 8}, false, 0},
        {"quote\"back\\slash 02.png", {9, 1, 5, 12}, true, false, {0, 0, 12, 5}, {12, 5}, false, 1},
        {"plain_03.png", {20, 2, 8, 8}, false, false, {0, 0, 8, 8}, {8, 8}, false, 2},
        {"héllo wörld 04.png", {1, 1, 6, 4}, false, true, {1, 1, 6, 4}, {9, 9}, true, 3},
    };
    page.duplicateCount = 1;
    return page;
}

std::string run(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int status = ::pclose(p);
    if (status != 0) out = "EXIT " + std::to_string(status) + "\n" + out;
    return out;
}

struct TempFile {
    fs::path path;
    explicit TempFile(const std::string& text, const std::string& ext) {
        path = fs::temp_directory_path() / ("sprite_data_" + std::to_string(::getpid()) + ext);
        std::ofstream(path, std::ios::binary) << text;
    }
    ~TempFile() { fs::remove(path); }
};

// Runs a Python script (argv[1] = the file); nothing when python3 or the module is missing.
std::optional<std::string> runPython(const std::string& module, const std::string& body, const std::string& fileText) {
    TempFile file(fileText, ".data");
    TempFile script("import sys\ntry:\n    import " + module + "\nexcept ImportError:\n    print('MISSING')\n    sys.exit(0)\n" + body,
                    ".py");
    const std::string out = run("python3 " + script.path.string() + " " + file.path.string() + " 2>&1");
    if (out.rfind("MISSING", 0) == 0 || out.find("not found") != std::string::npos) return std::nullopt;
    return out;
}

void expectFrameFields(const json& f, int x, int y, int w, int h, bool rotated, bool trimmed) {
    EXPECT_EQ(f["frame"], (json{{"x", x}, {"y", y}, {"w", w}, {"h", h}}));
    EXPECT_EQ(f["rotated"], rotated);
    EXPECT_EQ(f["trimmed"], trimmed);
    EXPECT_TRUE(f["spriteSourceSize"].contains("x"));
    EXPECT_TRUE(f["sourceSize"].contains("w"));
}

}  // namespace

TEST(SpriteDataWritersTest, JsonHashAndArrayInTheTexturePackerLayout) {
    const SSC::AtlasResult page = samplePage();
    const json hash = json::parse(SpriteDataWriters::jsonHash(page, "walk_Atlas.png", 1.0));
    ASSERT_TRUE(hash["frames"].is_object());
    ASSERT_EQ(hash["frames"].size(), 4u);
    const json& first = hash["frames"]["héllo wörld 01.png"];
    expectFrameFields(first, 1, 1, 6, 4, false, true);
    EXPECT_EQ(first["spriteSourceSize"], (json{{"x", 2}, {"y", 3}, {"w", 6}, {"h", 4}}));
    EXPECT_EQ(first["sourceSize"], (json{{"w", 10}, {"h", 8}}));
    // Rotated frames give their upright size; the page region is h x w.
    expectFrameFields(hash["frames"]["quote\"back\\slash 02.png"], 9, 1, 12, 5, true, false);
    expectFrameFields(hash["frames"]["héllo wörld 04.png"], 1, 1, 6, 4, false, true);
    EXPECT_EQ(hash["meta"]["image"], "walk_Atlas.png");
    EXPECT_EQ(hash["meta"]["size"], (json{{"w", 64}, {"h", 32}}));
    EXPECT_EQ(hash["meta"]["format"], "RGBA8888");
    EXPECT_EQ(hash["meta"]["scale"], "1");

    const json array = json::parse(SpriteDataWriters::jsonArray(page, "walk_Atlas@1x.png", 0.5));
    ASSERT_TRUE(array["frames"].is_array());
    ASSERT_EQ(array["frames"].size(), 4u);
    EXPECT_EQ(array["frames"][1]["filename"], "quote\"back\\slash 02.png");
    expectFrameFields(array["frames"][1], 9, 1, 12, 5, true, false);
    EXPECT_EQ(array["frames"][3]["filename"], "héllo wörld 04.png");
    EXPECT_EQ(array["meta"]["scale"], "0.5");

    // A file name that isn't UTF-8 still gives valid JSON.
    SSC::AtlasResult odd = page;
    odd.frames[2].name = "bad\xff\xfe.png";
    const json repaired = json::parse(SpriteDataWriters::jsonHash(odd, "x.png", 1));
    EXPECT_TRUE(repaired["frames"].contains("bad\xEF\xBF\xBD\xEF\xBF\xBD.png"));
}

TEST(SpriteDataWritersTest, CocosPlistFormat3ParsesWithLibplistAndPlistlib) {
    const std::string xml = SpriteDataWriters::cocosPlist(samplePage(), "walk & run_Atlas.png");
    plist_t root = nullptr;
    plist_from_xml(xml.c_str(), static_cast<std::uint32_t>(xml.size()), &root);
    ASSERT_NE(root, nullptr) << xml;
    auto str = [](plist_t node) {
        char* s = nullptr;
        plist_get_string_val(node, &s);
        std::string out = s ? s : "";
        free(s);
        return out;
    };
    plist_t frames = plist_dict_get_item(root, "frames");
    ASSERT_EQ(plist_dict_get_size(frames), 4u);
    plist_t f0 = plist_dict_get_item(frames, "héllo wörld 01.png");
    ASSERT_NE(f0, nullptr);
    EXPECT_EQ(str(plist_dict_get_item(f0, "textureRect")), "{{1,1},{6,4}}");
    EXPECT_EQ(str(plist_dict_get_item(f0, "spriteSize")), "{6,4}");
    EXPECT_EQ(str(plist_dict_get_item(f0, "spriteSourceSize")), "{10,8}");
    // Kept centre (5,5) against the frame centre (5,4), y up.
    EXPECT_EQ(str(plist_dict_get_item(f0, "spriteOffset")), "{0,-1}");
    plist_t aliases = plist_dict_get_item(f0, "aliases");
    ASSERT_EQ(plist_array_get_size(aliases), 1u);
    EXPECT_EQ(str(plist_array_get_item(aliases, 0)), "héllo wörld 04.png");
    plist_t f1 = plist_dict_get_item(frames, "quote\"back\\slash 02.png");
    ASSERT_NE(f1, nullptr);
    std::uint8_t rotated = 0;
    plist_get_bool_val(plist_dict_get_item(f1, "textureRotated"), &rotated);
    EXPECT_EQ(rotated, 1);
    EXPECT_EQ(str(plist_dict_get_item(f1, "textureRect")), "{{9,1},{12,5}}");
    plist_t md = plist_dict_get_item(root, "metadata");
    std::uint64_t format = 0;
    plist_get_uint_val(plist_dict_get_item(md, "format"), &format);
    EXPECT_EQ(format, 3u);
    EXPECT_EQ(str(plist_dict_get_item(md, "size")), "{64,32}");
    EXPECT_EQ(str(plist_dict_get_item(md, "textureFileName")), "walk & run_Atlas.png");
    EXPECT_EQ(str(plist_dict_get_item(md, "realTextureFileName")), "walk & run_Atlas.png");
    std::uint8_t premultiplied = 1;
    plist_get_bool_val(plist_dict_get_item(md, "premultiplyAlpha"), &premultiplied);
    EXPECT_EQ(premultiplied, 0);
    plist_free(root);

    const auto out = runPython("plistlib", R"(
d = plistlib.load(open(sys.argv[1], 'rb'))
print(len(d['frames']), d['metadata']['format'], d['frames']['quote"back\\slash 02.png']['textureRotated'])
)", xml);
    if (!out) GTEST_SKIP() << "python3 plistlib not available";
    EXPECT_EQ(*out, "4 3 True\n");
}

TEST(SpriteDataWritersTest, UnityMetaIsYamlWithBottomLeftRectsAndStableIds) {
    SSC::AtlasResult page = samplePage();
    page.frames[1].rotated = false;  // the format has no rotation
    page.frames[1].frame = {9, 1, 12, 5};
    const std::string meta = SpriteDataWriters::unityMeta(page, "walk_Atlas.png");
    EXPECT_EQ(meta, SpriteDataWriters::unityMeta(page, "walk_Atlas.png"));  // stable across runs
    const std::string other = SpriteDataWriters::unityMeta(page, "run_Atlas.png");
    const std::regex guid("guid: ([0-9a-f]{32})\n");
    std::smatch m1, m2;
    ASSERT_TRUE(std::regex_search(meta, m1, guid));
    ASSERT_TRUE(std::regex_search(other, m2, guid));
    EXPECT_NE(m1[1], m2[1]);
    EXPECT_EQ(m1[1], SpriteDataWriters::sha256Hex("sprite-sheet:walk_Atlas.png", 16));

    const std::string script = R"(
d = yaml.safe_load(open(sys.argv[1], encoding='utf-8'))
t = d['TextureImporter']
s = t['spriteSheet']['sprites']
print(d['fileFormatVersion'], t['spriteMode'], t['spritePixelsToUnits'], t['textureType'], len(s))
for x in s:
    r = x['rect']
    print(x['name'], r['x'], r['y'], r['width'], r['height'], x['alignment'], x['pivot']['x'], x['pivot']['y'])
ids = [x['internalID'] for x in s]
print(len(set(ids)) == len(ids), len(set(x['spriteID'] for x in s)) == len(s))
print(sorted(t['spriteSheet']['nameFileIdTable'].values()) == sorted(ids))
)";
    const auto out = runPython("yaml", script, meta);
    if (!out) {
        // Without a YAML parser: the structure a parser would see.
        EXPECT_NE(meta.find("  spriteMode: 2\n"), std::string::npos);
        EXPECT_NE(meta.find("  spritePixelsToUnits: 100\n"), std::string::npos);
        EXPECT_NE(meta.find("      name: \"quote\\\"back\\\\slash 02\"\n"), std::string::npos);
        GTEST_SKIP() << "python3 yaml not available";
    }
    EXPECT_EQ(*out,
              "2 2 100 8 4\n"
              "héllo wörld 01 1 27 6 4 9 0.5 0.75\n"
              "quote\"back\\slash 02 9 26 12 5 0 0.5 0.5\n"
              "plain_03 20 22 8 8 0 0.5 0.5\n"
              "héllo wörld 04 1 27 6 4 9 0.5833333333333334 0.125\n"
              "True True\n"
              "True\n");
}

TEST(SpriteDataWritersTest, GodotSpriteFramesResourceStructure) {
    SSC::Atlas atlas;
    atlas.pages = {samplePage(), samplePage()};
    for (auto& f : atlas.pages[0].frames) f.rotated = false;
    // The second page holds the later frames of the animation.
    atlas.pages[1].frames = {atlas.pages[0].frames[2]};
    atlas.pages[1].frames[0].name = "late 05.png";
    atlas.pages[1].frames[0].sequenceIndex = 1;
    atlas.pages[0].frames[1].sequenceIndex = 4;
    const std::string tres =
        SpriteDataWriters::godotSpriteFrames(atlas, {"walk_Atlas-0.png", "walk_Atlas-1.png"}, "wa\"lk");

    std::istringstream in(tres);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "[gd_resource type=\"SpriteFrames\" load_steps=8 format=3]");
    std::vector<std::string> extIds;
    std::map<std::string, std::map<std::string, std::string>> subs;  // id -> properties
    std::string current, resourceBody;
    bool inResource = false;
    const std::regex ext(R"re(^\[ext_resource type="Texture2D" path="([^"]+)" id="([^"]+)"\]$)re");
    const std::regex sub(R"re(^\[sub_resource type="AtlasTexture" id="([^"]+)"\]$)re");
    const std::regex prop(R"re(^(\w+) = (.+)$)re");
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_match(line, m, ext)) {
            extIds.push_back(m[2]);
            EXPECT_EQ(m[1], "walk_Atlas-" + std::to_string(extIds.size() - 1) + ".png");
        } else if (std::regex_match(line, m, sub)) {
            current = m[1];
            ASSERT_FALSE(subs.count(current)) << "duplicate id " << current;
            subs[current];
        } else if (line == "[resource]") {
            inResource = true;
        } else if (inResource) {
            resourceBody += line + "\n";
        } else if (!line.empty()) {
            ASSERT_TRUE(std::regex_match(line, m, prop)) << line;
            ASSERT_FALSE(current.empty()) << line;
            subs[current][m[1]] = m[2];
        }
    }
    ASSERT_EQ(extIds.size(), 2u);
    ASSERT_EQ(subs.size(), 5u);
    // Animation order: sequence 0, 1 (second page), 2, 3, 4.
    const std::regex frameRef(R"re("texture": SubResource\("([^"]+)"\))re");
    std::vector<std::string> order;
    for (auto it = std::sregex_iterator(resourceBody.begin(), resourceBody.end(), frameRef); it != std::sregex_iterator(); ++it)
        order.push_back((*it)[1]);
    ASSERT_EQ(order.size(), 5u);
    const auto& first = subs.at(order[0]);
    EXPECT_EQ(first.at("atlas"), "ExtResource(\"" + extIds[0] + "\")");
    EXPECT_EQ(first.at("region"), "Rect2(1, 1, 6, 4)");
    EXPECT_EQ(first.at("margin"), "Rect2(2, 3, 4, 4)");
    EXPECT_EQ(subs.at(order[1]).at("atlas"), "ExtResource(\"" + extIds[1] + "\")");
    EXPECT_EQ(subs.at(order[1]).count("margin"), 0u);  // untrimmed
    EXPECT_EQ(subs.at(order[4]).at("region"), "Rect2(9, 1, 5, 12)");
    EXPECT_NE(resourceBody.find("\"loop\": true,\n"), std::string::npos);
    EXPECT_NE(resourceBody.find("\"name\": &\"wa\\\"lk\",\n"), std::string::npos);
    EXPECT_NE(resourceBody.find("\"speed\": 12.0\n"), std::string::npos);
    EXPECT_EQ(resourceBody.rfind("animations = [{\n\"frames\": [{\n", 0), 0u);
    EXPECT_EQ(std::count(resourceBody.begin(), resourceBody.end(), '{'),
              std::count(resourceBody.begin(), resourceBody.end(), '}'));
    EXPECT_EQ(resourceBody.substr(resourceBody.size() - 3), "}]\n");
}
