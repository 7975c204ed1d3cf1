#include "AUBase.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "AUError.h"

namespace {

template <typename T> const T& DataAs(const void* data) {
    return *static_cast<const T*>(data);
}
template <typename T> void StoreTo(void* data, const T& value) {
    std::memcpy(data, &value, sizeof(T));
}

bool IsIOScope(AudioUnitScope scope) {
    return scope == kAudioUnitScope_Input || scope == kAudioUnitScope_Output;
}

// Fast entries hand the request straight to the unit in the instance storage.
OSStatus FastGetParameter(void* storage, AudioUnitParameterID id, AudioUnitScope scope,
                          AudioUnitElement element, AudioUnitParameterValue* outValue) {
    try {
        if (storage == nullptr || outValue == nullptr) {
            return kAudio_ParamError;
        }
        auto* unit = static_cast<AUBase*>(static_cast<ComponentBase*>(storage));
        return unit->GetParameter(id, scope, element, *outValue);
    } catch (...) {
        return ResultFromCurrentException();
    }
}

OSStatus FastSetParameter(void* storage, AudioUnitParameterID id, AudioUnitScope scope,
                          AudioUnitElement element, AudioUnitParameterValue value,
                          UInt32 bufferOffset) {
    try {
        if (storage == nullptr) {
            return kAudio_ParamError;
        }
        auto* unit = static_cast<AUBase*>(static_cast<ComponentBase*>(storage));
        return unit->SetParameter(id, scope, element, value, bufferOffset);
    } catch (...) {
        return ResultFromCurrentException();
    }
}

OSStatus FastRender(void* storage, AudioUnitRenderActionFlags* ioActionFlags,
                    const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 nFrames,
                    AudioBufferList* ioData) {
    if (storage == nullptr || ioActionFlags == nullptr || timeStamp == nullptr ||
        ioData == nullptr) {
        return kAudio_ParamError;
    }
    auto* unit = static_cast<AUBase*>(static_cast<ComponentBase*>(storage));
    return unit->DoRender(*ioActionFlags, *timeStamp, bus, nFrames, *ioData);
}

} // namespace

AUBase::AUBase(AudioComponentInstance instance, UInt32 numInputElements, UInt32 numOutputElements,
               UInt32 numGroupElements)
    : ComponentBase(instance), m_initialElementCounts{1, numInputElements, numOutputElements,
                                                      numGroupElements} {
    m_paramEventList.reserve(kScheduledEventReserve);
    m_presetNames.insert(kUntitledPresetName);
    m_presetName = m_presetNames.find(kUntitledPresetName)->c_str();
    ResetRenderTime();
}

AUBase::~AUBase() = default;

// ---- Elements -------------------------------------------------------------------------

void AUBase::CreateElements() {
    if (m_elementsCreated) {
        return;
    }
    for (AudioUnitScope scope = 0; scope < kNumberOfScopes; ++scope) {
        m_scopes[scope].Initialize(this, scope, m_initialElementCounts[scope]);
    }
    m_elementsCreated = true;
}

std::unique_ptr<AUElement> AUBase::CreateElement(AudioUnitScope scope,
                                                 AudioUnitElement /*element*/) {
    switch (scope) {
    case kAudioUnitScope_Input:
        return std::make_unique<AUInputElement>(this);
    case kAudioUnitScope_Output:
        return std::make_unique<AUOutputElement>(this);
    default:
        return std::make_unique<AUElement>(this);
    }
}

AUScope& AUBase::GetScope(AudioUnitScope scope) {
    if (scope < kNumberOfScopes) {
        return m_scopes[scope];
    }
    AUScope* extended = GetScopeExtended(scope);
    if (extended == nullptr) {
        ThrowAUError(kAudioUnitErr_InvalidScope, "scope lookup");
    }
    return *extended;
}

AUElement& AUBase::GetElement(AudioUnitScope scope, AudioUnitElement element) {
    return GetScope(scope).SafeGetElement(element);
}

