// The object hosts load: it exports lv2_descriptor and nothing else, imports no library a host
// may also carry, and forwards to the rest of the plug-in, loaded beside it with its own symbol
// scope. The descriptors it hands out point straight into the loaded part, so instances, their
// handles and (later) an editor sharing an instance live there alone.
#include <dlfcn.h>

#include <cstdio>
#include <string>

#include "FluxetLV2EntryPoints.h"

namespace {

// Sanitizer runtimes refuse RTLD_DEEPBIND (they must interpose every allocation). Under them
// the part shares the process's scope; the tests that run there load no other Lua.
bool UnderSanitizer() {
    return dlsym(RTLD_DEFAULT, "__sanitizer_print_stack_trace") != nullptr;
}

// Once, on the thread that asks first. Null when the part cannot be loaded: the reason is one
// line on standard error, and the host finds no plug-in, so instantiation fails cleanly.
const FluxetLV2EntryPoints* LoadCore() {
    Dl_info self{};
    if (dladdr(reinterpret_cast<const void*>(&LoadCore), &self) == 0 || self.dli_fname == nullptr) {
        std::fputs("fluxet.lv2: cannot find the plug-in's own folder\n", stderr);
        return nullptr;
    }
    std::string path = self.dli_fname;
    path.replace(path.find_last_of('/') + 1, std::string::npos, kFluxetLV2CoreBinary);
    // Its Lua, oscpack and the rest bind to the libraries it was linked with before any the
    // host has; nothing of it becomes visible to the host or other plug-ins. The part stays
    // loaded for good (it is linked with -z nodelete): its process-wide threads outlive
    // instances.
    const int flags = RTLD_NOW | RTLD_LOCAL | (UnderSanitizer() ? 0 : RTLD_DEEPBIND);
    void* core = dlopen(path.c_str(), flags);
    if (core == nullptr) {
        // glibc keeps dlerror's message per thread.
        const char* reason = dlerror(); // NOLINT(concurrency-mt-unsafe)
        std::fprintf(stderr, "fluxet.lv2: cannot load the plug-in: %s\n", reason);
        return nullptr;
    }
    const auto* points =
        static_cast<const FluxetLV2EntryPoints*>(dlsym(core, kFluxetLV2EntryPointsSymbol));
    if (points == nullptr || points->version != kFluxetLV2EntryPointsVersion) {
        std::fprintf(stderr, "fluxet.lv2: %s does not belong to this fluxet.so\n", path.c_str());
        return nullptr;
    }
    return points;
}

const FluxetLV2EntryPoints* Core() {
    static const FluxetLV2EntryPoints* const points = LoadCore();
    return points;
}

} // namespace

// Any thread.
LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    const FluxetLV2EntryPoints* points = Core();
    return points != nullptr ? points->descriptor(index) : nullptr;
}
