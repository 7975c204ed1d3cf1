// A MIDI-controlled effect: the effect frame with the MIDI mix-in.
#pragma once

#include "AUEffectBase.h"
#include "AUMIDIBase.h"

class AUMIDIEffectBase : public AUEffectBase, public AUMIDIBase {
public:
    explicit AUMIDIEffectBase(AudioComponentInstance instance, bool processesInPlace = true);

    // Main thread. Adds the fast-dispatch entry of the MIDI-event request.
    OSStatus GetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                             UInt32& outDataSize, Boolean& outWritable) override;
    OSStatus GetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         void* outData) override;

    // Render thread; real-time safe. The fast MIDI entry: storage is the instance's storage.
    static OSStatus MIDIEventFastProc(void* storage, UInt32 status, UInt32 data1, UInt32 data2,
                                      UInt32 offsetSampleFrame);

    // MIDI requests to the MIDI mix-in, everything else to AUBase.
    static OSStatus ComponentEntryDispatch(ComponentParameters* params, AUMIDIEffectBase* This);
};
