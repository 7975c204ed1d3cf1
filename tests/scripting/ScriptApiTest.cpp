// The scripts' view of the unit: globals, parameter and flag functions, their errors, print, and
// which script files run in which order.
#include <sys/stat.h>
#include <unistd.h>

#include "ScriptTestSupport.h"
#include "SystemInfo.h"

namespace MV::test {
namespace {

using ScriptApi = ScriptedUnitTest;

TEST_F(ScriptApi, VersionAndPlatformGlobals) {
    auto host = OpenUnit();
    LuaMIDIHelper& lua = Helper(*host);
    EXPECT_EQ(Eval(lua, "version"), "10201");
    EXPECT_EQ(Eval(lua, "majorVersion .. minorVersion .. dotVersion"), "121");
    EXPECT_EQ(Eval(lua, "tostring(isMac) .. tostring(isWin) .. tostring(isVST) .. tostring(isAU)"),
              "truefalsefalsetrue");
}

TEST_F(ScriptApi, ParametersByIndexNameAndNumericString) {
    auto host = OpenUnit();
    LuaMIDIHelper& lua = Helper(*host);
    host->SetParameter(kParam_SpeedFine, 7.5f);
    EXPECT_EQ(Eval(lua, "getParameter(3)"), "7.5");
    EXPECT_EQ(Eval(lua, "getParameter('3')"), "7.5");
    EXPECT_EQ(Eval(lua, "getParameter('Speed (fine)')"), "7.5");
    EXPECT_EQ(Eval(lua, "getParameterID('Feedback')"), "10");
    EXPECT_EQ(Eval(lua, "table.concat({getParameterMinMax('Feedback')}, ' ')"), "-100 100");
    EXPECT_EQ(Eval(lua, "getParameterUnit(5)"), "3");
    EXPECT_EQ(Eval(lua, "getParameterName(15)"), "OSC Port Offset");
    EXPECT_EQ(Eval(lua, "isParameterUsed('Bias')"), "true");
    EXPECT_EQ(Eval(lua, "getNumParameters()"), "16");

    EXPECT_EQ(RunLua(lua, "setParameter('Bias', 0.25); setParameter('8', 0.5)"), "");
    EXPECT_EQ(host->GetParameter(kParam_Bias), 0.25f);
    EXPECT_EQ(host->GetParameter(kParam_Spread), 0.5f);
    // An unknown index is the unit's to refuse, not a script error.
    EXPECT_EQ(RunLua(lua, "setParameter(16, 1); setParameter(-1, 1)"), "");
    EXPECT_EQ(host->GetParameter(kParam_Bias), 0.25f);
}

TEST_F(ScriptApi, FlagsLiveInTheUnitAndFollowLuaTruth) {
    auto host = OpenUnit();
    LuaMIDIHelper& lua = Helper(*host);
    const DataToGui& live = Unit(*host).LiveValues();
    EXPECT_EQ(RunLua(lua, "setGUIBoolValue(7, 0)"), ""); // 0 is true in Lua
    EXPECT_TRUE(live.GetGuiFlag(7));
    EXPECT_EQ(Eval(lua, "getGUIBoolValue(7)"), "true");
    EXPECT_EQ(RunLua(lua, "setGUIBoolValue(7, nil); setGUIBoolValue(0, 'on')"), "");
    EXPECT_FALSE(live.GetGuiFlag(7));
    EXPECT_TRUE(live.GetGuiFlag(0));
    EXPECT_EQ(Eval(lua, "getGUIBoolValue(7)"), "false");
}

TEST_F(ScriptApi, OtherInstancesAreNeverReached) {
    auto host = OpenUnit();
    auto other = OpenUnit();
    LuaMIDIHelper& lua = Helper(*host);
    // Offset 0 is also this unit's own OSC index.
    EXPECT_EQ(RunLua(lua, "for i = 0, 3 do setOthersParameter(i, 'Bias', 1); "
                          "setOthersGUIBoolValue(i, 2, true) end"),
              "");
    EXPECT_EQ(host->GetParameter(kParam_Bias), 0.0f);
    EXPECT_EQ(other->GetParameter(kParam_Bias), 0.0f);
    EXPECT_FALSE(Unit(*other).LiveValues().GetGuiFlag(2));
    EXPECT_EQ(Eval(lua, "getOthersParameter(0, 9) .. tostring(getOthersGUIBoolValue('x', 2))"),
              "0false");
}

TEST_F(ScriptApi, TimeIsTheUpTimeClockInSeconds) {
    auto host = OpenUnit();
    const double before = double(UpTimeNanoseconds()) * 1e-9;
    const double scripted = std::stod(Eval(Helper(*host), "string.format('%.9f', time())"));
    const double after = double(UpTimeNanoseconds()) * 1e-9;
    EXPECT_LE(before, scripted + 1e-9);
    EXPECT_LE(scripted, after + 1e-9);
}

TEST_F(ScriptApi, PrintWritesTabSeparatedLines) {
    auto host = OpenUnit();
    LuaMIDIHelper& lua = Helper(*host);
    testing::internal::CaptureStdout();
    EXPECT_EQ(RunLua(lua, "print(1, 'a', nil, true) print()"), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "1\ta\tnil\ttrue\n\n");
    EXPECT_EQ(WithoutPosition(RunLua(
                  lua, "print(setmetatable({}, {__tostring = function() return false end}))")),
              "'tostring' must return a string to 'print'");
}

// Bad calls raise ordinary Lua errors with exact texts, leave the stack as it was and the unit
// working.
TEST_F(ScriptApi, BadCallsRaiseTheirMessage) {
    const std::pair<std::string, std::string> cases[] = {
        {"getParameter(16)", "parameter out of range: 16"},
        {"getParameter(-1)", "parameter out of range: -1"},
        {"getParameterMinMax(99)", "parameter out of range: 99"},
        {"getParameterName(16.7)", "parameter out of range: 16"},
        {"getParameterUnit('-3')", "parameter out of range: -3"},
        {"isParameterUsed(1e300)", "parameter out of range: 2147483647"},
        {"getParameterID('Depth')", "parameter not found: 'Depth'"},
        {"getParameterID('5')", "parameter not found: '5'"},
        {"setParameter('Nope', 1)", "parameter not found: 'Nope'"},
        {"getOthersParameter(1, 'Nope')", "parameter not found: 'Nope'"},
        {"setGUIBoolValue(8, true)", "indicator id out of range: 8"},
        {"getGUIBoolValue(-1)", "indicator id out of range: -1"},
        {"setOthersGUIBoolValue(1, 8, true)", "indicator id out of range: 8"},
        {"getOthersGUIBoolValue(1, 99)", "indicator id out of range: 99"},
        {"getParameter()", "bad argument #1 to 'getParameter' (string expected, got no value)"},
        {"setParameter(1)", "bad argument #2 to 'setParameter' (number expected, got no value)"},
        {"getParameter({})", "bad argument #1 to 'getParameter' (string expected, got table)"},
        {"setGUIBoolValue('x', true)",
         "bad argument #1 to 'setGUIBoolValue' (number expected, got string)"},
        {"requestCC(nil, print)", "bad argument #1 to 'requestCC' (number expected, got nil)"},
        {"requestTimedCallback('soon', print)",
         "bad argument #1 to 'requestTimedCallback' (number expected, got string)"},
        {"requestPeriodicCallback(1, 2)",
         "second argument to requestTimerCallback() is not a function"},
        {"cancelTimer(5)",
         "bad argument #1 to 'cancelTimer' (MV::LuaMIDIHelper::Timer expected, got number)"},
        {"cancelTimer(io.stdout)",
         "bad argument #1 to 'cancelTimer' (MV::LuaMIDIHelper::Timer expected, got userdata)"},
    };
    auto host = OpenUnit();
    LuaMIDIHelper& lua = Helper(*host);
    auto check = [&](const std::string& code, const std::string& error) {
        SCOPED_TRACE(code);
        EXPECT_EQ(WithoutPosition(RunLua(lua, code)), error);
        EXPECT_EQ(StackTop(lua), 0);
        EXPECT_EQ(Eval(lua, "getParameter('Effect Level')"), "1");
    };
    for (const auto& [code, error] : cases) {
        check(code, error);
    }
    // Every request function names itself; the numbered ones take a number first.
    for (const std::string name :
         {"requestAllNoteOn", "requestAllNoteOff", "requestAllCC", "requestAllNRPN",
          "requestAllProgramChange", "requestAllPolyPressure", "requestPitchWheel",
          "requestChannelPressure"}) {
        check(name + "(60)", "first argument to " + name + "() is not a function");
    }
    for (const std::string name : {"requestNoteOn", "requestNoteOff", "requestCC", "requestNRPN",
                                   "requestProgramChange", "requestPolyPressure"}) {
        check(name + "(60, 'f')", "second argument to " + name + "() is not a function");
    }
}

// Which scripts run, in which order: the plug-in's midi.lua first unless the user has a file
// whose name starts with midi.lua; the user's domain before the machine's.
TEST_F(ScriptApi, ScriptSelectionAndOrder) {
    struct Case {
        std::vector<std::pair<std::string, std::string>> files; // under the test folder
        const char* order;
    };
    const Case cases[] = {
        {{{"Scripts/other.lua", "other"}}, "bundle;other;"},
        {{{"Scripts/midi.lua", "user"}}, "user;"},
        {{{"Scripts/midi.lua.old.lua", "old"}}, "old;"},
        {{{"user/Morvane/Fluxet/Scripts/a.lua", "user"},
          {"local/Morvane/Fluxet/Scripts/midi.lua", "local midi"}},
         "user;local midi;"},
    };
    auto appends = [](const std::string& what) {
        return "order = (order or '') .. '" + what + ";'";
    };
    WriteBundleScript(appends("bundle"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.order);
        std::filesystem::remove_all(m_folder / "Scripts");
        std::filesystem::remove_all(m_folder / "user");
        std::filesystem::remove_all(m_folder / "local");
        const bool domains = c.files.size() > 1;
        SetScriptFolderOverride(domains ? "" : ScriptFolder());
        ScopedEnvironment user("XDG_DATA_HOME", m_folder / "user");
        ScopedEnvironment local("FLUXET_LOCAL_DATA_DIR", m_folder / "local");
        for (const auto& [path, tag] : c.files) {
            WriteFile(m_folder / path, appends(tag));
        }
        auto host = OpenUnit();
        EXPECT_EQ(Eval(Helper(*host), "order"), c.order);
    }
}

TEST_F(ScriptApi, LoadErrorsArePrintedAndTheOtherScriptsStillRun) {
    WriteBundleScript("early = 1\nerror('boom')\nlate = 1\n");
    WriteScript("broken.lua", "x = = 1\n");
    WriteScript("garbage.lua", std::string("\xff\xfe\x00\x01 not lua", 13));
    WriteScript("latin1.lua", "text = '\xe9t\xe9'\n");
    WriteScript("good.lua", "good = true\n");
    std::filesystem::create_directories(ScriptFolder() + "/folder.lua");
    testing::internal::CaptureStdout();
    auto host = OpenUnit();
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_NE(out.find("@@@ failed to run buffer: [string \"midi.lua\"]:2: boom\n"),
              std::string::npos);
    EXPECT_NE(out.find("@@@ failed to run file: " + ScriptFolder() + "/broken.lua:1:"),
              std::string::npos);
    EXPECT_NE(out.find("@@@ failed to run file: " + ScriptFolder() + "/garbage.lua"),
              std::string::npos);
    int lines = 0;
    for (std::size_t at = out.find("@@@ "); at != std::string::npos;
         at = out.find("@@@ ", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 3); // not the bytes that are merely not UTF-8, nor the folder
    LuaMIDIHelper& lua = Helper(*host);
    EXPECT_EQ(Eval(lua, "tostring(early) .. tostring(late) .. tostring(good)"), "1niltrue");
    EXPECT_EQ(Eval(lua, "#text"), "3");
}

TEST_F(ScriptApi, MissingFoldersLeaveAWorkingInterpreter) {
    SetScriptFolderOverride(m_folder / "nowhere");
    testing::internal::CaptureStdout();
    auto host = OpenUnit();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(Eval(Helper(*host), "getNumParameters()"), "16");
}

TEST_F(ScriptApi, UnreadableScriptsAreSkipped) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root reads every file";
    }
    WriteScript("secret.lua", "secret = true\n");
    chmod((ScriptFolder() + "/secret.lua").c_str(), 0);
    testing::internal::CaptureStdout();
    auto host = OpenUnit();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(Eval(Helper(*host), "secret"), "nil");
}

TEST_F(ScriptApi, SetUpIsStoppedAtItsTimeLimit) {
    WriteScript("a.lua", "while true do end\n");
    WriteScript("b.lua", "b = true\n");
    testing::internal::CaptureStdout();
    auto host = OpenUnit(1, 50);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("script set-up exceeded its time limit of 50 ms"), std::string::npos);
    EXPECT_EQ(Eval(Helper(*host), "b"), "true");
}

