// The process-wide registry of plug-in instances: cross-instance parameter and flag access
// by OSC index, addressing by product name and number, and the MIDI controller mapping.
//
// Nothing in this product registers an instance, so every operation acts on an empty
// registry: reads give 0 or false and writes change nothing. The rules for a populated
// registry are kept because they define what each operation means.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "AUTypes.h"
#include "MrvnMIDIMapping.h"

class AUBase;
namespace MV {
class MessageQueueItem;
}

// One decoded step of a "/mrvn/" OSC address.
struct MrvnOSCMessage {
    const char* instanceName;  // null when the instance is given by number
    SInt32 instanceNumber;     // -1: every instance of that name
    const char* parameterName; // null when the parameter is given by index
    SInt32 parameterIndex;     // -1 when given by name
    SInt32 parameterOffset;    // 0 unless the "+multi1" form is used
};

class MrvnInstanceTracker {
public:
    struct Instance {
        AUBase* unit = nullptr;
        const char* oscName = nullptr; // fetched once, then kept
        UInt32 luid = 0;               // number among instances of the same product name
        UInt32 guid = 0;               // number among all instances in the process

        const char* GetOSCName();
        UInt32 GetLUID();

    private:
        std::string m_oscNameStorage;
    };

    // All operations: any thread; each takes the process-wide region for its whole run.
    static void SetParameterOnAllByOSCIndex(int oscIndex, SInt32 parameter, Float32 value);
    static Float32 GetParameterFromAllByOSCIndex(int oscIndex, SInt32 parameter);
    static void SetGUIBoolValueOnAllByOSCIndex(int oscIndex, int flag, int value);
    static bool GetGUIBoolValueFromAllByOSCIndex(int oscIndex, int flag);

    // The unit of a component instance with the region held, or null with it released.
    static AUBase* Lock(AudioComponentInstance instance);
    static void Unlock(AUBase* unit);
    static AUBase* FindGuid(UInt32 guid);
    static bool IsRegistered(const AUBase* unit);

    // Render thread: applies the controller mapping (and MIDI learn) to one queued message.
    static void HandleMessageQueueItem(const MV::MessageQueueItem& item, AUBase* unit);
    // OSC receive task: one "/mrvn/" step with its value.
    static void HandleMRVNMessage(const MrvnOSCMessage& message, Float32 value);

    // The parameter of the most recent edit gesture in the process, for MIDI learn.
    static void SetLastTouchedParameter(AudioComponentInstance instance, SInt32 parameter);

    static std::vector<Instance> ms_instances;
    static std::recursive_mutex ms_criticalSection;
    static MrvnMIDIMapping ms_midiMappings;
    static std::atomic<bool> ms_midiLearnActive;
    // Set once anything is inserted into ms_midiMappings (or queued as pending); until then
    // controller messages need no mapping work.
    static std::atomic<bool> ms_mappingsInUse;

private:
    static int OSCIndexOf(AUBase* unit);
    static void AssignGuid(Instance& entry);
    static UInt32 SmallestFreeNumber(const std::vector<UInt32>& taken);

    static AudioComponentInstance ms_lastTouchedInstance;
    static SInt32 ms_lastTouchedParameter;
};
