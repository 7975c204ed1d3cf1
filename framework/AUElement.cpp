#include "AUElement.h"

#include <bit>

#include "AUBase.h"
#include "AUError.h"

ParameterMapEvent& ParameterMapEvent::operator=(const ParameterMapEvent& other) {
    Store(m_eventType, other.GetEventType());
    Store(m_bufferOffset, other.GetBufferOffset());
    Store(m_durationInFrames, other.GetDurationInFrames());
    Store(m_value1, other.GetValue());
    Store(m_value2, other.GetEndValue());
    Store(m_sliceDurationFrames, other.GetSliceDurationFrames());
    return *this;
}

void ParameterMapEvent::SetValue(AudioUnitParameterValue value) {
    Store(m_eventType, AUParameterEventType(kParameterEvent_Immediate));
    Store(m_bufferOffset, 0);
    Store(m_value1, value);
    Store(m_value2, value);
}

void ParameterMapEvent::SetScheduledEvent(const AudioUnitParameterEvent& event, UInt32 sliceOffset,
                                          UInt32 sliceLength) {
    Store(m_eventType, event.eventType);
    if (event.eventType == kParameterEvent_Immediate) {
        Store(m_bufferOffset, 0);
        Store(m_durationInFrames, sliceLength);
        Store(m_value1, event.eventValues.immediate.value);
        Store(m_value2, event.eventValues.immediate.value);
    } else {
        const auto& ramp = event.eventValues.ramp;
        Store(m_bufferOffset, SInt32(SInt64(ramp.startBufferOffset) - SInt64(sliceOffset)));
        Store(m_durationInFrames, ramp.durationInFrames);
        Store(m_value1, ramp.startValue);
        Store(m_value2, ramp.endValue);
    }
    Store(m_sliceDurationFrames, sliceLength);
}

AUElement::AUElement(AUBase* audioUnit) : m_audioUnit(audioUnit) {}

AUElement::~AUElement() = default;

void AUElement::UseIndexedParameters(UInt32 numParameters) {
    m_indexedParameters.resize(numParameters);
    m_useIndexedParameters = true;
}

UInt32 AUElement::GetNumberOfParameters() const {
    return UInt32(m_useIndexedParameters ? m_indexedParameters.size() : m_parameters.size());
}

void AUElement::GetParameterList(AudioUnitParameterID* outList) const {
    if (m_useIndexedParameters) {
        for (UInt32 i = 0; i < m_indexedParameters.size(); ++i) {
            outList[i] = i;
        }
    } else {
        for (const auto& [paramID, record] : m_parameters) {
            *outList++ = paramID;
        }
    }
}

const ParameterMapEvent* AUElement::FindParameter(AudioUnitParameterID paramID) const noexcept {
    if (m_useIndexedParameters) {
        return paramID < m_indexedParameters.size() ? &m_indexedParameters[paramID] : nullptr;
    }
    const auto found = m_parameters.find(paramID);
    return found != m_parameters.end() ? &found->second : nullptr;
}

AudioUnitParameterValue AUElement::GetParameter(AudioUnitParameterID paramID) const {
    const ParameterMapEvent* record = FindParameter(paramID);
    if (record == nullptr) {
        ThrowAUError(kAudioUnitErr_InvalidParameter, "get parameter");
    }
    return record->GetValue();
}

ParameterMapEvent* AUElement::FindOrAdd(AudioUnitParameterID paramID, bool okWhenInitialized) {
    if (m_useIndexedParameters) {
        return paramID < m_indexedParameters.size() ? &m_indexedParameters[paramID] : nullptr;
    }
    const auto found = m_parameters.find(paramID);
    if (found != m_parameters.end()) {
        return &found->second;
    }
    if (m_audioUnit != nullptr && m_audioUnit->IsInitialized() && !okWhenInitialized) {
        return nullptr;
    }
    return &m_parameters[paramID];
}

void AUElement::SetParameter(AudioUnitParameterID paramID, AudioUnitParameterValue value,
                             bool okWhenInitialized) {
    ParameterMapEvent* record = FindOrAdd(paramID, okWhenInitialized);
    if (record != nullptr) {
        record->SetValue(value);
        m_valueWrites.fetch_add(1, std::memory_order_release);
    } else if (m_useIndexedParameters) {
        ThrowAUError(kAudioUnitErr_InvalidParameter, "set parameter");
    }
}

OSStatus AUElement::SetScheduledEvent(AudioUnitParameterID paramID,
                                      const AudioUnitParameterEvent& event, UInt32 sliceOffset,
                                      UInt32 sliceLength, bool okWhenInitialized) noexcept {
    try {
        ParameterMapEvent* record = FindOrAdd(paramID, okWhenInitialized);
        if (record == nullptr) {
            return m_useIndexedParameters ? kAudioUnitErr_InvalidParameter : noErr;
        }
        record->SetScheduledEvent(event, sliceOffset, sliceLength);
        m_valueWrites.fetch_add(1, std::memory_order_release);
        return noErr;
    } catch (...) {
        return ResultFromCurrentException();
    }
}

void AUElement::SaveState(AudioUnitScope scope, AudioUnitElement element,
                          std::vector<UInt8>& blob) const {
    const UInt32 count = GetNumberOfParameters();
    if (count == 0) {
        return;
    }
    AUStateBlob::AppendUInt32(blob, scope);
    AUStateBlob::AppendUInt32(blob, element);
    AUStateBlob::AppendUInt32(blob, count);
    auto appendPair = [&blob](AudioUnitParameterID paramID, const ParameterMapEvent& record) {
        AUStateBlob::AppendUInt32(blob, paramID);
        AUStateBlob::AppendUInt32(blob, std::bit_cast<UInt32>(record.GetValue()));
    };
    if (m_useIndexedParameters) {
        for (UInt32 i = 0; i < count; ++i) {
            appendPair(i, m_indexedParameters[i]);
        }
    } else {
        for (const auto& [paramID, record] : m_parameters) {
            appendPair(paramID, record);
        }
    }
}

namespace AUStateBlob {

void AppendUInt32(std::vector<UInt8>& blob, UInt32 value) {
    blob.push_back(UInt8(value >> 24));
    blob.push_back(UInt8(value >> 16));
    blob.push_back(UInt8(value >> 8));
    blob.push_back(UInt8(value));
}

UInt32 ReadUInt32(const UInt8* bytes) {
    return (UInt32(bytes[0]) << 24) | (UInt32(bytes[1]) << 16) | (UInt32(bytes[2]) << 8) |
           UInt32(bytes[3]);
}

} // namespace AUStateBlob