AUElement* AUBase::GetElementIfExists(AudioUnitScope scope, AudioUnitElement element) noexcept {
    return scope < kNumberOfScopes ? m_scopes[scope].GetElement(element) : nullptr;
}

AUInputElement& AUBase::GetInput(AudioUnitElement element) {
    return static_cast<AUInputElement&>(Inputs().SafeGetElement(element));
}

AUOutputElement& AUBase::GetOutput(AudioUnitElement element) {
    return static_cast<AUOutputElement&>(Outputs().SafeGetElement(element));
}

AUIOElement& AUBase::GetIOElement(AudioUnitScope scope, AudioUnitElement element) {
    switch (scope) {
    case kAudioUnitScope_Global:
        return GetOutput(0);
    case kAudioUnitScope_Input:
        return GetInput(element);
    case kAudioUnitScope_Output:
        return GetOutput(element);
    default:
        ThrowAUError(kAudioUnitErr_InvalidScope, "stream format scope");
    }
}

// ---- Life cycle -----------------------------------------------------------------------

void AUBase::AllocateIOBuffers() {
    for (AUScope* scope : {&Inputs(), &Outputs()}) {
        for (UInt32 i = 0; i < scope->GetNumberOfElements(); ++i) {
            scope->GetIOElement(i)->AllocateBuffer(m_maxFramesPerSlice);
        }
    }
}

void AUBase::DeallocateIOBuffers() {
    for (AUScope* scope : {&Inputs(), &Outputs()}) {
        for (UInt32 i = 0; i < scope->GetNumberOfElements(); ++i) {
            scope->GetIOElement(i)->DeallocateBuffer();
        }
    }
}

OSStatus AUBase::DoInitialize() {
    if (IsInitialized()) {
        return noErr;
    }
    AllocateIOBuffers();
    const OSStatus result = Initialize();
    if (result != noErr) {
        DeallocateIOBuffers();
        return result;
    }
    m_initialized.store(true, std::memory_order_release);
    return noErr;
}

void AUBase::DoCleanup() {
    if (!IsInitialized()) {
        return;
    }
    m_initialized.store(false, std::memory_order_release);
    Cleanup();
    DeallocateIOBuffers();
}

OSStatus AUBase::Reset(AudioUnitScope /*scope*/, AudioUnitElement /*element*/) {
    ResetRenderTime();
    return noErr;
}

// ---- Parameters -----------------------------------------------------------------------

OSStatus AUBase::GetParameter(AudioUnitParameterID paramID, AudioUnitScope scope,
                              AudioUnitElement element, AudioUnitParameterValue& outValue) {
    outValue = GetElement(scope, element).GetParameter(paramID);
    return noErr;
}

OSStatus AUBase::SetParameter(AudioUnitParameterID paramID, AudioUnitScope scope,
                              AudioUnitElement element, AudioUnitParameterValue value,
                              UInt32 /*bufferOffset*/) {
    GetElement(scope, element).SetParameter(paramID, value, false);
    return noErr;
}

OSStatus AUBase::ScheduleParameter(const AudioUnitParameterEvent* events, UInt32 count) {
    OSStatus result = noErr;
    for (UInt32 i = 0; i < count; ++i) {
        const AudioUnitParameterEvent& event = events[i];
        // The slices write values straight into the elements, past any check of the unit's
        // own set: a value that is not finite is refused here, and so is an event the unit's
        // set refuses.
        const bool immediate = event.eventType == kParameterEvent_Immediate;
        const bool finite = immediate ? std::isfinite(event.eventValues.immediate.value)
                                      : std::isfinite(event.eventValues.ramp.startValue) &&
                                            std::isfinite(event.eventValues.ramp.endValue);
        OSStatus status = finite ? noErr : OSStatus(kAudio_ParamError);
        if (status == noErr && immediate) {
            status = SetParameter(event.parameter, event.scope, event.element,
                                  event.eventValues.immediate.value,
                                  event.eventValues.immediate.bufferOffset);
        }
        if (status != noErr) {
            result = result != noErr ? result : status;
            continue;
        }
        m_paramEventList.push_back(event);
    }
    return result;
}

