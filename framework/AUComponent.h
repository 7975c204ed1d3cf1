// The component request record: what a host request carries to a component's entry.
#pragma once

#include "AUTypes.h"

// Request selectors, numbered as the host numbers them.
enum : SInt16 {
    kComponentOpenSelect = -1,
    kComponentCloseSelect = -2,
    kComponentCanDoSelect = -3,
    kComponentVersionSelect = -4,
    kAudioUnitInitializeSelect = 1,
    kAudioUnitUninitializeSelect = 2,
    kAudioUnitGetPropertyInfoSelect = 3,
    kAudioUnitGetPropertySelect = 4,
    kAudioUnitSetPropertySelect = 5,
    kAudioUnitGetParameterSelect = 6,
    kAudioUnitSetParameterSelect = 7,
    kAudioUnitResetSelect = 9,
    kAudioUnitAddPropertyListenerSelect = 10,
    kAudioUnitRemovePropertyListenerSelect = 11,
    kAudioUnitRenderSelect = 14,
    kAudioUnitAddRenderNotifySelect = 15,
    kAudioUnitRemoveRenderNotifySelect = 16,
    kAudioUnitScheduleParametersSelect = 17,
    kAudioUnitRemovePropertyListenerWithUserDataSelect = 18,
    kMusicDeviceMIDIEventSelect = 0x101,
    kMusicDeviceSysExSelect = 0x102,
};

// One request: the selector and the arguments of that request.
struct ComponentParameters {
    SInt16 what;
    union {
        struct {
            SInt16 selector;
        } canDo;
        struct {
            AudioUnitScope scope;
            AudioUnitElement element;
        } reset;
        struct {
            AudioUnitPropertyID id;
            AudioUnitScope scope;
            AudioUnitElement element;
            UInt32* outDataSize;
            Boolean* outWritable;
        } getPropertyInfo;
        struct {
            AudioUnitPropertyID id;
            AudioUnitScope scope;
            AudioUnitElement element;
            void* outData;
            UInt32* ioDataSize;
        } getProperty;
        struct {
            AudioUnitPropertyID id;
            AudioUnitScope scope;
            AudioUnitElement element;
            const void* inData;
            UInt32 inDataSize;
        } setProperty;
        struct {
            AudioUnitPropertyID id;
            AudioUnitPropertyListenerProc proc;
            void* userData;
        } propertyListener;
        struct {
            AudioUnitParameterID id;
            AudioUnitScope scope;
            AudioUnitElement element;
            AudioUnitParameterValue* outValue;
        } getParameter;
        struct {
            AudioUnitParameterID id;
            AudioUnitScope scope;
            AudioUnitElement element;
            AudioUnitParameterValue value;
            UInt32 bufferOffset;
        } setParameter;
        struct {
            const AudioUnitParameterEvent* events;
            UInt32 count;
        } scheduleParameters;
        struct {
            AURenderCallback proc;
            void* userData;
        } renderNotify;
        struct {
            AudioUnitRenderActionFlags* ioActionFlags;
            const AudioTimeStamp* timeStamp;
            UInt32 outputBusNumber;
            UInt32 numberFrames;
            AudioBufferList* ioData;
        } render;
        struct {
            UInt32 status;
            UInt32 data1;
            UInt32 data2;
            UInt32 offsetSampleFrame;
        } midiEvent;
        struct {
            const UInt8* data;
            UInt32 length;
        } sysEx;
    } args;
};

// A component's single entry: every request of every instance comes through it.
using ComponentRoutine = OSStatus (*)(ComponentParameters* params, ComponentInstance instance);

// The host's handle of one component instance.
struct ComponentInstanceRecord {
    // Type, subtype and manufacturer under which the component was registered.
    ComponentDescription description;
    ComponentRoutine entry;
    // The unit object (a ComponentBase*), set by the entry's open and cleared by its close.
    void* storage;
};
