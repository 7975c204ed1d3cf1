// Control sequences into the LV2 plug-in's run(), through the in-process binding: MIDI events
// and patch:Set, patch:Get and time:Position objects, well-formed and malformed, at any frame,
// and now and then a state restore. The sequence sits in memory of exactly its size (so that a
// read past its end is caught); the output stays finite and the notifications fit their port.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/midi/midi.h>
#include <lv2/options/options.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>

#include "AudioUnitAPI.h"
#include "FuzzSupport.h"
#include "MrvnFluxet.h"
#include "MrvnFluxetLV2.h"

namespace MV::fuzz {

namespace {

constexpr uint32_t kMaxBlock = 256;
constexpr uint32_t kMaxFrames = 2 * kMaxBlock + 64; // some blocks are split into slices
constexpr std::size_t kSequenceRoom = kFluxetLV2AtomBufferSize;

class UridMap {
public:
    LV2_URID Map(const char* uri) {
        std::lock_guard lock(m_mutex);
        return m_ids.emplace(uri, LV2_URID(m_ids.size() + 1)).first->second;
    }
    LV2_URID_Map* Feature() { return &m_map; }

private:
    std::mutex m_mutex;
    std::map<std::string, LV2_URID> m_ids;
    LV2_URID_Map m_map{this, [](LV2_URID_Map_Handle self, const char* uri) {
                           return static_cast<UridMap*>(self)->Map(uri);
                       }};
};

// Writes atoms into a sequence body, each event padded to 8 bytes as LV2 wants.
class SequenceWriter {
public:
    explicit SequenceWriter(std::vector<uint8_t>& bytes) : m_bytes(bytes) {
        m_bytes.assign(sizeof(LV2_Atom_Sequence), 0);
    }
    std::size_t Room() const {
        return kSequenceRoom > m_bytes.size() ? kSequenceRoom - m_bytes.size() : 0;
    }
    void Event(int64_t frame, LV2_URID type, const std::vector<uint8_t>& body) {
        Append(&frame, sizeof(frame));
        const LV2_Atom atom{uint32_t(body.size()), type};
        Append(&atom, sizeof(atom));
        Append(body.data(), body.size());
        m_bytes.resize(lv2_atom_pad_size(uint32_t(m_bytes.size())), 0);
    }
    // An event header whose size claims whatever it likes, and whatever bytes follow.
    void RawEvent(int64_t frame, LV2_URID type, uint32_t claimedSize,
                  const std::vector<uint8_t>& body) {
        Append(&frame, sizeof(frame));
        const LV2_Atom atom{claimedSize, type};
        Append(&atom, sizeof(atom));
        Append(body.data(), body.size());
    }
    void Finish(LV2_URID sequenceType) {
        LV2_Atom_Sequence header{};
        header.atom.size = uint32_t(m_bytes.size() - sizeof(LV2_Atom));
        header.atom.type = sequenceType;
        std::memcpy(m_bytes.data(), &header, sizeof(header));
    }

private:
    void Append(const void* data, std::size_t size) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        m_bytes.insert(m_bytes.end(), bytes, bytes + size);
    }
    std::vector<uint8_t>& m_bytes;
};

// An object body: its id and type, then properties (key, value atom, padding).
class ObjectWriter {
public:
    ObjectWriter(uint32_t id, LV2_URID otype) {
        Append(&id, sizeof(id));
        Append(&otype, sizeof(otype));
    }
    void Property(LV2_URID key, LV2_URID type, const std::vector<uint8_t>& body) {
        const uint32_t context = 0;
        Append(&key, sizeof(key));
        Append(&context, sizeof(context));
        const LV2_Atom atom{uint32_t(body.size()), type};
        Append(&atom, sizeof(atom));
        Append(body.data(), body.size());
        m_bytes.resize(lv2_atom_pad_size(uint32_t(m_bytes.size())), 0);
    }
    void Raw(const std::vector<uint8_t>& bytes) {
        m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
    }
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }

private:
    void Append(const void* data, std::size_t size) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        m_bytes.insert(m_bytes.end(), bytes, bytes + size);
    }
    std::vector<uint8_t> m_bytes;
};

template <class T> std::vector<uint8_t> BodyOf(T value) {
    std::vector<uint8_t> body(sizeof(T));
    std::memcpy(body.data(), &value, sizeof(T));
    return body;
}

