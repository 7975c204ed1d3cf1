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

using MV::test::ListeningUnit;
using MV::test::MessageBuilder;
using MV::test::OscReply;
using MV::test::OscTestClient;
using MV::test::PingRoundTrip;
using MV::test::StdoutCapture;

std::string Text(const MV::test::OscValue& value) {
    return std::get<std::string>(value);
}
int Int(const MV::test::OscValue& value) {
    return std::get<std::int32_t>(value);
}
float Float(const MV::test::OscValue& value) {
    return std::get<float>(value);
}

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
        for (std::size_t at = text.find("$CLIENT"); at != std::string::npos;
             at = text.find("$CLIENT")) {
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
    std::string Deliver(const MV::test::Packet& packet) {
        StdoutCapture output;
        requester.Send(Port(), packet);
        const bool handled = PingRoundTrip(requester, Port());
        std::string printed = output.Finish();
        EXPECT_TRUE(handled);
        return printed;
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

TEST_F(OSCScripting, CallAnswersWithTheResultsUpToTheFirstNil) {
    Start(kFunctions);
    requester.Send(Port(),
                   (MessageBuilder("/call") << "answer" << requester.Address() << "/r").Finish());
    const std::optional<OscReply> reply = requester.ReceiveReply();
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->inBundle);
    EXPECT_EQ(reply->address, "/r");
    ASSERT_EQ(reply->types, "fs");
    EXPECT_EQ(Float(reply->args[0]), 1.0f);
    EXPECT_EQ(Text(reply->args[1]), "a");
}

TEST_F(OSCScripting, CallConvertsArgumentsAndNumericStringResults) {
    Start(kFunctions);
    requester.Send(Port(),
                   (MessageBuilder("/call") << "echo" << requester.Address() << "/e" << 3 << "7.5"
                                            << "x" << 2.25f << 0.5)
                       .Finish());
    const std::optional<OscReply> reply = requester.ReceiveReply();
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->types, "ffsff") << "strings that read as numbers come back as floats";
    EXPECT_EQ(Float(reply->args[0]), 3.0f);
    EXPECT_EQ(Float(reply->args[1]), 7.5f);
    EXPECT_EQ(Text(reply->args[2]), "x");
    EXPECT_EQ(Float(reply->args[3]), 2.25f);
    EXPECT_EQ(Float(reply->args[4]), 0.5f) << "a double argument";

    // At most 16 results.
    requester.Send(Port(),
                   (MessageBuilder("/call") << "sixteen" << requester.Address() << "/s").Finish());
    const std::optional<OscReply> sixteen = requester.ReceiveReply();
    ASSERT_TRUE(sixteen);
    EXPECT_EQ(sixteen->types, std::string(16, 'f'));
}

TEST_F(OSCScripting, CallResultsOfOtherTypesAndFailedCallsAreErrors) {
    Start(kFunctions);
    EXPECT_NE(
        Deliver((MessageBuilder("/call") << "truthy" << requester.Address() << "/r").Finish())
            .find("error while parsing message: /call: unhandled argument type return from call\n"),
        std::string::npos);
    EXPECT_NE(
        Deliver((MessageBuilder("/call") << "echo" << requester.Address() << "/r" << true).Finish())
            .find("unhandled argument type return from call"),
        std::string::npos)
        << "a boolean argument arrives as a boolean";
    EXPECT_NE(Deliver((MessageBuilder("/call") << "broken" << requester.Address() << "/r").Finish())
                  .find("error while parsing message: /call: failed to exec function\n"),
              std::string::npos);
    EXPECT_NE(Deliver((MessageBuilder("/call") << "answer").Finish())
                  .find("error while parsing message: /call: missing argument\n"),
              std::string::npos);
    // Only the ping's reply arrived: nothing was answered for the failures.
    requester.Drain();
}

TEST_F(OSCScripting, ExecCallsScriptFunctionsWithConvertedArguments) {
    Start(kFunctions);
    const std::string printed =
        Deliver((MessageBuilder("/exec") << "store" << 5 << "z" << std::monostate{}).Finish());
    EXPECT_EQ(printed.find("error"), std::string::npos) << printed;
    const std::optional<OscReply> stored = client.ReceiveReply();
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->types, "fs");
    EXPECT_EQ(Float(stored->args[0]), 5.0f);
    EXPECT_EQ(Text(stored->args[1]), "z");
}

