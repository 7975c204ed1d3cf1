// The C entries hosts call on an instance, and the descriptors that name them.
#include <cstring>
#include <new>

#include <lv2/core/lv2.h>
#include <lv2/state/state.h>

#include "FluxetLV2EntryPoints.h"
#include "FluxetLV2Metadata.h"
#include "MrvnFluxetLV2.h"

namespace {

MrvnFluxetLV2* Plugin(LV2_Handle instance) {
    return static_cast<MrvnFluxetLV2*>(instance);
}

// Main thread (instantiation).
LV2_Handle Instantiate(const LV2_Descriptor* descriptor, double sampleRate, const char* bundlePath,
                       const LV2_Feature* const* features) {
    for (const FluxetLV2Variant& variant : kFluxetLV2Variants) {
        if (std::strcmp(descriptor->URI, variant.uri) == 0) {
            try {
                return MrvnFluxetLV2::Create(variant.channels, sampleRate, bundlePath, features)
                    .release();
            } catch (const std::bad_alloc&) {
                return nullptr;
            }
        }
    }
    return nullptr;
}

// Audio thread; real-time safe.
void ConnectPort(LV2_Handle instance, uint32_t port, void* data) {
    Plugin(instance)->ConnectPort(port, data);
}

// Main thread (instantiation).
void Activate(LV2_Handle instance) {
    Plugin(instance)->Activate();
}

// Audio thread; real-time safe apart from the script host's lock.
void Run(LV2_Handle instance, uint32_t frames) {
    Plugin(instance)->Run(frames);
}

// Main thread (instantiation).
void Deactivate(LV2_Handle /*instance*/) {}

// Main thread (instantiation).
void Cleanup(LV2_Handle instance) {
    delete Plugin(instance);
}

// Main thread.
LV2_State_Status Save(LV2_Handle instance, LV2_State_Store_Function store, LV2_State_Handle handle,
                      uint32_t /*flags*/, const LV2_Feature* const* /*features*/) {
    try {
        return Plugin(instance)->Save(store, handle);
    } catch (const std::bad_alloc&) {
        return LV2_STATE_ERR_UNKNOWN;
    }
}

// Main thread, or any thread while Run is active (thread-safe restore).
LV2_State_Status Restore(LV2_Handle instance, LV2_State_Retrieve_Function retrieve,
                         LV2_State_Handle handle, uint32_t /*flags*/,
                         const LV2_Feature* const* /*features*/) {
    try {
        return Plugin(instance)->Restore(retrieve, handle);
    } catch (const std::bad_alloc&) {
        return LV2_STATE_ERR_UNKNOWN;
    }
}

const LV2_State_Interface kStateInterface{Save, Restore};

// Any thread.
const void* ExtensionData(const char* uri) {
    return std::strcmp(uri, LV2_STATE__interface) == 0 ? &kStateInterface : nullptr;
}

constexpr LV2_Descriptor MakeDescriptor(const char* uri) {
    return LV2_Descriptor{uri, Instantiate, ConnectPort, Activate,
                          Run, Deactivate,  Cleanup,     ExtensionData};
}

const LV2_Descriptor kDescriptors[] = {
    MakeDescriptor(kFluxetLV2Variants[0].uri),
    MakeDescriptor(kFluxetLV2Variants[1].uri),
};
static_assert(sizeof(kDescriptors) / sizeof(kDescriptors[0]) == kFluxetLV2NumVariants);

} // namespace

const LV2_Descriptor* FluxetLV2Descriptor(uint32_t index) {
    return index < kFluxetLV2NumVariants ? &kDescriptors[index] : nullptr;
}
