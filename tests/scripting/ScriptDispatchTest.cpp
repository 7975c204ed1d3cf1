// MIDI callbacks (what is called, in which order, at which sample), the callback time limit and
// the script timers.
#include "ScriptTestSupport.h"
#include "Timers.h"

namespace MV::test {
namespace {

class ScriptDispatch : public ScriptedUnitTest {
protected:
    // Callbacks made by rec(kind) append "kind args..." to a log that the tests read back.
    void SetUp() override {
        ScriptedUnitTest::SetUp();
        WriteScript("recorder.lua", "log = {} function rec(kind) return function(...) "
                                    "log[#log + 1] = table.concat({kind, ...}, ' ') end end");
    }

    // Runs the requests, sends the messages and then a system exclusive message, which calls
    // nothing whatever status an earlier message left in its slot. Returns the log; the stack
    // must be as it was.
    std::string Dispatched(const char* requests, const char* messages) {
        auto host = OpenUnit();
        LuaMIDIHelper& lua = Helper(*host);
        EXPECT_EQ(RunLua(lua, requests), "");
        Send(lua, messages);
        MessageQueueItem item;
        item.m_type = MessageQueueItem::kTypeSysEx;
        item.m_bytes[0] = 0xB0;
        item.m_sysExData = {0xF0, 0x7E, 0xF7};
        lua.HandleMessageQueueItem(&item);
        EXPECT_EQ(StackTop(lua), 0);
        return Eval(lua, "table.concat(log, ';')");
    }
};

// A note-on with velocity 0 is a note-off; an NRPN is assembled before the controller callbacks
// run; the last message is no channel message.
TEST_F(ScriptDispatch, EveryMessageKindReachesItsCallbacksWithItsValues) {
    EXPECT_EQ(Dispatched("requestAllNoteOn(rec('allon')) requestNoteOn(60, rec('on'))"
                         "requestAllNoteOff(rec('alloff')) requestNoteOff(60, rec('off'))"
                         "requestNoteOn(200, rec('never')) requestPitchWheel(rec('pw'))"
                         "requestChannelPressure(rec('cp')) requestAllProgramChange(rec('allpc'))"
                         "requestProgramChange(5, rec('pc')) requestAllPolyPressure(rec('allpp'))"
                         "requestPolyPressure(64, rec('pp')) requestAllCC(rec('cc'))"
                         "requestNRPN(130, rec('nrpn')) requestNRPN(131, rec('other'))",
                         "90 2 60 0  90 2 60 5  80 2 61 64  E0 15 0 64  E0 0 127 127  E0 0 1 0  "
                         "D0 4 99 0  C0 0 5 0  A0 0 64 17  B0 0 99 1  B0 0 98 2  B0 0 6 3  "
                         "B0 0 38 4  F0 0 1 2"),
              "alloff 3 60 0;off 3 60 0;allon 3 60 5;on 3 60 5;alloff 3 61 64;pw 16 8192;"
              "pw 1 16383;pw 1 1;cp 5 99;allpc 1 5;pc 1 5;allpp 1 64 17;pp 1 64 17;"
              "cc 1 99 1;cc 1 98 2;nrpn 1 130 384;cc 1 6 3;nrpn 1 130 388;cc 1 38 4");
}

// Controllers that arrive before any script asked for MIDI still make up the NRPN that a
// later request sees.
TEST_F(ScriptDispatch, NrpnStateIsKeptBeforeTheFirstRequest) {
    auto host = OpenUnit();
    LuaMIDIHelper& lua = Helper(*host);
    Send(lua, "B0 0 99 1  B0 0 98 2  B0 0 6 3");
    ASSERT_EQ(RunLua(lua, "requestNRPN(130, rec('nrpn'))"), "");
    Send(lua, "B0 0 38 4");
    EXPECT_EQ(Eval(lua, "table.concat(log, ';')"), "nrpn 1 130 388");
}

TEST_F(ScriptDispatch, CallbacksRegisteredDuringDispatchRunForTheSameMessage) {
    EXPECT_EQ(Dispatched("requestAllCC(function(...) rec('first')(...) if not added then "
                         "added = true requestAllCC(rec('added')) requestCC(7, rec('numbered')) "
                         "end end) requestAllCC(function() error('ignored') end)",
                         "B0 0 7 1  B0 0 7 2"),
              "first 1 7 1;added 1 7 1;numbered 1 7 1;first 1 7 2;added 1 7 2;numbered 1 7 2");
}

// Dry level 1 and effect level 0 pass the input through; a controller at frame 300 mutes the
// dry path, so exactly the frames from 300 on are silent. Endless callbacks are stopped at the
// time limit and the callbacks after them still run.
TEST_F(ScriptDispatch, ControllerCallbackActsAtItsSampleAndEndlessOnesAreStopped) {
    WriteScript("cc.lua", R"(
        setParameter('Dry Level', 1) setParameter('Effect Level', 0)
        requestCC(20, function() setParameter('Dry Level', 0) end)
        requestCC(21, function() while true do end end) requestCC(21, rec('after'))
        requestCC(22, function() while true do pcall(function() while true do end end) end end)
        requestCC(22, rec('after'))
    )");
    auto host = OpenUnit();
    LuaMIDIHelper& lua = Helper(*host);
    lua.SetCallbackTimeLimitMs(50);
    Channels input(1, std::vector<Float32>(1024)), output;
    for (std::size_t i = 0; i < input[0].size(); ++i) {
        input[0][i] = 0.25f + Float32(i % 100) * 0.005f;
    }
    ASSERT_EQ(MusicDeviceMIDIEvent(host->Unit(), 0xB0, 21, 1, 10), noErr);
    ASSERT_EQ(MusicDeviceMIDIEvent(host->Unit(), 0xB0, 22, 2, 20), noErr);
    ASSERT_EQ(MusicDeviceMIDIEvent(host->Unit(), 0xB0, 20, 127, 300), noErr);
    ASSERT_EQ(host->Render(input, 0, 512, output), noErr);
    for (std::size_t i = 0; i < 512; ++i) {
        // Near, not equal: the first block crossfades from the initial record.
        ASSERT_NEAR(output[0][i], i < 300 ? input[0][i] : 0.0f, 1e-6) << "frame " << i;
    }
    EXPECT_EQ(host->GetParameter(kParam_DryLevel), 0.0f);
    EXPECT_EQ(Eval(lua, "table.concat(log, ';')"), "after 1 21 1;after 1 22 2");
    EXPECT_EQ(StackTop(lua), 0);
}

using ScriptTimers = ScriptedUnitTest;

// A one-shot timer fires once; a periodic one is called again after an error or a run past the
// callback time limit, until it is cancelled. Cancelling twice does nothing.
TEST_F(ScriptTimers, OneShotFiresOncePeriodicKeepsFiringUntilCancelled) {
    auto host = OpenUnit();
    LuaMIDIHelper& lua = Helper(*host);
    lua.SetCallbackTimeLimitMs(20);
    ASSERT_EQ(RunLua(lua, R"(
        fired, calls = 0, 0 once = requestTimedCallback(0.05, function() fired = fired + 1 end)
        h = requestPeriodicCallback(0.01, function() calls = calls + 1
            if calls == 2 then error('once') elseif calls == 3 then while true do end end
            if calls == 4 then cancelTimer(h) end setParameter('Bias', calls / 10) end))"),
              "");
    ASSERT_TRUE(WaitFor([&] { return Eval(lua, "fired .. calls") == "14"; }));
    // The timer thread fires in due order: once this fires, anything due earlier has fired.
    ASSERT_EQ(RunLua(lua, "requestTimedCallback(0.3, function() fenced = true end)"), "");
    ASSERT_TRUE(WaitFor([&] { return Eval(lua, "fenced") == "true"; }));
    EXPECT_EQ(Eval(lua, "fired .. calls"), "14");
    EXPECT_FLOAT_EQ(host->GetParameter(kParam_Bias), 0.4f);
    EXPECT_EQ(RunLua(lua, "cancelTimer(once) cancelTimer(once) cancelTimer(h)"), "");
    EXPECT_EQ(lua.NumLiveTimers(), 0u);
    EXPECT_EQ(StackTop(lua), 0);
}

// A MIDI request keeps its function for the life of the interpreter.
TEST_F(ScriptTimers, FiredAndCancelledTimersReleaseTheirFunctions) {
    auto host = OpenUnit();
    LuaMIDIHelper& lua = Helper(*host);
    ASSERT_EQ(RunLua(lua, R"(
        timerFunctions = setmetatable({}, {__mode = 'k'})
        midiFunctions = setmetatable({}, {__mode = 'k'})
        local function made(into) local f = function() end into[f] = true return f end
        for i = 1, 20 do requestTimedCallback(0.001, made(timerFunctions)) end
        cancelTimer(requestPeriodicCallback(100, made(timerFunctions)))
        cancelTimer(requestTimedCallback(100, made(timerFunctions)))
        requestCC(1, made(midiFunctions))
    )"),
              "");
    const char* collected =
        "(function() collectgarbage() return next(timerFunctions) == nil end)()";
    ASSERT_TRUE(WaitFor([&] { return Eval(lua, collected) == "true"; }));
    EXPECT_EQ(Eval(lua, "next(midiFunctions) ~= nil"), "true");
    EXPECT_EQ(lua.NumLiveTimers(), 0u);
}

// Records whether the caller runs on the timer thread.
class ThreadProbeHelper : public LuaMIDIHelper {
public:
    using LuaMIDIHelper::LuaMIDIHelper;
    ~ThreadProbeHelper() override { StopTimers(); }
    void setGUIBoolValue(int, int) override {}
    bool getGUIBoolValue(int) const override { return false; }
    void RegisterFunctions() override {
        lua_register(m_luaState, "onTimerThread", [](lua_State* L) {
            lua_pushboolean(L, IsTimerThread());
            return 1;
        });
    }
};

TEST_F(ScriptTimers, CallbacksRunOnTheTimerThreadAndNotDuringSetUp) {
    auto host = OpenUnit();
    // The timer is due at once, but set-up holds the interpreter until every script has run.
    WriteScript("setup.lua", R"(
        requestTimedCallback(0, function() thread = onTimerThread() afterSetUp = setUpDone end)
        local start = time() while time() < start + 0.2 do end setUpDone = true)");
    MessageQueue queue;
    ThreadProbeHelper probe(&Unit(*host), &queue, nullptr);
    probe.Initialize();
    ASSERT_NE(probe.LuaInit(), nullptr);
    ASSERT_TRUE(WaitFor([&] { return Eval(probe, "thread") != "nil"; }));
    EXPECT_EQ(Eval(probe, "tostring(thread) .. ' ' .. tostring(afterSetUp)"), "true true");
    EXPECT_EQ(Eval(probe, "onTimerThread()"), "false");
}

// Timer callbacks and MIDI callbacks share the interpreter; the script lock keeps them apart.
// Closing a unit whose timer fires all the time stops it: no callback may outlive its unit.
TEST_F(ScriptTimers, TimersAndRenderingShareTheInterpreterUntilTheUnitCloses) {
    WriteScript("both.lua", R"(
        ticks, ccs = 0, 0
        requestPeriodicCallback(0.0005, function()
            ticks = ticks + 1 setParameter('Bias', 0.5) setGUIBoolValue(1, true) end)
        requestCC(23, function() ccs = ccs + 1 setParameter('Spread', ccs / 1000) end)
    )");
    const Channels input(2, std::vector<Float32>(128, 0.1f));
    Channels output;
    for (int unit = 0; unit < 3; ++unit) {
        auto host = OpenUnit(2);
        for (int block = 0; block < 200; ++block) {
            MusicDeviceMIDIEvent(host->Unit(), 0xB0, 23, 0, UInt32(block % 128));
            ASSERT_EQ(host->Render(input, 0, 128, output), noErr);
        }
        EXPECT_EQ(Eval(Helper(*host), "ccs"), "200");
        ASSERT_TRUE(WaitFor([&] { return Eval(Helper(*host), "ticks ~= 0") == "true"; }));
    }
}

} // namespace
} // namespace MV::test
