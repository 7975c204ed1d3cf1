// The toolkit's lock for data shared between the main thread and a render task: a recursive
// region (the thread holding it may enter again), entered without time-out.
#pragma once

#include "Synchronization.h"

namespace MV {

using CriticalSection = CriticalRegion;
using CriticalSectionGuard = CriticalRegionGuard;

} // namespace MV
