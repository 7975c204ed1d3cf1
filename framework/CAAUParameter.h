// The editor's handle of one parameter: its information, its value and its knob mapping.
#pragma once

#include <string>
#include <vector>

#include "AUHostServices.h"
#include "AUTypes.h"

// A parameter of a unit as an editor sees it: a copy of its information record fetched from
// the unit, its name and unit name as strings, and its value names or value count. Reading
// and writing the value go through the host's requests and its notifying parameter set.
// Created and used on non-real-time threads; copyable.
class CAAUParameter : public AudioUnitParameter {
public:
    CAAUParameter();
    CAAUParameter(AudioUnit unit, AudioUnitParameterID paramID, AudioUnitScope scope,
                  AudioUnitElement element);
    explicit CAAUParameter(const AudioUnitParameter& parameter);

    // Fetches the information record through the parameter-information property; when that
    // fails all information is zero and the name empty.
    void Init(AudioUnit unit, AudioUnitParameterID paramID, AudioUnitScope scope,
              AudioUnitElement element);

    const AudioUnitParameterInfo& ParamInfo() const { return m_paramInfo; }
    const std::string& GetName() const { return m_name; }
    // The unit's text by unit code ("Hz", "dB", ...); empty when the code has none.
    const std::string& GetUnitName() const { return m_unitName; }
    bool HasUnitName() const { return !m_unitName.empty(); }
    AudioUnitParameterUnit ValueUnit() const { return m_paramInfo.unit; }
    AudioUnitParameterValue GetMinValue() const { return m_paramInfo.minValue; }
    AudioUnitParameterValue GetMaxValue() const { return m_paramInfo.maxValue; }
    AudioUnitParameterValue GetDefaultValue() const { return m_paramInfo.defaultValue; }
    AudioUnitParameterOptions GetFlags() const { return m_paramInfo.flags; }
    bool ValuesHaveStrings() const {
        return (m_paramInfo.flags & kAudioUnitParameterFlag_ValuesHaveStrings) != 0;
    }

    // Indexed and MIDI-number parameters have a number of discrete values.
    bool IsIndexedParam() const { return m_numIndexedParams > 0; }
    UInt32 GetNumIndexedParams() const { return m_numIndexedParams; }
    // The unit's value-name list, when it supplies one.
    bool HasNamedParams() const { return m_hasValueNames; }
    const std::vector<std::string>& GetValueNames() const { return m_valueNames; }

    // The current value from the unit; 0 when the unit does not answer.
    AudioUnitParameterValue GetValue() const;
    // Clamps value to [minimum, maximum] and sets it through the notifying parameter set, so
    // the unit and every listener but (sendingListener, sendingObject) hear it.
    OSStatus SetValue(AUParameterListenerRef sendingListener, void* sendingObject,
                      AudioUnitParameterValue value) const;

private:
    AudioUnitParameterInfo m_paramInfo{};
    std::string m_name;
    std::string m_unitName;
    std::vector<std::string> m_valueNames;
    bool m_hasValueNames = false;
    UInt32 m_numIndexedParams = 0;
};

// The unit text the editor shows for a unit code; empty for codes without one. Code 26 (custom)
// has none here; the parameter names its own.
const char* AUParameterUnitName(AudioUnitParameterUnit unit);

// Knob position (0 to 1) to value: exponential for hertz, whole steps for indexed and beats,
// linear otherwise.
AudioUnitParameterValue AUParameterValueFromLinear(Float32 linearValue,
                                                   const CAAUParameter* parameter);
// Value to knob position, the inverse of AUParameterValueFromLinear (without the rounding).
Float32 AUParameterValueToLinear(AudioUnitParameterValue value, const CAAUParameter* parameter);
