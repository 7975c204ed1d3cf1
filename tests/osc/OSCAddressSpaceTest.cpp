// The address space against the real unit: a server listening on 127.0.0.1, clients that send
// packets from 127.0.0.1 and read the replies sent back there.
#include <gtest/gtest.h>

#include <iomanip>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "FluxetParameters.h"
#include "MrvnFluxet.h"
#include "OscTestSupport.h"

namespace {

using namespace MV::test;
using MV::OSCHelper;
using Args = std::vector<OscValue>;

class OSCAddressSpace : public ::testing::Test {
protected:
    // Sends a packet and waits until the server has handled it.
    void Deliver(const Packet& packet) {
        client.Send(unit.Port(), packet);
        ASSERT_TRUE(PingRoundTrip(client, unit.Port()));
    }
    // What the server printed while it handled `packets` (and answered a "/ping" after them).
    std::string Printed(std::initializer_list<Packet> packets) {
        ::testing::internal::CaptureStdout();
        for (const Packet& packet : packets) {
            client.Send(unit.Port(), packet);
        }
        const bool answered = PingRoundTrip(client, unit.Port());
        const std::string printed = ::testing::internal::GetCapturedStdout();
        EXPECT_TRUE(answered) << printed;
        return printed;
    }
    // The next packet `to` receives, decoded; an empty reply when none came.
    static OscReply Next(const OscTestClient& to) {
        const std::optional<OscReply> reply = to.ReceiveReply();
        EXPECT_TRUE(reply);
        return reply.value_or(OscReply{});
    }
    float Value(int id) { return unit.Host().GetParameter(AudioUnitParameterID(id)); }
    OSCHelper& Server() { return unit.Unit().OSCServer(); }

