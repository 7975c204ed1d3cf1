// How the bundle's two shared objects meet. Hosts load the thin entry object (fluxet.so), which
// loads the rest of the plug-in (fluxet-core.so) with a symbol scope of its own: hosts such as
// Ardour carry their own Lua and export it, and a plug-in bound to the host's interpreter (or
// its oscpack, libplist, Avahi) would call into the wrong library. The entry finds everything
// it forwards through one table.
#pragma once

#include <cstdint>

#include <lv2/core/lv2.h>
#include <lv2/ui/ui.h>

// The loaded part's file, next to the entry object, and its one exported symbol.
constexpr const char* kFluxetLV2CoreBinary = "fluxet-core.so";
constexpr const char* kFluxetLV2EntryPointsSymbol = "fluxet_lv2_entry_points";
// Raised whenever the table changes, so that an entry never reads a table it does not know.
constexpr uint32_t kFluxetLV2EntryPointsVersion = 1;

extern "C" {
struct FluxetLV2EntryPoints {
    uint32_t version;
    // Any thread; what lv2_descriptor answers.
    const LV2_Descriptor* (*descriptor)(uint32_t index);
    // Any thread; what lv2ui_descriptor answers, null while the plug-in has no editor.
    const LV2UI_Descriptor* (*uiDescriptor)(uint32_t index);
};
}

// The plug-ins' descriptors, for the table and for tests that run the plug-in in their own
// process; null past the last one. Any thread.
const LV2_Descriptor* FluxetLV2Descriptor(uint32_t index);
