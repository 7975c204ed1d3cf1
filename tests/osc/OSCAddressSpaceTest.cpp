// The address space against the real unit: a server listening on 127.0.0.1, clients that send
// packets from 127.0.0.1 and read the replies sent back there.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "FluxetParameters.h"
#include "MrvnFluxet.h"
#include "OscTestSupport.h"

namespace {

using MV::OSCHelper;
using MV::test::ListeningUnit;
using MV::test::MessageBuilder;
using MV::test::OscReply;
using MV::test::OscTestClient;
using MV::test::Packet;
using MV::test::PingRoundTrip;

std::string Text(const MV::test::OscValue& value) {
    return std::get<std::string>(value);
}
int Int(const MV::test::OscValue& value) {
    return std::get<std::int32_t>(value);
}
float Float(const MV::test::OscValue& value) {
    return std::get<float>(value);
}

class OSCAddressSpace : public ::testing::Test {
protected:
    // Sends a packet and waits until the server has handled it.
    void Deliver(const Packet& packet) {
        client.Send(unit.Port(), packet);
        ASSERT_TRUE(PingRoundTrip(client, unit.Port()));
    }
    // The standard output the server printed while `action` ran (and its packets were handled).
    template <class Action> std::string Printed(Action action) {
        ::testing::internal::CaptureStdout();
        action();
        EXPECT_TRUE(PingRoundTrip(client, unit.Port()));
        return ::testing::internal::GetCapturedStdout();
    }
    float Value(int id) { return unit.Host().GetParameter(AudioUnitParameterID(id)); }
    OSCHelper& Server() { return unit.Unit().OSCServer(); }

    ListeningUnit unit;
    OscTestClient client;
};

TEST_F(OSCAddressSpace, PingAnswersWithTheServerUrlAndTheProductVersion) {
    client.Send(unit.Port(), (MessageBuilder("/ping") << client.Address() << "/pong").Finish());
    const std::optional<OscReply> reply = client.ReceiveReply();
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->inBundle);
    EXPECT_EQ(reply->address, "/pong");
    ASSERT_EQ(reply->types, "ss");
    EXPECT_EQ(Text(reply->args[0]), "osc.udp://127.0.0.1:" + std::to_string(unit.Port()));
    EXPECT_EQ(Text(reply->args[1]), "Fluxet 1.2.1");
}

TEST_F(OSCAddressSpace, ReplyAddressesAcceptTheUrlFormAndTrailingSlash) {
    const std::string url = "osc.udp://" + client.Address() + "/";
    client.Send(unit.Port(), (MessageBuilder("/getNumParameters") << url << "/n").Finish());
    const std::optional<OscReply> reply = client.ReceiveReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->address, "/n");
    ASSERT_EQ(reply->types, "i");
    EXPECT_EQ(Int(reply->args[0]), 16);
}

TEST_F(OSCAddressSpace, SetChangesTheParameterAndNotifiesARegisteredClient) {
    OscTestClient watcher;
    Deliver((MessageBuilder("/registerUpdate") << 3 << watcher.Address() << "/changed").Finish());
    Deliver((MessageBuilder("/set") << 3 << 0.5f).Finish());
    EXPECT_FLOAT_EQ(Value(3), 0.5f);
    const std::optional<OscReply> note = watcher.ReceiveReply();
    ASSERT_TRUE(note);
    EXPECT_TRUE(note->inBundle);
    EXPECT_EQ(note->address, "/changed");
    ASSERT_EQ(note->types, "if");
    EXPECT_EQ(Int(note->args[0]), 3);
    EXPECT_FLOAT_EQ(Float(note->args[1]), 0.5f);
}

TEST_F(OSCAddressSpace, SetWithTwoFloatsIsAWrongTypeAndChangesNothing) {
    const float before = Value(3);
    const std::string printed = Printed(
        [&] { client.Send(unit.Port(), (MessageBuilder("/set") << 3.0f << 0.25f).Finish()); });
    EXPECT_EQ(Value(3), before);
    EXPECT_NE(printed.find("error while parsing message: /set: wrong argument type\n"),
              std::string::npos)
        << printed;
}

