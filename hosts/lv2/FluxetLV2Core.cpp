// The loaded part's one exported symbol: the table the entry object forwards to.
#include "FluxetLV2EntryPoints.h"

// LV2_SYMBOL_EXPORT gives it C linkage.
LV2_SYMBOL_EXPORT const FluxetLV2EntryPoints fluxet_lv2_entry_points{kFluxetLV2EntryPointsVersion,
                                                                     FluxetLV2Descriptor, nullptr};
