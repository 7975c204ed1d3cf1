// The layout script's interface without a window: its error texts, what its functions build,
// and the order in which a skin's gui.lua and the plug-in's own run.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "GuiTestSupport.h"
#include "Label.h"
#include "Manager.h"
#include "MrvnFluxet.h"
#include "PluginLuaGui.h"
#include "Preferences.h"
#include "UnitHost.h"

namespace MV::test {
namespace {

// A Fluxet instance whose editor is built from the gui.lua of a private plug-in folder and,
// when given, of a skin named "Test" in a private data folder.
class LuaGuiTest : public testing::Test {
protected:
    LuaGuiTest() : host(kFluxetComponentDescription, MrvnFluxetEntry) {}
    ~LuaGuiTest() override { SetPrefString(kPrefSkin, ""); }

    // Builds the editor and returns what it printed.
    std::string Build(const std::string& pluginScript, const std::string& skinScript = "") {
        WriteFile(plugin / "gui.lua", pluginScript);
        if (!skinScript.empty()) {
            WriteFile(data / "Morvane/Fluxet/Skins/Test/gui.lua", skinScript);
        }
        SetPrefString(kPrefSkin, skinScript.empty() ? "" : "Test");
        manager = std::make_unique<Manager>(host.Unit());
        gui = std::make_unique<PluginLuaGui>(
            host.Unit(), [](Button*, void* pressed) { ++*static_cast<int*>(pressed); },
            &prefsPressed);
        testing::internal::CaptureStdout();
        gui->CreateUI(manager.get());
        return testing::internal::GetCapturedStdout();
    }

    // The named groups of the root, in order.
    std::vector<NamedGroup*> Groups() const {
        std::vector<NamedGroup*> groups;
        for (UIElement* child : manager->RootGroup()->Children()) {
            if (auto* group = dynamic_cast<NamedGroup*>(child)) {
                groups.push_back(group);
            }
        }
        return groups;
    }

    static std::string Fonts() {
        const std::string folder = FontFolder();
        return "function getFont() return {{name = '" + folder +
               "/DejaVuSans.ttf', size = 12}} end\n"
               "function getLabelFont() return {{name = '" +
               folder + "/DejaVuSansCondensed.ttf', size = 11}} end\n";
    }