// Every fixed address that takes an id refuses 16 and -1 with its own text, and the server
// goes on answering.
struct OutOfRangeCase {
    const char* address;
    bool withReply;
    const char* text;
};

class OSCIdRange : public OSCAddressSpace, public ::testing::WithParamInterface<OutOfRangeCase> {};

TEST_P(OSCIdRange, AnIdOutsideTheTableIsReportedAndTheServerGoesOn) {
    const OutOfRangeCase& c = GetParam();
    for (const int id : {16, -1}) {
        const std::string printed = Printed([&] {
            MessageBuilder message(c.address);
            message << id;
            if (c.withReply) {
                message << client.Address() << "/r";
            } else {
                message << 0.5f;
            }
            client.Send(unit.Port(), message.Finish());
        });
        EXPECT_NE(printed.find(std::string("error while parsing message: ") + c.address + ": " +
                               c.text + "\n"),
                  std::string::npos)
            << printed;
    }
    EXPECT_FALSE(client.Receive(0)) << "no reply to a refused request";
}

INSTANTIATE_TEST_SUITE_P(
    FixedAddresses, OSCIdRange,
    ::testing::Values(
        OutOfRangeCase{"/set", false, "parameter id out of range in set"},
        OutOfRangeCase{"/get", true, "parameter id out of range in get"},
        OutOfRangeCase{"/getInfo", true, "parameter id out of range in getInfo"},
        OutOfRangeCase{"/isParameterUsed", true, "parameter id out of range in isParameterUsed"},
        OutOfRangeCase{"/registerUpdate", true, "parameter id out of range in registerUpdate"},
        OutOfRangeCase{"/unregisterUpdate", true,
                       "parameter id out of range in unregisterUpdate"}));

TEST_F(OSCAddressSpace, ArgumentCountsAreExact) {
    const std::string printed = Printed([&] {
        client.Send(unit.Port(), (MessageBuilder("/set") << 3).Finish());
        client.Send(unit.Port(), (MessageBuilder("/set") << 3 << 0.5f << 1).Finish());
        client.Send(unit.Port(), (MessageBuilder("/getAllRegistered") << 1).Finish());
    });
    EXPECT_NE(printed.find("error while parsing message: /set: missing argument\n"),
              std::string::npos);
    EXPECT_NE(printed.find("error while parsing message: /set: too many arguments\n"),
              std::string::npos);
    EXPECT_NE(printed.find("error while parsing message: /getAllRegistered: too many arguments\n"),
              std::string::npos);
}

TEST_F(OSCAddressSpace, RegisteringTwiceKeepsOneRegistrationAndUnregisteringClearsTheFlag) {
    OscTestClient watcher;
    const Packet registration =
        (MessageBuilder("/registerUpdate") << 7 << watcher.Address() << "/seven").Finish();
    Deliver(registration);
    Deliver(registration);
    ASSERT_EQ(Server().UpdateRegistrations(7).size(), 1u);
    EXPECT_TRUE(Server().UpdateFlag(7));

    // Another path for the same client is a registration of its own.
    Deliver((MessageBuilder("/registerUpdate") << 7 << watcher.Address() << "/other").Finish());
    EXPECT_EQ(Server().UpdateRegistrations(7).size(), 2u);

    Deliver((MessageBuilder("/unregisterUpdate") << 7 << watcher.Address() << "/seven").Finish());
    EXPECT_EQ(Server().UpdateRegistrations(7).size(), 1u);
    EXPECT_TRUE(Server().UpdateFlag(7));
    Deliver((MessageBuilder("/unregisterUpdate") << 7 << watcher.Address() << "/other").Finish());
    EXPECT_TRUE(Server().UpdateRegistrations(7).empty());
    EXPECT_FALSE(Server().UpdateFlag(7));

    Deliver((MessageBuilder("/set") << 7 << 0.75f).Finish());
    EXPECT_FALSE(watcher.Receive(200)) << "nothing is sent after unregistering";
}

