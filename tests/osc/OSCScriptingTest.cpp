// OSC and the MIDI script: calls from the network into the script, the script's own OSC paths,
// and sending OSC from scripts, to a client on 127.0.0.1 whose address is written into them.
#include <gtest/gtest.h>

#include <array>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "AudioUnitAPI.h"
#include "FluxetParameters.h"
#include "MrvnFluxet.h"
#include "OscTestSupport.h"

namespace {

using namespace MV::test;

class OSCScripting : public ::testing::Test {
protected:
    // Writes `script` (with $CLIENT standing for the client's reply address) and starts a
    // unit that runs it; returns what the scripts printed while they loaded.
    std::string Start(const std::string& script, int offset = 5) {
        std::string text = script;
        for (auto at = text.find("$CLIENT"); at != std::string::npos; at = text.find("$CLIENT")) {
            text.replace(at, 7, client.Address());
        }
        std::ofstream(std::filesystem::path(folder.Folder()) / "test.lua") << text;
        ::testing::internal::CaptureStdout();
        unit = std::make_unique<ListeningUnit>(offset, folder.Folder());
        return ::testing::internal::GetCapturedStdout();
    }
    float Value(int id) { return unit->Host().GetParameter(AudioUnitParameterID(id)); }
    // Sends and waits until the server has handled it; returns what it printed meanwhile.
    std::string Deliver(const Packet& packet) {
        ::testing::internal::CaptureStdout();
        requester.Send(unit->Port(), packet);
        const bool handled = PingRoundTrip(requester, unit->Port());
        const std::string printed = ::testing::internal::GetCapturedStdout();
        EXPECT_TRUE(handled) << printed;
        return printed;
    }

    OscTestClient client;    // where scripts send
    OscTestClient requester; // where the tests' requests come from and replies go
    TemporaryPreferences folder;
    std::unique_ptr<ListeningUnit> unit;
};

constexpr const char* kFunctions = R"(
function answer() return 1, "a", nil, 2 end
function truthy() return true end
function echo(...) return ... end
function sixteen() return 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17 end
function store(a, b) sendOSC("$CLIENT", "/stored", {a, b}) end
function broken() error("on purpose") end
function forever() while true do end end
)";

// Results up to the first nil and at most 16; strings that read as numbers come back as floats.
// Failed calls print their line and answer nothing.
TEST_F(OSCScripting, CallAnswersWithTheConvertedResultsOrReportsItsFailure) {
    Start(kFunctions);
    const std::string me = requester.Address();
    const std::pair<Packet, std::string> calls[] = {
        {Message("/call", "answer", me, "/r"), "#bundle /r ,fs 1 a"},
        // The last argument is a double.
        {Message("/call", "echo", me, "/r", 3, "7.5", "x", 2.25f, 0.5),
         "#bundle /r ,ffsff 3 7.5 x 2.25 0.5"},
        {Message("/call", "sixteen", me, "/r"),
         "#bundle /r ,ffffffffffffffff 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16"},
    };
    for (const auto& [request, reply] : calls) {
        requester.Send(unit->Port(), request);
        EXPECT_EQ(requester.Next(), reply);
    }
    const std::string to = client.Address();
    const std::pair<Packet, const char*> failures[] = {
        {Message("/call", "truthy", to, "/r"), "/call: unhandled argument type return from call"},
        {Message("/call", "broken", to, "/r"), "/call: failed to exec function"},
        {Message("/call", "answer"), "/call: missing argument"},
        // An endless function is stopped and the server goes on.
        {Message("/exec", "forever"), "/exec: failed to exec function"},
        {Message("/call", "forever", to, "/r"), "/call: failed to exec function"},
    };
    for (const auto& [packet, text] : failures) {
        EXPECT_EQ(Deliver(packet), std::string("error while parsing message: ") + text + "\n");
    }
    EXPECT_FALSE(client.Receive(0));
}