    ListeningUnit unit;
    OscTestClient client;
    OscTestClient watcher;
};

TEST_F(OSCAddressSpace, RequestsAreAnsweredInABundleAtTheirReplyAddress) {
    unit.Host().SetParameter(kParam_Bias, 12.5f);
    const std::string me = client.Address();
    const struct {
        Packet request;
        const char* types;
        Args args;
    } cases[] = {
        {Message("/ping", me, "/r"),
         "ss",
         {"osc.udp://127.0.0.1:" + std::to_string(unit.Port()), "Fluxet 1.2.1"}},
        {Message("/getNumParameters", "osc.udp://" + me + "/", "/r"), "i", {16}},
        {Message("/get", int(kParam_Bias), me, "/r"), "if", {int(kParam_Bias), 12.5f}},
        {Message("/getInfo", 15, me, "/r"),
         "ifffsi",
         {15, 0.0f, 100.0f, 0.0f, "OSC Port Offset", int(astParamInfos[15].unit)}},
        {Message("/isParameterUsed", 4, me, "/r"), "iT", {4, true}},
    };
    for (const auto& c : cases) {
        client.Send(unit.Port(), c.request);
        const OscReply reply = Next(client);
        EXPECT_TRUE(reply.inBundle);
        EXPECT_EQ(reply.address, "/r");
        EXPECT_EQ(reply.types, c.types);
        EXPECT_EQ(reply.args, c.args);
    }
}

// "/set" and host changes reach every registration of the parameter, each in order; a change
// in another scope is not the global parameter and is not reported.
TEST_F(OSCAddressSpace, ChangesAreNotifiedToEveryRegistrationInOrder) {
    OscTestClient second;
    const int id = kParam_Feedback;
    Deliver(Message("/registerUpdate", id, watcher.Address(), "/a"));
    Deliver(Message("/registerUpdate", id, second.Address(), "/b"));
    const float values[] = {0.5f, 2.5f, 4.0f, -42.0f};
    for (const float value : {0.5f, 2.5f, 4.0f}) {
        Deliver(Message("/set", id, value));
        EXPECT_EQ(Value(id), value);
    }
    ASSERT_EQ(unit.Host().SetParameter(id, -42.0f), noErr);
    unit.Host().SetParameter(id, 10.0f, kAudioUnitScope_Input);
    for (const auto& [to, path] : {std::pair{&watcher, "/a"}, std::pair{&second, "/b"}}) {
        for (const float value : values) {
            const OscReply note = Next(*to);
            EXPECT_TRUE(note.inBundle);
            EXPECT_EQ(note.address, path);
            EXPECT_EQ(note.types, "if");
            EXPECT_EQ(note.args, (Args{id, value}));
        }
        EXPECT_FALSE(to->Receive(200));
    }
}

// Each refusal prints its own line and changes nothing; no reply goes out, the server goes on.
TEST_F(OSCAddressSpace, RefusedRequestsAreReportedAndChangeNothing) {
    const std::string to = watcher.Address();
    std::vector<std::pair<Packet, std::string>> cases = {
        {Message("/set", 3.0f, 0.25f), "/set: wrong argument type"},
        {Message("/set", 3), "/set: missing argument"},
        {Message("/set", 3, 0.5f, 1), "/set: too many arguments"},
        {Message("/getAllRegistered", 1), "/getAllRegistered: too many arguments"},
        // A path too long for a notification packet.
        {Message("/registerUpdate", 3, to, "/" + std::string(1100, 'x')),
         "/registerUpdate: out of buffer memory"},
        {Message("/mrvn/+bad/1/1", 1.0f), "/mrvn/+bad/1/1: /mrvn/+bad/1/1"},
        // Without scripts there is nothing to call, and C functions never count.
        {Message("/exec", "noSuchFunction"), "/exec: failed to exec function"},
        {Message("/exec", "print", "hello"), "/exec: failed to exec function"},
    };
    for (const std::string address :
         {"/set", "/get", "/getInfo", "/isParameterUsed", "/registerUpdate", "/unregisterUpdate"}) {
        for (const int id : {16, -1}) {
            cases.emplace_back(address == "/set" ? Message("/set", id, 0.5f)
                                                 : Message(address.c_str(), id, to, "/r"),
                               address + ": parameter id out of range in " + address.substr(1));
        }
    }
    std::vector<float> before;
    for (int id = 0; id < 16; ++id) {
        before.push_back(Value(id));
    }
    for (const auto& [packet, text] : cases) {
        EXPECT_EQ(Printed({packet}), "error while parsing message: " + text + "\n");
    }
    // "/mrvn/" addresses go to the tracker, where no instance is registered in this test.
    EXPECT_EQ(Printed({Message("/mrvn/Fluxet/1/Feedback", 50.0f)}), "");
    for (int id = 0; id < 16; ++id) {
        EXPECT_EQ(Value(id), before[std::size_t(id)]) << id;
    }
    EXPECT_TRUE(Server().UpdateRegistrations().empty());
    EXPECT_FALSE(watcher.Receive(0)) << "no reply to a refused request";
}

TEST_F(OSCAddressSpace, RegisteringTwiceKeepsOneRegistrationAndUnregisteringClearsTheFlag) {
    const auto request = [&](const char* address, const char* path) {
        Deliver(Message(address, 7, watcher.Address(), path));
        return Server().UpdateRegistrations(7).size();
    };
    request("/registerUpdate", "/seven");
    EXPECT_EQ(request("/registerUpdate", "/seven"), 1u);
    EXPECT_TRUE(Server().UpdateFlag(7));
    EXPECT_EQ(request("/registerUpdate", "/other"), 2u) << "another path is another registration";
    EXPECT_EQ(request("/unregisterUpdate", "/seven"), 1u);
    EXPECT_TRUE(Server().UpdateFlag(7));
    EXPECT_EQ(request("/unregisterUpdate", "/other"), 0u);
    EXPECT_FALSE(Server().UpdateFlag(7));
    Deliver(Message("/set", 7, 0.75f));
    EXPECT_FALSE(watcher.Receive(200)) << "nothing is sent after unregistering";
}

TEST_F(OSCAddressSpace, RegistrationsAreBoundedSoNobodyCanFillTheMemory) {
    for (std::size_t i = 0; i < OSCHelper::kMaxUpdateRegistrations; ++i) {
        client.Send(unit.Port(), Message("/registerUpdate", int(i % 16), client.Address(),
                                         "/r" + std::to_string(i)));
        if (i % 64 == 63) {
            ASSERT_TRUE(PingRoundTrip(client, unit.Port())); // no more than the socket holds
        }
    }
    EXPECT_EQ(Printed({Message("/registerUpdate", 3, client.Address(), "/more")}),
              "error while parsing message: /registerUpdate: too many update registrations\n");
    EXPECT_EQ(Server().UpdateRegistrations().size(), OSCHelper::kMaxUpdateRegistrations);
    // Removing one makes room again.
    Deliver(Message("/unregisterUpdate", 0, client.Address(), "/r0"));
    Deliver(Message("/registerUpdate", 3, client.Address(), "/more"));
    EXPECT_EQ(Server().UpdateRegistrations(3).back().second.path, "/more");
}

TEST_F(OSCAddressSpace, GetAllAndGetAllRegisteredAnswerInParameterOrder) {
    Deliver(Message("/registerUpdate", 9, watcher.Address(), "/nine"));
    Deliver(Message("/registerUpdate", 2, watcher.Address(), "/two"));
    unit.Host().SetParameter(2, 0.125f);
    unit.Host().SetParameter(9, 3.0f);
    EXPECT_EQ(Next(watcher).address, "/two"); // the two change notifications first
    EXPECT_EQ(Next(watcher).address, "/nine");

    Deliver(Message("/getAllRegistered"));
    EXPECT_EQ(Next(watcher).args, (Args{2, 0.125f}));
    EXPECT_EQ(Next(watcher).args, (Args{9, 3.0f}));

    client.Send(unit.Port(), Message("/getAll", client.Address(), "/all"));
    for (int id = 0; id < 16; ++id) {
        const OscReply reply = Next(client);
        EXPECT_EQ(reply.address, "/all");
        EXPECT_EQ(reply.args, (Args{id, Value(id)}));
    }
    EXPECT_FALSE(client.Receive(200));
}

// Bundle elements are handled in order, nested bundles too, and an error in one does not stop
// the rest; the recent list keeps the last five messages, newest first.
TEST_F(OSCAddressSpace, BundlesAreHandledInOrderAndTheRecentListKeepsTheLastFive) {
    const std::string printed = Printed(
        {Message("/nobody/here"), Bundle({Message("/set", 1, 2.0f), Message("/set", 99, 1.0f),
                                          Bundle({Message("/set", 1, 3.0f)})})});
    EXPECT_EQ(printed, "error while parsing message: /set: parameter id out of range in set\n");
    EXPECT_EQ(Value(1), 3.0f);

    for (int i = 0; i < 7; ++i) {
        client.Send(unit.Port(), Message("/nobody", i));
    }
    ASSERT_TRUE(PingRoundTrip(client, unit.Port()));
    const std::vector<std::string> recent = Server().RecentMessages();
    ASSERT_EQ(recent.size(), 5u);
    EXPECT_NE(recent[0].find("/ping"), std::string::npos);
    EXPECT_NE(recent[1].find("/nobody"), std::string::npos);
    EXPECT_NE(recent[1].find('6'), std::string::npos);
    EXPECT_NE(recent[4].find('3'), std::string::npos);
}

TEST_F(OSCAddressSpace, TouchFramesFillTheTouchTableAndIgnoreTouchesBeyondSixteen) {
    for (auto& touch : MV::gSoundplaneData) {
        touch.active.store(0);
        for (auto& v : touch.values) {
            v.store(0.0f);
        }
    }
    const float before = Value(2);
    Deliver(Bundle({Message("/t3d/frm", 1), Message("/t3d/tch3", 0.1f, 0.2f, 0.3f, 60.0f),
                    Message("/t3d/tch17", 1.0f, 1.0f, 1.0f, 1.0f), Message("/set", 2, 5.0f)}));
    const float touched[] = {0.1f, 0.2f, 0.3f, 60.0f};
    for (int i = 0; i < MV::kNumSoundplaneTouches; ++i) {
        EXPECT_EQ(MV::gSoundplaneData[i].active.load(), i == 2 ? 1 : 0) << i;
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(MV::gSoundplaneData[i].values[k].load(), i == 2 ? touched[k] : 0.0f) << i;
        }
    }
    EXPECT_EQ(Value(2), before) << "other messages of a touch frame are not dispatched";