TEST_F(OSCAddressSpace, RegistrationsAreBoundedSoNobodyCanFillTheMemory) {
    for (std::size_t i = 0; i < OSCHelper::kMaxUpdateRegistrations; ++i) {
        client.Send(unit.Port(), (MessageBuilder("/registerUpdate")
                                  << int(i % 16) << client.Address() << "/r" + std::to_string(i))
                                     .Finish());
        if (i % 64 == 63) {
            ASSERT_TRUE(PingRoundTrip(client, unit.Port())); // no more than the socket holds
        }
    }
    const std::string printed = Printed([&] {
        client.Send(
            unit.Port(),
            (MessageBuilder("/registerUpdate") << 3 << client.Address() << "/more").Finish());
    });
    EXPECT_NE(printed.find("error while parsing message: /registerUpdate: too many update "
                           "registrations\n"),
              std::string::npos)
        << printed;
    EXPECT_EQ(Server().UpdateRegistrations().size(), OSCHelper::kMaxUpdateRegistrations);
    // Removing one makes room again.
    Deliver((MessageBuilder("/unregisterUpdate") << 0 << client.Address() << "/r0").Finish());
    Deliver((MessageBuilder("/registerUpdate") << 3 << client.Address() << "/more").Finish());
    EXPECT_EQ(Server().UpdateRegistrations(3).back().second.path, "/more");
}

TEST_F(OSCAddressSpace, TwoRegistrationsForOneParameterEachGetEveryChangeInOrder) {
    OscTestClient first;
    OscTestClient second;
    Deliver((MessageBuilder("/registerUpdate") << 1 << first.Address() << "/a").Finish());
    Deliver((MessageBuilder("/registerUpdate") << 1 << second.Address() << "/b").Finish());
    const float values[] = {1.0f, 2.5f, 4.0f};
    for (const float value : values) {
        Deliver((MessageBuilder("/set") << 1 << value).Finish());
    }
    for (OscTestClient* watcher : {&first, &second}) {
        for (const float value : values) {
            const std::optional<OscReply> note = watcher->ReceiveReply();
            ASSERT_TRUE(note);
            EXPECT_EQ(note->address, watcher == &first ? "/a" : "/b");
            EXPECT_FLOAT_EQ(Float(note->args[1]), value);
        }
    }
}

TEST_F(OSCAddressSpace, HostChangesReachRegisteredClientsToo) {
    OscTestClient watcher;
    Deliver(
        (MessageBuilder("/registerUpdate") << int(kParam_Feedback) << watcher.Address() << "/fb")
            .Finish());
    ASSERT_EQ(unit.Host().SetParameter(kParam_Feedback, -42.0f), noErr);
    const std::optional<OscReply> note = watcher.ReceiveReply();
    ASSERT_TRUE(note);
    EXPECT_EQ(Int(note->args[0]), int(kParam_Feedback));
    EXPECT_FLOAT_EQ(Float(note->args[1]), -42.0f);
    // A change in another scope is not the global parameter and is not reported.
    unit.Host().SetParameter(kParam_Feedback, 10.0f, kAudioUnitScope_Input);
    EXPECT_FALSE(watcher.Receive(200));
}

TEST_F(OSCAddressSpace, GetAnswersTheCurrentValue) {
    unit.Host().SetParameter(kParam_Bias, 12.5f);
    client.Send(unit.Port(),
                (MessageBuilder("/get") << int(kParam_Bias) << client.Address() << "/v").Finish());
    const std::optional<OscReply> reply = client.ReceiveReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->address, "/v");
    ASSERT_EQ(reply->types, "if");
    EXPECT_EQ(Int(reply->args[0]), int(kParam_Bias));
    EXPECT_FLOAT_EQ(Float(reply->args[1]), 12.5f);
}

TEST_F(OSCAddressSpace, GetAllAnswersEveryParameterInOrder) {
    unit.Host().SetParameter(kParam_DryLevel, 0.25f);
    client.Send(unit.Port(), (MessageBuilder("/getAll") << client.Address() << "/all").Finish());
    for (int id = 0; id < 16; ++id) {
        const std::optional<OscReply> reply = client.ReceiveReply();
        ASSERT_TRUE(reply) << id;
        EXPECT_EQ(reply->address, "/all");
        ASSERT_EQ(reply->types, "if");
        EXPECT_EQ(Int(reply->args[0]), id);
        EXPECT_FLOAT_EQ(Float(reply->args[1]), Value(id));
    }
    EXPECT_FALSE(client.Receive(200));
}