// Names of C functions (the standard library's dofile, loadstring, require ...) would let
// anybody on the network run code; only functions the scripts wrote in Lua are called.
class ExecRefusal : public OSCScripting, public ::testing::WithParamInterface<const char*> {};

TEST_P(ExecRefusal, IsReportedAndNothingRuns) {
    Start(kFunctions);
    const std::string printed =
        Deliver((MessageBuilder("/exec") << GetParam() << "/nonexistent/file.lua").Finish());
    EXPECT_NE(printed.find("error while parsing message: /exec: failed to exec function\n"),
              std::string::npos)
        << printed;
    EXPECT_EQ(printed.find("/nonexistent/file.lua"), std::string::npos) << printed;
}

INSTANTIATE_TEST_SUITE_P(Names, ExecRefusal,
                         ::testing::Values("dofile", "loadfile", "require", "print", "setParameter",
                                           "os.execute", "noSuchFunction"));

TEST_F(OSCScripting, AnEndlessScriptFunctionIsStoppedAndTheServerGoesOn) {
    Start(kFunctions);
    const std::string printed = Deliver((MessageBuilder("/exec") << "forever").Finish());
    EXPECT_NE(printed.find("failed to exec function"), std::string::npos);
    EXPECT_TRUE(PingRoundTrip(requester, Port()));
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
    requester.Send(Port(), (MessageBuilder("/exec") << "busy").Finish());
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

TEST_F(OSCScripting, AScriptPathTakesPrecedenceOverAFixedAddress) {
    Start(R"(registerOSCPathForParameter("/set", "Bias"))");
    Deliver((MessageBuilder("/set") << 12.5f).Finish());
    EXPECT_EQ(Value(kParam_Bias), 12.5f);
    const float before = Value(3);
    const std::string printed = Deliver((MessageBuilder("/set") << 3 << 0.5f).Finish());
    EXPECT_NE(printed.find("error while parsing message: /set: wrong argument type\n"),
              std::string::npos)
        << "the fixed \"/set\" is no longer reached: " << printed;
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

    Deliver((MessageBuilder("/levels") << 0.5f << 1.0f).Finish());
    EXPECT_FLOAT_EQ(Value(kParam_DryLevel), 0.5f);
    EXPECT_FLOAT_EQ(Value(kParam_EffectLevel), 1.0f);
    EXPECT_NE(Deliver((MessageBuilder("/levels") << 0.5f).Finish()).find("missing argument"),
              std::string::npos)
        << "the one-parameter registration was refused";

    Deliver((MessageBuilder("/feedback") << 0.0f).Finish());
    EXPECT_FLOAT_EQ(Value(kParam_Feedback), -100.0f);
    Deliver((MessageBuilder("/feedback") << 1.0f).Finish());
    EXPECT_FLOAT_EQ(Value(kParam_Feedback), 100.0f);

    // Every registration under a path is applied.
    Deliver((MessageBuilder("/pair") << 0.25f << 0.75f).Finish());
    EXPECT_FLOAT_EQ(Value(1), 0.25f);
    EXPECT_FLOAT_EQ(Value(3), 0.25f);
    EXPECT_FLOAT_EQ(Value(4), 0.75f);
}

TEST_F(OSCScripting, ScriptPathChangesAreNotifiedLikeOtherChanges) {
    Start(R"(registerOSCPathForParameter("/bias", "Bias"))");
    OscTestClient watcher;
    Deliver((MessageBuilder("/registerUpdate") << int(kParam_Bias) << watcher.Address() << "/b")
                .Finish());
    Deliver((MessageBuilder("/bias") << -20.0f).Finish());
    const std::optional<OscReply> note = watcher.ReceiveReply();
    ASSERT_TRUE(note);
    EXPECT_EQ(Float(note->args[1]), -20.0f);
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
    const std::string printed =
        Deliver((MessageBuilder("/both") << 7 << 1.5f << "s" << true << false << std::monostate{})
                    .Finish());
    EXPECT_EQ(printed.find("error"), std::string::npos) << printed;
    const std::optional<OscReply> first = client.ReceiveReply();
    const std::optional<OscReply> second = client.ReceiveReply();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->address, "/first");
    ASSERT_EQ(first->types, "fffssss");
    EXPECT_EQ(Float(first->args[0]), 6.0f) << "six arguments";
    EXPECT_EQ(Float(first->args[1]), 7.0f);
    EXPECT_EQ(Float(first->args[2]), 1.5f);
    EXPECT_EQ(Text(first->args[3]), "s");
    EXPECT_EQ(Text(first->args[4]), "true");
    EXPECT_EQ(Text(first->args[5]), "false");
    EXPECT_EQ(Text(first->args[6]), "nil");
    EXPECT_EQ(second->address, "/second");
    EXPECT_EQ(second->types, "");

    EXPECT_NE(Deliver((MessageBuilder("/fails")).Finish())
                  .find("error while parsing message: /fails: failed to pcall function\n"),
              std::string::npos);
    EXPECT_NE(Deliver((MessageBuilder("/both") << osc::Blob("ab", 2)).Finish())
                  .find("error while parsing message: /both: unhandled argument type to exec\n"),
              std::string::npos);
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
    const char* expected[] = {
        "parameter out of range: 16",
        "parameter out of range: -1",
        "parameter not found: 'Nope'",
        "second argument to registerOSCPathForFunction is not a function",
        "format string length mismatch in sendOSC",
        "unhandled argument type return from call",
        "format string length mismatch in sendOSC",
    };
    for (const char* text : expected) {
        const std::optional<OscReply> reply = client.ReceiveReply();
        ASSERT_TRUE(reply) << text;
        ASSERT_EQ(reply->types, "s");
        EXPECT_EQ(Text(reply->args[0]), text);
    }
    EXPECT_FALSE(client.Receive(100)) << "nothing else was sent";
    // Nothing was registered under "/x".
    EXPECT_EQ(Deliver((MessageBuilder("/x") << 0.5f).Finish()).find("error"), std::string::npos);
}