OSStatus AUBase::GetParameterInfo(AudioUnitScope /*scope*/, AudioUnitParameterID /*paramID*/,
                                  AudioUnitParameterInfo& /*outInfo*/) {
    return kAudioUnitErr_InvalidParameter;
}

OSStatus AUBase::GetParameterValueStrings(AudioUnitScope /*scope*/,
                                          AudioUnitParameterID /*paramID*/,
                                          plist_t* /*outStrings*/) {
    return kAudioUnitErr_InvalidProperty;
}

UInt32 AUBase::GetParameterList(AudioUnitScope scope, AudioUnitParameterID* outList) {
    AUScope& theScope = GetScope(scope);
    AUElement* largest = nullptr;
    for (UInt32 i = 0; i < theScope.GetNumberOfElements(); ++i) {
        AUElement* element = theScope.GetElement(i);
        if (largest == nullptr ||
            element->GetNumberOfParameters() > largest->GetNumberOfParameters()) {
            largest = element;
        }
    }
    if (largest == nullptr) {
        return 0;
    }
    if (outList != nullptr) {
        largest->GetParameterList(outList);
    }
    return largest->GetNumberOfParameters();
}

// ---- Properties -----------------------------------------------------------------------

bool AUBase::IsFastDispatchSelector(AudioUnitElement selector) const {
    return selector == kAudioUnitGetParameterSelect || selector == kAudioUnitSetParameterSelect ||
           selector == kAudioUnitRenderSelect;
}

void* AUBase::FastDispatchProc(AudioUnitElement selector) const {
    switch (selector) {
    case kAudioUnitGetParameterSelect:
        return reinterpret_cast<void*>(&FastGetParameter);
    case kAudioUnitSetParameterSelect:
        return reinterpret_cast<void*>(&FastSetParameter);
    case kAudioUnitRenderSelect:
        return reinterpret_cast<void*>(&FastRender);
    default:
        return nullptr;
    }
}

