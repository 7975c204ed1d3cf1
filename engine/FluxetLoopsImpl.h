// Body of the sample loop, included by exactly one source file per instruction set. The
// including file defines FLUXET_LOOPS_LANES (4, 8 or 16) and FLUXET_LOOPS_TABLE (the name
// of its MrvnFluxetLoops::LoopTable) and is compiled for that instruction set. Everything else here
// has internal linkage, so the variants never mix.
//
// Every result must agree to the bit across variants, builds and block sizes: 32-bit float
// throughout, each formula in its written order, no contraction (the build passes
// -ffp-contract=off). Vector operations are lane-wise IEEE arithmetic and give the same
// bits as the same formula written for one frame.

#include <cmath>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "FluxetLoops.h"

namespace {

using Record = MrvnFluxetEngine::PreComp;
using State = MrvnFluxetEngine::KernelState;

constexpr UInt32 kMask = MrvnFluxetEngine::kDelayMask;
constexpr UInt32 kLanes = FLUXET_LOOPS_LANES;

using VF = float __attribute__((vector_size(4 * kLanes)));
using VI = SInt32 __attribute__((vector_size(4 * kLanes)));

// Frames per pass of the staged loop; the stages' arrays live on the stack.
constexpr UInt32 kChunk = 256;
static_assert(kChunk % kLanes == 0);

inline VF Splat(float x) {
    return VF{} + x;
}

inline VI LaneIndex() {
    VI lane = {};
    for (UInt32 k = 0; k < kLanes; ++k) {
        lane[k] = SInt32(k);
    }
    return lane;
}

template <class T> T Broadcast(float x);
template <> inline float Broadcast<float>(float x) {
    return x;
}
template <> inline VF Broadcast<VF>(float x) {
    return Splat(x);
}

// std::min and std::max semantics (the first argument wins a tie, and a NaN in b).
inline float Min(float a, float b) {
    return b < a ? b : a;
}
inline float Max(float a, float b) {
    return a < b ? b : a;
}
inline VF Min(VF a, VF b) {
    return b < a ? b : a;
}
inline VF Max(VF a, VF b) {
    return a < b ? b : a;
}

inline float Select(bool m, float a, float b) {
    return m ? a : b;
}
inline VF Select(VI m, VF a, VF b) {
    return m ? a : b;
}

inline VF Abs(VF x) {
    return reinterpret_cast<VF>(reinterpret_cast<VI>(x) & 0x7fffffff);
}

// True when every lane of a comparison result is set.
inline bool AllSet(VI m) {
#if defined(__AVX512F__) && FLUXET_LOOPS_LANES == 16
    return _mm512_test_epi32_mask(reinterpret_cast<__m512i>(m), reinterpret_cast<__m512i>(m)) ==
           0xFFFF;
#elif defined(__AVX__) && FLUXET_LOOPS_LANES == 8
    return _mm256_movemask_ps(reinterpret_cast<__m256>(m)) == 0xFF;
#elif defined(__SSE2__) && FLUXET_LOOPS_LANES == 4
    return _mm_movemask_ps(reinterpret_cast<__m128>(m)) == 0xF;
#else
    SInt32 all = -1;
    for (UInt32 k = 0; k < kLanes; ++k) {
        all &= m[k];
    }
    return all != 0;
#endif
}

inline bool AnySet(VI m) {
    return !AllSet(m == 0);
}

// base[index[k]] for every lane. Only the sixteen-lane hardware gather beats loading the
// lanes one by one on the processors measured.
inline VF Gather(const float* base, VI index) {
#if defined(__AVX512F__) && FLUXET_LOOPS_LANES == 16
    // The masked form: the plain one trips GCC 12's uninitialised-value warning.
    return reinterpret_cast<VF>(_mm512_mask_i32gather_ps(
        _mm512_setzero_ps(), 0xFFFF, reinterpret_cast<__m512i>(index), base, 4));
#else
    VF v;
    for (UInt32 k = 0; k < kLanes; ++k) {
        v[k] = base[index[k]];
    }
    return v;
#endif
}

// floor() for every float without a library call or an out-of-range conversion: from
// 2^23 on (and for NaN and infinities) a float is its own floor.
inline float Floor(float x) {
    if (!(std::fabs(x) < 0x1p23f)) {
        return x;
    }
    const float t = static_cast<float>(static_cast<SInt32>(x));
    return t > x ? t - 1.0f : t;
}

inline VF Floor(VF x) {
    const VI small = Abs(x) < Splat(0x1p23f);
    const VF xs = small ? x : VF{};
    const VF t = __builtin_convertvector(__builtin_convertvector(xs, VI), VF);
    const VF down = t > xs ? t - 1.0f : t;
    return small ? down : x;
}

template <class T> inline T Frac(T x) {
    return x - Floor(x);
}

// The sinusoid: fold the phase into [-0.25, 0.25], then an odd polynomial.
template <class T> inline T Sine(T f) {
    T x = Min(f - 0.5f, 1.0f - f);
    x = Max(x, -f);
    const T x2 = x * x;
    const T x3 = x2 * x;
    const T x5 = x3 * x2;
    const T x7 = x5 * x2;
    const T x9 = x7 * x2;
    return -6.2831855f * x + 41.341679f * x3 - 81.602234f * x5 + 76.574974f * x7 - 39.710674f * x9;
}

// The phase warp around the record's pivot: the identity at the pivot 0.5, but evaluated
// as written above the pivot, which rounds.
struct Warp {
    float pivot;
    float lowSlope;
    float highSlope;

