#include "CAAUParameter.h"

#include <cmath>
#include <cstring>
#include <memory>

#include <plist/plist.h>

#include "AudioUnitAPI.h"

const char* AUParameterUnitName(AudioUnitParameterUnit unit) {
    switch (unit) {
    case kAudioUnitParameterUnit_Boolean:
        return "T/F";
    case kAudioUnitParameterUnit_Percent:
    case kAudioUnitParameterUnit_EqualPowerCrossfade:
        return "%";
    case kAudioUnitParameterUnit_Seconds:
        return "Secs";
    case kAudioUnitParameterUnit_SampleFrames:
        return "Samps";
    case kAudioUnitParameterUnit_Phase:
    case kAudioUnitParameterUnit_Degrees:
        return "Degr.";
    case kAudioUnitParameterUnit_Hertz:
        return "Hz";
    case kAudioUnitParameterUnit_Cents:
    case kAudioUnitParameterUnit_AbsoluteCents:
        return "Cents";
    case kAudioUnitParameterUnit_RelativeSemiTones:
        return "S-T";
    case kAudioUnitParameterUnit_MIDINoteNumber:
    case kAudioUnitParameterUnit_MIDIController:
        return "MIDI";
    case kAudioUnitParameterUnit_Decibels:
        return "dB";
    case kAudioUnitParameterUnit_LinearGain:
    case kAudioUnitParameterUnit_MixerFaderCurve1:
        return "Gain";
    case kAudioUnitParameterUnit_Pan:
        return "L/R";
    case kAudioUnitParameterUnit_Meters:
        return "Mtrs";
    case kAudioUnitParameterUnit_Octaves:
        return "8ve";
    case kAudioUnitParameterUnit_BPM:
        return "BPM";
    case kAudioUnitParameterUnit_Beats:
        return "Beats";
    case kAudioUnitParameterUnit_Milliseconds:
        return "msecs";
    case kAudioUnitParameterUnit_Ratio:
        return "Ratio";
    default:
        return "";
    }
}

CAAUParameter::CAAUParameter() : AudioUnitParameter{} {}

CAAUParameter::CAAUParameter(AudioUnit unit, AudioUnitParameterID paramID, AudioUnitScope scope,
                             AudioUnitElement element)
    : AudioUnitParameter{} {
    Init(unit, paramID, scope, element);
}

CAAUParameter::CAAUParameter(const AudioUnitParameter& parameter) : AudioUnitParameter{} {
    Init(parameter.mAudioUnit, parameter.mParameterID, parameter.mScope, parameter.mElement);
}