struct Harness {
    Harness() {
        HermeticFolder();
        for (const char* uri :
             {LV2_ATOM__Float, LV2_ATOM__Double, LV2_ATOM__Int, LV2_ATOM__Long, LV2_ATOM__Bool,
              LV2_ATOM__String, LV2_ATOM__URID, LV2_ATOM__Object, LV2_ATOM__Blank, LV2_ATOM__Chunk,
              LV2_ATOM__Sequence, LV2_MIDI__MidiEvent, LV2_PATCH__Set, LV2_PATCH__Get,
              LV2_PATCH__property, LV2_PATCH__value}) {
            types.push_back(map.Map(uri));
        }
        for (UInt32 id = 0; id < kNumParameters; ++id) {
            parameters.push_back(map.Map(FluxetLV2ParameterURI(id).c_str()));
        }
        parameters.push_back(map.Map("http://morvane.com/plugins/fluxet#no_such_parameter"));
        presetName = map.Map(kFluxetLV2PresetNameURI);
        const LV2_URID maxBlockKey = map.Map(LV2_BUF_SIZE__maxBlockLength);
        options[0] = {LV2_OPTIONS_INSTANCE, 0,        maxBlockKey, sizeof(int32_t),
                      Type(LV2_ATOM__Int),  &maxBlock};
        plugin = MrvnFluxetLV2::Create(2, 48000.0, nullptr, features);
        FuzzCheck(plugin != nullptr, "the plug-in instantiates");
        // Without its tasks the OSC server opens no port, whatever offset a value sets.
        static_cast<MrvnFluxet*>(plugin->Unit()->storage)->OSCServer().DestroyTask();
        plugin->Activate();
        for (uint32_t i = 0; i < kMaxFrames; ++i) {
            input[0][i] = 0.5f * float(std::sin(0.01 * double(i)));
            input[1][i] = 0.5f * float(std::cos(0.013 * double(i)));
        }
        plugin->ConnectPort(kFluxetLV2PortFirstAudio, input[0].data());
        plugin->ConnectPort(kFluxetLV2PortFirstAudio + 1, input[1].data());
        plugin->ConnectPort(kFluxetLV2PortFirstAudio + 2, output[0].data());
        plugin->ConnectPort(kFluxetLV2PortFirstAudio + 3, output[1].data());
    }

    LV2_URID Type(const char* uri) { return map.Map(uri); }

    UridMap map;
    std::vector<LV2_URID> types;
    std::vector<LV2_URID> parameters;
    LV2_URID presetName = 0;
    int32_t maxBlock = int32_t(kMaxBlock);
    LV2_Options_Option options[2]{};
    LV2_Feature mapFeature{LV2_URID__map, map.Feature()};
    LV2_Feature optionsFeature{LV2_OPTIONS__options, options};
    const LV2_Feature* features[3]{&mapFeature, &optionsFeature, nullptr};
    std::unique_ptr<MrvnFluxetLV2> plugin;
    std::vector<float> input[2]{std::vector<float>(kMaxFrames), std::vector<float>(kMaxFrames)};
    std::vector<float> output[2]{std::vector<float>(kMaxFrames), std::vector<float>(kMaxFrames)};
    std::vector<uint64_t> notify = std::vector<uint64_t>(kFluxetLV2AtomBufferSize / 8);
};

// State properties a restore retrieves: per key, a type and a body from the input.
struct StoredValues {
    std::map<uint32_t, std::pair<uint32_t, std::vector<uint8_t>>> values;
};

const void* Retrieve(LV2_State_Handle handle, uint32_t key, size_t* size, uint32_t* type,
                     uint32_t* flags) {
    const auto& values = static_cast<const StoredValues*>(handle)->values;
    const auto found = values.find(key);
    if (found == values.end()) {
        return nullptr;
    }
    *size = found->second.second.size();
    *type = found->second.first;
    *flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
    return found->second.second.data();
}

// A value atom of one of the types hosts send, or of any type at all, from the input.
std::pair<LV2_URID, std::vector<uint8_t>> Value(Harness& harness, InputReader& in) {
    const uint8_t kind = in.Byte() % 8;
    switch (kind) {
    case 0:
        return {harness.Type(LV2_ATOM__Float), BodyOf(std::bit_cast<float>(in.Word()))};
    case 1: {
        const uint64_t high = in.Word();
        return {harness.Type(LV2_ATOM__Double),
                BodyOf(std::bit_cast<double>((high << 32) | in.Word()))};
    }
    case 2:
        return {harness.Type(LV2_ATOM__Int), BodyOf(int32_t(in.Word()))};
    case 3: {
        const uint64_t high = in.Word();
        return {harness.Type(LV2_ATOM__Long), BodyOf(int64_t((high << 32) | in.Word()))};
    }
    case 4:
        return {harness.Type(LV2_ATOM__Bool), BodyOf(int32_t(in.Byte() % 3))};
    case 5: // a small plain number, well inside every range
        return {harness.Type(LV2_ATOM__Float), BodyOf(float(in.Byte()) / 16.0f)};
    default:
        return {harness.types[in.Byte() % harness.types.size()], in.Bytes(in.Byte() % 12)};
    }
}

