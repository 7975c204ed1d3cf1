// The controls driven through the manager's input, without GL: what a press, a drag, a
// double-click or typed keys do to the parameter, and which edit gestures the host hears.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "GuiTestSupport.h"
#include "GuiTestUnit.h"
#include "Manager.h"
#include "TextField.h"
#include "TexturedKnob.h"
#include "UnitHost.h"

namespace MV::test {
namespace {

using Log = std::vector<std::string>;

// Gestures and changes as the host and a --print-changes listener see them; a run of changes
// is one entry.
void Begin(int param, void* log) {
    static_cast<Log*>(log)->push_back("begin " + std::to_string(param));
}
void End(int param, void* log) {
    static_cast<Log*>(log)->push_back("end " + std::to_string(param));
}
void Edited(int param, AudioUnitParameterValue /*value*/, void* log) {
    auto& entries = *static_cast<Log*>(log);
    const std::string entry = "set " + std::to_string(param);
    if (entries.empty() || entries.back() != entry) {
        entries.push_back(entry);
    }
}

// A 400 x 200 editor over the test unit, recording gestures and changes.
class ControlTest : public testing::Test {
protected:
    ControlTest() : host(fwtest::kTestDescription, GuiTestUnitEntry), manager(host.Unit()) {
        manager.SetWindowSize(400, 200);
        manager.CreateControl(0.0f, 0.0f);
        manager.SetEditProcs(&Begin, &End, &log);
        manager.SetParamEditedProc(&Edited, &log);
    }

    // What a frame does first: every control reads its parameter.
    void Frame() { manager.Update(); }
    float Value(int param) { return host.GetParameter(AudioUnitParameterID(param)); }

