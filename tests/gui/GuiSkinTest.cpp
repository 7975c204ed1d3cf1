// The default skin: its images are what the generator in the repository draws, and its layout
// script builds a control for every parameter without a complaint.
#include <gtest/gtest.h>

#include <set>

#include "Control.h"
#include "FileLocations.h"
#include "GuiTestSupport.h"
#include "KnobImages.h"
#include "Manager.h"
#include "MrvnFluxet.h"
#include "PluginLuaGui.h"
#include "Texture.h"
#include "UnitHost.h"

namespace MV::test {
namespace {

TEST(DefaultSkin, TheCommittedImagesAreWhatTheGeneratorDraws) {
    for (const skin::SkinFile& file : skin::kSkinFiles) {
        SCOPED_TRACE(file.name);
        const skin::Image drawn = skin::DrawKnobTexture(file.side);
        TextureImage committed;
        std::string reason;
        ASSERT_TRUE(ReadTextureImage(FLUXET_SOURCE_RESOURCES_DIR "/" + std::string(file.name),
                                     false, committed, &reason))
            << reason;
        EXPECT_EQ(committed.width, drawn.width);
        EXPECT_EQ(committed.height, drawn.height);
        ASSERT_EQ(committed.channels, 4);
        EXPECT_TRUE(committed.pixels == drawn.rgba)
            << "run build/MVgui/skin/fluxet_skin_images resources";
    }
}

// Every control of the tree, depth first.
void CollectControls(const UIElement* element, std::vector<const Control*>& controls) {
    if (const auto* control = dynamic_cast<const Control*>(element)) {
        controls.push_back(control);
    }
    if (const auto* group = dynamic_cast<const Group*>(element)) {
        for (const UIElement* child : group->Children()) {
            CollectControls(child, controls);
        }
    }
}

TEST(DefaultSkin, TheLayoutShowsEveryParameterAndPrintsNothing) {
    const ScopedEnvironment bundle("FLUXET_BUNDLE_DIR", FLUXET_SOURCE_RESOURCES_DIR);
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    Manager manager(host.Unit());
    PluginLuaGui gui(host.Unit(), nullptr, nullptr);
    testing::internal::CaptureStdout();
    gui.CreateUI(&manager);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_NE(manager.InfoFont(), nullptr);
    ASSERT_NE(manager.LabelFont(), nullptr);
    ASSERT_NE(manager.ThirdFont(), nullptr);
    std::vector<const Control*> controls;
    CollectControls(manager.RootGroup(), controls);
    std::set<int> shown;
    for (const Control* control : controls) {
        shown.insert(control->ParamId());
    }
    EXPECT_EQ(shown.size(), std::size_t(manager.NumParams()));
    EXPECT_EQ(*shown.rbegin(), manager.NumParams() - 1);
    // Nothing lies outside the window.
    Bounds all;
    manager.RootGroup()->ExtendBounds(all);
    EXPECT_GE(all.min[0], 0);
    EXPECT_GE(all.min[1], 0);
    EXPECT_LE(all.max[0], manager.WindowSize()[0]);
    EXPECT_LE(all.max[1], manager.WindowSize()[1]);
}

} // namespace
} // namespace MV::test
