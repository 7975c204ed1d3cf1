// Skin images and fonts without a GL context: which PNGs become textures, where resources and
// fonts are found, and how text is measured and laid out.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "Bundle.h"
#include "FileLocations.h"
#include "Font.h"
#include "GuiTestSupport.h"
#include "Manager.h"
#include "PngWriter.h"
#include "Texture.h"

namespace MV::test {
namespace {

namespace fs = std::filesystem;

// A w x h image whose samples count up, so that a decoder that mixes rows up shows.
std::vector<std::uint8_t> Pattern(int w, int h, int channels, int depth) {
    std::vector<std::uint8_t> pixels(std::size_t(w * h * channels * depth / 8));
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = std::uint8_t(i * 7 + i / 251);
    }
    return pixels;
}

std::vector<std::uint8_t> ReadAll(const std::string& path) {
    const std::string bytes = ReadFile(path);
    return {bytes.begin(), bytes.end()};
}

TEST(Png, OnlyPowerOfTwoRgbAndRgbaOfEightBitsBecomeTextures) {
    struct Case {
        const char* name;
        int width, height, channels, depth;
        bool accepted;
    };
    const Case cases[] = {
        {"rgb.png", 64, 32, 3, 8, true},     {"rgba.png", 16, 16, 4, 8, true},
        {"wide.png", 300, 256, 3, 8, false}, {"deep.png", 32, 32, 3, 16, false},
        {"grey.png", 32, 32, 1, 8, false},   {"greyalpha.png", 32, 32, 2, 8, false},
    };
    TempFolder skin;
    Bundle bundle(skin.Path());
    Manager manager(nullptr);
    for (const Case& test : cases) {
        const auto pixels = Pattern(test.width, test.height, test.channels, test.depth);
        ASSERT_TRUE(WritePng(skin / test.name, test.width, test.height, test.channels, test.depth,
                             pixels.data()));
        const auto bytes = ReadAll(skin / test.name);
        TextureImage image;
        EXPECT_EQ(DecodePng(bytes.data(), bytes.size(), image), test.accepted) << test.name;
        if (test.accepted) {
            EXPECT_EQ(image.width, test.width);
            EXPECT_EQ(image.height, test.height);
            EXPECT_EQ(image.pixels, pixels) << test.name;
        } else {
            // Refused before anything reaches GL: no texture, no size, and the editor goes on.
            auto* texture = new Texture(&manager, test.name, &bundle);
            texture->Load(false);
            EXPECT_TRUE(texture->LoadAttempted());
            EXPECT_EQ(texture->GLName(), 0u) << test.name;
            EXPECT_EQ(texture->Width(), 0) << test.name;
        }
    }
}

TEST(Png, DamagedFilesAreRefusedWithoutEndingTheProcess) {
    TempFolder folder;
    const auto pixels = Pattern(64, 64, 4, 8);
    ASSERT_TRUE(WritePng(folder / "good.png", 64, 64, 4, 8, pixels.data()));
    const auto good = ReadAll(folder / "good.png");
    auto flipped = good;
    for (std::size_t i = good.size() / 2; i < good.size() / 2 + 16; ++i) {
        flipped[i] ^= 0x5a;
    }
    const std::vector<std::vector<std::uint8_t>> damaged = {
        {good.begin(), good.begin() + std::ptrdiff_t(good.size() / 2)}, // truncated
        flipped,                                                        // bad CRC and data
        {good.begin(), good.begin() + 8},                               // signature only
        std::vector<std::uint8_t>(100, 0x42),                           // not a PNG at all
        {},
    };
    for (std::size_t i = 0; i < damaged.size(); ++i) {
        TextureImage image;
        std::string reason;
        EXPECT_FALSE(DecodePng(damaged[i].data(), damaged[i].size(), image, &reason)) << i;
        EXPECT_FALSE(reason.empty()) << i;
        EXPECT_TRUE(image.pixels.empty()) << i;
    }
}

TEST(Png, TheHighDensityVariantIsPreferredAndReportsHalfItsSize) {
    TempFolder folder;
    const auto small = Pattern(32, 32, 3, 8);
    const auto large = Pattern(64, 64, 3, 8);
    ASSERT_TRUE(WritePng(folder / "bg.png", 32, 32, 3, 8, small.data()));
    ASSERT_TRUE(WritePng(folder / "bg_hi.png", 64, 64, 3, 8, large.data()));
    ASSERT_TRUE(WritePng(folder / "knob.png", 32, 32, 3, 8, small.data()));
    struct Case {
        const char* name;
        bool highDensity;
        int width;
        bool variant;
    };
    for (const Case& test : {Case{"bg.png", true, 64, true}, Case{"bg.png", false, 32, false},
                             Case{"knob.png", true, 32, false}}) {
        TextureImage image;
        ASSERT_TRUE(ReadTextureImage(folder / test.name, test.highDensity, image));
        EXPECT_EQ(image.width, test.width) << test.name;
        EXPECT_EQ(image.doubleResolution, test.variant) << test.name;
    }
}

TEST(Resources, TexturesAreLookedUpInTheSkinThenInThePluginsResources) {
    TempFolder skin;
    TempFolder plugin;
    const auto pixels = Pattern(8, 8, 3, 8);
    for (const std::string& path : {skin / "both.png", plugin / "both.png", plugin / "own.png"}) {
        ASSERT_TRUE(WritePng(path, 8, 8, 3, 8, pixels.data()));
    }
    ScopedEnvironment bundleDir(kBundleDirEnvironmentVariable, plugin.Path());
    Bundle bundle(skin.Path());
    Manager manager(nullptr);
    EXPECT_EQ((new Texture(&manager, "both.png", &bundle))->Path(), skin / "both.png");
    EXPECT_EQ((new Texture(&manager, "own.png", &bundle))->Path(), plugin / "own.png");
    EXPECT_EQ((new Texture(&manager, "own.png", nullptr))->Path(), plugin / "own.png");
    EXPECT_EQ((new Texture(&manager, "nowhere.png", &bundle))->Path(), "");
}

class FontTest : public testing::Test {
protected:
    static std::string Sans() { return FontFolder() + "/DejaVuSans.ttf"; }
};

TEST_F(FontTest, MeasuringNeedsNoContextAndAppliesKerning) {
    std::unique_ptr<Font> font(Font::Create({{Sans(), 24}}));
    ASSERT_NE(font, nullptr);
    EXPECT_EQ(font->GetStringWidth(""), 0.0f);
    float width = 1.0f;
    float height = 1.0f;
    font->StringSize("", width, height);
    EXPECT_EQ(width, 0.0f);
    EXPECT_EQ(height, 0.0f);

    // StringSize sums bare advances; layout and GetStringWidth pull A and V together.
    float advances = 0.0f;
    font->StringSize("AV", advances, height);
    const float kerned = font->GetStringWidth("AV");
    EXPECT_LT(kerned, advances - 0.5f);
    EXPECT_FLOAT_EQ(font->GetStringWidth("A") + font->GetStringWidth("V"), advances);
    std::vector<FontVertex> quads(8);
    float endX = 0.0f;
    EXPECT_EQ(font->DrawIntoBuffer(quads.data(), "AV", 10.0f, 5.0f, &endX), 8);
    EXPECT_FLOAT_EQ(endX - 10.0f, kerned);
    // At density 1 glyph quads start on whole pixels.
    EXPECT_EQ(quads[4].x, std::floor(quads[4].x));
    EXPECT_GT(height, 0.5f * float(font->Size()));
}

TEST_F(FontTest, ACachedLineIsLaidOutOnlyWhenItChanges) {
    std::unique_ptr<Font> font(Font::Create({{Sans(), 12}}));
    ASSERT_NE(font, nullptr);
    CachedText line;
    const std::uint64_t before = font->LayoutCount();
    for (int frame = 0; frame < 5; ++frame) {
        line.Update(font.get(), "Feedback", 10.0f, 20.0f);
    }
    EXPECT_EQ(font->LayoutCount() - before, 1u);
    line.Update(font.get(), "Feedback", 11.0f, 20.0f);
    line.Update(font.get(), "Bias", 11.0f, 20.0f);
    EXPECT_EQ(font->LayoutCount() - before, 3u);
    EXPECT_FLOAT_EQ(line.Update(nullptr, "ignored", 0.0f, 0.0f), line.EndX());
}

TEST_F(FontTest, FontsAreFoundAsGivenThenInTheSkinThePluginAndTheFontFolders) {
    TempFolder root;
    for (const char* folder :
         {"skin", "plugin", "user/fonts/truetype/deep", "local/fonts", "system/fonts"}) {
        fs::create_directories(root / folder);
    }
    const auto copy = [&](const std::string& to) { fs::copy_file(Sans(), root / to); };
    copy("skin/Skin.ttf");
    copy("plugin/Skin.ttf");
    copy("plugin/Plugin.ttf");
    copy("user/fonts/truetype/deep/Deep.ttf");
    copy("local/fonts/Deep.ttf");
    copy("system/fonts/System.ttf");
    WriteFile(root / "plugin/Broken.ttf", "not a font");
    ScopedEnvironment bundleDir(kBundleDirEnvironmentVariable, root / "plugin");
    ScopedEnvironment user("XDG_DATA_HOME", root / "user");
    ScopedEnvironment local(kLocalDataDirEnvironmentVariable, root / "local");
    ScopedEnvironment system(kSystemDataDirEnvironmentVariable, root / "system");
    Bundle skin(root / "skin");

    struct Case {
        std::vector<Font::FontChoice> choices;
        std::string found; // relative to root; empty: no font
    };
    const Case cases[] = {
        {{{root / "system/fonts/System.ttf", 10}}, "system/fonts/System.ttf"},
        {{{"Skin.ttf", 10}}, "skin/Skin.ttf"},
        {{{"Plugin.ttf", 10}}, "plugin/Plugin.ttf"},
        // The local domain's folder itself comes before a search below the user's.
        {{{"Deep.ttf", 10}}, "local/fonts/Deep.ttf"},
        {{{"Missing.ttf", 10}, {"System.ttf", 10}}, "system/fonts/System.ttf"},
        {{{"Broken.ttf", 10}, {"Plugin.ttf", 10}}, "plugin/Plugin.ttf"},
        {{{"", 10}, {"Missing.ttf", 10}}, ""},
    };
    for (const Case& test : cases) {
        std::unique_ptr<Font> font(Font::Create(test.choices, &skin));
        EXPECT_EQ(font != nullptr ? font->Path() : "", test.found.empty() ? "" : root / test.found)
            << test.choices.back().name;
    }
    fs::remove(root / "local/fonts/Deep.ttf");
    std::unique_ptr<Font> deep(Font::Create({{"Deep.ttf", 10}}, &skin));
    ASSERT_NE(deep, nullptr);
    EXPECT_EQ(deep->Path(), root / "user/fonts/truetype/deep/Deep.ttf");
}

} // namespace
} // namespace MV::test