TEST_F(ScriptApi, ScriptsRunOnceForTheLifeOfTheUnit) {
    WriteScript("count.lua", "loads = (loads or 0) + 1\n");
    auto host = OpenUnit();
    AudioUnitUninitialize(host->Unit());
    ASSERT_EQ(host->Initialize(), noErr);
    EXPECT_EQ(Eval(Helper(*host), "loads"), "1");
}

// The shipped script loads cleanly and does what it says for the mod wheel and the shapes.
TEST_F(ScriptApi, ShippedMidiLuaWorks) {
    WriteFile(m_folder / "Bundle/midi.lua",
              ReadFile(std::string(FLUXET_TEST_SOURCE_RESOURCES_DIR) + "/midi.lua"));
    testing::internal::CaptureStdout();
    auto host = OpenUnit();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    LuaMIDIHelper& lua = Helper(*host);
    Dispatch(lua, 0xB0, 0, 1, 127);
    Dispatch(lua, 0x90, 3, 44, 100);
    EXPECT_FLOAT_EQ(host->GetParameter(kParam_DepthFine), 10.0f);
    EXPECT_EQ(host->GetParameter(kParam_Shape), 8.0f);
    Dispatch(lua, 0xB0, 0, 64, 127);
    EXPECT_EQ(host->GetParameter(kParam_Feedback), 70.0f);
    Dispatch(lua, 0xB0, 0, 64, 0);
    EXPECT_EQ(host->GetParameter(kParam_Feedback), 0.0f);
}

} // namespace
} // namespace MV::test
