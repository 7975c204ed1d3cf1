#include "OSCSeeds.h"

#include <string>

#include <osc/OscOutboundPacketStream.h>

#include "OscTestSupport.h"

namespace MV::fuzz {

namespace {

using MV::test::MessageBuilder;

// Reply addresses in the seeds are ignored by the harness (everything resolves to
// 127.0.0.1), but keep their form.
constexpr const char* kReply = "127.0.0.1:9";

std::vector<char> Bundle(std::initializer_list<std::vector<char>> messages) {
    std::vector<char> packet = {'#', 'b', 'u', 'n', 'd', 'l', 'e', '\0', 0, 0, 0, 0, 0, 0, 0, 1};
    for (const std::vector<char>& message : messages) {
        const auto size = std::uint32_t(message.size());
        packet.push_back(char(size >> 24));
        packet.push_back(char(size >> 16));
        packet.push_back(char(size >> 8));
        packet.push_back(char(size));
        packet.insert(packet.end(), message.begin(), message.end());
    }
    return packet;
}

} // namespace

std::vector<std::vector<char>> OSCSeedPackets() {
    std::vector<std::vector<char>> seeds;
    const auto add = [&](MessageBuilder& builder) { seeds.push_back(builder.Finish()); };
    {
        MessageBuilder m("/ping");
        add(m << kReply << "/r");
    }
    {
        MessageBuilder m("/set");
        add(m << 3 << 0.5f);
    }
    {
        MessageBuilder m("/set");
        add(m << 15 << 5.0f);
    }
    {
        MessageBuilder m("/get");
        add(m << 2 << kReply << "/r");
    }
    {
        MessageBuilder m("/getAll");
        add(m << kReply << "/r");
    }
    {
        MessageBuilder m("/getAllRegistered");
        add(m);
    }
    {
        MessageBuilder m("/getNumParameters");
        add(m << kReply << "/r");
    }
    {
        MessageBuilder m("/isParameterUsed");
        add(m << 1 << kReply << "/r");
    }
    {
        MessageBuilder m("/getInfo");
        add(m << 15 << "osc.udp://127.0.0.1:9/"
              << "/r");
    }
    {
        MessageBuilder m("/registerUpdate");
        add(m << 4 << kReply << "/u");
    }
    {
        MessageBuilder m("/unregisterUpdate");
        add(m << 4 << kReply << "/u");
    }
    {
        MessageBuilder m("/exec");
        add(m << "add" << 1 << 2.5f << true << false << std::monostate{} << "x" << 2.0);
    }
    {
        MessageBuilder m("/exec");
        add(m << "fail");
    }
    {
        MessageBuilder m("/call");
        add(m << "add" << kReply << "/r" << 1 << 2);
    }
    {
        MessageBuilder m("/call");
        add(m << "many" << kReply << "/r"
              << "a"
              << "1.5" << 3);
    }
    {
        MessageBuilder m("/call");
        add(m << "wrong" << kReply << "/r");
    }
    {
        MessageBuilder m("/startNote");
        add(m << 60 << 0.5f);
    }
    {
        MessageBuilder m("/stopNote");
        add(m << 60 << 0.0f);
    }
    {
        MessageBuilder m("/script/echo");
        add(m << 1 << "two" << 3.0f);
    }
    {
        MessageBuilder m("/script/levels");
        add(m << 0.5f << 1.0f);
    }
    {
        MessageBuilder m("/script/feedback");
        add(m << 0.25f);
    }
    {
        MessageBuilder m("/mrvn/Fluxet/2/Feedback");
        add(m << 0.5f);
    }
    {
        MessageBuilder m("/mrvn/+multi1/Fluxet/*/Bias/2");
        add(m << 1.0f);
    }
    {
        MessageBuilder m("/mrvn/3/10/4/0");
        add(m << 0.25f << 0.75f);
    }
    {
        MessageBuilder m("/exec");
        add(m << "add" << osc::Blob("blob", 4) << 1);
    }
    // Found by the fuzzer: a blob whose size runs far past the packet.
    seeds.push_back({'/', 'm',  'r',    'v',    'n',  '/',  '1',    '\0',   ',',  'b',
                     'f', '\0', '\x3e', '\x80', '\0', '\0', '\x3f', '\x40', '\0', '\0'});
    // And one whose address, as the library reads it, ends only at a word's last byte.
    seeds.push_back({'/', 'a',  '\0',   'x',    'y',  'z',  'w',    '\0',   ',',  'f',
                     'b', '\0', '\x3e', '\x80', '\0', '\0', '\x3f', '\x40', '\0', '\0'});
    MessageBuilder frame("/t3d/frm");
    MessageBuilder touch("/t3d/tch3");
    seeds.push_back(
        Bundle({(frame << 1).Finish(), (touch << 0.1f << 0.2f << 0.3f << 60.0f).Finish()}));
    MessageBuilder first("/set");
    MessageBuilder second("/ping");
    seeds.push_back(Bundle({(first << 1 << 2.0f).Finish(), (second << kReply << "/r").Finish()}));
    seeds.push_back(Bundle({Bundle({(MessageBuilder("/getAllRegistered")).Finish()})}));
    return seeds;
}

} // namespace MV::fuzz
