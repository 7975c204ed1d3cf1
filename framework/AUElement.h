// An element of a scope and the parameter values it stores.
#pragma once

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "AUTypes.h"

class AUBase;

// One stored parameter: the current value and, for a ramp, where it runs within the slice it
// was written for. The render thread reads while other threads write, so every field is a
// relaxed atomic written whole; a reader may see fields of two different writes, never a
// torn field.
class ParameterMapEvent {
public:
    ParameterMapEvent() = default;
    ParameterMapEvent(const ParameterMapEvent& other) { *this = other; }
    ParameterMapEvent& operator=(const ParameterMapEvent& other);

    // Becomes an immediate event holding value.
    void SetValue(AudioUnitParameterValue value);
    // Takes the scheduled event's values for the slice starting at sliceOffset.
    void SetScheduledEvent(const AudioUnitParameterEvent& event, UInt32 sliceOffset,
                           UInt32 sliceLength);

    AUParameterEventType GetEventType() const { return Load(m_eventType); }
    // The current value; for a ramp its start value.
    AudioUnitParameterValue GetValue() const { return Load(m_value1); }
    // For a ramp its end value; for an immediate event the value.
    AudioUnitParameterValue GetEndValue() const { return Load(m_value2); }
    SInt32 GetBufferOffset() const { return Load(m_bufferOffset); }
    UInt32 GetDurationInFrames() const { return Load(m_durationInFrames); }
    UInt32 GetSliceDurationFrames() const { return Load(m_sliceDurationFrames); }

private:
    template <typename T> static T Load(const std::atomic<T>& field) {
        return field.load(std::memory_order_relaxed);
    }
    template <typename T> static void Store(std::atomic<T>& field, T value) {
        field.store(value, std::memory_order_relaxed);
    }

    std::atomic<AUParameterEventType> m_eventType{kParameterEvent_Immediate};
    std::atomic<SInt32> m_bufferOffset{0};
    std::atomic<UInt32> m_durationInFrames{0};
    std::atomic<AudioUnitParameterValue> m_value1{0.0f};
    std::atomic<AudioUnitParameterValue> m_value2{0.0f};
    std::atomic<UInt32> m_sliceDurationFrames{0};
};

// An element: a numbered member of a scope holding parameters, in one of two storage forms.
// Mapped (the default) keeps an ordered map from parameter number to record; indexed keeps an
// array whose index is the parameter number. Records are added only while the unit is not
// initialised (or when the caller allows it), so the render thread never sees the storage
// itself change.
class AUElement {
public:
    explicit AUElement(AUBase* audioUnit);
    virtual ~AUElement();
    AUElement(const AUElement&) = delete;
    AUElement& operator=(const AUElement&) = delete;

    AUBase* GetAudioUnit() const { return m_audioUnit; }

    // Switches to the indexed form with numParameters records; new records hold an
    // immediate 0. Main thread, before initialisation.
    void UseIndexedParameters(UInt32 numParameters);
    bool UsesIndexedParameters() const { return m_useIndexedParameters; }

    UInt32 GetNumberOfParameters() const;
    // Copies the parameter numbers in storage order (array order, or ascending number).
    void GetParameterList(AudioUnitParameterID* outList) const;
    bool HasParameterID(AudioUnitParameterID paramID) const {
        return FindParameter(paramID) != nullptr;
    }

    // The record of paramID, or null. Any thread; real-time safe.
    const ParameterMapEvent* FindParameter(AudioUnitParameterID paramID) const noexcept;
    // The current value; a missing parameter throws -10878.
    AudioUnitParameterValue GetParameter(AudioUnitParameterID paramID) const;

    // Stores value as an immediate event. Indexed: a number beyond the array throws -10878.
    // Mapped: a missing number is added, except while the unit is initialised and
    // okWhenInitialized is false, when the write is ignored. Any thread.
    void SetParameter(AudioUnitParameterID paramID, AudioUnitParameterValue value,
                      bool okWhenInitialized = false);
    // Fills the record of paramID from a scheduled event for the slice at sliceOffset (finding
    // or adding it as SetParameter does). Answers -10878 instead of throwing, as the render
    // thread calls it; real-time safe when the record exists.
    OSStatus SetScheduledEvent(AudioUnitParameterID paramID, const AudioUnitParameterEvent& event,
                               UInt32 sliceOffset, UInt32 sliceLength,
                               bool okWhenInitialized = false) noexcept;

    // Counts the writes of values (SetParameter, SetScheduledEvent), each after its value is
    // stored: a reader that saw the same count before reading the values last time may keep
    // what it read then. Any thread; real-time safe.
    UInt32 ValueWrites() const noexcept { return m_valueWrites.load(std::memory_order_acquire); }

    // Appends this element's saved-state record (scope, element, count, then number and value
    // pairs, all big-endian) to blob; nothing when it holds no parameter.
    void SaveState(AudioUnitScope scope, AudioUnitElement element, std::vector<UInt8>& blob) const;

    const std::string& GetName() const { return m_name; }
    bool HasName() const { return !m_name.empty(); }
    void SetName(std::string name) { m_name = std::move(name); }

private:
    ParameterMapEvent* FindOrAdd(AudioUnitParameterID paramID, bool okWhenInitialized);

    AUBase* m_audioUnit;
    bool m_useIndexedParameters = false;
    std::vector<ParameterMapEvent> m_indexedParameters;
    std::atomic<UInt32> m_valueWrites{0};
    std::map<AudioUnitParameterID, ParameterMapEvent> m_parameters;
    std::string m_name;
};

// Big-endian packing of the saved-state blob.
namespace AUStateBlob {
void AppendUInt32(std::vector<UInt8>& blob, UInt32 value);
UInt32 ReadUInt32(const UInt8* bytes);
} // namespace AUStateBlob
