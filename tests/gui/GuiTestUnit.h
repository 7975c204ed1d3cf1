// The framework's test unit as the editor sees a plug-in: it answers the parameter count, and its
// "Steps" parameter becomes "Switch", an on/off parameter (indexed 0 to 1). Its "Mode" has value
// names (Off, Low, Mid, High), which Fluxet's parameters do not give.
#pragma once

#include <cstring>

#include "MrvnShared.h"
#include "TestUnit.h"

namespace MV::test {

class GuiTestUnit : public fwtest::TestUnit {
public:
    using fwtest::TestUnit::TestUnit;

    OSStatus GetParameterInfo(AudioUnitScope scope, AudioUnitParameterID id,
                              AudioUnitParameterInfo& info) override {
        const OSStatus result = TestUnit::GetParameterInfo(scope, id, info);
        if (result == noErr && id == fwtest::kParamSteps) {
            std::strncpy(info.name, "Switch", sizeof info.name - 1);
            info.cfNameString = "Switch";
            info.maxValue = 1.0f;
        }
        return result;
    }
    OSStatus GetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                             UInt32& size, Boolean& writable) override {
        if (id == kMrvnProperty_NumParameters && scope == kAudioUnitScope_Global) {
            size = sizeof(UInt32);
            writable = false;
            return noErr;
        }
        return TestUnit::GetPropertyInfo(id, scope, element, size, writable);
    }
    OSStatus GetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         void* data) override {
        if (id == kMrvnProperty_NumParameters && scope == kAudioUnitScope_Global) {
            const UInt32 count = fwtest::kNumParams;
            std::memcpy(data, &count, sizeof count);
            return noErr;
        }
        return TestUnit::GetProperty(id, scope, element, data);
    }
};

inline OSStatus GuiTestUnitEntry(ComponentParameters* params, ComponentInstance instance) {
    return ComponentEntryPoint<GuiTestUnit>::Dispatch(params, instance);
}

} // namespace MV::test
