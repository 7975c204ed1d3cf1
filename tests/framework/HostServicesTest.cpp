// Host services and the editor's parameter handle: notifying parameter set, parameter and
// event listeners, gestures, value text, unit names, value counts and the knob mapping.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CAAUParameter.h"
#include "TestUnit.h"

namespace fwtest {
namespace {

struct Heard {
    struct Entry {
        void* object;
        AudioUnitParameterID id;
        AudioUnitParameterValue value;
        AudioUnitEventType type;
    };
    std::vector<Entry> entries;

    static void Parameter(void* refCon, void* object, const AudioUnitParameter* parameter,
                          AudioUnitParameterValue value) {
        static_cast<Heard*>(refCon)->entries.push_back(
            {object, parameter->mParameterID, value, kAudioUnitEvent_ParameterValueChange});
    }
    static void Event(void* refCon, void* object, const AudioUnitEvent* event, UInt64,
                      AudioUnitParameterValue value) {
        const AudioUnitParameterID id = event->mEventType == kAudioUnitEvent_PropertyChange
                                            ? event->mArgument.mProperty.mPropertyID
                                            : event->mArgument.mParameter.mParameterID;
        static_cast<Heard*>(refCon)->entries.push_back({object, id, value, event->mEventType});
    }
};

// A listener that records into a Heard and is disposed at the end of the scope.
class Listener {
public:
    explicit Listener(Heard& heard, bool events = false) {
        EXPECT_EQ(events ? AUEventListenerCreate(&Heard::Event, &heard, &m_ref)
                         : AUListenerCreate(&Heard::Parameter, &heard, &m_ref),
                  noErr);
    }
    ~Listener() { AUListenerDispose(m_ref); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    AUParameterListenerRef Get() const { return m_ref; }

private:
    AUParameterListenerRef m_ref = nullptr;
};

AudioUnitParameter ParameterOf(AudioUnit unit, AudioUnitParameterID id) {
    return AudioUnitParameter{unit, id, kAudioUnitScope_Global, 0};
}

AudioUnitEvent EventOf(AudioUnitEventType type, const AudioUnitParameter& parameter) {
    AudioUnitEvent event{};
    event.mEventType = type;
    event.mArgument.mParameter = parameter;
    return event;
}

TEST(FrameworkHostServices, ParameterSetNotifiesEveryListenerButTheSender) {
    HostedUnit host;
    Heard first;
    Heard second;
    Listener listener1(first);
    Listener listener2(second);
    int objectA = 0;
    int objectB = 0;
    const AudioUnitParameter gain = ParameterOf(host.Get(), kParamGain);
    ASSERT_OK(AUListenerAddParameter(listener1.Get(), &objectA, &gain));
    ASSERT_OK(AUListenerAddParameter(listener1.Get(), &objectB, &gain));
    ASSERT_OK(AUListenerAddParameter(listener2.Get(), &objectA, &gain));

    ASSERT_OK(AUParameterSet(listener1.Get(), &objectA, &gain, 0.3f, 0));
    EXPECT_EQ(host.Param(kParamGain), 0.3f);
    ASSERT_EQ(first.entries.size(), 1u);
    EXPECT_EQ(first.entries[0].object, &objectB);
    EXPECT_EQ(first.entries[0].value, 0.3f);
    ASSERT_EQ(second.entries.size(), 1u);
    EXPECT_EQ(second.entries[0].object, &objectA);

    ASSERT_OK(AUParameterSet(nullptr, nullptr, &gain, 0.6f, 0));
    EXPECT_EQ(first.entries.size(), 3u);
    EXPECT_EQ(second.entries.size(), 2u);

    // Other parameters are not heard; a failed set notifies nobody.
    const AudioUnitParameter speed = ParameterOf(host.Get(), kParamSpeed);
    ASSERT_OK(AUParameterSet(nullptr, nullptr, &speed, 100.0f, 0));
    const AudioUnitParameter missing = ParameterOf(host.Get(), kNumParams);
    EXPECT_EQ(AUParameterSet(nullptr, nullptr, &missing, 1.0f, 0), kAudioUnitErr_InvalidParameter);
    EXPECT_EQ(first.entries.size(), 3u);

    ASSERT_OK(AUListenerRemoveParameter(listener1.Get(), &objectB, &gain));
    ASSERT_OK(AUParameterSet(nullptr, nullptr, &gain, 0.9f, 0));
    ASSERT_EQ(first.entries.size(), 4u);
    EXPECT_EQ(first.entries[3].object, &objectA);

    // A disposed listener is never called again.
    Heard gone;
    {
        Listener disposed(gone);
        ASSERT_OK(AUListenerAddParameter(disposed.Get(), nullptr, &gain));
        ASSERT_OK(AUParameterSet(nullptr, nullptr, &gain, 0.5f, 0));
    }
    ASSERT_OK(AUParameterSet(nullptr, nullptr, &gain, 0.7f, 0));
    EXPECT_EQ(gone.entries.size(), 1u);
}

TEST(FrameworkHostServices, ListenersOfOtherUnitsAndTheWildcard) {
    HostedUnit host;
    HostedUnit other;
    Heard heard;
    Listener listener(heard);
    const AudioUnitParameter any{host.Get(), kAUParameterListener_AnyParameter,
                                 kAudioUnitScope_Global, 0};
    ASSERT_OK(AUListenerAddParameter(listener.Get(), nullptr, &any));
    const AudioUnitParameter otherGain = ParameterOf(other.Get(), kParamGain);
    ASSERT_OK(AUParameterSet(nullptr, nullptr, &otherGain, 0.5f, 0));
    EXPECT_TRUE(heard.entries.empty());
    const AudioUnitParameter steps = ParameterOf(host.Get(), kParamSteps);
    const AudioUnitParameter note = ParameterOf(host.Get(), kParamNote);
    ASSERT_OK(AUParameterSet(nullptr, nullptr, &steps, 3.0f, 0));
    ASSERT_OK(AUParameterSet(nullptr, nullptr, &note, 64.0f, 0));
    ASSERT_EQ(heard.entries.size(), 2u);
    EXPECT_EQ(heard.entries[0].id, kParamSteps);
    EXPECT_EQ(heard.entries[1].id, kParamNote);
    EXPECT_EQ(heard.entries[1].value, 64.0f);
}

TEST(FrameworkHostServices, EventListenersHearTheEventTypesTheyAdded) {
    HostedUnit host;
    Heard heard;
    Listener events(heard, true);
    const AudioUnitParameter gain = ParameterOf(host.Get(), kParamGain);
    const AudioUnitEvent valueChange = EventOf(kAudioUnitEvent_ParameterValueChange, gain);
    const AudioUnitEvent begin = EventOf(kAudioUnitEvent_BeginParameterChangeGesture, gain);
    const AudioUnitEvent end = EventOf(kAudioUnitEvent_EndParameterChangeGesture, gain);
    ASSERT_OK(AUEventListenerAddEventType(events.Get(), nullptr, &valueChange));
    ASSERT_OK(AUEventListenerAddEventType(events.Get(), nullptr, &begin));

    ASSERT_OK(AUEventListenerNotify(nullptr, nullptr, &begin));
    ASSERT_OK(AUParameterSet(nullptr, nullptr, &gain, 1.25f, 0));
    ASSERT_OK(AUEventListenerNotify(nullptr, nullptr, &end));
    ASSERT_EQ(heard.entries.size(), 2u);
    EXPECT_EQ(heard.entries[0].type, UInt32(kAudioUnitEvent_BeginParameterChangeGesture));
    EXPECT_EQ(heard.entries[1].type, UInt32(kAudioUnitEvent_ParameterValueChange));
    EXPECT_EQ(heard.entries[1].value, 1.25f);

    ASSERT_OK(AUEventListenerRemoveEventType(events.Get(), nullptr, &begin));
    ASSERT_OK(AUEventListenerNotify(nullptr, nullptr, &begin));
    EXPECT_EQ(heard.entries.size(), 2u);

    AudioUnitEvent property{};
    property.mEventType = kAudioUnitEvent_PropertyChange;
    property.mArgument.mProperty = {host.Get(), kAudioUnitProperty_PresentPreset,
                                    kAudioUnitScope_Global, 0};
    ASSERT_OK(AUEventListenerAddEventType(events.Get(), nullptr, &property));
    ASSERT_OK(AUEventListenerNotify(nullptr, nullptr, &property));
    ASSERT_EQ(heard.entries.size(), 3u);
    EXPECT_EQ(heard.entries[2].id, UInt32(kAudioUnitProperty_PresentPreset));
    // A parameter listener cannot take other event types.
    Listener parameters(heard);
    EXPECT_EQ(AUEventListenerAddEventType(parameters.Get(), nullptr, &begin), kAudio_ParamError);
}

TEST(FrameworkHostServices, ValuesAreFormattedToFourSignificantDigitsInPlainNotation) {
    const std::pair<Float64, const char*> cases[] = {
        {223.6068, "223.6"},  {5000, "5000"},     {10, "10.00"},   {0.001, "0.001000"},
        {-1.5, "-1.500"},     {0.0, "0.000"},     {-0.0, "0.000"}, {9.99996, "10.00"},
        {123456.7, "123457"}, {0.12345, "0.1235"}};
    for (const auto& [value, text] : cases) {
        char buffer[kAUParameterFormatValueBufferSize];
        EXPECT_STREQ(AUParameterFormatValue(value, nullptr, buffer, 4), text) << value;
    }
}

TEST(FrameworkParameterHandle, UnitNamesAndValueCounts) {
    HostedUnit host;
    const CAAUParameter speed(host.Get(), kParamSpeed, kAudioUnitScope_Global, 0);
    EXPECT_EQ(speed.GetName(), "Speed");
    EXPECT_EQ(speed.GetUnitName(), "Hz");
    EXPECT_FALSE(speed.IsIndexedParam());

    const CAAUParameter steps(host.Get(), kParamSteps, kAudioUnitScope_Global, 0);
    EXPECT_EQ(steps.GetNumIndexedParams(), 101u);
    EXPECT_FALSE(steps.HasNamedParams());

    const CAAUParameter mode(host.Get(), kParamMode, kAudioUnitScope_Global, 0);
    ASSERT_TRUE(mode.HasNamedParams());
    EXPECT_EQ(mode.GetNumIndexedParams(), 4u);
    EXPECT_EQ(mode.GetValueNames(), (std::vector<std::string>{"Off", "Low", "Mid", "High"}));

    const CAAUParameter note(host.Get(), kParamNote, kAudioUnitScope_Global, 0);
    EXPECT_EQ(note.GetNumIndexedParams(), 128u);
    EXPECT_EQ(note.GetUnitName(), "MIDI");

    const CAAUParameter missing(host.Get(), kNumParams, kAudioUnitScope_Global, 0);
    EXPECT_EQ(missing.GetName(), "");
    EXPECT_EQ(missing.GetMaxValue(), 0.0f);
    EXPECT_EQ(missing.ValueUnit(), 0u);
    EXPECT_EQ(missing.GetNumIndexedParams(), 0u);
}

TEST(FrameworkParameterHandle, SetValueClampsAndNotifiesThroughTheHost) {
    HostedUnit host;
    Heard heard;
    Listener listener(heard);
    const CAAUParameter gain(host.Get(), kParamGain, kAudioUnitScope_Global, 0);
    ASSERT_OK(AUListenerAddParameter(listener.Get(), nullptr, &gain));
    for (const auto& [value, stored] : {std::pair{9.0f, 2.0f}, {-3.0f, 0.0f}, {1.5f, 1.5f}}) {
        ASSERT_OK(gain.SetValue(nullptr, nullptr, value));
        EXPECT_EQ(host.Param(kParamGain), stored);
        EXPECT_EQ(gain.GetValue(), stored);
        EXPECT_EQ(heard.entries.back().value, stored);
    }
    // The handle's own registration is the sender and hears nothing.
    ASSERT_OK(gain.SetValue(listener.Get(), nullptr, 0.5f));
    EXPECT_EQ(heard.entries.size(), 3u);
}

TEST(FrameworkParameterHandle, KnobMappingIsExponentialForHertzSteppedForIndexedElseLinear) {
    HostedUnit host;
    const CAAUParameter speed(host.Get(), kParamSpeed, kAudioUnitScope_Global, 0);
    EXPECT_FLOAT_EQ(AUParameterValueFromLinear(0.0f, &speed), 10.0f);
    EXPECT_NEAR(AUParameterValueFromLinear(0.5f, &speed), 223.6068f, 1e-3);
    EXPECT_FLOAT_EQ(AUParameterValueFromLinear(1.0f, &speed), 5000.0f);
    EXPECT_NEAR(AUParameterValueToLinear(223.6068f, &speed), 0.5f, 1e-6);
    EXPECT_FLOAT_EQ(AUParameterValueToLinear(5000.0f, &speed), 1.0f);
    for (Float32 x = 0.0f; x <= 1.0f; x += 0.125f) {
        EXPECT_NEAR(AUParameterValueToLinear(AUParameterValueFromLinear(x, &speed), &speed), x,
                    1e-5);
    }

    const CAAUParameter steps(host.Get(), kParamSteps, kAudioUnitScope_Global, 0);
    EXPECT_EQ(AUParameterValueFromLinear(0.504f, &steps), 50.0f);
    EXPECT_EQ(AUParameterValueFromLinear(0.506f, &steps), 51.0f);
    EXPECT_EQ(AUParameterValueFromLinear(1.0f, &steps), 100.0f);
    EXPECT_FLOAT_EQ(AUParameterValueToLinear(25.0f, &steps), 0.25f);

    const CAAUParameter gain(host.Get(), kParamGain, kAudioUnitScope_Global, 0);
    EXPECT_FLOAT_EQ(AUParameterValueFromLinear(0.3f, &gain), 0.6f);
    EXPECT_FLOAT_EQ(AUParameterValueToLinear(1.5f, &gain), 0.75f);
    // The MIDI-note parameter is not stepped by the knob.
    const CAAUParameter note(host.Get(), kParamNote, kAudioUnitScope_Global, 0);
    EXPECT_FLOAT_EQ(AUParameterValueFromLinear(0.5f, &note), 63.5f);
}

} // namespace
} // namespace fwtest
