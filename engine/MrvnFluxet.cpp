#include "MrvnFluxet.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "AUError.h"
#include "AUHostServices.h"
#include "ComponentEntryPoint.h"
#include "Preferences.h"

namespace {

// The view component the editor is offered as.
constexpr ComponentDescription kFluxetViewDescription{FourCC("auvw"), FourCC("Flxt"),
                                                      FourCC("Mrvn"), 0, 0};

// Private properties answer with a pointer, a count, the offset, or (the reapply trigger) take
// one byte.
struct PrivateProperty {
    AudioUnitPropertyID id;
    UInt32 size;
    bool writable;
};

constexpr PrivateProperty kPrivateProperties[] = {
    {kMrvnProperty_DataToGui, sizeof(void*), false},
    {kMrvnProperty_PrimaryAppSupportName, sizeof(void*), false},
    {kMrvnProperty_SecondaryAppSupportName, sizeof(void*), false},
    {kMrvnProperty_ProductName, sizeof(void*), false},
    {kMrvnProperty_ParameterNames, sizeof(void*), false},
    {kMrvnProperty_NumParameters, sizeof(UInt32), false},
    {kMrvnProperty_ReapplyOSCPort, 1, true},
    {kMrvnProperty_OSCPortOffset, sizeof(SInt32), false},
    {kMrvnProperty_ParameterInfos, sizeof(void*), false},
    {kMrvnProperty_SecondaryGuiFilename, sizeof(void*), false},
    {kMrvnProperty_TransportEvent, sizeof(MrvnTransportEvent), true},
};

const PrivateProperty* FindPrivateProperty(AudioUnitPropertyID id) {
    for (const PrivateProperty& property : kPrivateProperties) {
        if (property.id == id) {
            return &property;
        }
    }
    return nullptr;
}

template <class T> OSStatus AnswerPointer(void* outData, const T* pointer) {
    const void* address = pointer;
    std::memcpy(outData, &address, sizeof(void*));
    return noErr;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Kernel

MrvnFluxet::CFluxetKernel::CFluxetKernel(MrvnFluxet& owner, SInt32 channelIndex)
    : AUKernelBase(&owner), m_core(owner, channelIndex) {}

MrvnFluxet::CFluxetKernel::~CFluxetKernel() = default;

void MrvnFluxet::CFluxetKernel::Reset() {
    m_core.Reset();
}

void MrvnFluxet::CFluxetKernel::Process(const Float32* source, Float32* destination, UInt32 nFrames,
                                        UInt32 numChannels, bool& ioSilence) {
    ThrowIfAUError(ChannelCore::CheckChannelCount(numChannels));
    ioSilence = false;
    // The levels the sub-block's precomputation read, as for every other parameter.
    ThrowIfAUError(m_core.Process(source, destination, nFrames));
}

// ---------------------------------------------------------------------------------------------
// Construction

MrvnFluxet::MrvnFluxet(AudioComponentInstance instance)
    : AUMIDIEffectBase(instance, /*processesInPlace=*/false),
      m_luaMIDIHelper(*this, &m_messageQueue, nullptr), m_oscHelper(this, &m_luaMIDIHelper) {
    m_luaMIDIHelper.SetOSCHelper(&m_oscHelper);
    CompleteFactoryPresets();

    CreateElements();
    Globals()->UseIndexedParameters(kNumParameters);
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        Globals()->SetParameter(id, astParamInfos[id].defaultValue);
        // The indexed table never moves again, so the render reads its records directly.
        m_globalRecords[id] = Globals()->FindParameter(id);
    }
    m_globals = Globals();

    BuildFactoryPresetList();
    SetCurrentPreset(presets[0].presetNumber, presets[0].presetName);
}

void MrvnFluxet::PreDestructor() {
    // Timer callbacks reach the unit through its instance handle: end them before the close
    // request lets go of it, then clean up as every unit does.
    m_luaMIDIHelper.StopTimers();
    AUMIDIEffectBase::PreDestructor();
}

MrvnFluxet::~MrvnFluxet() {
    // No timer callback may set a parameter on a unit that is going away.
    m_luaMIDIHelper.StopTimers();
}

// ---------------------------------------------------------------------------------------------
// Life cycle

OSStatus MrvnFluxet::Initialize() {
    InitializeEngine(GetMaxFramesPerSlice());
    m_callStartFrame = 0;
    m_barLineHanded = false;
    m_restartPending.store(false);
    m_luaMIDIHelper.Transport().Reset(GetSampleRate());
    // Formats are fixed while the unit is initialised.
    m_renderSampleRate = Float32(GetSampleRate());
    g_OSCBasePort.store(GetPrefInt(kPrefOSCBasePort, kDefaultOSCBasePort));
    m_luaMIDIHelper.Initialize();
    // Creates the script's interpreter, whose scripts make their OSC registrations.
    m_oscHelper.Initialize();
    m_oscHelper.CreateTask();
    // A new receive task waits for a port: give it the one the offset already asks for.
    ReapplyOSCPort();
    return AUMIDIEffectBase::Initialize();
}

void MrvnFluxet::Cleanup() {
    m_oscHelper.DestroyTask();
    AUMIDIEffectBase::Cleanup();
}

OSStatus MrvnFluxet::Reset(AudioUnitScope scope, AudioUnitElement element) {
    ResetEngine();
    return AUMIDIEffectBase::Reset(scope, element);
}

// ---------------------------------------------------------------------------------------------
// Properties

OSStatus MrvnFluxet::GetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope,
                                     AudioUnitElement element, UInt32& outDataSize,
                                     Boolean& outWritable) {
    if (scope == kAudioUnitScope_Global) {
        if (const PrivateProperty* property = FindPrivateProperty(id)) {
            outDataSize = property->size;
            outWritable = property->writable;
            return noErr;
        }
        switch (id) {
        case kAudioUnitProperty_CocoaUI:
            outDataSize = sizeof(AudioUnitCocoaViewInfo);
            outWritable = false;
            return noErr;
        case kAudioUnitProperty_ParameterStringFromValue:
            outDataSize = sizeof(AudioUnitParameterStringFromValue);
            outWritable = false;
            return noErr;
        default:
            break;
        }
    }
    return AUMIDIEffectBase::GetPropertyInfo(id, scope, element, outDataSize, outWritable);
}