TEST_F(OSCAddressSpace, GetInfoDescribesTheParameterFromTheTable) {
    client.Send(unit.Port(),
                (MessageBuilder("/getInfo") << 15 << client.Address() << "/info").Finish());
    const std::optional<OscReply> reply = client.ReceiveReply();
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->types, "ifffsi");
    EXPECT_EQ(Int(reply->args[0]), 15);
    EXPECT_EQ(Float(reply->args[1]), 0.0f);
    EXPECT_EQ(Float(reply->args[2]), 100.0f);
    EXPECT_EQ(Float(reply->args[3]), 0.0f);
    EXPECT_EQ(Text(reply->args[4]), "OSC Port Offset");
    EXPECT_EQ(Int(reply->args[5]), int(astParamInfos[15].unit));
}

TEST_F(OSCAddressSpace, IsParameterUsedAnswersTrueWithTheId) {
    client.Send(unit.Port(),
                (MessageBuilder("/isParameterUsed") << 4 << client.Address() << "/u").Finish());
    const std::optional<OscReply> reply = client.ReceiveReply();
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->types, "iT");
    EXPECT_EQ(Int(reply->args[0]), 4);
}

TEST_F(OSCAddressSpace, GetAllRegisteredSendsEachRegistrationItsCurrentValue) {
    OscTestClient watcher;
    Deliver((MessageBuilder("/registerUpdate") << 9 << watcher.Address() << "/nine").Finish());
    Deliver((MessageBuilder("/registerUpdate") << 2 << watcher.Address() << "/two").Finish());
    unit.Host().SetParameter(2, 0.125f);
    unit.Host().SetParameter(9, 3.0f);
    // The two change notifications first.
    ASSERT_TRUE(watcher.ReceiveReply());
    ASSERT_TRUE(watcher.ReceiveReply());

    Deliver(MessageBuilder("/getAllRegistered").Finish());
    const std::optional<OscReply> first = watcher.ReceiveReply();
    const std::optional<OscReply> second = watcher.ReceiveReply();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->address, "/two") << "in parameter order";
    EXPECT_FLOAT_EQ(Float(first->args[1]), 0.125f);
    EXPECT_EQ(second->address, "/nine");
    EXPECT_FLOAT_EQ(Float(second->args[1]), 3.0f);
}

TEST_F(OSCAddressSpace, ARegistrationPathTooLongForANotificationIsRefused) {
    const std::string path = "/" + std::string(1100, 'x');
    const std::string printed = Printed([&] {
        client.Send(unit.Port(),
                    (MessageBuilder("/registerUpdate") << 3 << client.Address() << path).Finish());
    });
    EXPECT_NE(printed.find("error while parsing message: /registerUpdate: "), std::string::npos);
    EXPECT_TRUE(Server().UpdateRegistrations(3).empty());
}

TEST_F(OSCAddressSpace, UnknownAddressesAndBundlesOfMessagesAreHandledInOrder) {
    MessageBuilder ignored("/nobody/here");
    Deliver(ignored.Finish());

    // An ordinary bundle: each element in order, a nested bundle included; an error in one
    // element does not stop the others.
    std::vector<char> buffer(2048);
    osc::OutboundPacketStream bundle(buffer.data(), buffer.size());
    bundle << osc::BeginBundleImmediate << osc::BeginMessage("/set") << osc::int32(1) << 2.0f
           << osc::EndMessage << osc::BeginMessage("/set") << osc::int32(99) << 1.0f
           << osc::EndMessage << osc::BeginBundleImmediate << osc::BeginMessage("/set")
           << osc::int32(1) << 3.0f << osc::EndMessage << osc::EndBundle << osc::EndBundle;
    const std::string printed =
        Printed([&] { client.Send(unit.Port(), bundle.Data(), bundle.Size()); });
    EXPECT_NE(printed.find("parameter id out of range in set"), std::string::npos);
    EXPECT_FLOAT_EQ(Value(1), 3.0f);
    const std::vector<std::string> recent = Server().RecentMessages();
    ASSERT_GE(recent.size(), 3u);
    EXPECT_NE(recent[0].find("/ping"), std::string::npos) << "the newest first";
}