    // A touch whose third value is not above zero is inactive; a short touch ends the frame.
    EXPECT_EQ(Printed({Bundle({Message("/t3d/frm"), Message("/t3d/tch3", 0.5f, 0.5f, 0.0f, 61.0f),
                               Message("/t3d/tch4", 0.5f),
                               Message("/t3d/tch5", 0.5f, 0.5f, 0.5f, 0.5f)})}),
              "error while parsing message: missing argument\n");
    EXPECT_EQ(MV::gSoundplaneData[2].active.load(), 0);
    EXPECT_EQ(MV::gSoundplaneData[2].values[3].load(), 61.0f);
    EXPECT_EQ(MV::gSoundplaneData[4].active.load(), 0) << "the rest of the frame is dropped";
}

// Bytes that no OSC decoder accepts, and packets cut short, never stop the server.
TEST_F(OSCAddressSpace, MalformedPacketsAreReportedAndTheServerKeepsAnswering) {
    std::mt19937 generator(1234);
    std::vector<Packet> packets;
    for (int i = 0; i < 50; ++i) {
        Packet bytes(std::size_t(generator() % 64 + 1));
        for (char& byte : bytes) {
            byte = char(generator());
        }
        packets.push_back(bytes);
    }
    const Packet whole = Message("/set", 3, 0.5f);
    for (std::size_t length = 1; length < whole.size(); ++length) {
        packets.emplace_back(whole.begin(), whole.begin() + std::ptrdiff_t(length));
    }
    Packet bundle = Bundle({whole});
    bundle[19] = 0x7f; // an element size far beyond the packet
    packets.push_back(bundle);
    Packet wraps = bundle; // 0xfffffffc: the decoder's step past it wraps to nothing
    wraps[16] = wraps[17] = wraps[18] = char(0xff);
    wraps[19] = char(0xfc);
    packets.push_back(wraps);
    packets.push_back(Packet{'#', 'b', 'u', 'n', 'd', 'l', 'e', '\0'});

    ::testing::internal::CaptureStdout();
    for (const Packet& packet : packets) {
        client.Send(unit.Port(), packet);
    }
    const bool answered = PingRoundTrip(client, unit.Port());
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(answered);
    EXPECT_NE(printed.find("osc::Exception in TaskMain(): "), std::string::npos);
    EXPECT_EQ(Server().BoundPort(), unit.Port());
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(PingRoundTrip(client, unit.Port()));
    }
}