// The script's own functions and the scripting API answer the network; Lua's library (loaders,
// os, io, debug, package) never does, not even under a global name the script gave it.
TEST_F(OSCScripting, ExecReachesScriptFunctionsAndTheScriptingApiOnly) {
    Start(std::string(kFunctions) + R"(
run, reader, hook, loadlib = os.execute, io.read, debug.sethook, package.loadlib
wrapped = coroutine.wrap(function() end)
)");
    const std::string me = requester.Address();
    EXPECT_EQ(Deliver(Message("/exec", "store", 5, "z", std::monostate{})), "");
    EXPECT_EQ(client.Next(), "#bundle /stored ,fs 5 z");
    EXPECT_EQ(Deliver(Message("/exec", "setParameter", int(kParam_Bias), 0.5f)), "");
    EXPECT_EQ(Value(kParam_Bias), 0.5f);
    requester.Send(unit->Port(), Message("/call", "getParameterName", me, "/r", 9));
    EXPECT_EQ(requester.Next(), "#bundle /r ,s Bias");
    for (const char* name :
         {"dofile", "loadfile", "loadstring", "require", "print", "run", "reader", "hook",
          "loadlib", "wrapped", "os.execute", "noSuchFunction"}) {
        EXPECT_EQ(Deliver(Message("/exec", name, "/nonexistent/file.lua")),
                  "error while parsing message: /exec: failed to exec function\n")
            << name;
    }
}

// A script that guards its globals (an error, or an endless loop, for an unknown name) is
// looked up in protected mode and under the time limit: the request fails, the process and
// the server live on.
TEST_F(OSCScripting, GuardedGlobalsNeverEndOrHoldTheServer) {
    for (const char* guard : {"error('undefined global ' .. name)", "while true do end"}) {
        Start(std::string(kFunctions) + "setmetatable(_G, {__index = function(_, name) " + guard +
              " end})");
        unit->Unit().ScriptHost().SetCallbackTimeLimitMs(100);
        const std::string to = requester.Address();
        EXPECT_EQ(Deliver(Message("/exec", "missing")),
                  "error while parsing message: /exec: failed to exec function\n")
            << guard;
        EXPECT_EQ(Deliver(Message("/call", "missing", to, "/r")),
                  "error while parsing message: /call: failed to exec function\n")
            << guard;
        requester.Send(unit->Port(), Message("/call", "answer", to, "/r"));
        EXPECT_EQ(requester.Next(), "#bundle /r ,fs 1 a") << guard;
        unit.reset();
    }
}

// MIDI callbacks run at their sample although a timer or OSC call holds the interpreter: that
// call gives way at its next instruction hook and carries on afterwards.
TEST_F(OSCScripting, MidiCallbacksRunInTheMiddleOfTimerAndNetworkCalls) {
    Start(R"(
function hold()
    released = false
    sendOSC("$CLIENT", "/started")
    while not released do end
    sendOSC("$CLIENT", "/ended")
end
requestCC(20, function() released = true sendOSC("$CLIENT", "/cc") end)
function later() requestTimedCallback(0, hold) end
)");
    // Long enough that a render waiting for the end would be seen.
    unit->Unit().ScriptHost().SetCallbackTimeLimitMs(5000);
    const std::vector<std::vector<Float32>> input(2, std::vector<Float32>(256, 0.0f));
    std::vector<std::vector<Float32>> output;
    for (const char* start : {"hold", "later"}) {
        requester.Send(unit->Port(), Message("/exec", start));
        ASSERT_EQ(client.Next(), "#bundle /started ,") << start;
        ASSERT_EQ(MusicDeviceMIDIEvent(unit->Host().Unit(), 0xB0, 20, 1, 100), noErr);
        ASSERT_EQ(unit->Host().Render(input, 0, 256, output), noErr);
        EXPECT_EQ(client.Next(), "#bundle /cc ,") << start;
        EXPECT_EQ(client.Next(), "#bundle /ended ,") << start << ": the call carried on";
    }
}

// A name look-up that stays stuck until the test lets it go.
std::mutex g_lookupMutex;
std::condition_variable g_lookupChanged;
bool g_lookupStarted = false;
bool g_lookupReleased = false;

