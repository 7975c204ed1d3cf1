#include "MrvnFluxetLV2.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/midi/midi.h>
#include <lv2/options/options.h>
#include <lv2/patch/patch.h>
#include <lv2/time/time.h>
#include <plist/plist.h>

#include "AUComponent.h"
#include "AudioUnitAPI.h"
#include "Bundle.h"
#include "FluxetLV2Metadata.h"
#include "MrvnFluxet.h"

namespace {

constexpr UInt32 kAllParameters = (1u << kNumParameters) - 1;
// More than one patch:Set needs on the notification port (event, object, two properties).
constexpr uint32_t kPatchSetSpace = 128;
// Bytes of the unit's parameter blob for the global element: scope, element, count, pairs.
constexpr std::size_t kStateBlobSize = 12 + 8 * kNumParameters;

void PutBigEndian(std::byte* to, UInt32 value) {
    for (int i = 0; i < 4; ++i) {
        to[i] = std::byte(value >> (24 - 8 * i));
    }
}

const void* FindFeature(const LV2_Feature* const* features, const char* uri) {
    for (const LV2_Feature* const* f = features; f != nullptr && *f != nullptr; ++f) {
        if (std::strcmp((*f)->URI, uri) == 0) {
            return (*f)->data;
        }
    }
    return nullptr;
}

struct WantedProperty {
    LV2_URID key;
    const LV2_Atom** value;
};

// The values of an object's properties with the given keys, left null where absent. Unlike the
// LV2 utilities, which trust the sizes in property headers, the walk ends at a property that
// runs past the object: a host's (or an attacker's) damaged object is read no further.
void GetProperties(const LV2_Atom_Object& object, std::initializer_list<WantedProperty> wanted) {
    const auto* body = reinterpret_cast<const uint8_t*>(&object.body);
    const std::size_t size = object.atom.size;
    std::size_t at = sizeof(LV2_Atom_Object_Body);
    while (size >= at && size - at >= sizeof(LV2_Atom_Property_Body)) {
        const auto* property = reinterpret_cast<const LV2_Atom_Property_Body*>(body + at);
        const std::size_t total =
            sizeof(LV2_Atom_Property_Body) + std::size_t(property->value.size);
        if (total > size - at) {
            return;
        }
        for (const WantedProperty& w : wanted) {
            if (w.key == property->key && *w.value == nullptr) {
                *w.value = &property->value;
            }
        }
        at += lv2_atom_pad_size(uint32_t(total));
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Life cycle

MrvnFluxetLV2::MrvnFluxetLV2(UInt32 channels, const LV2_URID_Map& map)
    : m_channels(channels), m_map(map) {
    auto urid = [this](const char* uri) { return m_map.map(m_map.handle, uri); };
    m_uris.atomFloat = urid(LV2_ATOM__Float);
    m_uris.atomDouble = urid(LV2_ATOM__Double);
    m_uris.atomInt = urid(LV2_ATOM__Int);
    m_uris.atomLong = urid(LV2_ATOM__Long);
    m_uris.atomBool = urid(LV2_ATOM__Bool);
    m_uris.atomString = urid(LV2_ATOM__String);
    m_uris.atomURID = urid(LV2_ATOM__URID);
    m_uris.atomFrameTime = urid(LV2_ATOM__frameTime);
    m_uris.atomSequence = urid(LV2_ATOM__Sequence);
    m_uris.midiEvent = urid(LV2_MIDI__MidiEvent);
    m_uris.patchSet = urid(LV2_PATCH__Set);
    m_uris.patchGet = urid(LV2_PATCH__Get);
    m_uris.patchProperty = urid(LV2_PATCH__property);
    m_uris.patchValue = urid(LV2_PATCH__value);
    m_uris.bufsizeMaxBlockLength = urid(LV2_BUF_SIZE__maxBlockLength);
    m_uris.presetName = urid(kFluxetLV2PresetNameURI);
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        m_uris.parameters[id] = urid(FluxetLV2ParameterURI(id).c_str());
    }
    m_uris.timePosition = urid(LV2_TIME__Position);
    m_uris.timeBar = urid(LV2_TIME__bar);
    m_uris.timeBarBeat = urid(LV2_TIME__barBeat);
    m_uris.timeBeat = urid(LV2_TIME__beat);
    m_uris.timeBeatUnit = urid(LV2_TIME__beatUnit);
    m_uris.timeBeatsPerBar = urid(LV2_TIME__beatsPerBar);
    m_uris.timeBeatsPerMinute = urid(LV2_TIME__beatsPerMinute);
    m_uris.timeFrame = urid(LV2_TIME__frame);
    m_uris.timeSpeed = urid(LV2_TIME__speed);
    lv2_atom_forge_init(&m_forge, &m_map);
}

std::unique_ptr<MrvnFluxetLV2> MrvnFluxetLV2::Create(UInt32 channels, double sampleRate,
                                                     const char* bundlePath,
                                                     const LV2_Feature* const* features) {
    const auto* map = static_cast<const LV2_URID_Map*>(FindFeature(features, LV2_URID__map));
    if (map == nullptr) {
        std::fprintf(stderr, "fluxet.lv2: the host provides no urid:map\n");
        return nullptr;
    }
    std::unique_ptr<MrvnFluxetLV2> plugin(new MrvnFluxetLV2(channels, *map));
    const auto* options =
        static_cast<const LV2_Options_Option*>(FindFeature(features, LV2_OPTIONS__options));
    for (const LV2_Options_Option* o = options; o != nullptr && o->key != 0; ++o) {
        if (o->key == plugin->m_uris.bufsizeMaxBlockLength && o->type == plugin->m_uris.atomInt &&
            o->size == sizeof(int32_t)) {
            int32_t length = 0;
            std::memcpy(&length, o->value, sizeof(length));
            if (length > 0) {
                plugin->m_maxFrames = std::min(UInt32(length), kMaxFramesLimit);
            }
        }
    }
    if (!plugin->Open(sampleRate, bundlePath)) {
        return nullptr;
    }
    return plugin;
}

bool MrvnFluxetLV2::Open(double sampleRate, const char* bundlePath) {
    // Scripts and skins are found in the bundle the host loaded us from.
    if (bundlePath != nullptr && *bundlePath != '\0') {
        MV::SetPluginBundleDir(bundlePath);
    }
    m_sampleRate = sampleRate;
    OSStatus result =
        AudioComponentInstanceNew(kFluxetComponentDescription, MrvnFluxetEntry, &m_unit);
    if (result != noErr) {
        std::fprintf(stderr, "fluxet.lv2: cannot open the effect unit (error %d)\n", int(result));
        return false;
    }
    const AudioStreamBasicDescription format = CanonicalStreamFormat(sampleRate, m_channels);
    for (AudioUnitScope scope : {kAudioUnitScope_Input, kAudioUnitScope_Output}) {
        if (result == noErr) {
            result = AudioUnitSetProperty(m_unit, kAudioUnitProperty_StreamFormat, scope, 0,
                                          &format, sizeof(format));
        }
    }
    if (result == noErr) {
        result = AudioUnitSetProperty(m_unit, kAudioUnitProperty_MaximumFramesPerSlice,
                                      kAudioUnitScope_Global, 0, &m_maxFrames, sizeof(m_maxFrames));
    }
    if (result == noErr) {
        const AURenderCallbackStruct callback{&MrvnFluxetLV2::PullInput, this};
        result = AudioUnitSetProperty(m_unit, kAudioUnitProperty_SetRenderCallback,
                                      kAudioUnitScope_Input, 0, &callback, sizeof(callback));
    }
    if (result == noErr) {
        result = AUListenerCreate(&MrvnFluxetLV2::ParameterChanged, this, &m_listener);
    }
    if (result == noErr) {
        const AudioUnitParameter every{m_unit, kAUParameterListener_AnyParameter,
                                       kAudioUnitScope_Global, 0};
        result = AUListenerAddParameter(m_listener, this, &every);
    }
    if (result == noErr) {
        result = AudioUnitInitialize(m_unit);
        m_initialized = result == noErr;
    }
    if (result != noErr) {
        std::fprintf(stderr, "fluxet.lv2: cannot set up the effect unit (error %d)\n", int(result));
        return false;
    }
    UInt32 size = sizeof(m_render);
    if (AudioUnitGetProperty(m_unit, kAudioUnitProperty_FastDispatch, kAudioUnitScope_Global,
                             kAudioUnitRenderSelect, &m_render, &size) != noErr) {
        m_render = nullptr;
    }
    size = sizeof(m_getParameter);
    if (AudioUnitGetProperty(m_unit, kAudioUnitProperty_FastDispatch, kAudioUnitScope_Global,
                             kAudioUnitGetParameterSelect, &m_getParameter, &size) != noErr) {
        m_getParameter = nullptr;
    }
    m_unitStorage = m_unit->storage;
    m_bufferListStorage = std::make_unique<std::byte[]>(AudioBufferListSize(m_channels));
    m_bufferList = reinterpret_cast<AudioBufferList*>(m_bufferListStorage.get());

    // The unit keeps scheduled events in a list that grows when more arrive than ever before.
    // Grow it now, with ramps a render of no frames consumes without applying, so that Run
    // never allocates.
    for (AudioUnitParameterEvent& event : m_events) {
        event = AudioUnitParameterEvent{};
        event.scope = kAudioUnitScope_Global;
        event.eventType = kParameterEvent_Ramped;
    }
    AudioUnitScheduleParameters(m_unit, m_events.data(), kMaxScheduledEvents);
    m_bufferList->mNumberBuffers = m_channels;
    for (UInt32 c = 0; c < m_channels; ++c) {
        m_bufferList->mBuffers[c] = AudioBuffer{1, 0, nullptr};
    }
    AudioTimeStamp stamp{};
    stamp.mSampleTime = -2.0; // not the reset render time, so the call is not skipped
    stamp.mFlags = kAudioTimeStampSampleTimeValid;
    AudioUnitRenderActionFlags flags = 0;
    AudioUnitRender(m_unit, &flags, &stamp, 0, 0, m_bufferList);
    return true;
}

MrvnFluxetLV2::~MrvnFluxetLV2() {
    {
        // Editors first: they reach the unit from their own threads.
        const std::lock_guard lock(EditorLock());
        for (EditorLink* link : m_editors) {
            link->InstanceGone();
        }
        m_editors.clear();
    }
    // No callback may reach this object once its members start to go.
    if (m_listener != nullptr) {
        AUListenerDispose(m_listener);
    }
    if (m_unit != nullptr) {
        if (m_initialized) {
            AudioUnitUninitialize(m_unit);
        }
        AudioComponentInstanceDispose(m_unit);
    }
}

void MrvnFluxetLV2::Activate() {
    AudioUnitReset(m_unit, kAudioUnitScope_Global, 0);
    m_sampleTime = 0.0;
}

void MrvnFluxetLV2::ConnectPort(uint32_t port, void* data) {
    if (port == kFluxetLV2PortControl) {
        m_control = static_cast<const LV2_Atom_Sequence*>(data);
    } else if (port == kFluxetLV2PortNotify) {
        m_notify = static_cast<LV2_Atom_Sequence*>(data);
    } else if (port >= kFluxetLV2PortFirstAudio && port < FluxetLV2PortCount(m_channels)) {
        const UInt32 index = port - kFluxetLV2PortFirstAudio;
        if (index < m_channels) {
            m_inputs[index] = static_cast<const float*>(data);
        } else {
            m_outputs[index - m_channels] = static_cast<float*>(data);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Rendering

void MrvnFluxetLV2::Run(uint32_t frames) {
    if (IsQuietBlock(frames)) {
        RunQuietBlock(frames);
        return;
    }
    // Notifications are built in memory of our own and copied out at the end, and events are
    // read through copies where needed: some hosts hand out sequences that are not 64-bit
    // aligned, as atoms must be.
    uint32_t notifyCapacity = 0;
    if (m_notify != nullptr) {
        std::memcpy(&notifyCapacity, &m_notify->atom.size, sizeof(notifyCapacity));
    }
    bool notifying = m_notify != nullptr && notifyCapacity >= sizeof(LV2_Atom_Sequence);
    LV2_Atom_Forge_Frame sequence{};
    if (notifying) {
        lv2_atom_forge_set_buffer(&m_forge, m_notifyScratch.data(),
                                  std::min<std::size_t>(notifyCapacity, m_notifyScratch.size()));
        notifying = lv2_atom_forge_sequence_head(&m_forge, &sequence, 0) != 0;
    }
    BeginControlEvents();

    // Render calls of at most the unit's maximum, each with the events of its frames shifted
    // to its start (those at or beyond the block's end go with the last). A call ends early
    // where its MIDI would be more than the unit takes in one call: see PlanRenderCall.
    UInt32 start = 0;
    bool more = true;
    while (more) {
        const UInt32 limit = start + std::min(frames - start, m_maxFrames);
        const RenderCall call = PlanRenderCall(start, limit, limit == frames);
        const UInt32 length = call.end - start;
        m_numEvents = 0;
        m_hostTouched = 0;
        const SInt64 lastFrame = length > 0 ? SInt64(length) - 1 : 0;
        for (UInt32 n = 0; n < call.events; ++n, NextControlEvent()) {
            const LV2_Atom_Event* event = PeekControlEvent();
            if (event == nullptr) {
                break; // the plan read the same sequence: never
            }
            HandleEvent(*event,
                        UInt32(std::clamp<SInt64>(event->time.frames - start, 0, lastFrame)));
        }
        RenderSlice(start, length);
        if (notifying) {
            WriteChanges(length > 0 ? SInt64(call.end) - 1 : SInt64(start));
        }
        start = call.end;
        more = start < frames || call.messagesLeft;
    }

    if (notifying) {
        lv2_atom_forge_pop(&m_forge, &sequence);
        const auto* written = reinterpret_cast<const LV2_Atom*>(m_notifyScratch.data());
        std::memcpy(m_notify, written, lv2_atom_total_size(written));
    }
}

bool MrvnFluxetLV2::IsQuietBlock(uint32_t frames) const {
    uint32_t controlSize = 0;
    if (m_control != nullptr) {
        std::memcpy(&controlSize, &m_control->atom.size, sizeof(controlSize));
    }
    // A change that arrives after these loads is reported with the next block, as it would be
    // after the general path's.
    return frames > 0 && controlSize <= sizeof(LV2_Atom_Sequence_Body) &&
           m_changed.load(std::memory_order_relaxed) == 0 &&
           !m_reportAll.load(std::memory_order_relaxed);
}

void MrvnFluxetLV2::RunQuietBlock(uint32_t frames) {
    // What the forge writes for a sequence without events.
    if (m_notify != nullptr) {
        uint32_t capacity = 0;
        std::memcpy(&capacity, &m_notify->atom.size, sizeof(capacity));
        if (capacity >= sizeof(LV2_Atom_Sequence)) {
            const LV2_Atom_Sequence empty{{sizeof(LV2_Atom_Sequence_Body), m_uris.atomSequence},
                                          {0, 0}};
            std::memcpy(m_notify, &empty, sizeof(empty));
        }
    }
    m_numEvents = 0;
    m_hostTouched = 0;
    for (UInt32 start = 0; start < frames;) {
        const UInt32 length = std::min(frames - start, m_maxFrames);
        RenderSlice(start, length);
        start += length;
    }
}

MrvnFluxetLV2::RenderCall MrvnFluxetLV2::PlanRenderCall(UInt32 start, UInt32 limit, bool last) {
    // A look ahead over the events from where the reading stands, which it leaves there.
    const uint8_t* const bytes = m_controlBytes;
    const uint32_t offset = m_controlOffset;
    const UInt32 lastFrame = limit > start ? limit - 1 : start;
    RenderCall call{limit, 0, false};
    UInt32 messages = 0;
    UInt32 beforeFrame = 0; // events placed before the frame of the latest one
    UInt32 frame = start;
    for (const LV2_Atom_Event* event; (event = PeekControlEvent()) != nullptr; NextControlEvent()) {
        if (!last && event->time.frames >= SInt64(limit)) {
            break;
        }
        const auto at = UInt32(std::clamp<SInt64>(event->time.frames, start, lastFrame));
        if (at != frame) {
            beforeFrame = call.events;
            frame = at;
        }
        if (IsMessageForTheQueue(event->body) && messages++ == MrvnFluxet::kMaxMessagesPerRender) {
            // The call ends before this message's frame, with the events before that frame;
            // at its own first frame, with no frames and the events before this message.
            call.end = at;
            call.events = at > start ? beforeFrame : call.events;
            call.messagesLeft = true;
            break;
        }
        ++call.events;
    }
    m_controlBytes = bytes;
    m_controlOffset = offset;
    return call;
}

bool MrvnFluxetLV2::IsURID(const LV2_Atom& atom) const {
    // A URID atom of a damaged object may claim no body.
    return atom.type == m_uris.atomURID && atom.size >= sizeof(LV2_URID);
}

bool MrvnFluxetLV2::IsMessageForTheQueue(const LV2_Atom& atom) const {
    if (lv2_atom_forge_is_object_type(&m_forge, atom.type)) {
        return atom.size >= sizeof(LV2_Atom_Object_Body) &&
               reinterpret_cast<const LV2_Atom_Object&>(atom).body.otype == m_uris.timePosition;
    }
    if (atom.type != m_uris.midiEvent || atom.size == 0) {
        return false;
    }
    const uint8_t status = *static_cast<const uint8_t*>(LV2_ATOM_BODY_CONST(&atom));
    return status >= 0x80 && status <= 0xF0;
}

void MrvnFluxetLV2::BeginControlEvents() {
    m_controlBytes = nullptr;
    m_controlSize = 0;
    m_controlOffset = 0;
    if (m_control != nullptr) {
        uint32_t size = 0;
        std::memcpy(&size, &m_control->atom.size, sizeof(size));
        m_controlBytes = reinterpret_cast<const uint8_t*>(m_control) + sizeof(LV2_Atom);
        m_controlSize = size;
        m_controlOffset = sizeof(LV2_Atom_Sequence_Body);
    }
}

const LV2_Atom_Event* MrvnFluxetLV2::PeekControlEvent() {
    while (m_controlBytes != nullptr &&
           std::size_t(m_controlOffset) + sizeof(LV2_Atom_Event) <= m_controlSize) {
        const uint8_t* at = m_controlBytes + m_controlOffset;
        LV2_Atom_Event header;
        std::memcpy(&header, at, sizeof(header));
        const uint64_t total = sizeof(LV2_Atom_Event) + uint64_t(header.body.size);
        if (m_controlOffset + total > m_controlSize) {
            break; // a truncated sequence ends here
        }
        if (reinterpret_cast<std::uintptr_t>(at) % alignof(LV2_Atom_Event) == 0) {
            return reinterpret_cast<const LV2_Atom_Event*>(at);
        }
        if (total <= m_eventCopy.size()) {
            std::memcpy(m_eventCopy.data(), at, total);
            return reinterpret_cast<const LV2_Atom_Event*>(m_eventCopy.data());
        }
        m_controlOffset += lv2_atom_pad_size(uint32_t(total)); // too large to copy: skipped
    }
    m_controlBytes = nullptr;
    return nullptr;
}

void MrvnFluxetLV2::NextControlEvent() {
    LV2_Atom_Event header;
    std::memcpy(&header, m_controlBytes + m_controlOffset, sizeof(header));
    m_controlOffset += lv2_atom_pad_size(uint32_t(sizeof(LV2_Atom_Event) + header.body.size));
}

void MrvnFluxetLV2::HandleEvent(const LV2_Atom_Event& event, UInt32 offset) {
    const LV2_Atom& atom = event.body;
    if (atom.type == m_uris.midiEvent) {
        HandleMIDI(atom, offset);
        return;
    }
    if (!lv2_atom_forge_is_object_type(&m_forge, atom.type) ||
        atom.size < sizeof(LV2_Atom_Object_Body)) {
        return;
    }
    const auto& object = reinterpret_cast<const LV2_Atom_Object&>(atom);
    if (object.body.otype == m_uris.patchSet) {
        HandlePatchSet(object, offset);
    } else if (object.body.otype == m_uris.patchGet) {
        HandlePatchGet(object);
    } else if (object.body.otype == m_uris.timePosition) {
        HandleTimePosition(object, offset);
    }
}

void MrvnFluxetLV2::HandlePatchSet(const LV2_Atom_Object& object, UInt32 offset) {
    const LV2_Atom* property = nullptr;
    const LV2_Atom* value = nullptr;
    GetProperties(object, {{m_uris.patchProperty, &property}, {m_uris.patchValue, &value}});
    if (property == nullptr || value == nullptr || !IsURID(*property)) {
        return;
    }
    const int id = ParameterForURID(reinterpret_cast<const LV2_Atom_URID*>(property)->body);
    Float32 number = 0.0f;
    if (id < 0 || !ReadNumber(value->type, value->size, LV2_ATOM_BODY_CONST(value), number)) {
        return;
    }
    const MrvnParamInfo& info = astParamInfos[id];
    AddHostValue(AudioUnitParameterID(id), offset,
                 std::clamp(number, info.minValue, info.maxValue));
}

Float32 MrvnFluxetLV2::RestoredValue(AudioUnitParameterID id, Float32 value) {
    // As a host's change is held, except that "Shape" keeps the random shapes and "Wobble"
    // beyond the published 4: scripts and OSC clients select them, and a session must give
    // them back.
    const MrvnParamInfo& info = astParamInfos[id];
    const Float32 high = id == kParam_Shape ? Float32(kNumShapes - 1) : info.maxValue;
    return std::clamp(value, info.minValue, high);
}

void MrvnFluxetLV2::HandlePatchGet(const LV2_Atom_Object& object) {
    const LV2_Atom* property = nullptr;
    GetProperties(object, {{m_uris.patchProperty, &property}});
    if (property == nullptr) {
        m_requested |= kAllParameters;
        return;
    }
    if (IsURID(*property)) {
        const int id = ParameterForURID(reinterpret_cast<const LV2_Atom_URID*>(property)->body);
        if (id >= 0) {
            m_requested |= 1u << id;
        }
    }
}

void MrvnFluxetLV2::HandleMIDI(const LV2_Atom& atom, UInt32 offset) {
    // Channel messages and system exclusive only; clock and other system messages are not the
    // scripts' business.
    if (!IsMessageForTheQueue(atom)) {
        return;
    }
    const auto* bytes = static_cast<const uint8_t*>(LV2_ATOM_BODY_CONST(&atom));
    const uint8_t status = bytes[0];
    if (status == 0xF0) {
        MusicDeviceSysEx(m_unit, bytes, atom.size);
    } else {
        const UInt32 data1 = atom.size > 1 ? bytes[1] & 0x7F : 0;
        const UInt32 data2 = atom.size > 2 ? bytes[2] & 0x7F : 0;
        MusicDeviceMIDIEvent(m_unit, status, data1, data2, offset);
    }
}

void MrvnFluxetLV2::HandleTimePosition(const LV2_Atom_Object& object, UInt32 offset) {
    const LV2_Atom* bar = nullptr;
    const LV2_Atom* barBeat = nullptr;
    const LV2_Atom* beat = nullptr;
    const LV2_Atom* beatUnit = nullptr;
    const LV2_Atom* beatsPerBar = nullptr;
    const LV2_Atom* beatsPerMinute = nullptr;
    const LV2_Atom* frame = nullptr;
    const LV2_Atom* speed = nullptr;
    GetProperties(object, {{m_uris.timeBar, &bar},
                           {m_uris.timeBarBeat, &barBeat},
                           {m_uris.timeBeat, &beat},
                           {m_uris.timeBeatUnit, &beatUnit},
                           {m_uris.timeBeatsPerBar, &beatsPerBar},
                           {m_uris.timeBeatsPerMinute, &beatsPerMinute},
                           {m_uris.timeFrame, &frame},
                           {m_uris.timeSpeed, &speed}});
    MrvnTransportEvent event{};
    event.offsetSampleFrame = offset;
    if (ReadNumber(beatsPerMinute, event.beatsPerMinute)) {
        event.fields |= MrvnTransportEvent::kTempo;
    }
    if (ReadNumber(beatsPerBar, event.beatsPerBar) && ReadNumber(beatUnit, event.beatUnit)) {
        event.fields |= MrvnTransportEvent::kTimeSignature;
    }
    if (ReadNumber(bar, event.bar) && ReadNumber(barBeat, event.barBeat)) {
        event.fields |= MrvnTransportEvent::kPosition;
    }
    Float64 transportFrame = 0.0;
    if (ReadNumber(beat, event.beat)) {
        event.fields |= MrvnTransportEvent::kBeat;
    } else if ((event.fields & (MrvnTransportEvent::kPosition | MrvnTransportEvent::kTempo)) ==
                   MrvnTransportEvent::kTempo &&
               ReadNumber(frame, transportFrame) && m_sampleRate > 0.0) {
        // Only a frame: where it stands at this tempo, as if the tempo had always been so.
        event.beat = transportFrame * event.beatsPerMinute / (60.0 * m_sampleRate);
        event.fields |= MrvnTransportEvent::kBeat;
    }
    if (ReadNumber(speed, event.speed)) {
        event.fields |= MrvnTransportEvent::kSpeed;
    }
    if (event.fields != 0) {
        AudioUnitSetProperty(m_unit, kMrvnProperty_TransportEvent, kAudioUnitScope_Global, 0,
                             &event, sizeof(event));
    }
}

void MrvnFluxetLV2::AddHostValue(AudioUnitParameterID id, UInt32 offset, Float32 value) {
    const UInt32 bit = 1u << id;
    if ((m_hostTouched & bit) != 0) {
        // Equal offsets would be applied in no defined order, so the later event takes the
        // earlier one's place; so does every event once the slice is full (early, not lost).
        AudioUnitParameterEvent& previous = m_events[m_lastEvent[id]];
        if (previous.eventValues.immediate.bufferOffset == offset ||
            m_numEvents == kMaxScheduledEvents) {
            previous.eventValues.immediate.value = value;
            return;
        }
        PushEvent(id, offset, value);
        m_lastEvent[id] = m_numEvents - 1;
        return;
    }
    if (m_numEvents + (offset > 0 ? 2 : 1) > kMaxScheduledEvents) {
        // No room left in this slice: the value holds from its start, early rather than lost.
        const AudioUnitParameter parameter{m_unit, id, kAudioUnitScope_Global, 0};
        AUParameterSet(m_listener, this, &parameter, value, 0);
        return;
    }
    // The unit applies an immediate event at once and again from its frame on; the old value
    // at frame 0 keeps the frames before the event as they were.
    if (offset > 0) {
        PushEvent(id, 0, ParameterValue(id));
    }
    PushEvent(id, offset, value);
    m_hostTouched |= bit;
    m_lastEvent[id] = m_numEvents - 1;
}

void MrvnFluxetLV2::PushEvent(AudioUnitParameterID id, UInt32 offset, Float32 value) {
    AudioUnitParameterEvent& event = m_events[m_numEvents++];
    event = AudioUnitParameterEvent{};
    event.scope = kAudioUnitScope_Global;
    event.element = 0;
    event.parameter = id;
    event.eventType = kParameterEvent_Immediate;
    event.eventValues.immediate.bufferOffset = offset;
    event.eventValues.immediate.value = value;
}

void MrvnFluxetLV2::RenderSlice(UInt32 start, UInt32 frames) {
    for (UInt32 c = 0; c < m_channels; ++c) {
        if (m_inputs[c] == nullptr || m_outputs[c] == nullptr) {
            ApplyHostValuesDirectly();
            return;
        }
    }
    m_inputOffset = start;
    m_bufferList->mNumberBuffers = m_channels;
    for (UInt32 c = 0; c < m_channels; ++c) {
        m_bufferList->mBuffers[c] =
            AudioBuffer{1, frames * UInt32(sizeof(Float32)), m_outputs[c] + start};
    }
    if (m_numEvents > 0) {
        AudioUnitScheduleParameters(m_unit, m_events.data(), m_numEvents);
    }
    AudioTimeStamp stamp{};
    stamp.mSampleTime = m_sampleTime;
    stamp.mFlags = kAudioTimeStampSampleTimeValid;
    AudioUnitRenderActionFlags flags = 0;
    const OSStatus result = m_render != nullptr
                                ? m_render(m_unitStorage, &flags, &stamp, 0, frames, m_bufferList)
                                : AudioUnitRender(m_unit, &flags, &stamp, 0, frames, m_bufferList);
    if (result != noErr) {
        for (UInt32 c = 0; c < m_channels; ++c) {
            std::fill_n(m_outputs[c] + start, frames, 0.0f);
        }
    }
    m_sampleTime += frames;
    NotifyOtherListeners(m_hostTouched);
}

void MrvnFluxetLV2::ApplyHostValuesDirectly() {
    // Without a render to carry them, events are set now; AUParameterSet tells the other
    // listeners and, with us as the sender, not us.
    for (UInt32 i = 0; i < m_numEvents; ++i) {
        const AudioUnitParameterEvent& event = m_events[i];
        const AudioUnitParameter parameter{m_unit, event.parameter, kAudioUnitScope_Global, 0};
        AUParameterSet(m_listener, this, &parameter, event.eventValues.immediate.value, 0);
    }
    m_numEvents = 0;
}

void MrvnFluxetLV2::NotifyOtherListeners(UInt32 mask) {
    for (UInt32 id = 0; id < kNumParameters && mask != 0; ++id) {
        if ((mask & (1u << id)) != 0) {
            const AudioUnitParameter parameter{m_unit, id, kAudioUnitScope_Global, 0};
            AUParameterListenerNotify(m_listener, this, &parameter);
            mask &= ~(1u << id);
        }
    }
}

void MrvnFluxetLV2::WriteChanges(SInt64 frame) {
    // Loads first: most blocks have nothing to report, and a plain load is cheaper than an
    // exchange.
    UInt32 mask = m_requested;
    m_requested = 0;
    if (m_changed.load(std::memory_order_relaxed) != 0) {
        mask |= m_changed.exchange(0, std::memory_order_acquire);
    }
    if (m_reportAll.load(std::memory_order_relaxed) &&
        m_reportAll.exchange(false, std::memory_order_acquire)) {
        mask = kAllParameters;
    }
    for (UInt32 id = 0; id < kNumParameters && mask != 0; ++id) {
        const UInt32 bit = 1u << id;
        if ((mask & bit) == 0) {
            continue;
        }
        if (!WritePatchSet(frame, id)) {
            // No room left: the rest goes out with the next block.
            m_changed.fetch_or(mask, std::memory_order_relaxed);
            return;
        }
        mask &= ~bit;
    }
}

bool MrvnFluxetLV2::WritePatchSet(SInt64 frame, AudioUnitParameterID id) {
    if (m_forge.size - m_forge.offset < kPatchSetSpace) {
        return false;
    }
    const Float32 value = ParameterValue(id);
    LV2_Atom_Forge_Frame object{};
    lv2_atom_forge_frame_time(&m_forge, frame);
    lv2_atom_forge_object(&m_forge, &object, 0, m_uris.patchSet);
    lv2_atom_forge_key(&m_forge, m_uris.patchProperty);
    lv2_atom_forge_urid(&m_forge, m_uris.parameters[id]);
    lv2_atom_forge_key(&m_forge, m_uris.patchValue);
    if (id == kParam_OSCPortOffset) {
        lv2_atom_forge_int(&m_forge, TruncatedOSCPortOffset(value));
    } else {
        lv2_atom_forge_float(&m_forge, value);
    }
    lv2_atom_forge_pop(&m_forge, &object);
    return true;
}

int MrvnFluxetLV2::ParameterForURID(LV2_URID urid) const {
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        if (m_uris.parameters[id] == urid) {
            return int(id);
        }
    }
    return -1;
}

Float32 MrvnFluxetLV2::ParameterValue(AudioUnitParameterID id) const {
    Float32 value = 0.0f;
    if (m_getParameter != nullptr) {
        m_getParameter(m_unitStorage, id, kAudioUnitScope_Global, 0, &value);
    } else {
        AudioUnitGetParameter(m_unit, id, kAudioUnitScope_Global, 0, &value);
    }
    return value;
}

bool MrvnFluxetLV2::ReadNumber(LV2_URID type, uint32_t size, const void* body,
                               Float32& outValue) const {
    double value = 0.0;
    if (!ReadDouble(type, size, body, value)) {
        return false;
    }
    outValue = Float32(value);
    // NaN and infinity must never reach the delay line.
    return std::isfinite(outValue);
}

bool MrvnFluxetLV2::ReadNumber(const LV2_Atom* atom, Float64& outValue) const {
    return atom != nullptr &&
           ReadDouble(atom->type, atom->size, LV2_ATOM_BODY_CONST(atom), outValue) &&
           std::isfinite(outValue);
}

bool MrvnFluxetLV2::ReadDouble(LV2_URID type, uint32_t size, const void* body,
                               double& outValue) const {
    if (type == m_uris.atomFloat && size == sizeof(float)) {
        float v;
        std::memcpy(&v, body, sizeof(v));
        outValue = v;
    } else if (type == m_uris.atomDouble && size == sizeof(double)) {
        std::memcpy(&outValue, body, sizeof(outValue));
    } else if ((type == m_uris.atomInt || type == m_uris.atomBool) && size == sizeof(int32_t)) {
        int32_t v;
        std::memcpy(&v, body, sizeof(v));
        outValue = v;
    } else if (type == m_uris.atomLong && size == sizeof(int64_t)) {
        int64_t v;
        std::memcpy(&v, body, sizeof(v));
        outValue = double(v);
    } else {
        return false;
    }
    return true;
}

void MrvnFluxetLV2::ParameterChanged(void* refCon, void* /*object*/,
                                     const AudioUnitParameter* parameter,
                                     AudioUnitParameterValue /*value*/) {
    auto* self = static_cast<MrvnFluxetLV2*>(refCon);
    if (parameter == nullptr || parameter->mAudioUnit != self->m_unit ||
        parameter->mScope != kAudioUnitScope_Global || parameter->mParameterID >= kNumParameters) {
        return;
    }
    self->m_changed.fetch_or(1u << parameter->mParameterID, std::memory_order_release);
}

OSStatus MrvnFluxetLV2::PullInput(void* refCon, AudioUnitRenderActionFlags* /*flags*/,
                                  const AudioTimeStamp* /*timeStamp*/, UInt32 /*bus*/,
                                  UInt32 frames, AudioBufferList* ioData) {
    const auto* self = static_cast<const MrvnFluxetLV2*>(refCon);
    for (UInt32 c = 0; c < ioData->mNumberBuffers; ++c) {
        const float* source = c < self->m_channels ? self->m_inputs[c] : nullptr;
        if (source != nullptr) {
            // Lent, not copied: the unit only reads its input.
            ioData->mBuffers[c].mData = const_cast<float*>(source + self->m_inputOffset);
        } else if (auto* dest = static_cast<Float32*>(ioData->mBuffers[c].mData); dest != nullptr) {
            std::fill_n(dest, frames, 0.0f);
        }
    }
    return noErr;
}

// ---------------------------------------------------------------------------------------------
// State

LV2_State_Status MrvnFluxetLV2::Save(LV2_State_Store_Function store, LV2_State_Handle handle) {
    constexpr uint32_t kFlags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        const Float32 value = ParameterValue(id);
        LV2_State_Status status;
        if (id == kParam_OSCPortOffset) {
            const int32_t offset = TruncatedOSCPortOffset(value);
            status = store(handle, m_uris.parameters[id], &offset, sizeof(offset), m_uris.atomInt,
                           kFlags);
        } else {
            status = store(handle, m_uris.parameters[id], &value, sizeof(value), m_uris.atomFloat,
                           kFlags);
        }
        if (status != LV2_STATE_SUCCESS) {
            return status;
        }
    }
    AUPreset preset{};
    UInt32 size = sizeof(preset);
    const char* name = "";
    if (AudioUnitGetProperty(m_unit, kAudioUnitProperty_PresentPreset, kAudioUnitScope_Global, 0,
                             &preset, &size) == noErr &&
        preset.presetName != nullptr) {
        name = preset.presetName;
    }
    return store(handle, m_uris.presetName, name, std::strlen(name) + 1, m_uris.atomString, kFlags);
}

LV2_State_Status MrvnFluxetLV2::Restore(LV2_State_Retrieve_Function retrieve,
                                        LV2_State_Handle handle) {
    std::array<Float32, kNumParameters> values{};
    bool found = false;
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        values[id] = ParameterValue(id);
        size_t size = 0;
        uint32_t type = 0;
        uint32_t flags = 0;
        const void* data = retrieve(handle, m_uris.parameters[id], &size, &type, &flags);
        Float32 value = 0.0f;
        if (data != nullptr && ReadNumber(type, uint32_t(size), data, value)) {
            values[id] = RestoredValue(id, value);
            found = true;
        }
    }
    size_t size = 0;
    uint32_t type = 0;
    uint32_t flags = 0;
    const void* nameData = retrieve(handle, m_uris.presetName, &size, &type, &flags);
    const bool hasName = nameData != nullptr && type == m_uris.atomString && size > 0;
    if (!found && !hasName) {
        return LV2_STATE_SUCCESS;
    }

    // The unit's own dictionary gives the registration codes the restore checks.
    plist_t current = nullptr;
    UInt32 currentSize = sizeof(current);
    if (AudioUnitGetProperty(m_unit, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0,
                             &current, &currentSize) != noErr ||
        current == nullptr) {
        return LV2_STATE_ERR_UNKNOWN;
    }
    plist_t state = plist_new_dict();
    for (const char* key : {"version", "type", "subtype", "manufacturer"}) {
        if (plist_t node = plist_dict_get_item(current, key)) {
            plist_dict_set_item(state, key, plist_copy(node));
        }
    }
    plist_free(current);

    std::byte blob[kStateBlobSize];
    PutBigEndian(blob, kAudioUnitScope_Global);
    PutBigEndian(blob + 4, 0);
    PutBigEndian(blob + 8, kNumParameters);
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        PutBigEndian(blob + 12 + 8 * id, id);
        PutBigEndian(blob + 16 + 8 * id, std::bit_cast<UInt32>(values[id]));
    }
    plist_dict_set_item(state, "data",
                        plist_new_data(reinterpret_cast<const char*>(blob), sizeof(blob)));
    if (hasName) {
        const auto* text = static_cast<const char*>(nameData);
        plist_dict_set_item(state, "name",
                            plist_new_string(std::string(text, strnlen(text, size)).c_str()));
    }
    const OSStatus result = AudioUnitSetProperty(m_unit, kAudioUnitProperty_ClassInfo,
                                                 kAudioUnitScope_Global, 0, &state, sizeof(state));
    plist_free(state);
    if (result != noErr) {
        std::fprintf(stderr, "fluxet.lv2: the unit refused the restored state (error %d)\n",
                     int(result));
        return LV2_STATE_ERR_UNKNOWN;
    }
    // Restored values bypass the listeners: tell the others now and the host with the next
    // block.
    m_reportAll.store(true, std::memory_order_release);
    NotifyOtherListeners(kAllParameters);
    return LV2_STATE_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Editors

std::recursive_mutex& MrvnFluxetLV2::EditorLock() {
    static std::recursive_mutex lock;
    return lock;
}

void MrvnFluxetLV2::AttachEditor(EditorLink* link) {
    m_editors.push_back(link);
}

void MrvnFluxetLV2::DetachEditor(EditorLink* link) {
    std::erase(m_editors, link);
}
