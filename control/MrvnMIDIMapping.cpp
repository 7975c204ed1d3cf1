#include "MrvnMIDIMapping.h"

#include <cmath>
#include <cstdint>
#include <tuple>

#include "AUBase.h"
#include "AUHostServices.h"
#include "MrvnInstanceTracker.h"

namespace {
std::uintptr_t Address(const AUBase* unit) {
    return reinterpret_cast<std::uintptr_t>(unit);
}
} // namespace

bool MrvnMIDIMapping::Controller::operator<(const Controller& other) const {
    return std::make_tuple(Address(instance), channel, kind, number) <
           std::make_tuple(Address(other.instance), other.channel, other.kind, other.number);
}

bool MrvnMIDIMapping::Endpoint::operator<(const Endpoint& other) const {
    return std::make_tuple(Address(instance), parameterIndex) <
           std::make_tuple(Address(other.instance), other.parameterIndex);
}

void MrvnMIDIMapping::Insert(const Controller& controller, const Endpoint& endpoint,
                             const Range& range) {
    auto found = byEndpoint.find(endpoint);
    if (found == byEndpoint.end()) {
        byEndpoint.emplace(endpoint, Mapping{controller, range});
        byController.emplace(controller, endpoint);
        return;
    }
    Mapping& mapping = found->second;
    if (mapping.controller.SameKey(controller)) {
        return; // relearning the same controller keeps the first range
    }
    const Controller old = mapping.controller;
    mapping.controller = controller;
    mapping.range = range;
    for (auto it = byController.lower_bound(old); it != byController.end(); ++it) {
        if (Address(it->second.instance) == Address(endpoint.instance) &&
            it->second.parameterIndex == endpoint.parameterIndex) {
            byController.erase(it);
            break;
        }
    }
    byController.emplace(controller, endpoint);
}

void MrvnMIDIMapping::Resolve() {
    for (PendingMapping record : pending) {
        AUBase* endpointUnit = MrvnInstanceTracker::FindGuid(record.endpoint.guid);
        if (endpointUnit == nullptr) {
            continue;
        }
        AUBase* controllerUnit = MrvnInstanceTracker::FindGuid(record.controller.guid);
        if (controllerUnit == nullptr) {
            continue;
        }
        record.endpoint.instance = endpointUnit;
        record.controller.instance = controllerUnit;
        Insert(record.controller, record.endpoint, record.range);
    }
    pending.clear();
}

Float32 MrvnMIDIMapping::ScaleValue(const Range& range, int value) {
    const Float32 lo = range.minimum;
    const Float32 hi = range.maximum;
    Float32 result;
    if (lo == -hi) {
        // Symmetric ranges put controller 64 exactly on zero.
        if (value == 64) {
            result = 0.0f;
        } else {
            const int steps = value - 1 > 0 ? value - 1 : 0;
            result = (hi - lo) * Float32(steps) * (1.0f / 126.0f) + lo;
        }
    } else {
        result = (hi - lo) * Float32(value) * (1.0f / 127.0f) + lo;
    }
    switch (range.unit) {
    case kAudioUnitParameterUnit_Indexed:
    case kAudioUnitParameterUnit_RelativeSemiTones:
        return std::floor(result);
    case kAudioUnitParameterUnit_Boolean:
        return result == 0.0f ? 0.0f : 1.0f;
    default:
        return result;
    }
}

void MrvnMIDIMapping::Respond(const Controller& controller, int value) const {
    for (auto it = byController.lower_bound(controller);
         it != byController.end() && it->first.SameKey(controller); ++it) {
        const Endpoint& endpoint = it->second;
        if (!MrvnInstanceTracker::IsRegistered(endpoint.instance)) {
            continue;
        }
        auto mapping = byEndpoint.find(endpoint);
        if (mapping == byEndpoint.end()) {
            continue;
        }
        const AudioUnitParameter parameter{endpoint.instance->GetComponentInstance(),
                                           AudioUnitParameterID(endpoint.parameterIndex),
                                           kAudioUnitScope_Global, 0};
        AUParameterSet(nullptr, nullptr, &parameter, ScaleValue(mapping->second.range, value), 0);
    }
}