TEST_F(OSCScripting, SendOSCBuildsFloatsIntsAndStringsAsTheFormatSays) {
    Start(R"(
sendOSC("$CLIENT", "/plain", {1, 2.5, "a"})
sendOSC("osc.udp://$CLIENT", "/formatted", "iff", {1.75, 2.5, "a"})
sendOSC("$CLIENT", "/empty")
sendOSC("$CLIENT", "/nils", {nil, 3})
)",
          0 /* OSC off for the instance: sending needs no server */);
    const std::optional<OscReply> plain = client.ReceiveReply();
    ASSERT_TRUE(plain);
    EXPECT_TRUE(plain->inBundle);
    EXPECT_EQ(plain->address, "/plain");
    ASSERT_EQ(plain->types, "ffs");
    EXPECT_EQ(Float(plain->args[1]), 2.5f);
    EXPECT_EQ(Text(plain->args[2]), "a");

    const std::optional<OscReply> formatted = client.ReceiveReply();
    ASSERT_TRUE(formatted);
    ASSERT_EQ(formatted->types, "ifs");
    EXPECT_EQ(Int(formatted->args[0]), 1) << "truncated";

    const std::optional<OscReply> empty = client.ReceiveReply();
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->address, "/empty");
    EXPECT_EQ(empty->types, "");

    // The length operator stops at the first nil.
    const std::optional<OscReply> nils = client.ReceiveReply();
    ASSERT_TRUE(nils);
    EXPECT_EQ(nils->address, "/nils");
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
    Deliver((MessageBuilder("/startNote") << 60 << 0.5f).Finish());
    Deliver((MessageBuilder("/stopNote") << 300 << 1.0f).Finish());
    const std::optional<OscReply> on = client.ReceiveReply();
    const std::optional<OscReply> off = client.ReceiveReply();
    ASSERT_TRUE(on && off);
    EXPECT_EQ(on->address, "/on");
    ASSERT_EQ(on->types, "iii");
    EXPECT_EQ(Int(on->args[0]), 2);
    EXPECT_EQ(Int(on->args[1]), 60);
    EXPECT_EQ(Int(on->args[2]), 63) << "0.5 * 127 truncated";
    EXPECT_EQ(off->address, "/off");
    EXPECT_EQ(Int(off->args[1]), 300 & 0xFF);
    EXPECT_EQ(Int(off->args[2]), 127);
    EXPECT_NE(Deliver((MessageBuilder("/startNote") << 60).Finish()).find("missing argument"),
              std::string::npos);
}

} // namespace
