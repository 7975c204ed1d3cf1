#include "MrvnInstanceTracker.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "AUBase.h"
#include "AUHostServices.h"
#include "AudioUnitAPI.h"
#include "MessageQueue.h"
#include "MrvnShared.h"

std::vector<MrvnInstanceTracker::Instance> MrvnInstanceTracker::ms_instances;
std::recursive_mutex MrvnInstanceTracker::ms_criticalSection;
MrvnMIDIMapping MrvnInstanceTracker::ms_midiMappings;
std::atomic<bool> MrvnInstanceTracker::ms_midiLearnActive{false};
std::atomic<bool> MrvnInstanceTracker::ms_mappingsInUse{false};
AudioComponentInstance MrvnInstanceTracker::ms_lastTouchedInstance = nullptr;
SInt32 MrvnInstanceTracker::ms_lastTouchedParameter = -1;

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

// A private property that answers with a pointer; null when the unit does not supply it.
template <class T> T* PointerProperty(AUBase* unit, AudioUnitPropertyID id) {
    void* address = nullptr;
    UInt32 size = sizeof(void*);
    if (AudioUnitGetProperty(unit->GetComponentInstance(), id, kAudioUnitScope_Global, 0, &address,
                             &size) != noErr) {
        return nullptr;
    }
    return static_cast<T*>(address);
}

UInt32 NumParameters(AUBase* unit) {
    UInt32 count = 0;
    UInt32 size = sizeof(count);
    if (AudioUnitGetProperty(unit->GetComponentInstance(), kMrvnProperty_NumParameters,
                             kAudioUnitScope_Global, 0, &count, &size) != noErr) {
        return 0;
    }
    return count;
}

void SetUnitParameter(AUBase* unit, SInt32 parameter, Float32 value) {
    const AudioUnitParameter target{unit->GetComponentInstance(), AudioUnitParameterID(parameter),
                                    kAudioUnitScope_Global, 0};
    AUParameterSet(nullptr, nullptr, &target, value, 0);
}

} // namespace

const char* MrvnInstanceTracker::Instance::GetOSCName() {
    if (oscName == nullptr) {
        const char* name = PointerProperty<const char>(unit, kMrvnProperty_ProductName);
        m_oscNameStorage = name != nullptr ? name : "";
        oscName = m_oscNameStorage.c_str();
    }
    return oscName;
}

UInt32 MrvnInstanceTracker::Instance::GetLUID() {
    if (luid != 0) {
        return luid;
    }
    std::vector<UInt32> taken;
    const std::string name = GetOSCName();
    for (Instance& other : ms_instances) {
        if (other.unit != unit && name == other.GetOSCName()) {
            taken.push_back(other.luid);
        }
    }
    luid = SmallestFreeNumber(taken);
    return luid;
}

UInt32 MrvnInstanceTracker::SmallestFreeNumber(const std::vector<UInt32>& taken) {
    UInt32 number = 1;
    while (std::find(taken.begin(), taken.end(), number) != taken.end()) {
        ++number;
    }
    return number;
}

int MrvnInstanceTracker::OSCIndexOf(AUBase* unit) {
    SInt32 offset = 0;
    UInt32 size = sizeof(offset);
    if (AudioUnitGetProperty(unit->GetComponentInstance(), kMrvnProperty_OSCPortOffset,
                             kAudioUnitScope_Global, 0, &offset, &size) != noErr) {
        return -1;
    }
    return offset;
}

void MrvnInstanceTracker::SetParameterOnAllByOSCIndex(int oscIndex, SInt32 parameter,
                                                      Float32 value) {
    Guard guard(ms_criticalSection);
    for (Instance& entry : ms_instances) {
        if (OSCIndexOf(entry.unit) == oscIndex) {
            SetUnitParameter(entry.unit, parameter, value);
        }
    }
}

Float32 MrvnInstanceTracker::GetParameterFromAllByOSCIndex(int oscIndex, SInt32 parameter) {
    Guard guard(ms_criticalSection);
    for (Instance& entry : ms_instances) {
        if (OSCIndexOf(entry.unit) == oscIndex) {
            Float32 value = 0.0f;
            AudioUnitGetParameter(entry.unit->GetComponentInstance(),
                                  AudioUnitParameterID(parameter), kAudioUnitScope_Global, 0,
                                  &value);
            return value;
        }
    }
    return 0.0f;
}

void MrvnInstanceTracker::SetGUIBoolValueOnAllByOSCIndex(int oscIndex, int flag, int value) {
    Guard guard(ms_criticalSection);
    for (Instance& entry : ms_instances) {
        if (OSCIndexOf(entry.unit) != oscIndex) {
            continue;
        }
        if (MV::DataToGui* data =
                PointerProperty<MV::DataToGui>(entry.unit, kMrvnProperty_DataToGui)) {
            data->SetGuiFlag(flag, value != 0);
        }
    }
}

bool MrvnInstanceTracker::GetGUIBoolValueFromAllByOSCIndex(int oscIndex, int flag) {
    Guard guard(ms_criticalSection);
    for (Instance& entry : ms_instances) {
        if (OSCIndexOf(entry.unit) == oscIndex) {
            const MV::DataToGui* data =
                PointerProperty<MV::DataToGui>(entry.unit, kMrvnProperty_DataToGui);
            return data != nullptr && data->GetGuiFlag(flag);
        }
    }
    return false;
}

