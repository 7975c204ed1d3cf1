// A short piece of music to hear the effect on: a plucked melody over sawtooth chords with
// a kick and snare, in stereo.
#pragma once

#include <vector>

#include "AUTypes.h"

namespace MrvnCli {

// Six seconds in two channels at sampleRate; the same samples on every call.
std::vector<std::vector<Float32>> SynthesizeDemoSignal(Float64 sampleRate);

} // namespace MrvnCli
