// The address space against the real unit, its server and clients all on 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <plist/plist.h>
#include <sstream>

#include "AudioUnitAPI.h"
#include "FluxetParameters.h"
#include "MrvnFluxet.h"
#include "OscTestSupport.h"
#include "Preferences.h"

namespace {

using namespace MV::test;
using MV::OSCHelper;

class OSCAddressSpace : public ::testing::Test {
protected:
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
    void Deliver(const Packet& packet) { Printed({packet}); }
    float Value(int id) { return unit.Host().GetParameter(AudioUnitParameterID(id)); }
    std::vector<float> Values() {
        std::vector<float> values;
        for (int id = 0; id < 16; ++id) {
            values.push_back(Value(id));
        }
        return values;
    }
    OSCHelper& Server() { return unit.Unit().OSCServer(); }

    ListeningUnit unit;
    OscTestClient client;
    OscTestClient watcher;
};

TEST_F(OSCAddressSpace, RequestsAreAnsweredInABundleAtTheirReplyAddress) {
    unit.Host().SetParameter(kParam_Bias, 12.5f);
    const std::string me = client.Address();
    const std::pair<Packet, std::string> cases[] = {
        {Message("/ping", me, "/r"),
         "#bundle /r ,ss osc.udp://127.0.0.1:" + std::to_string(unit.Port()) + " Fluxet 1.2.1"},
        {Message("/getNumParameters", "osc.udp://" + me + "/", "/r"), "#bundle /r ,i 16"},
        {Message("/get", int(kParam_Bias), me, "/r"), "#bundle /r ,if 9 12.5"},
        {Message("/getInfo", 15, me, "/r"),
         "#bundle /r ,ifffsi 15 0 100 0 OSC Port Offset " + std::to_string(astParamInfos[15].unit)},
        {Message("/isParameterUsed", 4, me, "/r"), "#bundle /r ,iT 4 true"},
    };
    for (const auto& [request, reply] : cases) {
        client.Send(unit.Port(), request);
        EXPECT_EQ(client.Next(), reply);
    }
}

// Global changes only, in order, to every registration ("/getAll" is the interop test's).
TEST_F(OSCAddressSpace, ChangesAndGetAllRegisteredReachEveryRegistrationInOrder) {
    OscTestClient second;
    const int id = kParam_Feedback;
    unit.Host().SetParameter(2, 0.125f);
    Deliver(Message("/registerUpdate", id, watcher.Address(), "/a"));
    Deliver(Message("/registerUpdate", id, second.Address(), "/b"));
    for (const float value : {0.5f, 2.5f, 4.0f}) {
        Deliver(Message("/set", id, value));
        EXPECT_EQ(Value(id), value);
    }
    ASSERT_EQ(unit.Host().SetParameter(id, -42.0f), noErr);
    unit.Host().SetParameter(id, 10.0f, kAudioUnitScope_Input);
    for (const auto& [to, path] : {std::pair{&watcher, "/a"}, std::pair{&second, "/b"}}) {
        for (const char* value : {"0.5", "2.5", "4", "-42"}) {
            EXPECT_EQ(to->Next(), std::string("#bundle ") + path + " ,if 10 " + value);
        }
    }
    Deliver(Message("/registerUpdate", 2, watcher.Address(), "/two"));
    Deliver(Message("/getAllRegistered"));
    EXPECT_EQ(watcher.Next(), "#bundle /two ,if 2 0.125");
    EXPECT_EQ(watcher.Next(), "#bundle /a ,if 10 -42");
    EXPECT_EQ(second.Next(), "#bundle /b ,if 10 -42");
    EXPECT_FALSE(watcher.Receive(200) || second.Receive(0));
}

// A restore bypasses the parameter hook; registered clients still hear each restored value once.
TEST_F(OSCAddressSpace, RestoredValuesReachRegistrations) {
    AudioUnit handle = unit.Host().Unit();
    unit.Host().SetParameter(kParam_Feedback, 12.5f);
    plist_t state = nullptr;
    UInt32 size = sizeof state;
    ASSERT_EQ(AudioUnitGetProperty(handle, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0,
                                   &state, &size),
              noErr);
    Deliver(Message("/registerUpdate", int(kParam_Feedback), watcher.Address(), "/a"));
    unit.Host().SetParameter(kParam_Feedback, 30.0f);
    EXPECT_EQ(watcher.Next(), "#bundle /a ,if 10 30");
    EXPECT_EQ(AudioUnitSetProperty(handle, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0,
                                   &state, sizeof state),
              noErr);
    plist_free(state);
    EXPECT_EQ(watcher.Next(), "#bundle /a ,if 10 12.5");
    EXPECT_FALSE(watcher.Receive(300)) << "heard twice";
}

// A factory preset sets every value through the unit's own set: each registration hears its
// parameter once.
TEST_F(OSCAddressSpace, APresetReachesEachRegistrationOnce) {
    Deliver(Message("/registerUpdate", int(kParam_DryLevel), watcher.Address(), "/d"));
    Deliver(Message("/registerUpdate", int(kParam_Feedback), watcher.Address(), "/f"));
    const AUPreset simpleDelay{10, nullptr};
    ASSERT_EQ(AudioUnitSetProperty(unit.Host().Unit(), kAudioUnitProperty_PresentPreset,
                                   kAudioUnitScope_Global, 0, &simpleDelay, sizeof simpleDelay),
              noErr);
    EXPECT_EQ(watcher.Next(), "#bundle /d ,if 0 1");
    EXPECT_EQ(watcher.Next(), "#bundle /f ,if 10 71");
    EXPECT_FALSE(watcher.Receive(300)) << "heard twice";
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
    };
    for (const std::string address :
         {"/set", "/get", "/getInfo", "/isParameterUsed", "/registerUpdate", "/unregisterUpdate"}) {
        for (const int id : {16, -1}) {
            cases.emplace_back(address == "/set" ? Message("/set", id, 0.5f)
                                                 : Message(address.c_str(), id, to, "/r"),
                               address + ": parameter id out of range in " + address.substr(1));
        }
    }
    const std::vector<float> before = Values();
    for (const auto& [packet, text] : cases) {
        EXPECT_EQ(Printed({packet}), "error while parsing message: " + text + "\n");
    }
    // "/mrvn/" addresses go to the tracker, where no instance is registered in this test.
    EXPECT_EQ(Printed({Message("/mrvn/Fluxet/1/Feedback", 50.0f)}), "");
    EXPECT_EQ(Values(), before);
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

// One address that requests come from holds at most 64 registrations, and the server at most
// 1024 over all (requests of other hosts handed over directly; nothing is ever sent to them).
TEST_F(OSCAddressSpace, RegistrationsAreBoundedPerSenderAndInTotal) {
    const auto registerFrom = [&](unsigned long host, int i) {
        const std::string address = OSCHelper::EndpointText(IpEndpointName(host, 9));
        const Packet packet = Message("/registerUpdate", i % 16, address, "/r" + std::to_string(i));
        Server().ProcessPacket(packet.data(), int(packet.size()), IpEndpointName(host, 9));
    };
    for (std::size_t i = 0; i < OSCHelper::kMaxUpdateRegistrationsPerSender; ++i) {
        client.Send(unit.Port(), Message("/registerUpdate", int(i % 16), client.Address(),
                                         "/r" + std::to_string(i)));
    }
    EXPECT_EQ(Printed({Message("/registerUpdate", 3, client.Address(), "/more")}),
              "error while parsing message: /registerUpdate: too many update registrations from "
              "this address\n");
    for (unsigned long host = 0x7F000101; host < 0x7F000110; ++host) { // 127.0.1.1 to .15
        for (std::size_t i = 0; i < OSCHelper::kMaxUpdateRegistrationsPerSender; ++i) {
            registerFrom(host, int(i));
        }
    }
    EXPECT_EQ(Server().UpdateRegistrations().size(), OSCHelper::kMaxUpdateRegistrations);
    ::testing::internal::CaptureStdout();
    registerFrom(0x7F000110, 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "error while parsing message: /registerUpdate: too many update registrations\n");
    // Removing one makes room again.
    Deliver(Message("/unregisterUpdate", 0, client.Address(), "/r0"));
    Deliver(Message("/registerUpdate", 3, client.Address(), "/more"));
    EXPECT_EQ(Server().UpdateRegistrations(3).back().second.path, "/more");
}

// Answers and registrations go only to the address a request came from (any port), unless the
// preference "OSC Reply To Other Hosts" opens them; reply addresses are never looked up by
// name. 0.0.0.0 is another address that the system delivers on this computer.
TEST_F(OSCAddressSpace, RepliesGoOnlyToTheRequesterUnlessThePreferenceSaysOtherwise) {
    static std::atomic<int> lookups{0};
    OSCHelper::SetHostResolver([](const char*) -> unsigned long {
        ++lookups;
        return 0x7F000001;
    });
    const std::string port = client.Address().substr(client.Address().find(':'));
    const struct {
        int open;
        const char* host;
        bool answered;
    } cases[] = {{0, "127.0.0.1", true},
                 {0, "localhost", true},
                 {0, "0.0.0.0", false},
                 {0, "fluxet-test.invalid", false},
                 {1, "0.0.0.0", true}};
    unit.Host().SetParameter(4, 100.0f);
    int open = 0;
    int path = 0;
    for (const auto& c : cases) {
        if (c.open != open) {
            open = c.open;
            SetPrefInt(kPrefOSCReplyToOtherHosts, open);
            ASSERT_EQ(AudioUnitUninitialize(unit.Host().Unit()), noErr);
            ASSERT_EQ(unit.Host().Initialize(), noErr);
            ASSERT_TRUE(unit.MoveTo(5));
        }
        const std::string to = c.host + port;
        const std::string changed = "/changed" + std::to_string(++path);
        const float value = 200.0f + float(path);
        ::testing::internal::CaptureStdout();
        client.Send(unit.Port(), Message("/get", 4, to, "/value"));
        client.Send(unit.Port(), Message("/registerUpdate", 4, to, changed));
        client.Send(unit.Port(), Message("/set", 4, value));
        if (c.answered) {
            EXPECT_EQ(client.Next(), "#bundle /value ,if 4 100") << to;
            EXPECT_EQ(client.Next(), "#bundle " + changed + " ,if 4 " + std::to_string(200 + path))
                << to;
        }
        const bool handled = PingRoundTrip(client, unit.Port());
        const std::string printed = ::testing::internal::GetCapturedStdout();
        ASSERT_TRUE(handled) << printed;
        const std::string refused = ": reply address is not the sender's address\n";
        EXPECT_EQ(printed, c.answered
                               ? ""
                               : "error while parsing message: /get" + refused +
                                     "error while parsing message: /registerUpdate" + refused)
            << to;
        const auto registrations = Server().UpdateRegistrations(4);
        EXPECT_EQ(std::count_if(registrations.begin(), registrations.end(),
                                [&](const auto& entry) { return entry.second.path == changed; }),
                  c.answered ? 1 : 0)
            << to;
        // Unregistered first: the value set back must not reach the next case's registration.
        Deliver(Message("/unregisterUpdate", 4, to, changed));
        unit.Host().SetParameter(4, 100.0f);
    }
    EXPECT_EQ(lookups.load(), 0);
    OSCHelper::SetHostResolver(nullptr);
}

// Nested bundles in order; an error in one element does not stop the rest.
TEST_F(OSCAddressSpace, BundlesAreHandledInOrder) {
    const std::string printed = Printed(
        {Message("/nobody/here"), Bundle({Message("/set", 1, 2.0f), Message("/set", 99, 1.0f),
                                          Bundle({Message("/set", 1, 3.0f)})})});
    EXPECT_EQ(printed, "error while parsing message: /set: parameter id out of range in set\n");
    EXPECT_EQ(Value(1), 3.0f);
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
}

// Cut-short packets and lying bundle sizes never stop the server (random bytes: fuzz replay).
TEST_F(OSCAddressSpace, MalformedPacketsAreReportedAndTheServerKeepsAnswering) {
    std::vector<Packet> packets;
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
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("osc::Exception in TaskMain(): "),
              std::string::npos);
    EXPECT_TRUE(answered);
    EXPECT_EQ(Server().BoundPort(), unit.Port());
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(PingRoundTrip(client, unit.Port()));
    }
}