TEST_F(OSCAddressSpace, TouchFramesFillTheTouchTableAndIgnoreTouchesBeyondSixteen) {
    for (auto& touch : MV::gSoundplaneData) {
        touch.active.store(0);
        for (auto& v : touch.values) {
            v.store(0.0f);
        }
    }
    std::vector<char> buffer(2048);
    osc::OutboundPacketStream frame(buffer.data(), buffer.size());
    frame << osc::BeginBundleImmediate << osc::BeginMessage("/t3d/frm") << osc::int32(1)
          << osc::EndMessage << osc::BeginMessage("/t3d/tch3") << 0.1f << 0.2f << 0.3f << 60.0f
          << osc::EndMessage << osc::BeginMessage("/t3d/tch17") << 1.0f << 1.0f << 1.0f << 1.0f
          << osc::EndMessage << osc::BeginMessage("/set") << osc::int32(2) << 5.0f
          << osc::EndMessage << osc::EndBundle;
    const float before = Value(2);
    client.Send(unit.Port(), frame.Data(), frame.Size());
    ASSERT_TRUE(PingRoundTrip(client, unit.Port()));

    const MV::SoundplaneTouch& touch = MV::gSoundplaneData[2];
    EXPECT_EQ(touch.active.load(), 1);
    EXPECT_FLOAT_EQ(touch.values[0].load(), 0.1f);
    EXPECT_FLOAT_EQ(touch.values[1].load(), 0.2f);
    EXPECT_FLOAT_EQ(touch.values[2].load(), 0.3f);
    EXPECT_FLOAT_EQ(touch.values[3].load(), 60.0f);
    for (int i = 0; i < MV::kNumSoundplaneTouches; ++i) {
        if (i != 2) {
            EXPECT_EQ(MV::gSoundplaneData[i].active.load(), 0) << i;
            EXPECT_EQ(MV::gSoundplaneData[i].values[0].load(), 0.0f) << i;
        }
    }
    EXPECT_EQ(Value(2), before) << "other messages of a touch frame are not dispatched";

    // A touch whose third value is not above zero is inactive; a short touch ends the frame.
    std::vector<char> second(2048);
    osc::OutboundPacketStream lift(second.data(), second.size());
    lift << osc::BeginBundleImmediate << osc::BeginMessage("/t3d/frm") << osc::EndMessage
         << osc::BeginMessage("/t3d/tch3") << 0.5f << 0.5f << 0.0f << 61.0f << osc::EndMessage
         << osc::BeginMessage("/t3d/tch4") << 0.5f << osc::EndMessage
         << osc::BeginMessage("/t3d/tch5") << 0.5f << 0.5f << 0.5f << 0.5f << osc::EndMessage
         << osc::EndBundle;
    const std::string printed =
        Printed([&] { client.Send(unit.Port(), lift.Data(), lift.Size()); });
    EXPECT_EQ(touch.active.load(), 0);
    EXPECT_FLOAT_EQ(touch.values[3].load(), 61.0f);
    EXPECT_NE(printed.find("error while parsing message: missing argument\n"), std::string::npos)
        << printed;
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
    const Packet whole = (MessageBuilder("/set") << 3 << 0.5f).Finish();
    for (std::size_t length = 1; length < whole.size(); ++length) {
        packets.emplace_back(whole.begin(), whole.begin() + std::ptrdiff_t(length));
    }
    Packet bundle = (MessageBuilder("/set", true) << 3 << 0.5f).Finish();
    bundle[19] = 0x7f; // an element size far beyond the packet
    packets.push_back(bundle);
    Packet wraps = bundle; // 0xfffffffc: the decoder's step past it wraps to nothing
    wraps[16] = wraps[17] = wraps[18] = char(0xff);
    wraps[19] = char(0xfc);
    packets.push_back(wraps);
    packets.push_back(Packet{'#', 'b', 'u', 'n', 'd', 'l', 'e', '\0'});

    const std::string printed = Printed([&] {
        for (const Packet& packet : packets) {
            client.Send(unit.Port(), packet);
        }
    });
    EXPECT_NE(printed.find("osc::Exception in TaskMain(): "), std::string::npos);
    EXPECT_EQ(Server().BoundPort(), unit.Port());
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(PingRoundTrip(client, unit.Port()));
    }
}