void CAAUParameter::Init(AudioUnit unit, AudioUnitParameterID paramID, AudioUnitScope scope,
                         AudioUnitElement element) {
    mAudioUnit = unit;
    mParameterID = paramID;
    mScope = scope;
    mElement = element;
    m_paramInfo = AudioUnitParameterInfo{};
    m_name.clear();
    m_unitName.clear();
    m_valueNames.clear();
    m_hasValueNames = false;
    m_numIndexedParams = 0;

    UInt32 size = sizeof(m_paramInfo);
    if (AudioUnitGetProperty(unit, kAudioUnitProperty_ParameterInfo, scope, paramID, &m_paramInfo,
                             &size) != noErr) {
        m_paramInfo = AudioUnitParameterInfo{};
        return;
    }
    if ((m_paramInfo.flags & kAudioUnitParameterFlag_HasCFNameString) != 0 &&
        m_paramInfo.cfNameString != nullptr) {
        m_name = m_paramInfo.cfNameString;
    } else {
        m_name.assign(m_paramInfo.name, strnlen(m_paramInfo.name, sizeof(m_paramInfo.name)));
    }
    if (m_paramInfo.unit == kAudioUnitParameterUnit_CustomUnit) {
        m_unitName = m_paramInfo.unitName != nullptr ? m_paramInfo.unitName : "";
    } else {
        m_unitName = AUParameterUnitName(m_paramInfo.unit);
    }

    plist_t names = nullptr;
    size = sizeof(names);
    if (AudioUnitGetProperty(unit, kAudioUnitProperty_ParameterValueStrings, scope, paramID, &names,
                             &size) == noErr &&
        names != nullptr) {
        const std::unique_ptr<void, void (*)(plist_t)> owner(names, plist_free);
        if (plist_get_node_type(names) == PLIST_ARRAY) {
            m_hasValueNames = true;
            for (uint32_t i = 0; i < plist_array_get_size(names); ++i) {
                const plist_t item = plist_array_get_item(names, i);
                const char* text = plist_get_node_type(item) == PLIST_STRING
                                       ? plist_get_string_ptr(item, nullptr)
                                       : "";
                m_valueNames.emplace_back(text);
            }
        }
    }

    const auto range = [this] {
        const Float32 count = m_paramInfo.maxValue + 1.0f - m_paramInfo.minValue;
        return count > 0.0f ? UInt32(count) : 0u;
    };
    switch (m_paramInfo.unit) {
    case kAudioUnitParameterUnit_Indexed:
        m_numIndexedParams = m_hasValueNames ? UInt32(m_valueNames.size()) : range();
        break;
    case kAudioUnitParameterUnit_MIDINoteNumber:
    case kAudioUnitParameterUnit_MIDIController:
        m_numIndexedParams = range();
        break;
    default:
        break;
    }
}

AudioUnitParameterValue CAAUParameter::GetValue() const {
    AudioUnitParameterValue value = 0.0f;
    if (AudioUnitGetParameter(mAudioUnit, mParameterID, mScope, mElement, &value) != noErr) {
        return 0.0f;
    }
    return value;
}

OSStatus CAAUParameter::SetValue(AUParameterListenerRef sendingListener, void* sendingObject,
                                 AudioUnitParameterValue value) const {
    if (value > m_paramInfo.maxValue) {
        value = m_paramInfo.maxValue;
    } else if (value < m_paramInfo.minValue) {
        value = m_paramInfo.minValue;
    }
    return AUParameterSet(sendingListener, sendingObject, this, value, 0);
}

AudioUnitParameterValue AUParameterValueFromLinear(Float32 linearValue,
                                                   const CAAUParameter* parameter) {
    const Float64 minimum = parameter->GetMinValue();
    const Float64 maximum = parameter->GetMaxValue();
    switch (parameter->ValueUnit()) {
    case kAudioUnitParameterUnit_Hertz:
        if (minimum > 0.0 && maximum > 0.0) {
            return AudioUnitParameterValue(
                minimum * std::exp2(Float64(linearValue) * std::log2(maximum / minimum)));
        }
        break;
    case kAudioUnitParameterUnit_Indexed:
    case kAudioUnitParameterUnit_Beats: {
        const Float32 min32 = parameter->GetMinValue();
        const Float32 max32 = parameter->GetMaxValue();
        return std::floor((max32 - min32) * linearValue + min32 + 0.5f);
    }
    default:
        break;
    }
    const Float32 min32 = parameter->GetMinValue();
    const Float32 max32 = parameter->GetMaxValue();
    return (max32 - min32) * linearValue + min32;
}

Float32 AUParameterValueToLinear(AudioUnitParameterValue value, const CAAUParameter* parameter) {
    const Float32 minimum = parameter->GetMinValue();
    const Float32 maximum = parameter->GetMaxValue();
    if (parameter->ValueUnit() == kAudioUnitParameterUnit_Hertz && minimum > 0.0f &&
        maximum > minimum && value > 0.0f) {
        return Float32(std::log2(Float64(value) / minimum) / std::log2(Float64(maximum) / minimum));
    }
    if (maximum == minimum) {
        return 0.0f;
    }
    return (value - minimum) / (maximum - minimum);
}