OSStatus MrvnFluxet::GetProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                 AudioUnitElement element, void* outData) {
    if (scope == kAudioUnitScope_Global) {
        switch (id) {
        case kMrvnProperty_DataToGui:
            return AnswerPointer(outData, &LiveValues());
        case kMrvnProperty_PrimaryAppSupportName:
            return AnswerPointer(outData, GetPrimaryAppSupportName());
        case kMrvnProperty_SecondaryAppSupportName:
            return AnswerPointer(outData, GetSecondaryAppSupportName());
        case kMrvnProperty_ProductName:
            return AnswerPointer(outData, kProductName);
        case kMrvnProperty_ParameterNames:
        case kMrvnProperty_ReapplyOSCPort:
        case kMrvnProperty_TransportEvent:
            return kAudioUnitErr_InvalidProperty;
        case kMrvnProperty_NumParameters: {
            const UInt32 count = kNumParameters;
            std::memcpy(outData, &count, sizeof(count));
            return noErr;
        }
        case kMrvnProperty_OSCPortOffset: {
            const SInt32 offset = TruncatedOSCPortOffset(GlobalValue(kParam_OSCPortOffset));
            std::memcpy(outData, &offset, sizeof(offset));
            return noErr;
        }
        case kMrvnProperty_ParameterInfos:
            return AnswerPointer(outData, astParamInfos);
        case kMrvnProperty_SecondaryGuiFilename:
            return AnswerPointer(outData, GetSecondaryGuiFilename());
        case kAudioUnitProperty_CocoaUI:
            return fnfErr; // the editor bundle is not part of this build
        case kAudioUnitProperty_ParameterStringFromValue: {
            auto& request = *static_cast<AudioUnitParameterStringFromValue*>(outData);
            if (request.inParamID >= kNumParameters) {
                return kAudioUnitErr_InvalidParameter;
            }
            return GetFluxetValueName(request, GlobalValue(request.inParamID));
        }
        default:
            break;
        }
    }
    return AUMIDIEffectBase::GetProperty(id, scope, element, outData);
}

