// Host services and the editor's parameter handle: notifying parameter set, parameter and
// event listeners, gestures, unit names and value counts.
#include <gtest/gtest.h>

#include <utility>

#include "CAAUParameter.h"
#include "TestUnit.h"

namespace fwtest {
namespace {

// What a listener heard: the object it was registered with, the parameter (or property), the
// value and the event type.
struct Heard {
    void* object;
    AudioUnitParameterID id;
    AudioUnitParameterValue value;
    AudioUnitEventType type;
};

// A parameter (or, with events, an event) listener that records what it hears and is disposed
// at the end of the scope.
class Listener {
public:
    explicit Listener(bool events = false) {
        EXPECT_EQ(events ? AUEventListenerCreate(&Event, this, &m_ref)
                         : AUListenerCreate(&Parameter, this, &m_ref),
                  noErr);
    }
    ~Listener() { Dispose(); }
    void Dispose() { AUListenerDispose(std::exchange(m_ref, nullptr)); }
    AUParameterListenerRef Get() const { return m_ref; }

    std::vector<Heard> heard;

private:
    static void Parameter(void* self, void* object, const AudioUnitParameter* parameter,
                          AudioUnitParameterValue value) {
        static_cast<Listener*>(self)->heard.push_back(
            {object, parameter->mParameterID, value, kAudioUnitEvent_ParameterValueChange});
    }
    static void Event(void* self, void* object, const AudioUnitEvent* event, UInt64,
                      AudioUnitParameterValue value) {
        const AudioUnitParameterID id = event->mEventType == kAudioUnitEvent_PropertyChange
                                            ? event->mArgument.mProperty.mPropertyID
                                            : event->mArgument.mParameter.mParameterID;
        static_cast<Listener*>(self)->heard.push_back({object, id, value, event->mEventType});
    }
    AUParameterListenerRef m_ref = nullptr;
};

AudioUnitEvent EventOf(AudioUnitEventType type, const AudioUnitParameter& parameter) {
    AudioUnitEvent event{};
    event.mEventType = type;
    event.mArgument.mParameter = parameter;
    return event;
}

// A set reaches every (listener, object) registration but the sender's; a failed set and
// other parameters reach nobody; the wildcard hears every parameter of its unit only.
TEST(FrameworkHostServices, ParameterSetNotifiesEveryListenerButTheSender) {
    HostedUnit host, other;
    Listener first, second, wildcard;
    int objectA = 0, objectB = 0;
    const AudioUnitParameter gain{host.Get(), kParamGain, kAudioUnitScope_Global, 0};
    const AudioUnitParameter any{host.Get(), kAUParameterListener_AnyParameter,
                                 kAudioUnitScope_Global, 0};
    ASSERT_OK(AUListenerAddParameter(first.Get(), &objectA, &gain));
    ASSERT_OK(AUListenerAddParameter(first.Get(), &objectB, &gain));
    ASSERT_OK(AUListenerAddParameter(second.Get(), &objectA, &gain));
    ASSERT_OK(AUListenerAddParameter(wildcard.Get(), nullptr, &any));
    ASSERT_OK(AUParameterSet(first.Get(), &objectA, &gain, 0.3f, 0));
    EXPECT_EQ(host.Param(kParamGain), 0.3f);
    ASSERT_EQ(first.heard.size(), 1u);
    EXPECT_EQ(first.heard[0].object, &objectB);
    EXPECT_EQ(first.heard[0].value, 0.3f);
    ASSERT_EQ(second.heard.size(), 1u);
    EXPECT_EQ(second.heard[0].object, &objectA);
    const AudioUnitParameter otherGain{other.Get(), kParamGain, kAudioUnitScope_Global, 0};
    const AudioUnitParameter note{host.Get(), kParamNote, kAudioUnitScope_Global, 0};
    const AudioUnitParameter missing{host.Get(), kNumParams, kAudioUnitScope_Global, 0};
    ASSERT_OK(AUParameterSet(nullptr, nullptr, &otherGain, 0.5f, 0));
    ASSERT_OK(AUParameterSet(nullptr, nullptr, &note, 64.0f, 0));
    EXPECT_EQ(AUParameterSet(nullptr, nullptr, &missing, 1.0f, 0), kAudioUnitErr_InvalidParameter);
    EXPECT_EQ(first.heard.size(), 1u);
    ASSERT_EQ(wildcard.heard.size(), 2u);
    EXPECT_EQ(wildcard.heard[1].id, kParamNote);
    EXPECT_EQ(wildcard.heard[1].value, 64.0f);
    ASSERT_OK(AUListenerRemoveParameter(first.Get(), &objectB, &gain));
    ASSERT_OK(AUParameterSet(nullptr, nullptr, &gain, 0.9f, 0));
    ASSERT_EQ(first.heard.size(), 2u);
    EXPECT_EQ(first.heard[1].object, &objectA);
    // A disposed listener is never called again.
    second.Dispose();
    ASSERT_OK(AUParameterSet(nullptr, nullptr, &gain, 0.7f, 0));
    EXPECT_EQ(second.heard.size(), 2u);
}

TEST(FrameworkHostServices, EventListenersHearTheEventTypesTheyAdded) {
    HostedUnit host;
    Listener events(true);
    const AudioUnitParameter gain{host.Get(), kParamGain, kAudioUnitScope_Global, 0};
    const AudioUnitEvent valueChange = EventOf(kAudioUnitEvent_ParameterValueChange, gain);
    const AudioUnitEvent begin = EventOf(kAudioUnitEvent_BeginParameterChangeGesture, gain);
    const AudioUnitEvent end = EventOf(kAudioUnitEvent_EndParameterChangeGesture, gain);
    ASSERT_OK(AUEventListenerAddEventType(events.Get(), nullptr, &valueChange));
    ASSERT_OK(AUEventListenerAddEventType(events.Get(), nullptr, &begin));
    ASSERT_OK(AUEventListenerNotify(nullptr, nullptr, &begin));
    ASSERT_OK(AUParameterSet(nullptr, nullptr, &gain, 1.25f, 0));
    ASSERT_OK(AUEventListenerNotify(nullptr, nullptr, &end));
    ASSERT_EQ(events.heard.size(), 2u);
    EXPECT_EQ(events.heard[0].type, UInt32(kAudioUnitEvent_BeginParameterChangeGesture));
    EXPECT_EQ(events.heard[1].type, UInt32(kAudioUnitEvent_ParameterValueChange));
    EXPECT_EQ(events.heard[1].value, 1.25f);
    ASSERT_OK(AUEventListenerRemoveEventType(events.Get(), nullptr, &begin));
    ASSERT_OK(AUEventListenerNotify(nullptr, nullptr, &begin));
    AudioUnitEvent property{};
    property.mEventType = kAudioUnitEvent_PropertyChange;
    property.mArgument.mProperty = {host.Get(), kAudioUnitProperty_PresentPreset,
                                    kAudioUnitScope_Global, 0};
    ASSERT_OK(AUEventListenerAddEventType(events.Get(), nullptr, &property));
    ASSERT_OK(AUEventListenerNotify(nullptr, nullptr, &property));
    ASSERT_EQ(events.heard.size(), 3u);
    EXPECT_EQ(events.heard[2].id, UInt32(kAudioUnitProperty_PresentPreset));
    // A parameter listener cannot take other event types.
    Listener parameters;
    EXPECT_EQ(AUEventListenerAddEventType(parameters.Get(), nullptr, &begin), kAudio_ParamError);
}

TEST(FrameworkParameterHandle, UnitNamesAndValueCounts) {
    HostedUnit host;
    auto handle = [&host](AudioUnitParameterID id) { return CAAUParameter(host.Get(), id, 0, 0); };
    EXPECT_EQ(handle(kParamSpeed).GetName(), "Speed");
    EXPECT_EQ(handle(kParamSpeed).GetUnitName(), "Hz");
    EXPECT_FALSE(handle(kParamSpeed).IsIndexedParam());
    EXPECT_EQ(handle(kParamSteps).GetNumIndexedParams(), 101u);
    EXPECT_FALSE(handle(kParamSteps).HasNamedParams());
    EXPECT_EQ(handle(kParamMode).GetValueNames(),
              (std::vector<std::string>{"Off", "Low", "Mid", "High"}));
    EXPECT_EQ(handle(kParamNote).GetNumIndexedParams(), 128u);
    EXPECT_EQ(handle(kNumParams).GetName(), "");
    EXPECT_EQ(handle(kNumParams).GetNumIndexedParams(), 0u);
}

// The handle's own registration is the sender and hears nothing.
TEST(FrameworkParameterHandle, SetValueClampsAndNotifiesThroughTheHost) {
    HostedUnit host;
    Listener listener;
    const CAAUParameter gain(host.Get(), kParamGain, kAudioUnitScope_Global, 0);
    ASSERT_OK(AUListenerAddParameter(listener.Get(), nullptr, &gain));
    for (const auto& [value, stored] : {std::pair{9.0f, 2.0f}, {-3.0f, 0.0f}, {1.5f, 1.5f}}) {
        ASSERT_OK(gain.SetValue(nullptr, nullptr, value));
        EXPECT_EQ(host.Param(kParamGain), stored);
        EXPECT_EQ(gain.GetValue(), stored);
        EXPECT_EQ(listener.heard.back().value, stored);
    }
    ASSERT_OK(gain.SetValue(listener.Get(), nullptr, 0.5f));
    EXPECT_EQ(listener.heard.size(), 3u);
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

TEST(FrameworkParameterHandle, KnobMappingFollowsTheUnit) {
    HostedUnit host;
    const CAAUParameter speed(host.Get(), kParamSpeed, kAudioUnitScope_Global, 0);
    EXPECT_FLOAT_EQ(AUParameterValueFromLinear(0.0f, &speed), 10.0f);
    EXPECT_NEAR(AUParameterValueFromLinear(0.5f, &speed), 223.6068f, 1e-3);
    EXPECT_FLOAT_EQ(AUParameterValueFromLinear(1.0f, &speed), 5000.0f);
    for (Float32 x = 0.0f; x <= 1.0f; x += 0.125f) {
        EXPECT_NEAR(AUParameterValueToLinear(AUParameterValueFromLinear(x, &speed), &speed), x,
                    1e-5);
    }
    const CAAUParameter steps(host.Get(), kParamSteps, kAudioUnitScope_Global, 0);
    EXPECT_EQ(AUParameterValueFromLinear(0.504f, &steps), 50.0f);
    EXPECT_EQ(AUParameterValueFromLinear(0.506f, &steps), 51.0f);
    EXPECT_FLOAT_EQ(AUParameterValueToLinear(25.0f, &steps), 0.25f);
    const CAAUParameter gain(host.Get(), kParamGain, kAudioUnitScope_Global, 0);
    EXPECT_FLOAT_EQ(AUParameterValueFromLinear(0.3f, &gain), 0.6f);
    EXPECT_FLOAT_EQ(AUParameterValueToLinear(1.5f, &gain), 0.75f);
    const CAAUParameter note(host.Get(), kParamNote, kAudioUnitScope_Global, 0);
    EXPECT_FLOAT_EQ(AUParameterValueFromLinear(0.5f, &note), 63.5f);
}

} // namespace
} // namespace fwtest
