// The sample loop for every processor: four lanes.
#define FLUXET_LOOPS_LANES 4
#define FLUXET_LOOPS_TABLE kLoopsBaseline
#include "FluxetLoopsImpl.h"

namespace MrvnFluxetLoops {

Float32 Sinusoid(Float32 f) {
    return Sine(f);
}

} // namespace MrvnFluxetLoops