void Restore(Harness& harness, InputReader& in) {
    StoredValues stored;
    for (int n = in.Byte() % 8; n > 0; --n) {
        const LV2_URID key = in.Byte() % 8 == 0
                                 ? harness.presetName
                                 : harness.parameters[in.Byte() % harness.parameters.size()];
        stored.values[key] = Value(harness, in);
    }
    harness.plugin->Restore(&Retrieve, &stored);
}

// The first byte gives the block length; then records, each starting with its kind and frame.
void HandleAtoms(const std::uint8_t* data, std::size_t size) {
    static Harness* const harness = new Harness;
    InputReader in(data, size);
    const uint32_t frames = in.Byte() * 2 + (in.Byte() % 2) * (kMaxFrames - 2 * 255);
    std::vector<uint8_t> sequence;
    SequenceWriter writer(sequence);
    const LV2_URID set = harness->Type(LV2_PATCH__Set);
    const LV2_URID property = harness->Type(LV2_PATCH__property);
    const LV2_URID value = harness->Type(LV2_PATCH__value);
    const LV2_URID object = harness->Type(LV2_ATOM__Object);
    bool truncated = false;
    while (!in.Empty() && writer.Room() > 256 && !truncated) {
        const uint8_t record = in.Byte();
        const uint8_t kind = record >= 248 ? 8 : record % 8;
        const int64_t frame =
            in.Byte() % 8 == 0 ? int64_t(int32_t(in.Word())) : int64_t(in.Word(2) % (frames + 16));
        switch (kind) {
        case 0: // a MIDI message of up to three bytes
        case 1: // a longer one: system exclusive, or anything
            writer.Event(frame, harness->Type(LV2_MIDI__MidiEvent),
                         in.Bytes(kind == 0 ? in.Byte() % 4 : in.Byte()));
            break;
        case 2: { // patch:Set as hosts send it
            ObjectWriter body(0, set);
            body.Property(property, harness->Type(LV2_ATOM__URID),
                          BodyOf(harness->parameters[in.Byte() % harness->parameters.size()]));
            const auto [type, bytes] = Value(*harness, in);
            body.Property(value, type, bytes);
            writer.Event(frame, object, body.Bytes());
            break;
        }
        case 3: { // patch:Set with properties of any kind, or cut short
            ObjectWriter body(in.Byte(), set);
            for (int n = in.Byte() % 4; n > 0; --n) {
                const LV2_URID key = in.Byte() % 2 == 0 ? property : value;
                const auto [type, bytes] = Value(*harness, in);
                body.Property(key, type, bytes);
            }
            body.Raw(in.Bytes(in.Byte() % 16));
            writer.Event(frame, in.Byte() % 2 == 0 ? object : harness->Type(LV2_ATOM__Blank),
                         body.Bytes());
            break;
        }
        case 4: { // patch:Get, for every parameter or one
            ObjectWriter body(0, harness->Type(LV2_PATCH__Get));
            if (in.Byte() % 2 == 0) {
                body.Property(property, harness->Type(LV2_ATOM__URID),
                              BodyOf(harness->parameters[in.Byte() % harness->parameters.size()]));
            }
            writer.Event(frame, object, body.Bytes());
            break;
        }
        case 5: // an atom of any type
            writer.Event(frame, harness->types[in.Byte() % harness->types.size()],
                         in.Bytes(in.Byte()));
            break;
        case 6: // an event whose header claims any size; the sequence ends with it
            writer.RawEvent(frame, harness->types[in.Byte() % harness->types.size()], in.Word(),
                            in.Bytes(in.Byte() % 64));
            truncated = true;
            break;
        case 8: { // the host's transport: any of its properties, of any value
            static const char* const keys[] = {LV2_TIME__bar,         LV2_TIME__barBeat,
                                               LV2_TIME__beat,        LV2_TIME__beatUnit,
                                               LV2_TIME__beatsPerBar, LV2_TIME__beatsPerMinute,
                                               LV2_TIME__frame,       LV2_TIME__speed};
            ObjectWriter body(0, harness->Type(LV2_TIME__Position));
            for (int n = in.Byte() % 9; n > 0; --n) {
                const auto [type, bytes] = Value(*harness, in);
                body.Property(harness->Type(keys[in.Byte() % std::size(keys)]), type, bytes);
            }
            writer.Event(frame, object, body.Bytes());
            break;
        }
        default:
            Restore(*harness, in);
            break;
        }
    }
    writer.Finish(harness->Type(LV2_ATOM__Sequence));

    // Exactly the sequence's bytes, so that a read past them is a fault.
    const std::unique_ptr<uint8_t[]> control(new uint8_t[sequence.size()]);
    std::memcpy(control.get(), sequence.data(), sequence.size());
    const LV2_Atom room{uint32_t(harness->notify.size() * 8 - sizeof(LV2_Atom)),
                        harness->Type(LV2_ATOM__Chunk)};
    std::memcpy(harness->notify.data(), &room, sizeof(room));
    harness->plugin->ConnectPort(kFluxetLV2PortControl, control.get());
    harness->plugin->ConnectPort(kFluxetLV2PortNotify, harness->notify.data());
    harness->plugin->Run(frames);
    harness->plugin->ConnectPort(kFluxetLV2PortControl, nullptr);

    LV2_Atom written{};
    std::memcpy(&written, harness->notify.data(), sizeof(written));
    FuzzCheck(written.size <= room.size, "the notifications fit their port");
    FuzzCheck(written.type == harness->Type(LV2_ATOM__Sequence),
              "the notifications are a sequence");
    for (const std::vector<float>& channel : harness->output) {
        CheckFinite(channel.data(), frames, "the plug-in's output is finite");
    }

    // Every input starts from the defaults and silent delay lines.
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        AudioUnitSetParameter(harness->plugin->Unit(), id, kAudioUnitScope_Global, 0,
                              astParamInfos[id].defaultValue, 0);
    }
    harness->plugin->Activate();
}