    TempFolder plugin;
    TempFolder data;
    ScopedEnvironment bundle{"FLUXET_BUNDLE_DIR", plugin.Path()};
    ScopedEnvironment dataHome{"XDG_DATA_HOME", data.Path()};
    UnitHost host;
    std::unique_ptr<Manager> manager;
    std::unique_ptr<PluginLuaGui> gui;
    int prefsPressed = 0;
};

struct ErrorCase {
    const char* name;
    const char* code;     // the body of createUI, or a line of the file when topLevel
    const char* expected; // part of the one line printed
    bool topLevel = false;
};

// Top-level lines come after a createUI that makes this group, which a failed chunk may or may
// not have defined before it stopped.
constexpr const char* kTopLevelCreateUI = "function createUI() group('defined') end\n";

class LuaErrorTest : public LuaGuiTest, public testing::WithParamInterface<ErrorCase> {};

TEST_P(LuaErrorTest, AMisuseIsOneLineAndTheRestOfTheLayoutStays) {
    const ErrorCase& c = GetParam();
    const std::string script = c.topLevel ? kTopLevelCreateUI + std::string(c.code) + "\n"
                                          : "function createUI()\n group('before')\n" +
                                                std::string(c.code) + "\n group('after')\nend\n";
    const std::string printed = Build(script);
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
    EXPECT_EQ(printed.rfind("@@@ ", 0), 0u) << printed;
    EXPECT_NE(printed.find(c.expected), std::string::npos) << printed;
    // What ran before the error stays, nothing after it; a chunk that does not compile runs
    // not at all.
    const bool compiles = std::string(c.name) != "SyntaxError";
    const std::vector<NamedGroup*> groups = Groups();
    ASSERT_EQ(groups.size(), compiles ? 1u : 0u);
    if (compiles) {
        EXPECT_EQ(groups.front()->Name(), c.topLevel ? "defined" : "before");
    }
}

INSTANTIATE_TEST_SUITE_P(
    LuaGui, LuaErrorTest,
    testing::Values(
        ErrorCase{"UnknownParameter", "knob('Nope', 0, 0, 40)", "parameter not found: 'Nope'"},
        ErrorCase{"ButtonOutsideCreateUI", "button('Prefs', 'x', 0, 0, 10, 10)",
                  "no button lookup table", true},
        ErrorCase{"SliderOrientation", "slider('Feedback', 0, 0, 10, 10, 'diagonal')",
                  "unknown slider orientation: diagonal"},
        ErrorCase{"NoSliders", "slider('Feedback', 0, 0, 10, 10, 'horizontal')",
                  "no slider support"},
        ErrorCase{"LuaButtonNeedsAFunction", "luaButton(1, 'l', 'h', 'toggle', 0, 0, 1, 1)",
                  "first argument to luaButton() is not a function"},
        ErrorCase{"AddAFont", "add(font(function() return {} end))",
                  "bad argument #1 to 'add' (element expected, got userdata)"},
        ErrorCase{"KnobWithoutRenderer", "knob('Feedback', 0, 0, 40)",
                  "(MVgui.KnobRenderer expected, got nil)"},
        ErrorCase{"ParameterIndexOutOfRange", "setParameter(16, 1)",
                  "parameter index out of range: 16"},
        ErrorCase{"GroupMarginsOfAString", "group('g', 'wide')",
                  "bad argument #2 to 'group' (number or table expected, got string)"},
        ErrorCase{"SyntaxError", "function createUI(", "failed to run buffer: ", true},
        ErrorCase{"RuntimeErrorAtTopLevel", "error('broken skin')", "failed to run buffer: ", true},
        ErrorCase{"FailingFontFunction", "function getFont() error('no fonts') end",
                  "failed to run getFont: ", true}),
    [](const testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

TEST_F(LuaGuiTest, TheScriptSeesTheValuesAndFunctionsOfItsInterface) {
    const std::string printed = Build(Fonts() + R"(
function getWindowSize() return 400, 200 end
function createUI()
    assert(getChannelCount() == 2)
    assert(getParameterID("Feedback") == 10)
    setParameter("Feedback", 25)
    assert(getParameter(10) == 25)
    local b = paramButton("Bias", "Bias", 0, 0, 10, 10)
    b:setState(true)
    assert(b:getState() == false)
    local l = label("x", 0, 0)
    elementSetVisible(l, false)
    assert(elementIsVisible(l) == false)
    local none = propertyButton(64008, "p", "help", "toggle", 0, 0, 1, 1)
    add(none)
    assert(none:isVisible() == false and none:getState() == false)
    add(button("Prefs", "Prefs", 10, 10, 50, 20))
end)");
    EXPECT_EQ(printed, "");
    EXPECT_EQ(host.GetParameter(kParam_Feedback), 25.0f);
    // The named button opens the settings.
    manager->CreateControl(0, 0);
    manager->HandleMouseNoLoopDown({20, 20}, 0, 1, false);
    manager->HandleMouseNoLoopUp({20, 20}, 0);
    EXPECT_EQ(prefsPressed, 1);
}

TEST_F(LuaGuiTest, GroupMarginsComeFromANumberOrATable) {
    Build(Fonts() + R"(
function createUI()
    for _, margins in ipairs({{}, {5}, {{1, 2}}}) do
        -- A label with a width and a height has exactly that box: 100,50 to 120,60.
        group("g", unpack(margins)):add(label("x", 100, 50, "", 20, 10))
    end
end)");
    const struct {
        float above, below, left, right;
    } expected[] = {{10, 10, 10, 10}, {5, 5, 5, 5}, {1, 2, 0, 0}};
    const std::vector<NamedGroup*> groups = Groups();
    ASSERT_EQ(groups.size(), 3u);
    for (std::size_t i = 0; i < groups.size(); ++i) {
        Bounds box;
        groups[i]->ExtendBounds(box);
        EXPECT_EQ(box.min[0], 100 - expected[i].left) << i;
        EXPECT_EQ(box.min[1], 50 - expected[i].below) << i;
        EXPECT_EQ(box.max[0], 120 + expected[i].right) << i;
        EXPECT_EQ(box.max[1], 60 + expected[i].above) << i;
    }
}

TEST_F(LuaGuiTest, LabelsFitTheirTextOrTheBoxTheyAreGiven) {
    Build(Fonts() + R"(
function createUI()
    add(label("Feedback", 100, 50))
    add(label("Feedback", 100, 50, "right"))
    add(label("Feedback", 100, 50, "left"))
    add(label("Feedback", 100, 50, "right", 80))
end)");
    const Font* font = manager->LabelFont();
    ASSERT_NE(font, nullptr);
    float width = 0;
    float capital = 0;
    float ignored = 0;
    font->StringSize("Feedback", width, ignored);
    font->StringSize("M", ignored, capital);
    const float boxWidth = std::floor(width) + 6;
    const float boxHeight = std::floor(capital) + 6;
    const struct {
        float left, right, offsetX;
    } expected[] = {{std::floor(100 - boxWidth / 2), std::floor(100 - boxWidth / 2) + boxWidth, 3},
                    {100 - boxWidth, 100, 3},
                    {100, 100 + boxWidth, 3},
                    {100, 180, std::floor((80 - width) / 2)}};
    const auto& children = manager->RootGroup()->Children();
    ASSERT_EQ(children.size(), 4u);
    for (std::size_t i = 0; i < children.size(); ++i) {
        const auto* label = dynamic_cast<const Label*>(children[i]);
        ASSERT_NE(label, nullptr);
        Bounds box;
        label->GetWorldBounds(box);
        EXPECT_EQ(box.min[0], expected[i].left) << i;
        EXPECT_EQ(box.max[0], expected[i].right) << i;
        // Without a height the label hangs below y.
        EXPECT_EQ(box.max[1], 50) << i;
        EXPECT_EQ(box.min[1], 50 - boxHeight) << i;
        EXPECT_EQ(label->TextOffsetX(), expected[i].offsetX) << i;
        EXPECT_EQ(label->TextOffsetY(), 3) << i;
    }
}

TEST_F(LuaGuiTest, ThePluginsOwnScriptRunsAfterTheSkinsAndReplacesItsDefinitions) {
    const std::string printed = Build(
        "function createUI() group('plug-in') end\n",
        "function getWindowSize() return 300, 200 end\nfunction createUI() group('skin') end\n");
    EXPECT_EQ(printed, "");
    // The skin's window size stays, its createUI does not.
    EXPECT_EQ(manager->WindowSize()[0], 300);
    EXPECT_EQ(manager->WindowSize()[1], 200);
    const std::vector<NamedGroup*> groups = Groups();
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0]->Name(), "plug-in");
}

} // namespace
} // namespace MV::test