OSStatus MrvnFluxet::SetProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                 AudioUnitElement element, const void* inData, UInt32 inDataSize) {
    if (scope == kAudioUnitScope_Global) {
        if (id == kMrvnProperty_ReapplyOSCPort) {
            // Every listener hears parameter 15 again, and SetParameter re-applies the port
            // (used after the base-port preference changed).
            const AudioUnitParameter offset{GetComponentInstance(), kParam_OSCPortOffset,
                                            kAudioUnitScope_Global, 0};
            return AUParameterSet(nullptr, nullptr, &offset, GlobalValue(kParam_OSCPortOffset), 0);
        }
        if (id == kMrvnProperty_TransportEvent) {
            // On the render thread, like MIDI: queued, nothing else.
            if (inDataSize != sizeof(MrvnTransportEvent)) {
                return kAudioUnitErr_InvalidPropertyValue;
            }
            MrvnTransportEvent event;
            std::memcpy(&event, inData, sizeof(event));
            return m_luaMIDIHelper.HandleTransportEvent(event) ? noErr : -1;
        }
        if (const PrivateProperty* property = FindPrivateProperty(id); property != nullptr) {
            return kAudioUnitErr_InvalidPropertyValue; // read-only
        }
    }
    return AUMIDIEffectBase::SetProperty(id, scope, element, inData, inDataSize);
}

// ---------------------------------------------------------------------------------------------
// Parameters, presets, state

OSStatus MrvnFluxet::SetParameter(AudioUnitParameterID paramID, AudioUnitScope scope,
                                  AudioUnitElement element, AudioUnitParameterValue value,
                                  UInt32 bufferOffset) {
    // A NaN or infinity would poison the block record and the read position.
    if (!std::isfinite(value)) {
        return kAudio_ParamError;
    }
    const OSStatus result =
        AUMIDIEffectBase::SetParameter(paramID, scope, element, value, bufferOffset);
    if (scope != kAudioUnitScope_Global) {
        return result;
    }
    if (paramID == kParam_OSCPortOffset) {
        ApplyOSCPort(value);
    }
    m_oscHelper.NotifySetParam(SInt32(paramID), GlobalValue(paramID));
    return result;
}

OSStatus MrvnFluxet::GetParameterInfo(AudioUnitScope scope, AudioUnitParameterID paramID,
                                      AudioUnitParameterInfo& outInfo) {
    return GetFluxetParameterInfo(scope, paramID, outInfo);
}

OSStatus MrvnFluxet::GetParameterValueStrings(AudioUnitScope /*scope*/,
                                              AudioUnitParameterID /*paramID*/,
                                              plist_t* outStrings) {
    // Value names reach hosts only through the string-from-value request.
    return outStrings == nullptr ? noErr : OSStatus(kAudioUnitErr_InvalidProperty);
}

OSStatus MrvnFluxet::GetPresets(AUPresetList* outPresets) const {
    if (outPresets != nullptr) {
        *outPresets = AUPresetList{kNumFactoryPresets, presets};
    }
    return noErr;
}

OSStatus MrvnFluxet::NewFactoryPresetSet(const AUPreset& preset) {
    const AUPreset* found = nullptr;
    for (const AUPreset& entry : presets) {
        if (entry.presetNumber == preset.presetNumber) {
            found = &entry;
        }
    }
    if (found == nullptr) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
    const MrvnFactoryPreset& record = astPresets[found->presetNumber];
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        const AudioUnitParameter parameter{GetComponentInstance(), id, kAudioUnitScope_Global, 0};
        AUParameterSet(nullptr, nullptr, &parameter, record.values[id], 0);
    }
    // Each value went through SetParameter, which told the OSC clients already.
    SetCurrentPreset(found->presetNumber, found->presetName);
    ReapplyOSCPort();
    return noErr;
}

OSStatus MrvnFluxet::RestoreState(plist_t inData) {
    const OSStatus result = AUMIDIEffectBase::RestoreState(inData);
    if (result != noErr) {
        return result;
    }
    ReapplyOSCPort();
    // Restored values bypass SetParameter: this is the one notification of each, without which
    // OSC clients watching them would show the old ones until the next change.
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        m_oscHelper.NotifySetParam(SInt32(id), GlobalValue(id));
    }
    return noErr;
}

void MrvnFluxet::GetUIComponentDescs(ComponentDescription* outDescs) {
    outDescs[0] = kFluxetViewDescription;
}

// Automation and MIDI scripts come here on the render thread: the server only records the
// port and wakes its tasks, which move the socket.
void MrvnFluxet::ApplyOSCPort(AudioUnitParameterValue offset) {
    const std::optional<SInt32> port = OSCPortForOffset(offset, g_OSCBasePort.load());
    m_oscPort.store(port.value_or(0), std::memory_order_relaxed);
    if (port) {
        m_oscHelper.SetPort(*port);
    } else {
        m_oscHelper.Disable();
    }
}