std::vector<Input> LV2AtomSeeds() {
    const auto input = [](std::initializer_list<int> bytes) {
        Input seed;
        for (int byte : bytes) {
            seed.push_back(char(byte));
        }
        return seed;
    };
    return {
        // MIDI: controllers, a note, system exclusive.
        input({64, 0,    0,  1,  0, 10, 3, 0xB0, 7, 100,  0,    1, 1, 44,
               3,  0x90, 60, 90, 1, 1,  0, 20,   5, 0xF0, 0x7D, 1, 2, 0xF7}),
        // patch:Set with a float, an int and a double, then a patch:Get.
        input({100, 0, 2, 1, 0,  50, 10, 0,    0x42, 0x48, 0, 0, 2, 1, 0, 60, 7, 2, 0,  0, 0,
               8,   2, 1, 0, 70, 1,  1,  0x40, 0x59, 0,    0, 0, 0, 0, 0, 4,  1, 0, 99, 1}),
        // Absurd values, an unknown parameter, the port offset.
        input({200, 1, 2,    1, 0, 0, 0, 0, 0x7F, 0x7F, 0xFF, 0xFF, 2, 1, 0, 1,
               16,  0, 0x42, 0, 0, 0, 2, 1, 0,    2,    15,   2,    0, 0, 0, 3}),
        // A malformed patch:Set, an atom of another type, a header claiming almost 4 GB.
        input({32, 0, 3, 1, 0, 5, 7, 2,    0,    1,    2,    6, 9, 1, 2, 3, 4,
               5,  6, 7, 8, 9, 5, 1, 0,    7,    3,    8,    1, 2, 3, 4, 5, 6,
               7,  8, 6, 1, 0, 9, 3, 0xFF, 0xFF, 0xFF, 0xF0, 4, 1, 2, 3, 4}),
        // A restore, and a block of no frames.
        input({0, 0, 7, 1, 0, 6, 1, 3, 0, 0x42, 0x20, 0, 0, 1,  10, 1, 0x40, 0x59, 0, 0, 0, 0, 0, 0,
               1, 7, 2, 0, 0, 0, 6, 0, 4, 6,    1,    2, 1, 15, 3,  0, 0,    0,    0, 0, 0, 0, 9}),
    };
}

} // namespace

const FuzzTarget& LV2AtomTarget() {
    static const FuzzTarget target{"lv2", &HandleAtoms, &LV2AtomSeeds, 1 << 14};
    return target;
}

} // namespace MV::fuzz