    explicit Warp(float c)
        : pivot(c), lowSlope(c <= 0.0f ? 0.0f : 0.5f / c),
          highSlope(c >= 1.0f ? 0.0f : 0.5f / (1.0f - c)) {}

    template <class T> T operator()(T phi) const {
        const T high = Broadcast<T>(highSlope);
        return Select(phi < Broadcast<T>(pivot), phi * lowSlope, (phi * high + 1.0f) - high);
    }
};

// The deterministic shapes 0..4 at warped phase u.
template <int kIndex, class T> inline T Shape(T u) {
    if constexpr (kIndex == 0) {
        return Sine(Frac(u + 0.25f));
    } else if constexpr (kIndex == 1) {
        return (1.0f - 8.0f * u) + 8.0f * (u * u);
    } else if constexpr (kIndex == 2) {
        return Max(1.0f - 8.0f * (u * u), (16.0f * u - 7.0f) - 8.0f * (u * u));
    } else if constexpr (kIndex == 3) {
        return Max((16.0f * u - 7.0f) - 8.0f * (u * u), (1.0f - 8.0f * u) + 8.0f * (u * u));
    } else {
        return Max(4.0f * u - 3.0f, 1.0f - 4.0f * u);
    }
}

inline bool IsFinite(float x) {
    return x - x == 0.0f;
}
inline VF ZeroUnlessFinite(VF x) {
    return x - x == VF{} ? x : VF{};
}

// A non-finite input sample counts as silence.
inline float CleanInput(float x) {
    return IsFinite(x) ? x : 0.0f;
}

// floor(r) taken through a 64-bit integer and masked to a ring slot; f = r - floor(r).
// Positions beyond 2^62 are multiples of the ring length, so clamping there (and sending
// NaN to the clamp) keeps the conversion defined without changing any slot.
inline void ExactRingPosition(float r, UInt32& index, float& frac) {
    const float fl = Floor(r);
    float clamped = fl < 0x1p62f ? fl : 0x1p62f;
    clamped = clamped > -0x1p62f ? clamped : -0x1p62f;
    index = static_cast<UInt32>(static_cast<SInt64>(clamped) & SInt64(kMask));
    frac = r - fl;
}

// Next main LFO phase. With a step in [0, 1) and a phase in [0, 1] the sum lies in
// [0, 2), where subtracting 1 at or above 1 is exactly frac().
template <bool kSmallStep> inline float Advance(float phi, float inc) {
    const float x = phi + inc;
    if constexpr (kSmallStep) {
        return x >= 1.0f ? x - 1.0f : x;
    } else {
        return Frac(x);
    }
}

inline VF Load(const float* p);
inline void Store(float* p, VF v);

// The main LFO phase of `count` frames from phi on; returns the phase after them.
//
// The recurrence phi = frac(phi + inc) is serial, but within one binade of phi and before
// the wrap, every step adds the same rounded increment. So a group of lanes is guessed as
// phi + k * step and then checked lane-wise: if stepping each lane exactly as the serial
// loop does lands on the next lane's guess (and stays below 1), the guesses are the serial
// phases, bit for bit. A group that fails the check is stepped serially.
inline float FillPhases(float* phases, UInt32 count, float phi, float inc, bool smallStep) {
    UInt32 n = 0;
    if (smallStep) {
        const VI lane = LaneIndex();
        const VF k = __builtin_convertvector(lane, VF);
        const VF k1 = k + 1.0f;
        float step = (phi + inc) - phi;
        float stride = step * float(kLanes);
        for (; n + kLanes <= count; n += kLanes) {
            const VF ph = Splat(phi) + k * step;
            const VF next = ph + inc;
            if (AllSet((next == Splat(phi) + k1 * step) & (next < 1.0f))) {
                Store(phases + n, lane == 0 ? Splat(phi) : ph);
                phi = phi + stride;
                continue;
            }
            for (UInt32 j = 0; j < kLanes; ++j) {
                phases[n + j] = phi;
                phi = Advance<true>(phi, inc);
            }
            step = (phi + inc) - phi;
            stride = step * float(kLanes);
        }
        for (; n < count; ++n) {
            phases[n] = phi;
            phi = Advance<true>(phi, inc);
        }
    } else {
        for (; n < count; ++n) {
            phases[n] = phi;
            phi = Advance<false>(phi, inc);
        }
    }
    return phi;
}

inline VF Load(const float* p) {
    VF v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void Store(float* p, VF v) {
    std::memcpy(p, &v, sizeof v);
}

struct Mix {
    float feedback;
    float dryGain;
    float wetGain;
};

// Working set of one chunk of the staged loop.
struct Chunk {
    alignas(64) float value[kChunk]; // LFO phases, or shape values on the random path
    alignas(64) float frac[kChunk];
    alignas(64) float position[kChunk];
    alignas(64) SInt32 index[kChunk];
    // Per group of kLanes frames: no lane reads a slot that the same or an earlier lane of
    // the group writes, so the group may do all its reads first.
    bool independent[kChunk / kLanes];
};

// Read positions r = w - A + A*v - B*v - B with their ring slots and fractions, for
// `count` frames (a multiple of kLanes), v coming from valueOf(n) for frames n onwards.
// kChecked: positions may reach 2^23 in magnitude or not be finite; such a chunk is
// reported (true) and its positions stored, so that the caller can redo it exactly.
template <bool kChecked, class ValueOf>
bool ReadPositions(const ValueOf& valueOf, UInt32 count, UInt32 w, float a, float b, Chunk& c) {
    const VF va = Splat(a);
    const VF vb = Splat(b);
    const VI lane = LaneIndex();
    const VI nearest = lane + 1;
    VI outside = {};
    for (UInt32 n = 0; n < count; n += kLanes) {
        const VI writeSlot = (lane + SInt32(w + n)) & SInt32(kMask);
        const VF wf = __builtin_convertvector(writeSlot, VF);
        const VF v = valueOf(n);
        VF r = (((wf - va) + va * v) - vb * v) - vb;
        if constexpr (kChecked) {
            Store(c.position + n, r);
            const VI inside = Abs(r) < Splat(0x1p23f);
            outside |= ~inside;
            r = inside ? r : VF{};
        }
        const VI t = __builtin_convertvector(r, VI);
        const VF tf = __builtin_convertvector(t, VF);
        const VI down = tf > r;
        const VF fl = tf + reinterpret_cast<VF>(down & reinterpret_cast<VI>(Splat(-1.0f)));
        const VI slot = (t + down) & SInt32(kMask);
        // Lane k reads the slots `distance` and `distance - 1` frames back; within the
        // group those were written by this or an earlier lane when distance <= k + 1.
        c.independent[n / kLanes] = AllSet(((writeSlot - slot) & SInt32(kMask)) > nearest);
        std::memcpy(c.index + n, &slot, sizeof slot);
        Store(c.frac + n, r - fl);
    }
    return kChecked && AnySet(outside);
}

// The exact positions, for the rare chunk that reaches 2^23 or beyond.
inline void ExactPositions(UInt32 count, Chunk& c) {
    for (UInt32 n = 0; n < count; ++n) {
        UInt32 slot = 0;
        ExactRingPosition(c.position[n], slot, c.frac[n]);
        c.index[n] = SInt32(slot);
    }
    for (bool& independent : c.independent) {
        independent = false;
    }
}

// The ring and the mix in frame order: write the input, read and interpolate, write back
// input plus feedback, mix. A write-back that is not finite stores 0: the ring is a loop,
// and a NaN or infinity in it would never leave. Independent groups do the same
// arithmetic lane-wise.
inline void RingAndMix(const float* in, float* out, UInt32 count, float* delay, UInt32 w,
                       const Chunk& c, const Mix& mix) {
    const float feedback = mix.feedback;
    const float dryGain = mix.dryGain;
    const float wetGain = mix.wetGain;
    const auto frame = [&](UInt32 n) {
        const UInt32 slotW = (w + n) & kMask;
        const float x = CleanInput(in[n]);
        delay[slotW] = x;
        const auto i = UInt32(c.index[n]);
        const float f = c.frac[n];
        const float y = delay[i] * (1.0f - f) + delay[(i + 1) & kMask] * f;
        const float back = x + feedback * y;
        delay[slotW] = IsFinite(back) ? back : 0.0f;
        out[n] = x * dryGain + y * wetGain;
    };
    UInt32 n = 0;
    for (; n + kLanes <= count; n += kLanes) {
        if (!c.independent[n / kLanes]) {
            for (UInt32 k = 0; k < kLanes; ++k) {
                frame(n + k);
            }
            continue;
        }
        const VF x = ZeroUnlessFinite(Load(in + n));
        VI slot;
        std::memcpy(&slot, c.index + n, sizeof slot);
        const VF lo = Gather(delay, slot);
        const VF hi = Gather(delay, (slot + 1) & SInt32(kMask));
        const VF f = Load(c.frac + n);
        const VF y = lo * (1.0f - f) + hi * f;
        const VF back = ZeroUnlessFinite(x + feedback * y);
        const UInt32 first = (w + n) & kMask;
        if (first + kLanes <= MrvnFluxetEngine::kDelayLength) {
            Store(delay + first, back);
        } else {
            for (UInt32 k = 0; k < kLanes; ++k) {
                delay[(first + k) & kMask] = back[k];
            }
        }
        Store(out + n, x * dryGain + y * wetGain);
    }
    for (; n < count; ++n) {
        frame(n);
    }
}

// Weighted sum of the deterministic shapes in kShapes, in index order. A shape left out
// has weight 0: its zero term could change only the sign of a zero sum, and the read
// position comes out the same for either sign. kPlainPivot: the pivot is 0.5, so the
// warped phase stays in [0, 1] and the sine's phase u + 0.25 needs at most one wrap.
template <unsigned kShapes, bool kPlainPivot> struct DeterministicValues {
    const float* phases;
    Warp warp;
    VF weight[5];

    // Takes the chunk whose phases it will read, before they are written.
    DeterministicValues(Chunk& chunk, const Record& rec)
        : phases(chunk.value), warp(rec.warpPivot) {
        for (int i = 0; i < 5; ++i) {
            weight[i] = Splat(rec.shapeWeights[i]);
        }
    }

    template <int kIndex> VF Term(VF u, VF sum) const {
        if constexpr ((kShapes & (1u << kIndex)) == 0) {
            return sum;
        } else if constexpr (kIndex == 0 && kPlainPivot) {
            const VF x = u + 0.25f;
            return sum + weight[0] * Sine(x >= 1.0f ? x - 1.0f : x);
        } else {
            return sum + weight[kIndex] * Shape<kIndex>(u);
        }
    }

    VF operator()(UInt32 n) const {
        const VF u = warp(Load(phases + n));
        VF v = {};
        v = Term<0>(u, v);
        v = Term<1>(u, v);
        v = Term<2>(u, v);
        v = Term<3>(u, v);
        return Term<4>(u, v);
    }
};

struct Pass {
    const float* source;
    float* dest;
    UInt32 frames;
    float* delay;
    UInt32 writeIndex;
    const Record& rec;
    Mix mix;
    float phi;
    float inc;
    bool smallStep;
};

// Runs the chunks: fill(c, count) leaves each frame's LFO phase or shape value in c.value,
// then the positions, then the ring and the mix.
template <bool kChecked, class ValueOf, class Fill>
void RunChunks(const Pass& pass, Chunk& c, const ValueOf& valueOf, const Fill& fill) {
    UInt32 w = pass.writeIndex;
    for (UInt32 done = 0; done < pass.frames;) {
        const UInt32 count = pass.frames - done < kChunk ? pass.frames - done : kChunk;
        const UInt32 padded = (count + kLanes - 1) & ~(kLanes - 1);
        fill(c, count);
        for (UInt32 n = count; n < padded; ++n) {
            c.value[n] = 0.0f;
        }
        if (ReadPositions<kChecked>(valueOf, padded, w, pass.rec.sweepAmplitude,
                                    pass.rec.biasAmount, c)) {
            ExactPositions(count, c);
        }
        RingAndMix(pass.source + done, pass.dest + done, count, pass.delay, w, c, pass.mix);
        w = (w + count) & kMask;
        done += count;
    }
}

// The deterministic path. kBounded: every read position is known to stay below 2^22 in
// magnitude, which spares the per-frame range check.
template <unsigned kShapes, bool kPlainPivot, bool kBounded> float RunDeterministic(Pass pass) {
    Chunk c;
    const DeterministicValues<kShapes, kPlainPivot> values(c, pass.rec);
    float phi = pass.phi;
    const auto fill = [&](Chunk& chunk, UInt32 count) {
        phi = FillPhases(chunk.value, count, phi, pass.inc, pass.smallStep);
    };
    RunChunks<!kBounded>(pass, c, values, fill);
    return phi;
}

using DeterministicFn = float (*)(Pass);

template <bool kBounded> DeterministicFn PickShapes(unsigned shapes) {
    switch (shapes) {
    case 0x00:
        return RunDeterministic<0x00, true, kBounded>;
    case 0x01:
        return RunDeterministic<0x01, true, kBounded>;
    case 0x02:
        return RunDeterministic<0x02, true, kBounded>;
    case 0x04:
        return RunDeterministic<0x04, true, kBounded>;
    case 0x08:
        return RunDeterministic<0x08, true, kBounded>;
    case 0x10:
        return RunDeterministic<0x10, true, kBounded>;
    case 0x03:
        return RunDeterministic<0x03, true, kBounded>;
    case 0x06:
        return RunDeterministic<0x06, true, kBounded>;
    case 0x0C:
        return RunDeterministic<0x0C, true, kBounded>;
    case 0x18:
        return RunDeterministic<0x18, true, kBounded>;
    default:
        return RunDeterministic<0x1F, true, kBounded>;
    }
}

DeterministicFn PickDeterministic(const Pass& pass) {
    const Record& rec = pass.rec;
    if (rec.warpPivot != 0.5f) {
        return RunDeterministic<0x1F, false, false>;
    }
    unsigned shapes = 0;
    float weightSum = 0.0f;
    for (unsigned i = 0; i < 5; ++i) {
        if (rec.shapeWeights[i] != 0.0f) {
            shapes |= 1u << i;
        }
        weightSum += std::fabs(rec.shapeWeights[i]);
    }
    // With the pivot at 0.5 and a finite phase every shape lies within [-1, 1] (the sine
    // a hair beyond), so |v| <= 1.01 * the sum of |weight|.
    const float a = std::fabs(rec.sweepAmplitude);
    const float b = std::fabs(rec.biasAmount);
    const float bound = 65536.0f + a + b + (a + b) * (weightSum * 1.01f);
    const bool bounded = IsFinite(pass.phi) && IsFinite(pass.inc) && bound < 0x1p22f;
    return bounded ? PickShapes<true>(shapes) : PickShapes<false>(shapes);
}

// Once per cycle of the shared phase: new random targets for the three random shapes.
inline void RandomUpdate(State& s, UInt32& commonSeed, float spreadOffset) {
    s.seed = s.seed * 15486277u + 15485867u;
    commonSeed = commonSeed * 49979693u + 15485867u;
    const float a = static_cast<float>(SInt32(s.seed & 0xFFFFFu) - 524288);
    const float c = static_cast<float>(SInt32(commonSeed & 0xFFFFFu) - 524288);
    const float n = c * 0x1p-19f + ((a - c) * 0x1p-19f) * spreadOffset;

    s.lineStart = s.lineStart + s.lineSlope;
    s.lineSlope = n - s.lineStart;

    const float e = (s.curveValue + s.curveSlope) + s.curveBend;
    const float g = s.curveSlope + 2.0f * s.curveBend;
    // Steer the curve back towards [-2, 0].
    const float target = e > 0.0f ? n - 1.0f : (e >= -2.0f ? 2.0f * n : n + 1.0f);
    s.curveValue = e;
    s.curveSlope = g;
    s.curveBend = (target - g) * 0.5f;

    const float half = (n + 1.0f) * 0.5f;
    s.wobbleAmplitude = half * half;
}

// The random path: the shape values come from a serial first stage (the lag, the shared
// phase and the random updates are recurrences); positions and ring as above.
template <bool kSmallStep>
float RunRandom(const Pass& pass, float sampleRate, float startPhase, float spreadOffset,
                State& state, const State& common) {
    const Record& rec = pass.rec;
    const Warp warp(rec.warpPivot);
    const float lagCoefficient = expf((-5.2f * rec.speed) / sampleRate);
    const float inc = pass.inc;
    const float w4 = rec.shapeWeights[4];
    const float w5 = rec.shapeWeights[5];
    const float w6 = rec.shapeWeights[6];
    const float w7 = rec.shapeWeights[7];
    const float w8 = rec.shapeWeights[8];
    State s = state;
    UInt32 commonSeed = common.seed;
    float phi = pass.phi;
    float p = startPhase;
    const auto fill = [&](Chunk& c, UInt32 count) {
        // Locals, so that the stores to the chunk cannot be taken to overwrite them.
        State t = s;
        UInt32 seed = commonSeed;
        float ph = phi;
        float pp = p;
        for (UInt32 n = 0; n < count; ++n) {
            const float u = warp(ph);
            const float q = w4 * Max(4.0f * u - 3.0f, 1.0f - 4.0f * u);
            const float line = t.lineStart + t.lineSlope * pp;
            const float curve = (t.curveValue + t.curveSlope * pp) + t.curveBend * (pp * pp);
            t.lag = line + (t.lag - line) * lagCoefficient;
            c.value[n] = (((q + w5 * line) + w6 * t.lag) + w7 * curve) +
                         (w8 * t.wobbleAmplitude) * (Sine(Frac(pp + 0.25f)) - 1.0f);
            ph = Advance<kSmallStep>(ph, inc);
            pp = pp + inc;
            if (pp >= 1.0f) {
                RandomUpdate(t, seed, spreadOffset);
                pp = pp - Floor(pp);
            }
        }
        s = t;
        commonSeed = seed;
        phi = ph;
        p = pp;
    };
    Chunk c;
    const auto values = [&c](UInt32 n) { return Load(c.value + n); };
    RunChunks<true>(pass, c, values, fill);
    state = s;
    return phi;
}

// Calls segment(slot, j, count) for the runs of frames whose ring slots are contiguous.
template <class Segment> inline void ForRingRuns(UInt32 w, UInt32 frames, const Segment& segment) {
    for (UInt32 j = 0; j < frames;) {
        const UInt32 slot = (w + j) & kMask;
        const UInt32 room = MrvnFluxetEngine::kDelayLength - slot;
        const UInt32 count = frames - j < room ? frames - j : room;
        segment(slot, j, count);
        j += count;
    }
}

void CopyFromRing(const Float32* delay, UInt32 w, Float32* saved, UInt32 frames) {
    ForRingRuns(w, frames, [&](UInt32 slot, UInt32 j, UInt32 count) {
        std::memcpy(saved + j, delay + slot, count * sizeof(Float32));
    });
}

void SwapWithRing(Float32* delay, UInt32 w, Float32* saved, UInt32 frames) {
    ForRingRuns(w, frames, [&](UInt32 slot, UInt32 j, UInt32 count) {
        float* ring = delay + slot;
        float* keep = saved + j;
        UInt32 n = 0;
        for (; n + kLanes <= count; n += kLanes) {
            const VF written = Load(ring + n);
            Store(ring + n, Load(keep + n));
            Store(keep + n, written);
        }
        for (; n < count; ++n) {
            const float written = ring[n];
            ring[n] = keep[n];
            keep[n] = written;
        }
    });
}

// a[n] = a[n] * t + b[n] * (1 - t) with t = (first + n) * step.
inline void Blend(float* a, const float* b, UInt32 count, UInt32 first, float step) {
    const VI lane = LaneIndex();
    UInt32 n = 0;
    for (; n + kLanes <= count; n += kLanes) {
        const VF t = __builtin_convertvector(lane + SInt32(first + n), VF) * step;
        Store(a + n, Load(a + n) * t + Load(b + n) * (1.0f - t));
    }
    for (; n < count; ++n) {
        const float t = static_cast<float>(SInt32(first + n)) * step;
        a[n] = a[n] * t + b[n] * (1.0f - t);
    }
}

void Crossfade(Float32* dest, const Float32* previous, Float32* delay, UInt32 w,
               const Float32* saved, UInt32 frames) {
    const float step = 1.0f / static_cast<float>(frames);
    Blend(dest, previous, frames, 0, step);
    ForRingRuns(w, frames, [&](UInt32 slot, UInt32 j, UInt32 count) {
        Blend(delay + slot, saved + j, count, j, step);
    });
}

Float32 ProcessCore(const Float32* source, Float32* dest, UInt32 frames, Float32* delay,
                    UInt32 writeIndex, const MrvnFluxetEngine::PreComp& record, Float32 dryGain,
                    Float32 wetGain, Float32 sampleRate, Float32 startPhase, SInt32 channelIndex,
                    MrvnFluxetEngine::KernelState& state,
                    const MrvnFluxetEngine::KernelState& common) {
    const float inc = record.speed / sampleRate;
    const float spreadOffset = static_cast<float>(channelIndex) * record.spread;
    const Pass pass{source,
                    dest,
                    frames,
                    delay,
                    writeIndex & kMask,
                    record,
                    Mix{record.feedbackGain, dryGain, wetGain},
                    Frac(startPhase + spreadOffset),
                    inc,
                    inc >= 0.0f && inc < 1.0f};
    if (record.shape <= 4.0f) {
        return PickDeterministic(pass)(pass);
    }
    if (pass.smallStep) {
        return RunRandom<true>(pass, sampleRate, startPhase, spreadOffset, state, common);
    }
    return RunRandom<false>(pass, sampleRate, startPhase, spreadOffset, state, common);
}

} // namespace

namespace MrvnFluxetLoops {

const LoopTable FLUXET_LOOPS_TABLE = {ProcessCore, CopyFromRing, SwapWithRing, Crossfade};

} // namespace MrvnFluxetLoops