unsigned long StuckResolver(const char* /*host*/) {
    std::unique_lock lock(g_lookupMutex);
    g_lookupStarted = true;
    g_lookupChanged.notify_all();
    g_lookupChanged.wait(lock, [] { return g_lookupReleased; });
    return 0x7F000001; // 127.0.0.1
}

// Closing never waits for a script call of the receive task: Lua code stops at its next hook,
// and a task stuck in a system call is let go; when the call comes back it finishes sending
// and parks, touching nothing of the closed instance.
TEST_F(OSCScripting, ClosingNeverWaitsForAScriptCall) {
    Start(R"(
function spin() sendOSC("$CLIENT", "/spinning") while true do end end
function stuck(port) sendOSC("stuck.invalid:" .. port, "/late") end
)");
    unit->Unit().ScriptHost().SetCallbackTimeLimitMs(60000);
    requester.Send(unit->Port(), Message("/exec", "spin"));
    ASSERT_EQ(client.Next(), "#bundle /spinning ,");
    ::testing::internal::CaptureStdout();
    AudioUnitUninitialize(unit->Host().Unit());
    std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.find("DestroyTask timeout"), std::string::npos) << printed;
    EXPECT_NE(printed.find("/exec: failed to exec function"), std::string::npos) << printed;

    ASSERT_EQ(unit->Host().Initialize(), noErr);
    ASSERT_TRUE(unit->MoveTo(5));
    MV::OSCHelper::SetHostResolver(&StuckResolver);
    const int clientPort = std::stoi(client.Address().substr(client.Address().find(':') + 1));
    requester.Send(unit->Port(), Message("/exec", "stuck", clientPort));
    {
        std::unique_lock lock(g_lookupMutex);
        ASSERT_TRUE(g_lookupChanged.wait_for(lock, std::chrono::seconds(20),
                                             [] { return g_lookupStarted; }));
    }
    // Released after the close, or after a generous wait for a close that hangs.
    bool closed = false;
    std::thread watchdog([&] {
        std::unique_lock lock(g_lookupMutex);
        g_lookupChanged.wait_for(lock, std::chrono::seconds(20), [&] { return closed; });
        g_lookupReleased = true;
        g_lookupChanged.notify_all();
    });
    const int port = unit->Port();
    ::testing::internal::CaptureStdout();
    unit.reset(); // uninitialise and close the instance
    bool waited = false;
    {
        const std::lock_guard lock(g_lookupMutex);
        waited = g_lookupReleased;
        closed = true;
        g_lookupChanged.notify_all();
    }
    printed = ::testing::internal::GetCapturedStdout();
    watchdog.join();
    EXPECT_FALSE(waited) << "closing waited for the stuck call";
    EXPECT_NE(printed.find("OSC: DestroyTask timeout on shutdown\n"), std::string::npos) << printed;
    EXPECT_TRUE(IsUdpPortFree(port));
    EXPECT_EQ(client.Next(), "#bundle /late ,") << "the call came back after the instance closed";
    MV::OSCHelper::SetHostResolver(nullptr);
}