// The library's decoder does not check blob sizes: a blob said to run past the packet would
// be read from beyond it. Such packets are refused whole, with the decoder's error.
TEST_F(OSCAddressSpace, BlobsThatRunPastThePacketAreRefused) {
    const Packet blob = Message("/nobody", osc::Blob("abcd", 4));
    ASSERT_EQ(blob.size(), 20u); // "/nobody\0" ",b\0\0" size "abcd"
    Packet huge = blob;
    huge[12] = char(0x7f); // size 0x7f000004
    Packet beyondByOne = blob;
    beyondByOne[15] = 5; // five bytes, padded to eight: four past the end
    Packet inBundle = Bundle({blob});
    inBundle[inBundle.size() - 8] = char(0x40);
    // The decoder looks for a string's end only at the last byte of each word: for it this
    // address runs to byte 7, and the type tags ",fb" follow.
    const Packet early = {'/', 'a',  '\0',   'x',    'y',  'z',  'w',    '\0',   ',',  'f',
                          'b', '\0', '\x3e', '\x80', '\0', '\0', '\x3f', '\x40', '\0', '\0'};
    for (const Packet& packet :
         {huge, beyondByOne, Packet(blob.begin(), blob.begin() + 12), inBundle, early}) {
        EXPECT_EQ(Printed({packet}),
                  "osc::Exception in TaskMain(): arguments exceed message size\n");
    }
    // A blob that fits is an ordinary argument (here one that script calls refuse).
    const std::string printed = Printed({blob, Message("/exec", "f", osc::Blob("ab", 2))});
    EXPECT_EQ(printed.find("osc::Exception"), std::string::npos) << printed;
    EXPECT_NE(Server().RecentMessages()[2].find("/nobody"), std::string::npos);
}

