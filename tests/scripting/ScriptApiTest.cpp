// The scripts' view of the unit: globals, parameter and flag functions, their errors, print, and
// which script files run in which order.
#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

#include "ScriptTestSupport.h"
#include "SystemInfo.h"

namespace MV::test {
namespace {

using ScriptApi = ScriptedUnitTest;

// Parameters by index, name and numeric string, the clock (up time in seconds) and
// print (tab-separated lines).
TEST_F(ScriptApi, ParametersTimeAndPrint) {
    auto host = OpenUnit();
    LuaMIDIHelper& lua = Helper(*host);
    host->SetParameter(kParam_SpeedFine, 7.5f);
    EXPECT_EQ(Eval(lua, "getParameter(3) .. getParameter('3') .. getParameter('Speed (fine)')"),
              "7.57.57.5");
    EXPECT_EQ(Eval(lua,
                   "table.concat({getParameterID('Feedback'), getParameterUnit(5), "
                   "getParameterName(15), tostring(isParameterUsed('Bias')), getNumParameters(), "
                   "getParameterMinMax('Feedback')}, ' ')"),
              "10 3 OSC Port Offset true 16 -100 100");
    EXPECT_EQ(RunLua(lua, "setParameter('Bias', 0.25); setParameter('8', 0.5)"), "");
    EXPECT_EQ(host->GetParameter(kParam_Bias), 0.25f);
    EXPECT_EQ(host->GetParameter(kParam_Spread), 0.5f);
    // An unknown index is the unit's to refuse, not a script error.
    EXPECT_EQ(RunLua(lua, "setParameter(16, 1); setParameter(-1, 1)"), "");
    EXPECT_EQ(host->GetParameter(kParam_Bias), 0.25f);
    const double before = double(UpTimeNanoseconds()) * 1e-9;
    const double scripted = std::stod(Eval(lua, "string.format('%.9f', time())"));
    EXPECT_LE(before, scripted + 1e-9);
    EXPECT_LE(scripted, double(UpTimeNanoseconds()) * 1e-9 + 1e-9);
    testing::internal::CaptureStdout();
    EXPECT_EQ(RunLua(lua, "print(1, 'a', nil, true) print()"), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "1\ta\tnil\ttrue\n\n");
}

// Offset 0 is also this unit's own OSC index, and still not reached.
TEST_F(ScriptApi, FlagsLiveInTheUnitAndOtherInstancesAreNeverReached) {
    auto host = OpenUnit();
    auto other = OpenUnit();
    LuaMIDIHelper& lua = Helper(*host);
    const DataToGui& live = Unit(*host).LiveValues();
    EXPECT_EQ(RunLua(lua, "setGUIBoolValue(7, 0)"), ""); // 0 is true in Lua
    EXPECT_TRUE(live.GetGuiFlag(7));
    EXPECT_EQ(RunLua(lua, "setGUIBoolValue(7, nil); setGUIBoolValue(0, 'on')"), "");
    EXPECT_FALSE(live.GetGuiFlag(7));
    EXPECT_TRUE(live.GetGuiFlag(0));
    EXPECT_EQ(Eval(lua, "tostring(getGUIBoolValue(7)) .. tostring(getGUIBoolValue(0))"),
              "falsetrue");
    EXPECT_EQ(RunLua(lua, "for i = 0, 3 do setOthersParameter(i, 'Bias', 1); "
                          "setOthersGUIBoolValue(i, 2, true) end"),
              "");
    EXPECT_EQ(host->GetParameter(kParam_Bias), 0.0f);
    EXPECT_EQ(other->GetParameter(kParam_Bias), 0.0f);
    EXPECT_FALSE(Unit(*other).LiveValues().GetGuiFlag(2));
    EXPECT_EQ(Eval(lua, "getOthersParameter(0, 9) .. tostring(getOthersGUIBoolValue('x', 2))"),
              "0false");
}

// Bad calls raise ordinary Lua errors with exact texts (one of each kind), leave the stack as it
// was and the unit working.
TEST_F(ScriptApi, BadCallsRaiseTheirMessage) {
    const std::pair<const char*, const char*> cases[] = {
        {"getParameter(16)", "parameter out of range: 16"},
        {"isParameterUsed(1e300)", "parameter out of range: 2147483647"},
        {"getParameterID('Depth')", "parameter not found: 'Depth'"},
        {"getOthersGUIBoolValue(1, 99)", "indicator id out of range: 99"},
        {"getParameter()", "bad argument #1 to 'getParameter' (string expected, got no value)"},
        {"getParameter({})", "bad argument #1 to 'getParameter' (string expected, got table)"},
        {"cancelTimer(io.stdout)",
         "bad argument #1 to 'cancelTimer' (MV::LuaMIDIHelper::Timer expected, got userdata)"},
        {"requestAllNRPN(60)", "first argument to requestAllNRPN() is not a function"},
        {"requestNoteOff(60, 'f')", "second argument to requestNoteOff() is not a function"},
    };
    auto host = OpenUnit();
    LuaMIDIHelper& lua = Helper(*host);
    for (const auto& [code, error] : cases) {
        EXPECT_EQ(RunLua(lua, code), error); // which also checks the stack
        EXPECT_EQ(Eval(lua, "getParameter('Effect Level')"), "1") << code;
    }
}

// The plug-in's midi.lua runs first unless the user has a midi.lua*; the user's domain first.
TEST_F(ScriptApi, ScriptSelectionAndOrder) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"Scripts/other.lua"}, "bundle;other.lua;"},
        {{"Scripts/midi.lua"}, "midi.lua;"},
        {{"Scripts/midi.lua.old.lua"}, "midi.lua.old.lua;"},
        {{"user/Morvane/Fluxet/Scripts/a.lua", "local/Morvane/Fluxet/Scripts/midi.lua"},
         "a.lua;midi.lua;"},
    };
    auto appends = [](const std::string& w) { return "order = (order or '') .. '" + w + ";'"; };
    WriteFile(m_folder / "Bundle/midi.lua", appends("bundle"));
    for (const auto& [files, order] : cases) {
        for (const char* folder : {"Scripts", "user", "local"}) {
            std::filesystem::remove_all(m_folder / folder);
        }
        SetScriptFolderOverride(files.size() > 1 ? "" : ScriptFolder()); // the domains
        ScopedEnvironment user("XDG_DATA_HOME", m_folder / "user");
        ScopedEnvironment local("FLUXET_LOCAL_DATA_DIR", m_folder / "local");
        for (const std::string& path : files) {
            WriteFile(m_folder / path, appends(std::filesystem::path(path).filename()));
        }
        auto host = OpenUnit();
        EXPECT_EQ(Eval(Helper(*host), "order"), order);
    }
}