    UnitHost host;
    Manager manager;
    Log log;
};

// ---- Knobs

struct Step {
    enum Kind { kPress, kDrag, kRelease } kind;
    double dy = 0.0; // from the press point
    unsigned modifiers = 0;
    int clicks = 1;
};

Step Press(unsigned modifiers = 0, int clicks = 1) {
    return {Step::kPress, 0.0, modifiers, clicks};
}
Step Drag(double dy, unsigned modifiers = 0) {
    return {Step::kDrag, dy, modifiers, 1};
}
Step Release(unsigned modifiers = 0) {
    return {Step::kRelease, 0.0, modifiers, 1};
}

struct KnobCase {
    const char* name;
    int param;
    float start;
    std::vector<Step> steps;
    float expected;
    Log gestures;
};

class KnobTest : public ControlTest, public testing::WithParamInterface<KnobCase> {};

TEST_P(KnobTest, PressesAndDragsSetTheParameterInsideGestures) {
    const KnobCase& c = GetParam();
    manager.RootGroup()->AddChild(new Knob(&manager, c.param, 100, 50, 40));
    ASSERT_EQ(host.SetParameter(AudioUnitParameterID(c.param), c.start), noErr);
    Frame();
    const CGPoint centre{120.0, 70.0};
    for (const Step& step : c.steps) {
        const CGPoint at{centre.x, centre.y + step.dy};
        switch (step.kind) {
        case Step::kPress:
            manager.HandleMouseNoLoopDown(at, step.modifiers, step.clicks, false);
            break;
        case Step::kDrag:
            manager.HandleMouseNoLoopDragged(at, step.modifiers);
            break;
        case Step::kRelease:
            manager.HandleMouseNoLoopUp(at, step.modifiers);
            Frame();
            break;
        }
    }
    EXPECT_NEAR(Value(c.param), c.expected, 1e-5);
    EXPECT_EQ(log, c.gestures);
}

constexpr unsigned kShift = kModifierShift;
constexpr unsigned kCommand = kModifierCommand;
constexpr unsigned kOption = kModifierOption;
constexpr int kGain = fwtest::kParamGain; // 0 to 2, default 1
constexpr int kSwitch = fwtest::kParamSteps;
const Log kOneChange{"begin 0", "set 0", "end 0"};

INSTANTIATE_TEST_SUITE_P(
    Knob, KnobTest,
    testing::Values(KnobCase{"DraggingUp100UnitsFromAFifthGivesSevenTenths",
                             kGain,
                             0.4f,
                             {Press(), Drag(40), Drag(100), Release()},
                             1.4f,
                             kOneChange},
                    KnobCase{"WithShiftTheSameDragMovesATenth",
                             kGain,
                             0.4f,
                             {Press(kShift), Drag(100, kShift), Release(kShift)},
                             0.5f,
                             kOneChange},
                    KnobCase{"DraggingPastTheTopStopsAtTheMaximum",
                             kGain,
                             0.4f,
                             {Press(), Drag(400), Release()},
                             2.0f,
                             kOneChange},
                    KnobCase{"WithOptionTheValueMovesInWholeSteps",
                             kGain,
                             0.4f,
                             {Press(kOption), Drag(30, kOption), Release(kOption)},
                             1.0f,
                             kOneChange},
                    KnobCase{
                        "ShiftPressedMidDragGoesOnFromTheCurrentValue",
                        kGain,
                        0.4f,
                        {Press(), Drag(50), Drag(60, kShift), Drag(160, kShift), Release(kShift)},
                        1.0f,
                        {"begin 0", "set 0", "end 0", "begin 0", "set 0", "end 0"}},
                    KnobCase{"ADoubleClickRestoresTheDefault",
                             kGain,
                             0.4f,
                             {Press(), Release(), Press(0, 2), Release()},
                             1.0f,
                             {"begin 0", "end 0", "begin 0", "set 0", "end 0"}},
                    KnobCase{"ACommandClickRestoresTheDefault",
                             kGain,
                             0.4f,
                             {Press(kCommand), Release()},
                             1.0f,
                             kOneChange},
                    KnobCase{"ACommandDoubleClickSetsZero",
                             kGain,
                             0.4f,
                             {Press(kCommand), Release(), Press(kCommand, 2), Release()},
                             0.0f,
                             {"begin 0", "set 0", "end 0", "begin 0", "set 0", "end 0"}},
                    KnobCase{"AClickChangesNothingUntilTheMouseMoves",
                             kGain,
                             0.4f,
                             {Press(), Release()},
                             0.4f,
                             {"begin 0", "end 0"}},
                    KnobCase{"AClickOnAnOnOffParameterTogglesIt",
                             kSwitch,
                             0.0f,
                             {Press(), Release()},
                             1.0f,
                             {"begin 2", "set 2", "end 2"}}),
    [](const testing::TestParamInfo<KnobCase>& info) { return std::string(info.param.name); });

TEST_F(ControlTest, AParameterButtonFlipsBetweenItsEndsInOneGesture) {
    auto* button = new TeskButton(&manager, "On", 10, 10, 40, 20, kSwitch);
    manager.RootGroup()->AddChild(button);
    for (const float expected : {1.0f, 0.0f}) {
        Frame();
        manager.HandleMouseNoLoopDown({20, 20}, 0, 1, false);
        manager.HandleMouseNoLoopUp({20, 20}, 0);
        EXPECT_EQ(Value(kSwitch), expected);
    }
    EXPECT_EQ(log, (Log{"begin 2", "set 2", "end 2", "begin 2", "set 2", "end 2"}));
}

TEST_F(ControlTest, AnActionButtonCallsBackOnReleaseWhereverItHappens) {
    int calls = 0;
    auto* button = new BrimButton(
        &manager, "Go", [](Button*, void* count) { ++*static_cast<int*>(count); }, &calls, 10, 10,
        40, 20, -2);
    manager.RootGroup()->AddChild(button);
    manager.HandleMouseNoLoopDown({20, 20}, 0, 1, false);
    manager.HandleMouseNoLoopUp({300, 150}, 0); // outside the button
    manager.HandleMouseNoLoopDown({300, 150}, 0, 1, false);
    manager.HandleMouseNoLoopUp({20, 20}, 0); // the press began elsewhere
    EXPECT_EQ(calls, 1);
}

// ---- Text field

struct TypingCase {
    const char* name;
    int param;
    float start;
    std::string keys;  // typed after a click on the field
    std::string shown; // the field's text before the last key
    float expected;
};

class TypingTest : public ControlTest, public testing::WithParamInterface<TypingCase> {
protected:
    void SetUp() override {
        manager.SetFonts(nullptr, nullptr,
                         Font::Create({{FontFolder() + "/DejaVuSansMono.ttf", 11}}));
        ASSERT_NE(manager.ThirdFont(), nullptr);
    }
};

TEST_P(TypingTest, KeysEditTheValue) {
    const TypingCase& c = GetParam();
    auto* field = new TextField(&manager, c.param, 100, 100, 60, 16, "%.3f");
    manager.RootGroup()->AddChild(field);
    ASSERT_EQ(host.SetParameter(AudioUnitParameterID(c.param), c.start), noErr);
    field->PrepareText();
    manager.HandleMouseNoLoopDown({120, 108}, 0, 1, false);
    manager.HandleMouseNoLoopUp({120, 108}, 0);
    ASSERT_EQ(manager.KeyboardFocus(), field);
    for (std::size_t i = 0; i < c.keys.size(); ++i) {
        if (i + 1 == c.keys.size()) {
            EXPECT_EQ(field->Text(), c.shown);
        }
        EXPECT_TRUE(manager.HandleKeypress(static_cast<unsigned char>(c.keys[i])));
        field->PrepareText();
    }
    EXPECT_NEAR(Value(c.param), c.expected, 1e-5);
}

constexpr int kSpeed = fwtest::kParamSpeed; // hertz, 10 to 5000
constexpr int kMode = fwtest::kParamMode;   // Off, Low, Mid, High
const std::string kUp(1, char(kKeyUp));
const std::string kDown(1, char(kKeyDown));
const std::string kBackspace(1, char(kKeyBackspace));

INSTANTIATE_TEST_SUITE_P(
    TextField, TypingTest,
    testing::Values(TypingCase{"DigitsAndAPointThenReturn", kSpeed, 10.0f, "12.5\r", "12.5", 12.5f},
                    TypingCase{"EnterCommitsLikeReturn", kSpeed, 10.0f, "40\x03", "40", 40.0f},
                    TypingCase{"ASecondPointIsIgnored", kSpeed, 10.0f, "1.2.5\r", "1.25", 10.0f},
                    TypingCase{"AMinusAfterADigitIsIgnored", kSpeed, 10.0f, "1-5\r", "15", 15.0f},
                    TypingCase{"AMinusFirstStartsANegativeNumber", kGain, 1.0f, "-1\r", "-1", 0.0f},
                    TypingCase{"UpAddsOneUnitOfTheLastDigit", kGain, 0.25f, kUp, "0.250", 0.251f},
                    TypingCase{"DownAfterTypingCommitsThenSteps", kGain, 0.25f, "1.5" + kDown,
                               "1.5", 1.4f},
                    TypingCase{"ANamedValueStepsByOne", kMode, 1.0f, kUp, "Low", 2.0f},
                    TypingCase{"BackspacePastTheFirstDigitShowsTheValueAgain", kGain, 0.5f,
                               "7" + kBackspace + "\r", "0.500", 0.5f},
                    TypingCase{"AtMost31CharactersAreTyped", kSpeed, 10.0f,
                               std::string(40, '1').replace(0, 2, "20") + "\r",
                               "20" + std::string(29, '1'), 5000.0f}),
    [](const testing::TestParamInfo<TypingCase>& info) { return std::string(info.param.name); });

TEST_F(TypingTest, TypedValueAndReturnAreExactlyOneGesture) {
    manager.RootGroup()->AddChild(new TextField(&manager, kSpeed, 100, 100, 60, 16, ""));
    manager.HandleMouseNoLoopDown({120, 108}, 0, 1, false);
    manager.HandleMouseNoLoopUp({120, 108}, 0);
    log.clear();
    for (const char key : std::string("12.5\r")) {
        manager.HandleKeypress(static_cast<unsigned char>(key));
    }
    EXPECT_EQ(log, (Log{"begin 1", "set 1", "end 1"}));
    EXPECT_EQ(Value(kSpeed), 12.5f);
}

TEST_F(TypingTest, ClickingElsewhereDiscardsWhatWasTyped) {
    auto* field = new TextField(&manager, kSpeed, 100, 100, 60, 16, "%.1f");
    manager.RootGroup()->AddChild(field);
    manager.HandleMouseNoLoopDown({120, 108}, 0, 1, false);
    manager.HandleMouseNoLoopUp({120, 108}, 0);
    manager.HandleKeypress('4');
    field->PrepareText();
    EXPECT_EQ(std::string(field->Text()), "4");
    manager.HandleMouseNoLoopDown({300, 20}, 0, 1, false);
    manager.HandleMouseNoLoopUp({300, 20}, 0);
    field->PrepareText();
    EXPECT_EQ(std::string(field->Text()), "10.0");
    EXPECT_FALSE(manager.HandleKeypress('5')); // nobody has the keyboard
    EXPECT_EQ(Value(kSpeed), 10.0f);
}

// ---- Drop-down

struct DropDownCase {
    const char* name;
    float y;     // the control's bottom, 20 units high, in a 200-unit window
    float value; // the current index
    float listY; // where the open list starts
};

class DropDownTest : public ControlTest, public testing::WithParamInterface<DropDownCase> {};

TEST_P(DropDownTest, TheListOpensWithTheCurrentRowOverTheControl) {
    const DropDownCase& c = GetParam();
    auto* drop = new ALDropDown(&manager, kMode, 100, c.y, 80, 20);
    manager.RootGroup()->AddChild(drop);
    ASSERT_EQ(drop->Items(), (std::vector<std::string>{"Off", "Low", "Mid", "High"}));
    ASSERT_EQ(host.SetParameter(kMode, c.value), noErr);
    manager.HandleMouseNoLoopDown({140, double(c.y) + 10}, 0, 1, false);
    EXPECT_EQ(drop->ListY(), c.listY);
    EXPECT_EQ(drop->ListHeight(), 80.0f);
    EXPECT_EQ(drop->Highlighted(), int(c.value));
    // The row two below the top, then a release there chooses it.
    const CGPoint row2{140, double(c.listY) + 80 - 2.5 * 20};
    manager.HandleMouseNoLoopDragged(row2, 0);
    manager.HandleMouseNoLoopUp(row2, 0);
    EXPECT_EQ(Value(kMode), 2.0f);
    EXPECT_FALSE(drop->IsOpen());
}

INSTANTIATE_TEST_SUITE_P(
    DropDown, DropDownTest,
    testing::Values(DropDownCase{"LastItemExtendsUpwards", 100, 3, 100},
                    DropDownCase{"FirstItemExtendsDownwards", 100, 0, 40},
                    DropDownCase{"NearTheBottomMovesUpToStartAtZero", 10, 0, 0},
                    DropDownCase{"NearTheTopMovesDownInsideTheWindow", 180, 3, 120}),
    [](const testing::TestParamInfo<DropDownCase>& info) { return std::string(info.param.name); });

TEST_F(ControlTest, ReleasingOutsideTheOpenListChangesNothing) {
    manager.RootGroup()->AddChild(new ALDropDown(&manager, kMode, 100, 100, 80, 20));
    ASSERT_EQ(host.SetParameter(kMode, 1.0f), noErr);
    manager.HandleMouseNoLoopDown({140, 110}, 0, 1, false);
    manager.HandleMouseNoLoopDragged({140, 75}, 0);
    manager.HandleMouseNoLoopDragged({300, 75}, 0);
    manager.HandleMouseNoLoopUp({300, 75}, 0);
    EXPECT_EQ(Value(kMode), 1.0f);
    EXPECT_EQ(log, (Log{"begin 3", "end 3"}));
}

// ---- The textured knob's mesh

float AngleOf(const KnobVertex& v, float cx, float cy) {
    return std::atan2(v.y - cy, v.x - cx);
}

TEST(KnobMeshTest, TheArcsFollowTheAngleAndAreBuiltOnlyWhenItChanges) {
    UnitHost host(fwtest::kTestDescription, GuiTestUnitEntry);
    Manager manager(host.Unit());
    auto* renderer = new TexturedKnobRenderer(&manager, nullptr, 32, 0, 64, 416, 0);
    manager.AddEffect(renderer);
    renderer->Add();
    renderer->InitialiseGeometry(512, 64);
    renderer->SetPlacement(0, 50, 60, 20);
    constexpr float kPi = std::numbers::pi_v<float>;
    // Vertex 2 is the arc's start P0, 7 its end P3; 16 and 26 the rest's ends Q0 and Q4.
    const struct {
        float angle;
        float arcStart, arcEnd;
        float restSpan;
    } cases[] = {{0.0f, 1.25f * kPi, 1.25f * kPi, 2 * kPi - 0.3f},
                 {1.5f * kPi, 1.25f * kPi, -0.25f * kPi, 0.5f * kPi - 0.3f}};
    for (const auto& c : cases) {
        const std::uint64_t builds = renderer->MeshBuilds();
        renderer->SetAngle(0, c.angle);
        renderer->SetAngle(0, c.angle);
        EXPECT_EQ(renderer->MeshBuilds(), builds + 1);
        const KnobVertex* v = renderer->Vertices(0);
        const float start = AngleOf(v[2], 50, 60);
        EXPECT_NEAR(std::remainder(start - c.arcStart, 2 * kPi), 0.0f, 1e-4f);
        EXPECT_NEAR(std::remainder(AngleOf(v[7], 50, 60) - c.arcEnd, 2 * kPi), 0.0f, 1e-4f);
        EXPECT_NEAR(std::hypot(v[7].x - 50, v[7].y - 60), 20.0f, 1e-4f);
        // The rest of the ring starts 0.15 past the arc's start and runs counter-clockwise.
        const float restStart = AngleOf(v[16], 50, 60);
        EXPECT_NEAR(std::remainder(restStart - (start + 0.15f), 2 * kPi), 0.0f, 1e-4f);
        const float restEnd = AngleOf(v[26], 50, 60);
        EXPECT_NEAR(std::remainder(restEnd - restStart - c.restSpan, 2 * kPi), 0.0f, 1e-4f);
    }
    // At the lowest value every point of the arc is the same: nothing of it is drawn.
    renderer->SetAngle(0, 0.0f);
    const KnobVertex* v = renderer->Vertices(0);
    for (const int i : {1, 4, 5, 8}) {
        EXPECT_NEAR(v[i].x, v[2].x, 1e-5f);
        EXPECT_NEAR(v[i].y, v[2].y, 1e-5f);
    }
}

} // namespace
} // namespace MV::test