// The library's decoder would read a blob past the packet's end: such packets are refused.
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

// The steps handed to the tracker, "name number parameter index offset=value;", then the error.
TEST(MRVNParsing, HandsEachStepToTheTrackerAsSoonAsItIsParsed) {
    const struct {
        const char* address;
        bool pair;
        const char* steps;
    } cases[] = {
        {"/mrvn/Fluxet/2/Feedback", false, "Fluxet 2 Feedback -1 0=0.25;"},
        {"/mrvn/3/10/4/0", true, "- 3 - 10 0=0.25;- 4 - 0 0=0.75;"},
        {"/mrvn/+multi1/Fluxet/*/Bias/2", false, "Fluxet -1 Bias -1 1=0.25;"},
        {"/mrvn/+multi2/Fluxet/*/Bias/2", false, "refused"},
        // The second step lacks its parameter: the first is handed over, then the error.
        {"/mrvn/3/10/4", true, "- 3 - 10 0=0.25;refused"},
        {"/mrvn/Fluxet/x/Feedback", false, "refused"},
        {"/mrvn/3//1", false, "refused"},
        {"/mrvn/99999999999/1", false, "refused"},
        // A step without its value: the library's missing-argument error.
        {"/mrvn/1/2/3/4", false, "- 1 - 2 0=0.25;missing argument"},
    };
    for (const auto& c : cases) {
        const Packet packet = c.pair ? Message(c.address, 0.25f, 0.75f) : Message(c.address, 0.25f);
        const auto name = [](const char* text) { return text != nullptr ? text : "-"; };
        std::ostringstream steps;
        try {
            OSCHelper::ProcessMRVNMessage(
                osc::ReceivedMessage(osc::ReceivedPacket(packet.data(), packet.size())),
                [&](const MrvnOSCMessage& m, Float32 value) {
                    steps << name(m.instanceName) << ' ' << m.instanceNumber << ' '
                          << name(m.parameterName) << ' ' << m.parameterIndex << ' '
                          << m.parameterOffset << '=' << value << ';';
                });
        } catch (const MV::OSCMessageError& error) {
            steps << (std::string(error.what()) == c.address ? "refused" : error.what());
        } catch (const osc::Exception& error) {
            steps << error.what();
        }
        EXPECT_EQ(steps.str(), c.steps) << c.address;
    }
}

} // namespace