OSStatus AUBase::GetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope,
                                 AudioUnitElement element, UInt32& outDataSize,
                                 Boolean& outWritable) {
    const bool global = scope == kAudioUnitScope_Global;
    outWritable = false;
    switch (id) {
    case kAudioUnitProperty_ClassInfo:
        if (!global) {
            return kAudioUnitErr_InvalidScope;
        }
        outDataSize = sizeof(plist_t);
        outWritable = true;
        return noErr;
    case kAudioUnitProperty_MakeConnection:
        if (scope != kAudioUnitScope_Input) {
            return kAudioUnitErr_InvalidScope;
        }
        GetInput(element);
        outDataSize = sizeof(AudioUnitConnection);
        outWritable = true;
        return noErr;
    case kAudioUnitProperty_SampleRate:
        GetIOElement(scope, element);
        outDataSize = sizeof(Float64);
        outWritable = true;
        return noErr;
    case kAudioUnitProperty_StreamFormat:
        GetIOElement(scope, element);
        outDataSize = sizeof(AudioStreamBasicDescription);
        outWritable = true;
        return noErr;
    case kAudioUnitProperty_ParameterList:
        outDataSize = UInt32(GetParameterList(scope, nullptr) * sizeof(AudioUnitParameterID));
        return noErr;
    case kAudioUnitProperty_ParameterInfo:
        GetScope(scope);
        outDataSize = sizeof(AudioUnitParameterInfo);
        return noErr;
    case kAudioUnitProperty_FastDispatch:
        if (!global) {
            return kAudioUnitErr_InvalidScope;
        }
        if (!IsFastDispatchSelector(element)) {
            return kAudioUnitErr_InvalidProperty;
        }
        outDataSize = sizeof(void*);
        return noErr;
    case kAudioUnitProperty_ElementCount:
        GetScope(scope);
        outDataSize = sizeof(UInt32);
        outWritable = IsIOScope(scope);
        return noErr;
    case kAudioUnitProperty_Latency:
    case kAudioUnitProperty_LastRenderError:
    case kAudioUnitProperty_MaximumFramesPerSlice:
    case kAudioUnitProperty_HostCallbacks:
    case kAudioUnitProperty_PresentPreset:
        if (!global) {
            return kAudioUnitErr_InvalidScope;
        }
        outDataSize = id == kAudioUnitProperty_Latency           ? sizeof(Float64)
                      : id == kAudioUnitProperty_LastRenderError ? sizeof(OSStatus)
                      : id == kAudioUnitProperty_HostCallbacks   ? sizeof(HostCallbackInfo)
                      : id == kAudioUnitProperty_PresentPreset   ? sizeof(AUPreset)
                                                                 : sizeof(UInt32);
        outWritable = id == kAudioUnitProperty_MaximumFramesPerSlice ||
                      id == kAudioUnitProperty_HostCallbacks ||
                      id == kAudioUnitProperty_PresentPreset;
        return noErr;
    case kAudioUnitProperty_TailTime:
        if (!SupportsTail()) {
            return kAudioUnitErr_InvalidProperty;
        }
        if (!global) {
            return kAudioUnitErr_InvalidScope;
        }
        outDataSize = sizeof(Float64);
        return noErr;
    case kAudioUnitProperty_ParameterValueStrings: {
        const OSStatus result = GetParameterValueStrings(scope, element, nullptr);
        if (result == noErr) {
            outDataSize = sizeof(plist_t);
        }
        return result;
    }
    case kAudioUnitProperty_GetUIComponentList: {
        const UInt32 count = GetNumCustomUIComponents();
        if (count == 0) {
            return kAudioUnitErr_InvalidProperty;
        }
        outDataSize = UInt32(count * sizeof(ComponentDescription));
        return noErr;
    }
    case kAudioUnitProperty_SetRenderCallback:
        if (scope != kAudioUnitScope_Input) {
            return kAudioUnitErr_InvalidScope;
        }
        GetInput(element);
        outDataSize = sizeof(AURenderCallbackStruct);
        outWritable = true;
        return noErr;
    case kAudioUnitProperty_FactoryPresets: {
        if (!global) {
            return kAudioUnitErr_InvalidScope;
        }
        const OSStatus result = GetPresets(nullptr);
        if (result == noErr) {
            outDataSize = sizeof(AUPresetList);
        }
        return result;
    }
    case kAudioUnitProperty_ElementName:
        GetElement(scope, element);
        outDataSize = sizeof(const char*);
        outWritable = true;
        return noErr;
    default:
        return kAudioUnitErr_InvalidProperty;
    }
}

