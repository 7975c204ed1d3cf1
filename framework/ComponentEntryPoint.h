// The generic component entry: creates, serves and destroys units of one class.
#pragma once

#include <memory>
#include <mutex>

#include "AUComponent.h"
#include "AUError.h"
#include "ComponentBase.h"

// The lock that serialises every open request in the process.
std::mutex& ComponentOpenLock();

// A unit class plugs in with a one-line entry:
//     OSStatus MrvnFooEntry(ComponentParameters* p, ComponentInstance i) {
//         return ComponentEntryPoint<MrvnFoo>::Dispatch(p, i);
//     }
// UnitClass needs a constructor taking the AudioComponentInstance and a static
// ComponentEntryDispatch(ComponentParameters*, UnitClass-or-base*) (AUBase and
// AUMIDIEffectBase provide one).
template <class UnitClass> class ComponentEntryPoint {
public:
    // Any thread the request belongs to. Open constructs the unit under the process-wide open
    // lock and runs its post-construction step; close deletes it; every other request goes
    // to the unit's dispatcher. Exceptions become the result.
    static OSStatus Dispatch(ComponentParameters* params, ComponentInstance instance) noexcept {
        if (params == nullptr || instance == nullptr) {
            return kAudio_ParamError;
        }
        try {
            switch (params->what) {
            case kComponentOpenSelect:
                return Open(instance);
            case kComponentCloseSelect:
                return Close(instance);
            default:
                break;
            }
            auto* base = static_cast<ComponentBase*>(instance->storage);
            if (base == nullptr) {
                return kAudio_ParamError;
            }
            return UnitClass::ComponentEntryDispatch(params, static_cast<UnitClass*>(base));
        } catch (...) {
            return ResultFromCurrentException();
        }
    }

private:
    static OSStatus Open(ComponentInstance instance) {
        std::lock_guard lock(ComponentOpenLock());
        if (instance->storage != nullptr) {
            return kAudio_ParamError;
        }
        auto unit = std::make_unique<UnitClass>(instance);
        unit->PostConstructor();
        instance->storage = static_cast<ComponentBase*>(unit.release());
        return noErr;
    }

    static OSStatus Close(ComponentInstance instance) {
        auto* base = static_cast<ComponentBase*>(instance->storage);
        if (base == nullptr) {
            return kAudio_ParamError;
        }
        std::unique_ptr<ComponentBase> owner(base);
        // While the unit ends its own threads it must still be reachable through the
        // instance, since those threads may be inside a request on it.
        owner->PreDestructor();
        instance->storage = nullptr;
        return noErr;
    }
};