// Normalized paths span each parameter's range; every registration and function under a path
// is applied, in order; notes from OSC reach the script on channel 2.
TEST_F(OSCScripting, ScriptPathsComeBeforeFixedAddressesAndReachParametersFunctionsAndNotes) {
    Start(R"(
registerOSCPathForParameter("/set", "Bias")
registerOSCPathForParameterNormalized("/levels", {"Dry Level", "Effect Level"})
registerOSCPathForParameterNormalized("/feedback", "Feedback")
registerOSCPathForParameter("/pair", {1, 2})
registerOSCPathForParameter("/pair", {3, 4})
registerOSCPathForFunction("/both", function(...)
    local n = select("#", ...)
    local a, b, c, d, e, f = ...
    sendOSC("$CLIENT", "/first", {n, a, b, c, tostring(d), tostring(e), tostring(f)})
end)
registerOSCPathForFunction("/both", function() sendOSC("$CLIENT", "/second") end)
registerOSCPathForFunction("/fails", function() error("no") end)
requestAllNoteOn(function(c, n, v) sendOSC("$CLIENT", "/on", "iii", {c, n, v}) end)
requestAllNoteOff(function(c, n, v) sendOSC("$CLIENT", "/off", "iii", {c, n, v}) end)
)");
    OscTestClient watcher;
    Deliver(Message("/registerUpdate", int(kParam_Bias), watcher.Address(), "/b"));
    Deliver(Message("/set", 12.5f));
    EXPECT_EQ(Value(kParam_Bias), 12.5f);
    EXPECT_EQ(watcher.Next(), "#bundle /b ,if 9 12.5");
    const float before = Value(3);
    EXPECT_EQ(Deliver(Message("/set", 3, 0.5f)),
              "error while parsing message: /set: wrong argument type\n")
        << "the fixed \"/set\" is no longer reached";
    EXPECT_EQ(Value(3), before);

    Deliver(Message("/levels", 0.5f, 1.0f));
    EXPECT_FLOAT_EQ(Value(kParam_DryLevel), 0.5f);
    EXPECT_FLOAT_EQ(Value(kParam_EffectLevel), 1.0f);
    Deliver(Message("/feedback", 0.0f));
    EXPECT_FLOAT_EQ(Value(kParam_Feedback), -100.0f);
    Deliver(Message("/feedback", 1.0f));
    EXPECT_FLOAT_EQ(Value(kParam_Feedback), 100.0f);
    Deliver(Message("/pair", 0.25f, 0.75f));
    EXPECT_EQ((std::array{Value(1), Value(3), Value(4)}), (std::array{0.25f, 0.25f, 0.75f}));

    EXPECT_EQ(Deliver(Message("/both", 7, 1.5f, "s", true, false, std::monostate{})), "");
    EXPECT_EQ(client.Next(), "#bundle /first ,fffssss 6 7 1.5 s true false nil");
    EXPECT_EQ(client.Next(), "#bundle /second ,");
    EXPECT_EQ(Deliver(Message("/fails")),
              "error while parsing message: /fails: failed to pcall function\n");
    EXPECT_EQ(Deliver(Message("/both", osc::Blob("ab", 2))),
              "error while parsing message: /both: unhandled argument type to exec\n");

    Deliver(Message("/startNote", 60, 0.5f));
    Deliver(Message("/stopNote", 300, 1.0f));
    EXPECT_EQ(client.Next(), "#bundle /on ,iii 2 60 63") << "0.5 * 127 truncated";
    EXPECT_EQ(client.Next(), "#bundle /off ,iii 2 44 127") << "300 & 0xFF";
}

// OSC is off for the instance: sending needs no server. Errors reach the script.
TEST_F(OSCScripting, SendOSCBuildsMessagesAsTheFormatSaysAndErrorsReachTheScript) {
    Start(R"(
sendOSC("$CLIENT", "/plain", {1, 2.5, "a"})
sendOSC("osc.udp://$CLIENT", "/formatted", "iff", {1.75, 2.5, "a"})
sendOSC("$CLIENT", "/empty")
local function try(f, ...)
    local ok, message = pcall(f, ...)
    sendOSC("$CLIENT", "/error", {ok and "ok" or message})
end
try(registerOSCPathForParameter, "/x", 16)
try(registerOSCPathForParameterNormalized, "/x", {"Bias", "Nope"})
try(registerOSCPathForFunction, "/x", 5)
try(sendOSC, "$CLIENT", "/p", "ff", {1, 2, 3})
try(sendOSC, "$CLIENT", "/p", {true})
)",
          0);
    EXPECT_EQ(client.Next(), "#bundle /plain ,ffs 1 2.5 a");
    EXPECT_EQ(client.Next(), "#bundle /formatted ,ifs 1 2.5 a") << "1.75 truncated";
    EXPECT_EQ(client.Next(), "#bundle /empty ,");
    for (const char* text :
         {"parameter out of range: 16", "parameter not found: 'Nope'",
          "second argument to registerOSCPathForFunction is not a function",
          "format string length mismatch in sendOSC", "unhandled argument type return from call"}) {
        EXPECT_EQ(client.Next(), std::string("#bundle /error ,s ") + text);
    }
    EXPECT_FALSE(client.Receive(100)) << "nothing else was sent";
}

} // namespace