TEST_F(ScriptApi, LoadErrorsArePrintedAndTheOtherScriptsStillRun) {
    WriteFile(m_folder / "Bundle/midi.lua", "early = 1\nerror('boom')\nlate = 1\n");
    WriteScript("broken.lua", "x = = 1\n");
    WriteScript("garbage.lua", std::string("\xff\xfe\x00\x01 not lua", 13));
    WriteScript("latin1.lua", "text = '\xe9t\xe9'\n");
    WriteScript("good.lua", "good = true\n");
    std::filesystem::create_directories(ScriptFolder() + "/folder.lua");
    testing::internal::CaptureStdout();
    auto host = OpenUnit();
    const std::string out = testing::internal::GetCapturedStdout();

    for (const std::string& line : {std::string("buffer: [string \"midi.lua\"]:2: boom\n"),
                                    "file: " + ScriptFolder() + "/broken.lua:1:",
                                    "file: " + ScriptFolder() + "/garbage.lua"}) {
        EXPECT_NE(out.find("@@@ failed to run " + line), std::string::npos) << line;
    }
    // Not the bytes that are merely not UTF-8, nor the folder.
    EXPECT_EQ(std::count(out.begin(), out.end(), '@'), 9);
    EXPECT_EQ(Eval(Helper(*host), "tostring(early) .. tostring(late) .. tostring(good) .. #text"),
              "1niltrue3");
}

TEST_F(ScriptApi, MissingFoldersAndUnreadableScriptsAreSkippedQuietly) {
    WriteScript("secret.lua", "secret = true\n");
    chmod((ScriptFolder() + "/secret.lua").c_str(), 0);
    for (const bool missing : {true, false}) {
        SetScriptFolderOverride(missing ? m_folder / "nowhere" : ScriptFolder());
        testing::internal::CaptureStdout();
        auto host = OpenUnit();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(Eval(Helper(*host), "tostring(secret) .. getNumParameters()"),
                  missing || geteuid() != 0 ? "nil16" : "true16"); // root reads every file
    }
}

// Set-up is stopped at its time limit, the next script still runs, and scripts run once for the
// life of the unit.
TEST_F(ScriptApi, SetUpIsStoppedAtItsTimeLimitAndRunsOnce) {
    WriteScript("a.lua", "while true do end\n");
    WriteScript("b.lua", "b = true loads = (loads or 0) + 1\n");
    testing::internal::CaptureStdout();
    auto host = OpenUnit(1, 50);
    EXPECT_NE(testing::internal::GetCapturedStdout().find(
                  "script set-up exceeded its time limit of 50 ms"),
              std::string::npos);
    AudioUnitUninitialize(host->Unit());
    ASSERT_EQ(host->Initialize(), noErr);
    EXPECT_EQ(Eval(Helper(*host), "tostring(b) .. loads"), "true1");
}

// The shipped script loads cleanly and does what it says for the mod wheel and the shapes.
TEST_F(ScriptApi, ShippedMidiLuaWorks) {
    WriteFile(m_folder / "Bundle/midi.lua",
              ReadFile(std::string(FLUXET_TEST_SOURCE_RESOURCES_DIR) + "/midi.lua"));
    testing::internal::CaptureStdout();
    auto host = OpenUnit();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    LuaMIDIHelper& lua = Helper(*host);
    Send(lua, "B0 0 1 127  90 3 44 100");
    EXPECT_FLOAT_EQ(host->GetParameter(kParam_DepthFine), 10.0f);
    EXPECT_EQ(host->GetParameter(kParam_Shape), 8.0f);
    Send(lua, "B0 0 64 127");
    EXPECT_EQ(host->GetParameter(kParam_Feedback), 70.0f);
    Send(lua, "B0 0 64 0");
    EXPECT_EQ(host->GetParameter(kParam_Feedback), 0.0f);
}

} // namespace
} // namespace MV::test