void MrvnFluxet::ReapplyOSCPort() {
    ApplyOSCPort(GlobalValue(kParam_OSCPortOffset));
}

// ---------------------------------------------------------------------------------------------
// Kernels and rendering

std::unique_ptr<AUKernelBase> MrvnFluxet::NewKernel() {
    return std::make_unique<CFluxetKernel>(*this, SInt32(GetNumberOfKernels()));
}

void MrvnFluxet::RequestModulationRestart(Float32 phase) {
    m_restartPhase.store(phase, std::memory_order_relaxed);
    m_restartPending.store(true, std::memory_order_release);
}

void MrvnFluxet::DoPrecomps(UInt32 frames) {
    if (m_restartPending.load(std::memory_order_relaxed) &&
        m_restartPending.exchange(false, std::memory_order_acquire)) {
        RestartLFOs(m_restartPhase.load(std::memory_order_relaxed));
        for (UInt32 channel = 0; channel < GetNumberOfKernels(); ++channel) {
            if (auto* kernel = static_cast<CFluxetKernel*>(GetKernel(channel))) {
                kernel->RestartModulation();
            }
        }
    }
    static const KernelState kNoState{};
    const auto* first = static_cast<const CFluxetKernel*>(GetKernel(0));
    const KernelState& firstState = first != nullptr ? first->Core().State() : kNoState;
    // No value written since the last reading: the same values again, without reading them.
    const UInt32 writes = m_globals->ValueWrites();
    if (writes == m_valueWritesRead && RepeatPrecomps(m_renderSampleRate, firstState)) {
        return;
    }
    m_valueWritesRead = writes;
    Float32 params[kNumParameters];
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        params[id] = GlobalValue(id);
    }
    MrvnFluxetEngine::DoPrecomps(frames, params, m_renderSampleRate, firstState);
}

OSStatus MrvnFluxet::RenderBus(AudioUnitRenderActionFlags& ioActionFlags,
                               const AudioTimeStamp& timeStamp, UInt32 /*bus*/, UInt32 nFrames) {
    if (nFrames == 0) {
        // A host hands on more messages than the queue holds at one frame this way. Without
        // audio nothing takes the time stamp, so the render it belongs to still comes.
        HandOnQueuedMessages(0);
        return noErr;
    }
    OSStatus result = noErr;
    if (NeedsToRender(timeStamp)) {
        m_renderPosition = 0;
        result = Render(ioActionFlags, timeStamp, nFrames);
        // What lies beyond the block (and, bypassed, everything) comes after its last frame,
        // so that no message waits to be placed by the next block's frames.
        HandOnQueuedMessages(nFrames);
        m_callStartFrame += nFrames;
        m_luaMIDIHelper.Transport().SetFrame(m_callStartFrame);
    }
    // Even for a second bus of the same block: the next call crossfades from this record.
    EndRenderCall();
    return result;
}

// Only this file renders sub-blocks, and the common path keeps no call of its own.
inline OSStatus MrvnFluxet::RenderSubBlock(AudioUnitRenderActionFlags& ioActionFlags,
                                           const AudioBufferList& inBuffer,
                                           AudioBufferList& outBuffer, UInt32 offset,
                                           UInt32 frames) {
    SetSubBlockOffset(offset);
    DoPrecomps(frames);
    return AUMIDIEffectBase::ProcessBufferLists(ioActionFlags, inBuffer, outBuffer, frames);
}

OSStatus MrvnFluxet::ProcessBufferLists(AudioUnitRenderActionFlags& ioActionFlags,
                                        const AudioBufferList& inBuffer, AudioBufferList& outBuffer,
                                        UInt32 nFrames) {
    // Messages count their frames from the start of the render call, and the framework may
    // have split the call into slices at scheduled parameter events: this slice covers
    // [sliceStart, sliceEnd) of it. A message beyond it is held for a later slice.
    const UInt32 sliceStart = m_renderPosition;
    const UInt32 sliceEnd = sliceStart + nFrames;
    UInt32 position = sliceStart;
    const auto renderUntil = [&](UInt32 frame) {
        // Bar lines cut the audio only for scripts that asked to hear them.
        const OSStatus result =
            m_luaMIDIHelper.HasBarRequests()
                ? RenderToBarLines(ioActionFlags, inBuffer, outBuffer, sliceStart, position, frame)
                : RenderSubBlock(ioActionFlags, inBuffer, outBuffer, position - sliceStart,
                                 frame - position);
        position = frame;
        return result;
    };
    for (;;) {
        const MV::MessageQueueItem* item =
            m_heldMessage != nullptr ? m_heldMessage : m_messageQueue.Read();
        m_heldMessage = nullptr;
        if (item == nullptr) {
            break;
        }
        if (item->m_startFrame >= sliceEnd) {
            m_heldMessage = item; // the reader's until its next read
            break;
        }
        if (item->m_startFrame > position && SplitsAudio(*item)) {
            if (const OSStatus result = renderUntil(item->m_startFrame); result != noErr) {
                return result;
            }
        }
        HandOn(*item, std::max(position, item->m_startFrame));
    }
    if (position < sliceEnd) {
        if (const OSStatus result = renderUntil(sliceEnd); result != noErr) {
            return result;
        }
    }
    m_renderPosition = sliceEnd;
    return noErr;
}