OSStatus AUBase::GetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                             void* outData) {
    switch (id) {
    case kAudioUnitProperty_ClassInfo:
        return SaveState(static_cast<plist_t*>(outData));
    case kAudioUnitProperty_MakeConnection:
        StoreTo(outData, GetInput(element).GetConnection());
        return noErr;
    case kAudioUnitProperty_SampleRate:
        StoreTo(outData, GetIOElement(scope, element).GetStreamFormat().mSampleRate);
        return noErr;
    case kAudioUnitProperty_StreamFormat:
        StoreTo(outData, GetIOElement(scope, element).GetStreamFormat());
        return noErr;
    case kAudioUnitProperty_ParameterList:
        GetParameterList(scope, static_cast<AudioUnitParameterID*>(outData));
        return noErr;
    case kAudioUnitProperty_ParameterInfo: {
        AudioUnitParameterInfo info{};
        const OSStatus result = GetParameterInfo(scope, element, info);
        if (result == noErr) {
            StoreTo(outData, info);
        }
        return result;
    }
    case kAudioUnitProperty_FastDispatch:
        StoreTo(outData, FastDispatchProc(element));
        return noErr;
    case kAudioUnitProperty_ElementCount:
        StoreTo(outData, GetScope(scope).GetNumberOfElements());
        return noErr;
    case kAudioUnitProperty_Latency:
        StoreTo(outData, GetLatency());
        return noErr;
    case kAudioUnitProperty_LastRenderError:
        // Reading clears it, so that the next failing render is recorded and reported again.
        StoreTo(outData, m_lastRenderError.exchange(noErr));
        return noErr;
    case kAudioUnitProperty_MaximumFramesPerSlice:
        StoreTo(outData, m_maxFramesPerSlice);
        return noErr;
    case kAudioUnitProperty_HostCallbacks:
        StoreTo(outData, m_hostCallbackInfo);
        return noErr;
    case kAudioUnitProperty_PresentPreset:
        StoreTo(outData, GetCurrentPreset());
        return noErr;
    case kAudioUnitProperty_TailTime:
        StoreTo(outData, GetTailTime());
        return noErr;
    case kAudioUnitProperty_ParameterValueStrings:
        return GetParameterValueStrings(scope, element, static_cast<plist_t*>(outData));
    case kAudioUnitProperty_GetUIComponentList:
        GetUIComponentDescs(static_cast<ComponentDescription*>(outData));
        return noErr;
    case kAudioUnitProperty_SetRenderCallback:
        StoreTo(outData, GetInput(element).GetInputCallback());
        return noErr;
    case kAudioUnitProperty_FactoryPresets:
        return GetPresets(static_cast<AUPresetList*>(outData));
    case kAudioUnitProperty_ElementName: {
        const AUElement& theElement = GetElement(scope, element);
        if (!theElement.HasName()) {
            return kAudioUnitErr_InvalidPropertyValue;
        }
        StoreTo(outData, theElement.GetName().c_str());
        return noErr;
    }
    default:
        return kAudioUnitErr_InvalidProperty;
    }
}

OSStatus AUBase::SetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                             const void* inData, UInt32 inDataSize) {
    UInt32 size = 0;
    Boolean writable = false;
    const OSStatus known = GetPropertyInfo(id, scope, element, size, writable);
    if (known != noErr) {
        return known;
    }
    if (!writable) {
        return kAudioUnitErr_PropertyNotWritable;
    }
    if (inDataSize < size) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
    switch (id) {
    case kAudioUnitProperty_ClassInfo:
        return RestoreState(DataAs<plist_t>(inData));
    case kAudioUnitProperty_MakeConnection:
        GetInput(element).SetConnection(DataAs<AudioUnitConnection>(inData));
        PropertyChanged(id, scope, element);
        return noErr;
    case kAudioUnitProperty_SampleRate:
    case kAudioUnitProperty_StreamFormat: {
        if (IsInitialized()) {
            return kAudioUnitErr_Initialized;
        }
        if (!StreamFormatWritable(scope, element)) {
            return kAudioUnitErr_PropertyNotWritable;
        }
        const AudioStreamBasicDescription previous = GetIOElement(scope, element).GetStreamFormat();
        AudioStreamBasicDescription format = previous;
        if (id == kAudioUnitProperty_SampleRate) {
            format.mSampleRate = DataAs<Float64>(inData);
        } else {
            format = DataAs<AudioStreamBasicDescription>(inData);
        }
        if (!ValidFormat(scope, element, format)) {
            return kAudioUnitErr_FormatNotSupported;
        }
        const OSStatus result = ChangeStreamFormat(scope, element, previous, format);
        if (result == noErr) {
            PropertyChanged(kAudioUnitProperty_StreamFormat, scope, element);
        }
        return result;
    }
    case kAudioUnitProperty_ElementCount:
        if (IsInitialized()) {
            return kAudioUnitErr_Initialized;
        }
        GetScope(scope).SetNumberOfElements(DataAs<UInt32>(inData));
        PropertyChanged(id, scope, element);
        return noErr;
    case kAudioUnitProperty_MaximumFramesPerSlice: {
        const UInt32 frames = DataAs<UInt32>(inData);
        if (frames == 0) {
            return kAudioUnitErr_InvalidPropertyValue;
        }
        SetMaxFramesPerSlice(frames);
        PropertyChanged(id, scope, element);
        return noErr;
    }
    case kAudioUnitProperty_HostCallbacks:
        m_hostCallbackInfo = DataAs<HostCallbackInfo>(inData);
        PropertyChanged(id, scope, element);
        return noErr;
    case kAudioUnitProperty_PresentPreset:
        return SetPresentPreset(DataAs<AUPreset>(inData));
    case kAudioUnitProperty_SetRenderCallback: {
        const auto& callback = DataAs<AURenderCallbackStruct>(inData);
        GetInput(element).SetInputCallback(callback.inputProc, callback.inputProcRefCon);
        PropertyChanged(id, scope, element);
        return noErr;
    }
    case kAudioUnitProperty_ElementName: {
        const char* name = DataAs<const char*>(inData);
        GetElement(scope, element).SetName(name != nullptr ? name : "");
        PropertyChanged(id, scope, element);
        return noErr;
    }
    default:
        return kAudioUnitErr_InvalidProperty;
    }
}

