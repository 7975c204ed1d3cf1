#include "AudioUnitAPI.h"

#include <memory>
#include <mutex>

#include "ComponentEntryPoint.h"

std::mutex& ComponentOpenLock() {
    static std::mutex lock;
    return lock;
}

namespace {

ComponentParameters Request(SInt16 what) {
    ComponentParameters params{};
    params.what = what;
    return params;
}

OSStatus Call(ComponentInstance instance, ComponentParameters& params) {
    if (instance == nullptr || instance->entry == nullptr) {
        return kAudio_ParamError;
    }
    return instance->entry(&params, instance);
}

} // namespace

OSStatus AudioComponentInstanceNew(const ComponentDescription& description, ComponentRoutine entry,
                                   AudioComponentInstance* outInstance) {
    if (outInstance == nullptr || entry == nullptr) {
        return kAudio_ParamError;
    }
    *outInstance = nullptr;
    std::unique_ptr<ComponentInstanceRecord> instance;
    try {
        instance = std::make_unique<ComponentInstanceRecord>(
            ComponentInstanceRecord{description, entry, nullptr});
    } catch (...) {
        return ResultFromCurrentException();
    }
    ComponentParameters params = Request(kComponentOpenSelect);
    const OSStatus result = Call(instance.get(), params);
    if (result != noErr) {
        return result;
    }
    *outInstance = instance.release();
    return noErr;
}

OSStatus AudioComponentInstanceDispose(AudioComponentInstance instance) {
    if (instance == nullptr) {
        return kAudio_ParamError;
    }
    std::unique_ptr<ComponentInstanceRecord> owner(instance);
    ComponentParameters params = Request(kComponentCloseSelect);
    return Call(instance, params);
}

OSStatus CallComponentCanDo(ComponentInstance instance, SInt16 selector) {
    ComponentParameters params = Request(kComponentCanDoSelect);
    params.args.canDo.selector = selector;
    return Call(instance, params);
}

OSStatus CallComponentVersion(ComponentInstance instance) {
    ComponentParameters params = Request(kComponentVersionSelect);
    return Call(instance, params);
}

OSStatus AudioUnitInitialize(AudioUnit unit) {
    ComponentParameters params = Request(kAudioUnitInitializeSelect);
    return Call(unit, params);
}

OSStatus AudioUnitUninitialize(AudioUnit unit) {
    ComponentParameters params = Request(kAudioUnitUninitializeSelect);
    return Call(unit, params);
}

OSStatus AudioUnitReset(AudioUnit unit, AudioUnitScope scope, AudioUnitElement element) {
    ComponentParameters params = Request(kAudioUnitResetSelect);
    params.args.reset = {scope, element};
    return Call(unit, params);
}

OSStatus AudioUnitGetPropertyInfo(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                                  AudioUnitElement element, UInt32* outDataSize,
                                  Boolean* outWritable) {
    ComponentParameters params = Request(kAudioUnitGetPropertyInfoSelect);
    params.args.getPropertyInfo = {id, scope, element, outDataSize, outWritable};
    return Call(unit, params);
}

OSStatus AudioUnitGetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                              AudioUnitElement element, void* outData, UInt32* ioDataSize) {
    ComponentParameters params = Request(kAudioUnitGetPropertySelect);
    params.args.getProperty = {id, scope, element, outData, ioDataSize};
    return Call(unit, params);
}

OSStatus AudioUnitSetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                              AudioUnitElement element, const void* inData, UInt32 inDataSize) {
    ComponentParameters params = Request(kAudioUnitSetPropertySelect);
    params.args.setProperty = {id, scope, element, inData, inDataSize};
    return Call(unit, params);
}

OSStatus AudioUnitAddPropertyListener(AudioUnit unit, AudioUnitPropertyID id,
                                      AudioUnitPropertyListenerProc proc, void* userData) {
    ComponentParameters params = Request(kAudioUnitAddPropertyListenerSelect);
    params.args.propertyListener = {id, proc, userData};
    return Call(unit, params);
}

OSStatus AudioUnitRemovePropertyListener(AudioUnit unit, AudioUnitPropertyID id,
                                         AudioUnitPropertyListenerProc proc) {
    ComponentParameters params = Request(kAudioUnitRemovePropertyListenerSelect);
    params.args.propertyListener = {id, proc, nullptr};
    return Call(unit, params);
}

OSStatus AudioUnitRemovePropertyListenerWithUserData(AudioUnit unit, AudioUnitPropertyID id,
                                                     AudioUnitPropertyListenerProc proc,
                                                     void* userData) {
    ComponentParameters params = Request(kAudioUnitRemovePropertyListenerWithUserDataSelect);
    params.args.propertyListener = {id, proc, userData};
    return Call(unit, params);
}

OSStatus AudioUnitGetParameter(AudioUnit unit, AudioUnitParameterID id, AudioUnitScope scope,
                               AudioUnitElement element, AudioUnitParameterValue* outValue) {
    ComponentParameters params = Request(kAudioUnitGetParameterSelect);
    params.args.getParameter = {id, scope, element, outValue};
    return Call(unit, params);
}

OSStatus AudioUnitSetParameter(AudioUnit unit, AudioUnitParameterID id, AudioUnitScope scope,
                               AudioUnitElement element, AudioUnitParameterValue value,
                               UInt32 bufferOffsetInFrames) {
    ComponentParameters params = Request(kAudioUnitSetParameterSelect);
    params.args.setParameter = {id, scope, element, value, bufferOffsetInFrames};
    return Call(unit, params);
}

OSStatus AudioUnitScheduleParameters(AudioUnit unit, const AudioUnitParameterEvent* events,
                                     UInt32 count) {
    ComponentParameters params = Request(kAudioUnitScheduleParametersSelect);
    params.args.scheduleParameters = {events, count};
    return Call(unit, params);
}

OSStatus AudioUnitAddRenderNotify(AudioUnit unit, AURenderCallback proc, void* refCon) {
    ComponentParameters params = Request(kAudioUnitAddRenderNotifySelect);
    params.args.renderNotify = {proc, refCon};
    return Call(unit, params);
}

OSStatus AudioUnitRemoveRenderNotify(AudioUnit unit, AURenderCallback proc, void* refCon) {
    ComponentParameters params = Request(kAudioUnitRemoveRenderNotifySelect);
    params.args.renderNotify = {proc, refCon};
    return Call(unit, params);
}

OSStatus AudioUnitRender(AudioUnit unit, AudioUnitRenderActionFlags* ioActionFlags,
                         const AudioTimeStamp* timeStamp, UInt32 outputBusNumber,
                         UInt32 numberFrames, AudioBufferList* ioData) {
    AudioUnitRenderActionFlags noFlags = 0;
    ComponentParameters params = Request(kAudioUnitRenderSelect);
    params.args.render = {ioActionFlags != nullptr ? ioActionFlags : &noFlags, timeStamp,
                          outputBusNumber, numberFrames, ioData};
    return Call(unit, params);
}

OSStatus MusicDeviceMIDIEvent(AudioUnit unit, UInt32 status, UInt32 data1, UInt32 data2,
                              UInt32 offsetSampleFrame) {
    ComponentParameters params = Request(kMusicDeviceMIDIEventSelect);
    params.args.midiEvent = {status, data1, data2, offsetSampleFrame};
    return Call(unit, params);
}

OSStatus MusicDeviceSysEx(AudioUnit unit, const UInt8* data, UInt32 length) {
    ComponentParameters params = Request(kMusicDeviceSysExSelect);
    params.args.sysEx = {data, length};
    return Call(unit, params);
}