// The library's decoder does not check blob sizes: a blob said to run past the packet would
// be read from beyond it. Such packets are refused whole, with the decoder's error.
TEST_F(OSCAddressSpace, BlobsThatRunPastThePacketAreRefused) {
    Packet blob = (MessageBuilder("/nobody") << osc::Blob("abcd", 4)).Finish();
    ASSERT_EQ(blob.size(), 20u); // "/nobody\0" ",b\0\0" size "abcd"
    Packet huge = blob;
    huge[12] = char(0x7f); // size 0x7f000004
    Packet beyondByOne = blob;
    beyondByOne[15] = 5; // five bytes, padded to eight: four past the end
    const Packet noSize(blob.begin(), blob.begin() + 12);
    Packet inBundle = (MessageBuilder("/nobody", true) << osc::Blob("abcd", 4)).Finish();
    inBundle[inBundle.size() - 8] = char(0x40);

    // The decoder looks for a string's end only at the last byte of each word: for it this
    // address runs to byte 7, and the type tags ",fb" follow.
    const Packet early = {'/', 'a',  '\0',   'x',    'y',  'z',  'w',    '\0',   ',',  'f',
                          'b', '\0', '\x3e', '\x80', '\0', '\0', '\x3f', '\x40', '\0', '\0'};
    for (const Packet* packet :
         std::initializer_list<const Packet*>{&huge, &beyondByOne, &noSize, &inBundle, &early}) {
        const std::string printed = Printed([&] { client.Send(unit.Port(), *packet); });
        EXPECT_NE(printed.find("osc::Exception in TaskMain(): arguments exceed message size\n"),
                  std::string::npos)
            << printed;
    }
    // A blob that fits is an ordinary argument (here one that script calls refuse).
    const std::string printed = Printed([&] {
        client.Send(unit.Port(), blob);
        client.Send(unit.Port(), (MessageBuilder("/exec") << "f" << osc::Blob("ab", 2)).Finish());
    });
    EXPECT_EQ(printed.find("osc::Exception"), std::string::npos) << printed;
    EXPECT_NE(Server().RecentMessages()[2].find("/nobody"), std::string::npos);
}