void MrvnFluxet::HandOnQueuedMessages(UInt32 frames) {
    const MV::MessageQueueItem* item =
        m_heldMessage != nullptr ? m_heldMessage : m_messageQueue.Read();
    m_heldMessage = nullptr;
    for (; item != nullptr; item = m_messageQueue.Read()) {
        HandOn(*item, std::min(item->m_startFrame, frames));
    }
}

void MrvnFluxet::HandOn(const MV::MessageQueueItem& item, UInt32 frame) {
    MV::TransportClock& clock = m_luaMIDIHelper.Transport();
    // Never back: a host that gives its messages out of order gets them at the later frame.
    clock.SetFrame(std::max(m_callStartFrame + frame, clock.Frame()));
    DispatchQueuedMessage(item);
}

bool MrvnFluxet::SplitsAudio(const MV::MessageQueueItem& item) const {
    return item.m_type != MV::MessageQueueItem::kTypeTransport ||
           m_luaMIDIHelper.HasTransportRequests();
}

OSStatus MrvnFluxet::RenderToBarLines(AudioUnitRenderActionFlags& ioActionFlags,
                                      const AudioBufferList& inBuffer, AudioBufferList& outBuffer,
                                      UInt32 sliceStart, UInt32 from, UInt32 to) {
    while (from < to) {
        const UInt32 until = HandBarLines(from, to);
        const OSStatus result =
            RenderSubBlock(ioActionFlags, inBuffer, outBuffer, from - sliceStart, until - from);
        if (result != noErr) {
            return result;
        }
        from = until;
    }
    return noErr;
}

UInt32 MrvnFluxet::HandBarLines(UInt32 from, UInt32 to) {
    MV::TransportClock& clock = m_luaMIDIHelper.Transport();
    const MV::TransportClock::View& view = clock.RenderView();
    const UInt64 start = m_callStartFrame + from;
    UInt64 line = 0;
    Float64 bar = 0.0;
    if (!view.NextBarLine(start, line, bar)) {
        return to;
    }
    if (line == start) {
        // A bar line at the end of one stretch of audio is the start of the next: once.
        if (!m_barLineHanded || m_lastBarLine != start) {
            m_barLineHanded = true;
            m_lastBarLine = start;
            clock.SetFrame(start);
            m_luaMIDIHelper.HandleBarLine(bar);
        }
        if (!view.NextBarLine(start + 1, line, bar)) {
            return to;
        }
    }
    return line - m_callStartFrame < to ? UInt32(line - m_callStartFrame) : to;
}

void MrvnFluxet::DispatchQueuedMessage(const MV::MessageQueueItem& item) {
    m_luaMIDIHelper.HandleMessageQueueItem(&item);
}

OSStatus MrvnFluxet::HandleMidiEvent(UInt8 status, UInt8 channel, UInt8 data1, UInt8 data2,
                                     UInt32 startFrame) {
    return m_luaMIDIHelper.HandleMidiEvent(status, channel, data1, data2, startFrame) ? noErr : -1;
}

OSStatus MrvnFluxet::HandleSysEx(const UInt8* data, UInt32 length) {
    return m_luaMIDIHelper.HandleSysEx(data, length) ? noErr : -1;
}

// ---------------------------------------------------------------------------------------------
// Entries

OSStatus MrvnFluxetEntry(ComponentParameters* params, ComponentInstance instance) {
    return ComponentEntryPoint<MrvnFluxet>::Dispatch(params, instance);
}

OSStatus MrvnFluxetViewEntry(ComponentParameters* /*params*/, ComponentInstance /*instance*/) {
    return noErr;
}
