// OSC and the MIDI script: calls from the network into the script, the script's own OSC paths,
// and sending OSC from scripts. Each test writes its scripts into a temporary folder; what the
// scripts send goes to a client on 127.0.0.1 whose address is written into them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>

#include "AudioUnitAPI.h"
#include "FluxetParameters.h"
#include "MrvnFluxet.h"
#include "OscTestSupport.h"

namespace {

using namespace MV::test;
using Args = std::vector<OscValue>;

class OSCScripting : public ::testing::Test {
protected:
    ~OSCScripting() override {
        unit.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    // Writes `script` (with $CLIENT standing for the client's reply address) and starts a
    // unit that runs it; returns what the scripts printed while they loaded.
    std::string Start(const std::string& script, int offset = 5) {
        std::string text = script;
        for (auto at = text.find("$CLIENT"); at != std::string::npos; at = text.find("$CLIENT")) {
            text.replace(at, 7, client.Address());
        }
        folder = std::filesystem::temp_directory_path() /
                 ("fluxet-osc-scripts-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "test.lua") << text;
        StdoutCapture output;
        unit = std::make_unique<ListeningUnit>(offset, folder.string());
        return output.Finish();
    }

    int Port() { return unit->Port(); }
    float Value(int id) { return unit->Host().GetParameter(AudioUnitParameterID(id)); }

    // Sends and waits until the server has handled it; returns what it printed meanwhile.
    std::string Deliver(const Packet& packet) {
        StdoutCapture output;
        requester.Send(Port(), packet);
        const bool handled = PingRoundTrip(requester, Port());
        std::string printed = output.Finish();
        EXPECT_TRUE(handled);
        return printed;
    }
    // The next packet `to` receives, decoded; an empty reply when none came.
    static OscReply Next(const OscTestClient& to) {
        const std::optional<OscReply> reply = to.ReceiveReply();
        EXPECT_TRUE(reply);
        return reply.value_or(OscReply{});
    }

    OscTestClient client;    // where scripts send
    OscTestClient requester; // where the tests' requests come from and replies go
    std::filesystem::path folder;
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
TEST_F(OSCScripting, CallAnswersWithTheConvertedResults) {
    Start(kFunctions);
    const std::string me = requester.Address();
    Args sixteen;
    for (int i = 1; i <= 16; ++i) {
        sixteen.emplace_back(float(i));
    }
    const struct {
        Packet request;
        std::string types;
        Args args;
    } cases[] = {
        {Message("/call", "answer", me, "/r"), "fs", {1.0f, "a"}},
        // The last argument is a double.
        {Message("/call", "echo", me, "/r", 3, "7.5", "x", 2.25f, 0.5),
         "ffsff",
         {3.0f, 7.5f, "x", 2.25f, 0.5f}},
        {Message("/call", "sixteen", me, "/r"), std::string(16, 'f'), sixteen},
    };
    for (const auto& c : cases) {
        requester.Send(Port(), c.request);
        const OscReply reply = Next(requester);
        EXPECT_TRUE(reply.inBundle);
        EXPECT_EQ(reply.address, "/r");
        EXPECT_EQ(reply.types, c.types);
        EXPECT_EQ(reply.args, c.args);
    }
}

TEST_F(OSCScripting, FailedCallsAreReportedAndAnswerNothing) {
    Start(kFunctions);
    const std::string to = client.Address();
    const std::pair<Packet, const char*> cases[] = {
        {Message("/call", "truthy", to, "/r"), "/call: unhandled argument type return from call"},
        // A boolean argument arrives as a boolean.
        {Message("/call", "echo", to, "/r", true),
         "/call: unhandled argument type return from call"},
        {Message("/call", "broken", to, "/r"), "/call: failed to exec function"},
        {Message("/call", "answer"), "/call: missing argument"},
        // An endless function is stopped and the server goes on.
        {Message("/exec", "forever"), "/exec: failed to exec function"},
    };
    for (const auto& [packet, text] : cases) {
        EXPECT_EQ(Deliver(packet), std::string("error while parsing message: ") + text + "\n");
    }
    EXPECT_FALSE(client.Receive(0));
}

// Only functions the scripts wrote in Lua are called: the names of C functions (dofile,
// require ...) would let anybody on the network run code.
TEST_F(OSCScripting, ExecCallsScriptFunctionsOnly) {
    Start(kFunctions);
    EXPECT_EQ(Deliver(Message("/exec", "store", 5, "z", std::monostate{})), "");
    const OscReply stored = Next(client);
    EXPECT_EQ(stored.types, "fs");
    EXPECT_EQ(stored.args, (Args{5.0f, "z"}));
    for (const char* name : {"dofile", "loadfile", "require", "print", "setParameter", "os.execute",
                             "noSuchFunction"}) {
        EXPECT_EQ(Deliver(Message("/exec", name, "/nonexistent/file.lua")),
                  "error while parsing message: /exec: failed to exec function\n")
            << name;
    }
}

// A receive task busy past the shutdown time-out is reported, and then still waited for: it is
// inside the script, which must not be closed under it.
TEST_F(OSCScripting, AShutdownThatOutwaitsItsTimeOutIsReportedAndStillWaitsForTheTask) {
    Start(R"(
function busy()
    sendOSC("$CLIENT", "/busy")
    while true do end
end
)");
    unit->Unit().ScriptHost().SetCallbackTimeLimitMs(1500);
    requester.Send(Port(), Message("/exec", "busy"));
    ASSERT_TRUE(client.ReceiveReply()) << "the script function started";
    StdoutCapture output;
    AudioUnitUninitialize(unit->Host().Unit());
    const std::string printed = output.Finish();
    EXPECT_NE(printed.find("OSC: DestroyTask timeout on shutdown\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("error while parsing message: /exec: failed to exec function"),
              std::string::npos)
        << "the time limit ended the call before the task ended: " << printed;
    EXPECT_FALSE(unit->Unit().OSCServer().HasTasks());
}

TEST_F(OSCScripting, AScriptPathTakesPrecedenceOverAFixedAddressAndIsNotified) {
    Start(R"(registerOSCPathForParameter("/set", "Bias"))");
    OscTestClient watcher;
    Deliver(Message("/registerUpdate", int(kParam_Bias), watcher.Address(), "/b"));
    Deliver(Message("/set", 12.5f));
    EXPECT_EQ(Value(kParam_Bias), 12.5f);
    EXPECT_EQ(Next(watcher).args, (Args{int(kParam_Bias), 12.5f}));
    const float before = Value(3);
    EXPECT_EQ(Deliver(Message("/set", 3, 0.5f)),
              "error while parsing message: /set: wrong argument type\n")
        << "the fixed \"/set\" is no longer reached";
    EXPECT_EQ(Value(3), before);
}

TEST_F(OSCScripting, NormalizedPathsSpanEachParameterRange) {
    const std::string printed = Start(R"(
registerOSCPathForParameterNormalized("/levels", {"Dry Level", "Effect Level"})
registerOSCPathForParameterNormalized("/levels", "Bias")
registerOSCPathForParameterNormalized("/feedback", "Feedback")
registerOSCPathForParameter("/pair", {1, 2})
registerOSCPathForParameter("/pair", {3, 4})
)");
    EXPECT_NE(printed.find("@@@ inconsistent sizes in RegisterOSCPathForParameter\n"),
              std::string::npos)
        << printed;

    Deliver(Message("/levels", 0.5f, 1.0f));
    EXPECT_FLOAT_EQ(Value(kParam_DryLevel), 0.5f);
    EXPECT_FLOAT_EQ(Value(kParam_EffectLevel), 1.0f);
    EXPECT_NE(Deliver(Message("/levels", 0.5f)).find("missing argument"), std::string::npos)
        << "the one-parameter registration was refused";
    Deliver(Message("/feedback", 0.0f));
    EXPECT_FLOAT_EQ(Value(kParam_Feedback), -100.0f);
    Deliver(Message("/feedback", 1.0f));
    EXPECT_FLOAT_EQ(Value(kParam_Feedback), 100.0f);
    // Every registration under a path is applied.
    Deliver(Message("/pair", 0.25f, 0.75f));
    EXPECT_FLOAT_EQ(Value(1), 0.25f);
    EXPECT_FLOAT_EQ(Value(3), 0.25f);
    EXPECT_FLOAT_EQ(Value(4), 0.75f);
}

TEST_F(OSCScripting, FunctionPathsCallEveryFunctionInRegistrationOrder) {
    Start(R"(
registerOSCPathForFunction("/both", function(...)
    local n = select("#", ...)
    local a, b, c, d, e, f = ...
    sendOSC("$CLIENT", "/first", {n, a, b, c, tostring(d), tostring(e), tostring(f)})
end)
registerOSCPathForFunction("/both", function() sendOSC("$CLIENT", "/second") end)
registerOSCPathForFunction("/fails", function() error("no") end)
)");
    EXPECT_EQ(Deliver(Message("/both", 7, 1.5f, "s", true, false, std::monostate{})), "");
    const OscReply first = Next(client);
    EXPECT_EQ(first.address, "/first");
    EXPECT_EQ(first.types, "fffssss");
    EXPECT_EQ(first.args, (Args{6.0f, 7.0f, 1.5f, "s", "true", "false", "nil"}));
    const OscReply second = Next(client);
    EXPECT_EQ(second.address, "/second");
    EXPECT_EQ(second.types, "");

    EXPECT_EQ(Deliver(Message("/fails")),
              "error while parsing message: /fails: failed to pcall function\n");
    EXPECT_EQ(Deliver(Message("/both", osc::Blob("ab", 2))),
              "error while parsing message: /both: unhandled argument type to exec\n");
}

TEST_F(OSCScripting, RegistrationAndSendingErrorsReachTheScript) {
    Start(R"(
local function try(f, ...)
    local ok, message = pcall(f, ...)
    sendOSC("$CLIENT", "/error", {ok and "ok" or message})
end
try(registerOSCPathForParameter, "/x", 16)
try(registerOSCPathForParameter, "/x", -1)
try(registerOSCPathForParameterNormalized, "/x", {"Bias", "Nope"})
try(registerOSCPathForFunction, "/x", 5)
try(sendOSC, "$CLIENT", "/p", "ff", {1, 2, 3})
try(sendOSC, "$CLIENT", "/p", {true})
try(sendOSC, "$CLIENT", "/p", "if", {1})
)");
    for (const char* text :
         {"parameter out of range: 16", "parameter out of range: -1", "parameter not found: 'Nope'",
          "second argument to registerOSCPathForFunction is not a function",
          "format string length mismatch in sendOSC", "unhandled argument type return from call",
          "format string length mismatch in sendOSC"}) {
        const OscReply reply = Next(client);
        EXPECT_EQ(reply.types, "s") << text;
        EXPECT_EQ(reply.args, Args{text});
    }
    EXPECT_FALSE(client.Receive(100)) << "nothing else was sent";
    EXPECT_EQ(Deliver(Message("/x", 0.5f)), "") << "nothing was registered under \"/x\"";
}

TEST_F(OSCScripting, SendOSCBuildsFloatsIntsAndStringsAsTheFormatSays) {
    Start(R"(
sendOSC("$CLIENT", "/plain", {1, 2.5, "a"})
sendOSC("osc.udp://$CLIENT", "/formatted", "iff", {1.75, 2.5, "a"})
sendOSC("$CLIENT", "/empty")
sendOSC("$CLIENT", "/nils", {nil, 3})
)",
          0 /* OSC off for the instance: sending needs no server */);
    const OscReply plain = Next(client);
    EXPECT_TRUE(plain.inBundle);
    EXPECT_EQ(plain.address, "/plain");
    EXPECT_EQ(plain.types, "ffs");
    EXPECT_EQ(plain.args, (Args{1.0f, 2.5f, "a"}));
    const OscReply formatted = Next(client);
    EXPECT_EQ(formatted.types, "ifs");
    EXPECT_EQ(formatted.args, (Args{1, 2.5f, "a"})) << "truncated";
    const OscReply empty = Next(client);
    EXPECT_EQ(empty.address, "/empty");
    EXPECT_EQ(empty.types, "");
    EXPECT_EQ(Next(client).address, "/nils") << "the length operator stops at the first nil";
}

TEST_F(OSCScripting, NotesFromOSCReachTheScriptOnChannelTwo) {
    Start(R"(
requestAllNoteOn(function(channel, note, velocity)
    sendOSC("$CLIENT", "/on", "iii", {channel, note, velocity})
end)
requestAllNoteOff(function(channel, note, velocity)
    sendOSC("$CLIENT", "/off", "iii", {channel, note, velocity})
end)
)");
    Deliver(Message("/startNote", 60, 0.5f));
    Deliver(Message("/stopNote", 300, 1.0f));
    const OscReply on = Next(client);
    EXPECT_EQ(on.address, "/on");
    EXPECT_EQ(on.args, (Args{2, 60, 63})) << "0.5 * 127 truncated";
    const OscReply off = Next(client);
    EXPECT_EQ(off.address, "/off");
    EXPECT_EQ(off.args, (Args{2, 300 & 0xFF, 127}));
    EXPECT_NE(Deliver(Message("/startNote", 60)).find("missing argument"), std::string::npos);
}

} // namespace