TEST_F(OSCAddressSpace, TheRecentListKeepsTheLastFiveMessages) {
    for (int i = 0; i < 7; ++i) {
        client.Send(unit.Port(), (MessageBuilder("/nobody") << i).Finish());
    }
    ASSERT_TRUE(PingRoundTrip(client, unit.Port()));
    const std::vector<std::string> recent = Server().RecentMessages();
    ASSERT_EQ(recent.size(), 5u);
    EXPECT_NE(recent[0].find("/ping"), std::string::npos);
    EXPECT_NE(recent[1].find("/nobody"), std::string::npos);
    EXPECT_NE(recent[1].find('6'), std::string::npos);
    EXPECT_NE(recent[4].find('3'), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// "/mrvn/" addresses, parsed without a server: the records the tracker would receive.

struct MRVNRecord {
    std::string instanceName; // "" for none
    int instanceNumber;
    std::string parameterName; // "" for none
    int parameterIndex;
    int parameterOffset;
    float value;
    bool operator==(const MRVNRecord&) const = default;
};

std::ostream& operator<<(std::ostream& out, const MRVNRecord& r) {
    return out << "{" << r.instanceName << "," << r.instanceNumber << "," << r.parameterName << ","
               << r.parameterIndex << "," << r.parameterOffset << "," << r.value << "}";
}

struct MRVNCase {
    const char* address;
    std::vector<float> values;
    std::vector<MRVNRecord> records; // handed over, in order
    bool fails;
};

class MRVNParsing : public ::testing::TestWithParam<MRVNCase> {};

TEST_P(MRVNParsing, HandsEachStepToTheTrackerAsSoonAsItIsParsed) {
    const MRVNCase& c = GetParam();
    MessageBuilder builder(c.address);
    for (const float value : c.values) {
        builder << value;
    }
    const Packet packet = builder.Finish();
    const osc::ReceivedPacket received(packet.data(), packet.size());
    const osc::ReceivedMessage message(received);

    std::vector<MRVNRecord> records;
    bool failed = false;
    try {
        OSCHelper::ProcessMRVNMessage(message, [&](const MrvnOSCMessage& m, Float32 value) {
            records.push_back({m.instanceName != nullptr ? m.instanceName : "", m.instanceNumber,
                               m.parameterName != nullptr ? m.parameterName : "", m.parameterIndex,
                               m.parameterOffset, value});
        });
    } catch (const MV::OSCMessageError& error) {
        failed = true;
        EXPECT_STREQ(error.what(), c.address) << "the error text is the address";
    } catch (const osc::Exception&) {
        failed = true;
    }
    EXPECT_EQ(failed, c.fails);
    EXPECT_EQ(records, c.records);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, MRVNParsing,
    ::testing::Values(
        MRVNCase{
            "/mrvn/Fluxet/2/Feedback", {0.5f}, {{"Fluxet", 2, "Feedback", -1, 0, 0.5f}}, false},
        MRVNCase{"/mrvn/3/10/4/0",
                 {0.25f, 0.75f},
                 {{"", 3, "", 10, 0, 0.25f}, {"", 4, "", 0, 0, 0.75f}},
                 false},
        MRVNCase{
            "/mrvn/+multi1/Fluxet/*/Bias/2", {1.0f}, {{"Fluxet", -1, "Bias", -1, 1, 1.0f}}, false},
        MRVNCase{"/mrvn/+multi2/Fluxet/*/Bias/2", {1.0f}, {}, true},
        MRVNCase{"/mrvn/+multi1/3/5", {1.0f}, {}, true},
        // The second step lacks its parameter: the first is handed over, then the error.
        MRVNCase{"/mrvn/3/10/4", {0.25f, 0.75f}, {{"", 3, "", 10, 0, 0.25f}}, true},
        MRVNCase{"/mrvn/Fluxet/x/Feedback", {0.5f}, {}, true},
        MRVNCase{"/mrvn/3x/1", {0.5f}, {}, true}, MRVNCase{"/mrvn/", {0.5f}, {}, true},
        MRVNCase{"/mrvn/Fluxet", {0.5f}, {}, true}, MRVNCase{"/mrvn/3//1", {0.5f}, {}, true},
        MRVNCase{"/mrvn/99999999999/1", {0.5f}, {}, true},
        // A step without its value: the library's missing-argument error.
        MRVNCase{"/mrvn/1/2/3/4", {0.5f}, {{"", 1, "", 2, 0, 0.5f}}, true}));

TEST_F(OSCAddressSpace, MRVNAddressesAreReportedWithTheirAddressAndSetNothingHere) {
    const float before = Value(kParam_Feedback);
    const std::string printed = Printed([&] {
        client.Send(unit.Port(), (MessageBuilder("/mrvn/Fluxet/1/Feedback") << 50.0f).Finish());
        client.Send(unit.Port(), (MessageBuilder("/mrvn/+bad/1/1") << 1.0f).Finish());
    });
    EXPECT_EQ(Value(kParam_Feedback), before) << "no instance is registered with the tracker";
    EXPECT_NE(printed.find("error while parsing message: /mrvn/+bad/1/1: /mrvn/+bad/1/1\n"),
              std::string::npos)
        << printed;
    EXPECT_EQ(printed.find("/mrvn/Fluxet/1/Feedback"), std::string::npos);
}

// Without scripts the script calls have nothing to call.
TEST_F(OSCAddressSpace, ExecOfANameThatIsNoScriptFunctionFails) {
    const std::string printed = Printed([&] {
        client.Send(unit.Port(), (MessageBuilder("/exec") << "noSuchFunction").Finish());
        client.Send(unit.Port(), (MessageBuilder("/exec") << "print"
                                                          << "hello")
                                     .Finish());
    });
    EXPECT_NE(printed.find("error while parsing message: /exec: failed to exec function\n"),
              std::string::npos)
        << printed;
    EXPECT_EQ(printed.find("hello"), std::string::npos) << "print is a C function";
}

} // namespace
