// Our host API: the requests a host makes of a component instance. Each packs a request
// record and calls the instance's entry; a null instance answers -50.
#pragma once

#include "AUComponent.h"

// Main thread. Creates an instance of the component served by entry and sends it the open
// request; on failure *outInstance is null and the open result is returned.
OSStatus AudioComponentInstanceNew(const ComponentDescription& description, ComponentRoutine entry,
                                   AudioComponentInstance* outInstance);
// Main thread. Sends close and frees the instance handle.
OSStatus AudioComponentInstanceDispose(AudioComponentInstance instance);
// 1 when the instance serves selector, else 0.
OSStatus CallComponentCanDo(ComponentInstance instance, SInt16 selector);
// The component's version (the result of the version request).
OSStatus CallComponentVersion(ComponentInstance instance);

OSStatus AudioUnitInitialize(AudioUnit unit);
OSStatus AudioUnitUninitialize(AudioUnit unit);
OSStatus AudioUnitReset(AudioUnit unit, AudioUnitScope scope, AudioUnitElement element);

OSStatus AudioUnitGetPropertyInfo(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                                  AudioUnitElement element, UInt32* outDataSize,
                                  Boolean* outWritable);
// With outData null, *ioDataSize receives the property's size; otherwise *ioDataSize must be
// at least that size (else -50) and receives it.
OSStatus AudioUnitGetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                              AudioUnitElement element, void* outData, UInt32* ioDataSize);
// Null inData removes the property's value.
OSStatus AudioUnitSetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                              AudioUnitElement element, const void* inData, UInt32 inDataSize);
OSStatus AudioUnitAddPropertyListener(AudioUnit unit, AudioUnitPropertyID id,
                                      AudioUnitPropertyListenerProc proc, void* userData);
// Removes every registration of (id, proc).
OSStatus AudioUnitRemovePropertyListener(AudioUnit unit, AudioUnitPropertyID id,
                                         AudioUnitPropertyListenerProc proc);
// Removes every registration of (id, proc, userData).
OSStatus AudioUnitRemovePropertyListenerWithUserData(AudioUnit unit, AudioUnitPropertyID id,
                                                     AudioUnitPropertyListenerProc proc,
                                                     void* userData);

OSStatus AudioUnitGetParameter(AudioUnit unit, AudioUnitParameterID id, AudioUnitScope scope,
                               AudioUnitElement element, AudioUnitParameterValue* outValue);
OSStatus AudioUnitSetParameter(AudioUnit unit, AudioUnitParameterID id, AudioUnitScope scope,
                               AudioUnitElement element, AudioUnitParameterValue value,
                               UInt32 bufferOffsetInFrames);
// Render thread, before the render the events belong to.
OSStatus AudioUnitScheduleParameters(AudioUnit unit, const AudioUnitParameterEvent* events,
                                     UInt32 count);

OSStatus AudioUnitAddRenderNotify(AudioUnit unit, AURenderCallback proc, void* refCon);
OSStatus AudioUnitRemoveRenderNotify(AudioUnit unit, AURenderCallback proc, void* refCon);
// Render thread. A null ioActionFlags counts as no flags.
OSStatus AudioUnitRender(AudioUnit unit, AudioUnitRenderActionFlags* ioActionFlags,
                         const AudioTimeStamp* timeStamp, UInt32 outputBusNumber,
                         UInt32 numberFrames, AudioBufferList* ioData);

// Render thread.
OSStatus MusicDeviceMIDIEvent(AudioUnit unit, UInt32 status, UInt32 data1, UInt32 data2,
                              UInt32 offsetSampleFrame);
OSStatus MusicDeviceSysEx(AudioUnit unit, const UInt8* data, UInt32 length);