OSStatus AUBase::RemovePropertyValue(AudioUnitPropertyID id, AudioUnitScope scope,
                                     AudioUnitElement element) {
    switch (id) {
    case kAudioUnitProperty_MakeConnection:
    case kAudioUnitProperty_SetRenderCallback:
        if (scope != kAudioUnitScope_Input) {
            return kAudioUnitErr_InvalidScope;
        }
        if (id == kAudioUnitProperty_MakeConnection) {
            GetInput(element).SetConnection(AudioUnitConnection{});
        } else {
            GetInput(element).SetInputCallback(nullptr, nullptr);
        }
        PropertyChanged(id, scope, element);
        return noErr;
    case kAudioUnitProperty_ElementName:
        GetElement(scope, element).SetName("");
        PropertyChanged(id, scope, element);
        return noErr;
    case kAudioUnitProperty_HostCallbacks:
        if (scope != kAudioUnitScope_Global) {
            return kAudioUnitErr_InvalidScope;
        }
        m_hostCallbackInfo = HostCallbackInfo{};
        PropertyChanged(id, scope, element);
        return noErr;
    default:
        return kAudioUnitErr_InvalidProperty;
    }
}

OSStatus AUBase::DispatchGetProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                     AudioUnitElement element, void* outData, UInt32* ioDataSize) {
    if (ioDataSize == nullptr) {
        return kAudio_ParamError;
    }
    UInt32 size = 0;
    Boolean writable = false;
    OSStatus result = GetPropertyInfo(id, scope, element, size, writable);
    if (result != noErr) {
        return result;
    }
    if (outData == nullptr) {
        *ioDataSize = size;
        return noErr;
    }
    if (*ioDataSize < size) {
        return kAudio_ParamError;
    }
    result = GetProperty(id, scope, element, outData);
    if (result == noErr) {
        *ioDataSize = size;
    }
    return result;
}

// ---- Property listeners ---------------------------------------------------------------

OSStatus AUBase::AddPropertyListener(AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc,
                                     void* userData) {
    if (proc == nullptr) {
        return kAudio_ParamError;
    }
    std::lock_guard lock(m_listenerMutex);
    if (m_propertyListeners.capacity() == 0) {
        m_propertyListeners.reserve(kPropertyListenerReserve);
    }
    m_propertyListeners.push_back(PropertyListener{id, proc, userData});
    return noErr;
}

OSStatus AUBase::RemovePropertyListener(AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc,
                                        void* userData, bool compareUserData) {
    std::lock_guard lock(m_listenerMutex);
    std::erase_if(m_propertyListeners, [&](const PropertyListener& listener) {
        return listener.id == id && listener.proc == proc &&
               (!compareUserData || listener.userData == userData);
    });
    return noErr;
}