AUBase* MrvnInstanceTracker::Lock(AudioComponentInstance instance) {
    ms_criticalSection.lock();
    for (Instance& entry : ms_instances) {
        if (entry.unit->GetComponentInstance() == instance) {
            return entry.unit; // the caller releases the region through Unlock
        }
    }
    ms_criticalSection.unlock();
    return nullptr;
}

void MrvnInstanceTracker::Unlock(AUBase* unit) {
    if (unit != nullptr) {
        ms_criticalSection.unlock();
    }
}

void MrvnInstanceTracker::AssignGuid(Instance& entry) {
    std::vector<UInt32> taken;
    taken.reserve(ms_instances.size());
    for (const Instance& other : ms_instances) {
        taken.push_back(other.guid);
    }
    entry.guid = SmallestFreeNumber(taken);
}

AUBase* MrvnInstanceTracker::FindGuid(UInt32 guid) {
    Guard guard(ms_criticalSection);
    for (Instance& entry : ms_instances) {
        if (entry.guid == 0) {
            AssignGuid(entry);
        }
        if (entry.guid == guid) {
            return entry.unit;
        }
    }
    return nullptr;
}

bool MrvnInstanceTracker::IsRegistered(const AUBase* unit) {
    Guard guard(ms_criticalSection);
    return std::any_of(ms_instances.begin(), ms_instances.end(),
                       [unit](const Instance& entry) { return entry.unit == unit; });
}

void MrvnInstanceTracker::SetLastTouchedParameter(AudioComponentInstance instance,
                                                  SInt32 parameter) {
    Guard guard(ms_criticalSection);
    ms_lastTouchedInstance = instance;
    ms_lastTouchedParameter = parameter;
}

void MrvnInstanceTracker::HandleMessageQueueItem(const MV::MessageQueueItem& item, AUBase* unit) {
    if (item.m_type != MV::MessageQueueItem::kTypeShort) {
        return;
    }
    const UInt8 status = item.m_bytes[0];
    if (status != 0xB0 && status != 0xA0) {
        return;
    }
    const MrvnMIDIMapping::Controller controller{
        unit, 0, item.m_bytes[1],
        status == 0xB0 ? MrvnMIDIMapping::kKind_ControlChange : MrvnMIDIMapping::kKind_PolyPressure,
        item.m_bytes[2]};

    const bool learning = ms_midiLearnActive.load(std::memory_order_relaxed);
    // The render thread takes the region only once a mapping can exist.
    if (!learning && !ms_mappingsInUse.load(std::memory_order_acquire)) {
        return;
    }
    if (learning) {
        AudioComponentInstance touched = nullptr;
        SInt32 parameter = -1;
        {
            Guard guard(ms_criticalSection);
            touched = ms_lastTouchedInstance;
            parameter = ms_lastTouchedParameter;
        }
        if (touched != nullptr && parameter >= 0) {
            if (AUBase* target = Lock(touched)) {
                const MrvnParamInfo* table =
                    PointerProperty<const MrvnParamInfo>(target, kMrvnProperty_ParameterInfos);
                if (table != nullptr && UInt32(parameter) < NumParameters(target)) {
                    const MrvnParamInfo& info = table[parameter];
                    ms_midiMappings.Resolve();
                    ms_mappingsInUse.store(true, std::memory_order_release);
                    ms_midiMappings.Insert(
                        controller, MrvnMIDIMapping::Endpoint{target, 0, parameter},
                        MrvnMIDIMapping::Range{info.minValue, info.maxValue, info.unit});
                }
                Unlock(target);
            }
        }
    }

    Guard guard(ms_criticalSection);
    ms_midiMappings.Resolve();
    ms_midiMappings.Respond(controller, item.m_bytes[3]);
}

void MrvnInstanceTracker::HandleMRVNMessage(const MrvnOSCMessage& message, Float32 value) {
    Guard guard(ms_criticalSection);
    for (Instance& entry : ms_instances) {
        bool candidate;
        if (message.instanceName != nullptr) {
            candidate =
                std::strcmp(entry.GetOSCName(), message.instanceName) == 0 &&
                (message.instanceNumber < 0 || entry.GetLUID() == UInt32(message.instanceNumber));
        } else {
            candidate = entry.guid == UInt32(message.instanceNumber);
        }
        if (!candidate) {
            continue;
        }

        SInt32 parameter = message.parameterIndex;
        if (message.parameterName != nullptr) {
            // Units list their names through a private property; one that cannot is not
            // addressable by name.
            const char* const* names =
                PointerProperty<const char* const>(entry.unit, kMrvnProperty_ParameterNames);
            const UInt32 count = NumParameters(entry.unit);
            parameter = -1;
            for (UInt32 i = 0; names != nullptr && i < count; ++i) {
                if (names[i] != nullptr && std::strcmp(names[i], message.parameterName) == 0) {
                    parameter = SInt32(i);
                    break;
                }
            }
            if (parameter < 0) {
                continue;
            }
        }
        parameter += message.parameterOffset;
        bool set = false;
        if (parameter >= 0 && UInt32(parameter) < NumParameters(entry.unit)) {
            SetUnitParameter(entry.unit, parameter, value);
            set = true;
        }
        const bool singleInstance = message.instanceName == nullptr || message.instanceNumber >= 0;
        if (singleInstance && set) {
            return;
        }
    }
}
