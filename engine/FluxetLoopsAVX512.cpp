// The sample loop for processors with AVX-512: sixteen lanes. This file is built with
// -mavx512f and runs only after the processor has said that it has AVX-512.
#include "FluxetLoops.h"

#if defined(__AVX512F__)
#define FLUXET_LOOPS_LANES 16
#define FLUXET_LOOPS_TABLE kLoopsAVX512Table
#include "FluxetLoopsImpl.h"

const MrvnFluxetLoops::LoopTable* const MrvnFluxetLoops::kLoopsAVX512 =
    &MrvnFluxetLoops::kLoopsAVX512Table;
#else
const MrvnFluxetLoops::LoopTable* const MrvnFluxetLoops::kLoopsAVX512 = nullptr;
#endif