void AUBase::CallPropertyListeners(AudioUnitPropertyID id, AudioUnitScope scope,
                                   AudioUnitElement element) {
    // A listener may add or remove listeners while it runs; index and size are re-read.
    for (std::size_t i = 0; i < m_propertyListeners.size(); ++i) {
        const PropertyListener listener = m_propertyListeners[i];
        if (listener.id == id) {
            listener.proc(listener.userData, GetComponentInstance(), id, scope, element);
        }
    }
}

void AUBase::PropertyChanged(AudioUnitPropertyID id, AudioUnitScope scope,
                             AudioUnitElement element) {
    std::lock_guard lock(m_listenerMutex);
    CallPropertyListeners(id, scope, element);
}

// ---- Presets --------------------------------------------------------------------------

OSStatus AUBase::GetPresets(AUPresetList* /*outPresets*/) const {
    return kAudioUnitErr_InvalidProperty;
}

OSStatus AUBase::NewFactoryPresetSet(const AUPreset& /*preset*/) {
    return kAudioUnitErr_InvalidPropertyValue;
}

void AUBase::SetCurrentPreset(SInt32 number, const char* name) {
    m_presetNumber = number;
    m_presetName =
        m_presetNames.insert(name != nullptr ? name : kUntitledPresetName).first->c_str();
}

OSStatus AUBase::SetPresentPreset(const AUPreset& preset) {
    if (preset.presetNumber >= 0) {
        const OSStatus result = NewFactoryPresetSet(preset);
        if (result == noErr) {
            PropertyChanged(kAudioUnitProperty_PresentPreset, kAudioUnitScope_Global, 0);
        }
        return result;
    }
    if (preset.presetName == nullptr) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
    SetCurrentPreset(preset.presetNumber, preset.presetName);
    PropertyChanged(kAudioUnitProperty_PresentPreset, kAudioUnitScope_Global, 0);
    return noErr;
}

// ---- Stream formats -------------------------------------------------------------------

bool AUBase::ValidFormat(AudioUnitScope /*scope*/, AudioUnitElement /*element*/,
                         const AudioStreamBasicDescription& format) {
    return AUIOElement::IsSupportedFormat(format);
}

bool AUBase::StreamFormatWritable(AudioUnitScope /*scope*/, AudioUnitElement /*element*/) {
    return !IsInitialized();
}

OSStatus AUBase::ChangeStreamFormat(AudioUnitScope scope, AudioUnitElement element,
                                    const AudioStreamBasicDescription& /*previousFormat*/,
                                    const AudioStreamBasicDescription& newFormat) {
    GetIOElement(scope, element).SetStreamFormat(newFormat);
    return noErr;
}

void AUBase::SetMaxFramesPerSlice(UInt32 frames) {
    if (IsInitialized()) {
        ThrowAUError(kAudioUnitErr_Initialized, "maximum frames per slice");
    }
    m_maxFramesPerSlice = frames;
}

// ---- Render notifications -------------------------------------------------------------

OSStatus AUBase::AddRenderNotification(AURenderCallback proc, void* refCon) {
    if (proc == nullptr) {
        return kAudio_ParamError;
    }
    m_renderNotify.Add(proc, refCon);
    return noErr;
}

OSStatus AUBase::RemoveRenderNotification(AURenderCallback proc, void* refCon) {
    m_renderNotify.Remove(proc, refCon);
    return noErr;
}

// ---- Dispatch -------------------------------------------------------------------------

