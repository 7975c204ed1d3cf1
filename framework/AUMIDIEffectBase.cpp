#include "AUMIDIEffectBase.h"

#include "AUError.h"

AUMIDIEffectBase::AUMIDIEffectBase(AudioComponentInstance instance, bool processesInPlace)
    : AUEffectBase(instance, processesInPlace), AUMIDIBase(this) {}

OSStatus AUMIDIEffectBase::GetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope,
                                           AudioUnitElement element, UInt32& outDataSize,
                                           Boolean& outWritable) {
    if (id == kAudioUnitProperty_FastDispatch && scope == kAudioUnitScope_Global &&
        element == kMusicDeviceMIDIEventSelect) {
        outDataSize = sizeof(MusicDeviceMIDIEventProc);
        outWritable = false;
        return noErr;
    }
    return AUEffectBase::GetPropertyInfo(id, scope, element, outDataSize, outWritable);
}

OSStatus AUMIDIEffectBase::GetProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                       AudioUnitElement element, void* outData) {
    if (id == kAudioUnitProperty_FastDispatch && scope == kAudioUnitScope_Global &&
        element == kMusicDeviceMIDIEventSelect) {
        *static_cast<MusicDeviceMIDIEventProc*>(outData) = &MIDIEventFastProc;
        return noErr;
    }
    return AUEffectBase::GetProperty(id, scope, element, outData);
}

OSStatus AUMIDIEffectBase::MIDIEventFastProc(void* storage, UInt32 status, UInt32 data1,
                                             UInt32 data2, UInt32 offsetSampleFrame) {
    if (storage == nullptr) {
        return kAudio_ParamError;
    }
    try {
        // Only this class answers the fast MIDI entry, so the storage holds one.
        auto* unit = static_cast<AUMIDIEffectBase*>(static_cast<ComponentBase*>(storage));
        return unit->MIDIEvent(status, data1, data2, offsetSampleFrame);
    } catch (...) {
        return ResultFromCurrentException();
    }
}

OSStatus AUMIDIEffectBase::ComponentEntryDispatch(ComponentParameters* params,
                                                  AUMIDIEffectBase* This) {
    switch (params->what) {
    case kMusicDeviceMIDIEventSelect:
    case kMusicDeviceSysExSelect:
        return AUMIDIBase::ComponentEntryDispatch(params, This);
    case kComponentCanDoSelect:
        if (params->args.canDo.selector == kMusicDeviceMIDIEventSelect ||
            params->args.canDo.selector == kMusicDeviceSysExSelect) {
            return 1;
        }
        return AUBase::ComponentEntryDispatch(params, This);
    default:
        return AUBase::ComponentEntryDispatch(params, This);
    }
}
