// The MIDI mix-in: the MIDI-event and system-exclusive requests of a unit.
#pragma once

#include "AUBase.h"

// A second base for units that take MIDI. It splits each event's status byte into message
// kind and channel and hands it to HandleMidiEvent; by default that calls one handler per
// message kind.
class AUMIDIBase {
public:
    explicit AUMIDIBase(AUBase* base) : m_auBaseInstance(base) {}
    virtual ~AUMIDIBase();
    AUMIDIBase(const AUMIDIBase&) = delete;
    AUMIDIBase& operator=(const AUMIDIBase&) = delete;

    // Render thread; real-time safe. The MIDI-event request, in any state of the unit.
    OSStatus MIDIEvent(UInt32 status, UInt32 data1, UInt32 data2, UInt32 offsetSampleFrame);
    // Render thread. The system-exclusive request: -10867 while the unit is not initialised.
    OSStatus SysEx(const UInt8* data, UInt32 length);

    // Render thread; must be real-time safe. One event: status without channel (0x80 to
    // 0xF0), channel 0 to 15, data bytes, and its frame offset in the next render.
    virtual OSStatus HandleMidiEvent(UInt8 status, UInt8 channel, UInt8 data1, UInt8 data2,
                                     UInt32 startFrame);
    // Render thread. One whole system-exclusive message.
    virtual OSStatus HandleSysEx(const UInt8* /*data*/, UInt32 /*length*/) { return noErr; }

    // Render thread; must be real-time safe. The message kinds of the default HandleMidiEvent.
    virtual OSStatus HandleNoteOn(UInt8 /*channel*/, UInt8 /*note*/, UInt8 /*velocity*/,
                                  UInt32 /*startFrame*/) {
        return noErr;
    }
    virtual OSStatus HandleNoteOff(UInt8 /*channel*/, UInt8 /*note*/, UInt8 /*velocity*/,
                                   UInt32 /*startFrame*/) {
        return noErr;
    }
    virtual OSStatus HandlePolyPressure(UInt8 /*channel*/, UInt8 /*note*/, UInt8 /*value*/,
                                        UInt32 /*startFrame*/) {
        return noErr;
    }
    virtual OSStatus HandleControlChange(UInt8 /*channel*/, UInt8 /*controller*/, UInt8 /*value*/,
                                         UInt32 /*startFrame*/) {
        return noErr;
    }
    virtual OSStatus HandleProgramChange(UInt8 /*channel*/, UInt8 /*program*/) { return noErr; }
    virtual OSStatus HandleChannelPressure(UInt8 /*channel*/, UInt8 /*value*/,
                                           UInt32 /*startFrame*/) {
        return noErr;
    }
    virtual OSStatus HandlePitchWheel(UInt8 /*channel*/, UInt8 /*lsb*/, UInt8 /*msb*/,
                                      UInt32 /*startFrame*/) {
        return noErr;
    }

    // The two MIDI requests; any other selector answers badComponentSelector.
    static OSStatus ComponentEntryDispatch(ComponentParameters* params, AUMIDIBase* This);

protected:
    AUBase* GetAUBase() const { return m_auBaseInstance; }

private:
    AUBase* m_auBaseInstance;
};