// "/mrvn/" addresses parsed without a server: the steps handed to the tracker, in order, each
// "instance-name number parameter-name index offset=value;" ("-" for no name).
struct MRVNCase {
    const char* address;
    std::vector<float> values;
    const char* steps;
    bool fails;
};

void PrintTo(const MRVNCase& c, std::ostream* out) {
    *out << c.address;
}

class MRVNParsing : public ::testing::TestWithParam<MRVNCase> {};

TEST_P(MRVNParsing, HandsEachStepToTheTrackerAsSoonAsItIsParsed) {
    const MRVNCase& c = GetParam();
    MessageBuilder builder(c.address);
    for (const float value : c.values) {
        builder << value;
    }
    const Packet packet = builder.Finish();
    const osc::ReceivedPacket received(packet.data(), packet.size());
    std::ostringstream steps;
    steps << std::setprecision(9); // every float exactly
    bool failed = false;
    try {
        OSCHelper::ProcessMRVNMessage(osc::ReceivedMessage(received), [&](const MrvnOSCMessage& m,
                                                                          Float32 value) {
            steps << (m.instanceName != nullptr ? m.instanceName : "-") << ' ' << m.instanceNumber
                  << ' ' << (m.parameterName != nullptr ? m.parameterName : "-") << ' '
                  << m.parameterIndex << ' ' << m.parameterOffset << '=' << value << ';';
        });
    } catch (const MV::OSCMessageError& error) {
        failed = true;
        EXPECT_STREQ(error.what(), c.address) << "the error text is the address";
    } catch (const osc::Exception&) {
        failed = true;
    }
    EXPECT_EQ(failed, c.fails);
    EXPECT_EQ(steps.str(), c.steps);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, MRVNParsing,
    ::testing::Values(
        MRVNCase{"/mrvn/Fluxet/2/Feedback", {0.5f}, "Fluxet 2 Feedback -1 0=0.5;", false},
        MRVNCase{"/mrvn/3/10/4/0", {0.25f, 0.75f}, "- 3 - 10 0=0.25;- 4 - 0 0=0.75;", false},
        MRVNCase{"/mrvn/+multi1/Fluxet/*/Bias/2", {1.0f}, "Fluxet -1 Bias -1 1=1;", false},
        MRVNCase{"/mrvn/+multi2/Fluxet/*/Bias/2", {1.0f}, "", true},
        MRVNCase{"/mrvn/+multi1/3/5", {1.0f}, "", true},
        // The second step lacks its parameter: the first is handed over, then the error.
        MRVNCase{"/mrvn/3/10/4", {0.25f, 0.75f}, "- 3 - 10 0=0.25;", true},
        MRVNCase{"/mrvn/Fluxet/x/Feedback", {0.5f}, "", true},
        MRVNCase{"/mrvn/3x/1", {0.5f}, "", true}, MRVNCase{"/mrvn/", {0.5f}, "", true},
        MRVNCase{"/mrvn/Fluxet", {0.5f}, "", true}, MRVNCase{"/mrvn/3//1", {0.5f}, "", true},
        MRVNCase{"/mrvn/99999999999/1", {0.5f}, "", true},
        // A step without its value: the library's missing-argument error.
        MRVNCase{"/mrvn/1/2/3/4", {0.5f}, "- 1 - 2 0=0.5;", true}));

} // namespace
