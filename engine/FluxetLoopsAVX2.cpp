// The sample loop for processors with AVX2: eight lanes. This file is built with -mavx2
// and runs only after the processor has said that it has AVX2.
#include "FluxetLoops.h"

#if defined(__AVX2__)
#define FLUXET_LOOPS_LANES 8
#define FLUXET_LOOPS_TABLE kLoopsAVX2Table
#include "FluxetLoopsImpl.h"

const MrvnFluxetLoops::LoopTable* const MrvnFluxetLoops::kLoopsAVX2 =
    &MrvnFluxetLoops::kLoopsAVX2Table;
#else
const MrvnFluxetLoops::LoopTable* const MrvnFluxetLoops::kLoopsAVX2 = nullptr;
#endif