OSStatus AUBase::ComponentEntryDispatch(ComponentParameters* params, AUBase* This) {
    auto& args = params->args;
    switch (params->what) {
    case kComponentCanDoSelect:
        switch (args.canDo.selector) {
        case kAudioUnitInitializeSelect:
        case kAudioUnitUninitializeSelect:
        case kAudioUnitGetPropertyInfoSelect:
        case kAudioUnitGetPropertySelect:
        case kAudioUnitSetPropertySelect:
        case kAudioUnitGetParameterSelect:
        case kAudioUnitSetParameterSelect:
        case kAudioUnitResetSelect:
        case kAudioUnitAddPropertyListenerSelect:
        case kAudioUnitRemovePropertyListenerSelect:
        case kAudioUnitRenderSelect:
        case kAudioUnitAddRenderNotifySelect:
        case kAudioUnitRemoveRenderNotifySelect:
        case kAudioUnitScheduleParametersSelect:
        case kAudioUnitRemovePropertyListenerWithUserDataSelect:
            return 1;
        default:
            return ComponentBase::ComponentEntryDispatch(params, This);
        }
    case kAudioUnitInitializeSelect:
        return This->DoInitialize();
    case kAudioUnitUninitializeSelect:
        This->DoCleanup();
        return noErr;
    case kAudioUnitGetPropertyInfoSelect: {
        UInt32 size = 0;
        Boolean writable = false;
        const auto& a = args.getPropertyInfo;
        const OSStatus result = This->GetPropertyInfo(a.id, a.scope, a.element, size, writable);
        if (result == noErr) {
            if (a.outDataSize != nullptr) {
                *a.outDataSize = size;
            }
            if (a.outWritable != nullptr) {
                *a.outWritable = writable;
            }
        }
        return result;
    }
    case kAudioUnitGetPropertySelect: {
        const auto& a = args.getProperty;
        return This->DispatchGetProperty(a.id, a.scope, a.element, a.outData, a.ioDataSize);
    }
    case kAudioUnitSetPropertySelect: {
        const auto& a = args.setProperty;
        if (a.inData == nullptr) {
            return This->RemovePropertyValue(a.id, a.scope, a.element);
        }
        return This->SetProperty(a.id, a.scope, a.element, a.inData, a.inDataSize);
    }
    case kAudioUnitGetParameterSelect: {
        const auto& a = args.getParameter;
        if (a.outValue == nullptr) {
            return kAudio_ParamError;
        }
        return This->GetParameter(a.id, a.scope, a.element, *a.outValue);
    }
    case kAudioUnitSetParameterSelect: {
        const auto& a = args.setParameter;
        return This->SetParameter(a.id, a.scope, a.element, a.value, a.bufferOffset);
    }
    case kAudioUnitResetSelect:
        return This->DoReset(args.reset.scope, args.reset.element);
    case kAudioUnitAddPropertyListenerSelect: {
        const auto& a = args.propertyListener;
        return This->AddPropertyListener(a.id, a.proc, a.userData);
    }
    case kAudioUnitRemovePropertyListenerSelect: {
        const auto& a = args.propertyListener;
        return This->RemovePropertyListener(a.id, a.proc, nullptr, false);
    }
    case kAudioUnitRemovePropertyListenerWithUserDataSelect: {
        const auto& a = args.propertyListener;
        return This->RemovePropertyListener(a.id, a.proc, a.userData, true);
    }
    case kAudioUnitRenderSelect: {
        const auto& a = args.render;
        if (a.ioActionFlags == nullptr || a.timeStamp == nullptr || a.ioData == nullptr) {
            return kAudio_ParamError;
        }
        return This->DoRender(*a.ioActionFlags, *a.timeStamp, a.outputBusNumber, a.numberFrames,
                              *a.ioData);
    }
    case kAudioUnitAddRenderNotifySelect:
        return This->AddRenderNotification(args.renderNotify.proc, args.renderNotify.userData);
    case kAudioUnitRemoveRenderNotifySelect:
        return This->RemoveRenderNotification(args.renderNotify.proc, args.renderNotify.userData);
    case kAudioUnitScheduleParametersSelect: {
        const auto& a = args.scheduleParameters;
        if (a.events == nullptr && a.count > 0) {
            return kAudio_ParamError;
        }
        return This->ScheduleParameter(a.events, a.count);
    }
    default:
        return ComponentBase::ComponentEntryDispatch(params, This);
    }
}
