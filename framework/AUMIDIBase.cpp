#include "AUMIDIBase.h"

AUMIDIBase::~AUMIDIBase() = default;

OSStatus AUMIDIBase::MIDIEvent(UInt32 status, UInt32 data1, UInt32 data2,
                               UInt32 offsetSampleFrame) {
    return HandleMidiEvent(UInt8(status & 0xF0), UInt8(status & 0x0F), UInt8(data1), UInt8(data2),
                           offsetSampleFrame);
}

OSStatus AUMIDIBase::SysEx(const UInt8* data, UInt32 length) {
    if (!m_auBaseInstance->IsInitialized()) {
        return kAudioUnitErr_Uninitialized;
    }
    return HandleSysEx(data, length);
}

OSStatus AUMIDIBase::HandleMidiEvent(UInt8 status, UInt8 channel, UInt8 data1, UInt8 data2,
                                     UInt32 startFrame) {
    switch (status) {
    case 0x80:
        return HandleNoteOff(channel, data1, data2, startFrame);
    case 0x90:
        // A note-on with velocity 0 is a note-off.
        return data2 == 0 ? HandleNoteOff(channel, data1, 0, startFrame)
                          : HandleNoteOn(channel, data1, data2, startFrame);
    case 0xA0:
        return HandlePolyPressure(channel, data1, data2, startFrame);
    case 0xB0:
        return HandleControlChange(channel, data1, data2, startFrame);
    case 0xC0:
        return HandleProgramChange(channel, data1);
    case 0xD0:
        return HandleChannelPressure(channel, data1, startFrame);
    case 0xE0:
        return HandlePitchWheel(channel, data1, data2, startFrame);
    default:
        return noErr;
    }
}

OSStatus AUMIDIBase::ComponentEntryDispatch(ComponentParameters* params, AUMIDIBase* This) {
    switch (params->what) {
    case kMusicDeviceMIDIEventSelect: {
        const auto& a = params->args.midiEvent;
        return This->MIDIEvent(a.status, a.data1, a.data2, a.offsetSampleFrame);
    }
    case kMusicDeviceSysExSelect:
        return This->SysEx(params->args.sysEx.data, params->args.sysEx.length);
    default:
        return badComponentSelector;
    }
}
