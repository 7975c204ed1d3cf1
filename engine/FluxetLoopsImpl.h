// Body of the sample loop, included by exactly one source file per instruction set. The
// including file defines FLUXET_LOOPS_LANES (4, 8 or 16) and FLUXET_LOOPS_TABLE (the name
// of its MrvnFluxetLoops::LoopTable) and is compiled for that instruction set. Everything else here
// has internal linkage, so the variants never mix.
//
// Every result must agree to the bit across variants, builds and block sizes: 32-bit float
// throughout, each formula in its written order, no contraction (the build passes
// -ffp-contract=off). Vector operations are lane-wise IEEE arithmetic and give the same
// bits as the same formula written for one frame.

#include <bit>
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

// Frames of random shape values made ahead of their positions; they live on the stack.
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

inline VF Load(const float* p) {
    VF v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void Store(float* p, VF v) {
    std::memcpy(p, &v, sizeof v);
}

// v[index[k] mod kLanes] for every lane.
inline VF Shuffle(VF v, VI index) {
#if defined(__clang__)
    // Clang has no variable-index shuffle builtin; its builds (the fuzzer) need the bits only.
    VF r;
    for (UInt32 k = 0; k < kLanes; ++k) {
        r[k] = v[index[k] & SInt32(kLanes - 1)];
    }
    return r;
#else
    return __builtin_shuffle(v, index);
#endif
}

// The lanes of a followed by those of b, picked by index[k] mod 2 * kLanes.
inline VF Shuffle(VF a, VF b, VI index) {
#if defined(__clang__)
    VF r;
    for (UInt32 k = 0; k < kLanes; ++k) {
        const SInt32 i = index[k] & SInt32(2 * kLanes - 1);
        r[k] = i < SInt32(kLanes) ? a[i] : b[i - SInt32(kLanes)];
    }
    return r;
#else
    return __builtin_shuffle(a, b, index);
#endif
}

inline bool SameBits(VF a, VF b) {
    return AllSet(reinterpret_cast<VI>(a) == reinterpret_cast<VI>(b));
}

// What the ring stage needs to know of a group's read positions, decided once when they
// are made, as one word per group. Neighbouring frames read neighbouring slots unless the
// delay moves by a whole slot per frame, so when every lane's slot lies less than
// 2 * kLanes - 1 slots after the first lane's, two plain loads from that slot on and a
// permutation give what the lanes read: the low bits hold that slot, unless kNoWindow is
// set. kApart: no lane reads its own slot or an earlier lane's, so the lanes need not wait
// for each other's write-backs.
constexpr UInt32 kNoWindow = 1u << 31;
constexpr UInt32 kApart = 1u << 30;
// Lane k reads slot first + k of the low bits and the slot after it, none past the ring's end:
// two plain loads. Most groups are so, the delay moving by less than a slot over a group.
constexpr UInt32 kConsecutive = 1u << 29;

[[gnu::always_inline]] inline UInt32 GroupWord(VI slot, UInt32 first) {
    const VI lane = LaneIndex();
    const auto base = UInt32(slot[0]);
    const VI rel = (slot - SInt32(base)) & SInt32(kMask);
    const bool consecutive = AllSet(rel == lane);
    if (consecutive && base < MrvnFluxetEngine::kDelayLength - kLanes) {
        // Every lane lies the same number of slots behind its own.
        const UInt32 behind = (first - base) & kMask;
        return base | kConsecutive | (behind > kLanes ? kApart : 0);
    }
    // Lane k reads the slots `behind` and `behind - 1` before its own; those belong to this
    // or an earlier lane of the group when behind <= k + 1 (a slot ahead lies far behind).
    const VI behind = ((lane + SInt32(first)) - slot) & SInt32(kMask);
    const UInt32 apart = AllSet(behind > lane + 1) ? kApart : 0;
#if FLUXET_LOOPS_LANES >= 8
    const bool fits =
        base <= MrvnFluxetEngine::kDelayLength - 2 * kLanes && AllSet(rel < SInt32(2 * kLanes - 1));
    return (fits ? base : kNoWindow) | apart;
#else
    return kNoWindow | apart;
#endif
}

// delay[slot] and delay[slot + 1] for every lane.
[[gnu::always_inline]] inline void ReadPair(const float* delay, VI slot, UInt32 word, VF& lo,
                                            VF& hi) {
    if ((word & kConsecutive) != 0) {
        const UInt32 base = word & kMask;
        lo = Load(delay + base);
        hi = Load(delay + base + 1);
        return;
    }
#if FLUXET_LOOPS_LANES >= 8
    if ((word & kNoWindow) == 0) {
        const UInt32 base = word & kMask;
        const VI rel = slot - SInt32(base);
        const VF first = Load(delay + base);
        const VF second = Load(delay + base + kLanes);
        lo = Shuffle(first, second, rel);
        hi = Shuffle(first, second, rel + 1);
        return;
    }
#else
    (void)word;
#endif
    lo = Gather(delay, slot);
    hi = Gather(delay, (slot + 1) & SInt32(kMask));
}

// The main LFO phases, kLanes frames at a time.
//
// The recurrence phi = frac(phi + inc) is serial, but within one binade of phi and before
// the wrap, every step adds the same rounded increment. So a group of lanes is guessed as
// phi + k * step and then checked lane-wise: if stepping each lane exactly as the serial
// loop does lands on the next lane's guess (and stays below 1), the guesses are the serial
// phases, bit for bit. A group that fails the check is stepped serially.
class Phases {
public:
    Phases(float phi, float inc, bool smallStep) : m_phi(phi), m_inc(inc), m_smallStep(smallStep) {
        if (smallStep) {
            Restep();
        }
    }

    [[gnu::always_inline]] VF Next() {
        if (m_smallStep) {
            const VF base = Splat(m_phi);
            const VF guess = base + m_kStep;
            const VF next = guess + m_inc;
            if (AllSet((next == base + m_k1Step) & (next < 1.0f))) {
                m_phi = m_phi + m_stride;
                return LaneIndex() == 0 ? base : guess;
            }
        }
        alignas(64) float phases[kLanes];
        Serial(phases, kLanes);
        if (m_smallStep) {
            Restep();
        }
        return Load(phases);
    }

    // The phases of `count` frames, stepped one by one.
    void Serial(float* phases, UInt32 count) {
        float phi = m_phi;
        for (UInt32 k = 0; k < count; ++k) {
            phases[k] = phi;
            phi = m_smallStep ? Advance<true>(phi, m_inc) : Advance<false>(phi, m_inc);
        }
        m_phi = phi;
    }

    float Phase() const { return m_phi; }

private:
    void Restep() {
        const VF k = __builtin_convertvector(LaneIndex(), VF);
        const float step = (m_phi + m_inc) - m_phi;
        m_kStep = k * step;
        m_k1Step = (k + 1.0f) * step;
        m_stride = step * float(kLanes);
    }

    float m_phi;
    float m_inc;
    bool m_smallStep;
    float m_stride = 0.0f;
    VF m_kStep{};
    VF m_k1Step{};
};

struct Mix {
    float feedback;
    float dryGain;
    float wetGain;
};

// Read positions r = w - A + A*v - B*v - B of one group, turned into ring slots and
// fractions. kChecked: positions may reach 2^23 in magnitude or not be finite; a group with
// such a position takes the exact 64-bit conversion lane by lane.
template <bool kChecked>
[[gnu::always_inline]] inline void Positions(VF v, UInt32 first, float a, float b, VI& slot,
                                             VF& frac) {
    const VI writeSlot = (LaneIndex() + SInt32(first)) & SInt32(kMask);
    const VF wf = __builtin_convertvector(writeSlot, VF);
    const VF va = Splat(a);
    const VF vb = Splat(b);
    const VF r = (((wf - va) + va * v) - vb * v) - vb;
    if constexpr (kChecked) {
        if (!AllSet(Abs(r) < Splat(0x1p23f))) {
            for (UInt32 k = 0; k < kLanes; ++k) {
                UInt32 index = 0;
                float f = 0.0f;
                ExactRingPosition(r[k], index, f);
                slot[k] = SInt32(index);
                frac[k] = f;
            }
            return;
        }
    }
    const VI t = __builtin_convertvector(r, VI);
    const VF tf = __builtin_convertvector(t, VF);
    const VI down = tf > r;
    const VF fl = tf + reinterpret_cast<VF>(down & reinterpret_cast<VI>(Splat(-1.0f)));
    slot = (t + down) & SInt32(kMask);
    frac = r - fl;
}

// The ring and the mix for the first `lanes` frames of a group, whose write slots start at
// `first`; returns the outputs. Frame k writes its input, reads and interpolates, writes
// back input plus feedback (0 when that is not finite: the ring is a loop, and a NaN or
// infinity in it would never leave) and mixes.
//
// All lanes read at once, so each lane must see the ring as the frame-by-frame order leaves
// it: its own slot holds its input, the slots of earlier frames of the group their
// write-backs, and every other slot (later frames' included) what it held before the
// group. Write-backs depend on reads, so a lane that reads an earlier lane's slot starts
// from a guess (that lane's input, which is right when the feedback is 0) and the group
// is recomputed from the write-backs until they stop changing. A lane depends only on
// earlier lanes, so after d rounds every lane with a chain of at most d - 1 such reads
// behind it is exact, and a round that changes nothing is the frame-by-frame result.
// Out of line: its registers would crowd the common case's loop in RingGroups.
[[gnu::noinline]] VF RingGroup(VF x, VI slot, VF f, UInt32 word, float* delay, UInt32 first,
                               UInt32 lanes, const Mix& mix) {
    VF lo;
    VF hi;
    ReadPair(delay, slot, word, lo, hi);
    const VF g = 1.0f - f;
    VF y;
    VF back;
    if ((word & kApart) != 0) {
        y = lo * g + hi * f;
        back = ZeroUnlessFinite(x + mix.feedback * y);
    } else {
        const VI lane = LaneIndex();
        const VI relLo = (slot - SInt32(first)) & SInt32(kMask);
        const VI relHi = (relLo + 1) & SInt32(kMask);
        lo = relLo == lane ? x : lo;
        hi = relHi == lane ? x : hi;
        const VI earlyLo = relLo < lane;
        const VI earlyHi = relHi < lane;
        const bool chained = AnySet(earlyLo | earlyHi);
        VF guess = x;
        for (;;) {
            const VF l = earlyLo ? Shuffle(guess, relLo) : lo;
            const VF h = earlyHi ? Shuffle(guess, relHi) : hi;
            y = l * g + h * f;
            back = ZeroUnlessFinite(x + mix.feedback * y);
            if (!chained || SameBits(back, guess)) {
                break;
            }
            guess = back;
        }
    }
    if (lanes == kLanes && first + kLanes <= MrvnFluxetEngine::kDelayLength) {
        Store(delay + first, back);
    } else {
        for (UInt32 k = 0; k < lanes; ++k) {
            delay[(first + k) & kMask] = back[k];
        }
    }
    return x * mix.dryGain + y * mix.wetGain;
}

// The first `lanes` floats at p and zeros after them, gathered lane by lane: a whole-vector
// load of a copy just written float by float would wait until those stores are done.
inline VF LoadPart(const float* p, UInt32 lanes) {
    VF v = {};
#pragma GCC unroll 16
    for (UInt32 k = 0; k < kLanes; ++k) {
        if (k < lanes) {
            v[k] = p[k];
        }
    }
    return v;
}

// Working storage of one chunk: the ring slot and fraction of every frame's read position
// and the word of every group (unless the pass keeps them elsewhere), the ring slots
// the chunk overwrites as they were before it, its cleaned inputs, and shape values.
struct Chunk {
    alignas(64) SInt32 index[kChunk];
    alignas(64) float frac[kChunk];
    alignas(64) UInt32 word[kChunk / kLanes];
    alignas(64) float old[kChunk];
    alignas(64) float inputs[kChunk];
    alignas(64) float value[kChunk];
};

// Read positions of a run of frames: ring slots and fractions, and the word of each group.
struct PositionsAt {
    SInt32* index;
    float* frac;
    UInt32* word;
};

// The inputs of frames n .. n + lanes - 1 of a chunk, cleaned; a short group is padded
// with zeros.
inline VF Inputs(const float* in, UInt32 n, UInt32 lanes) {
    return ZeroUnlessFinite(lanes == kLanes ? Load(in + n) : LoadPart(in + n, lanes));
}

inline void Outputs(float* out, UInt32 n, UInt32 lanes, VF v) {
    if (lanes == kLanes) {
        Store(out + n, v);
    } else {
        alignas(64) float part[kLanes];
        Store(part, v);
        std::memcpy(out + n, part, lanes * sizeof(float));
    }
}

[[gnu::always_inline]] inline void KeepPositions(PositionsAt at, UInt32 n, UInt32 first, VI slot,
                                                 VF frac) {
    std::memcpy(at.index + n, &slot, sizeof slot);
    Store(at.frac + n, frac);
    at.word[n / kLanes] = GroupWord(slot, first);
}

// The positions of a chunk of `count` frames whose first write slot is w, a group at a
// time: source(n, lanes) gives the LFO phases or shape values of the group at frame n, of
// which `lanes` are real, and valueOf turns them into shape values. A short last group
// writes a whole group. Several groups go side by side (as many as the vector registers
// hold), so that the processor can overlap their long chains of dependent operations.
template <bool kChecked, class Source, class ValueOf>
void ChunkPositions(Source&& source, const ValueOf& valueOf, UInt32 count, UInt32 w, float a,
                    float b, PositionsAt at, float* values = nullptr) {
    constexpr UInt32 kSide = kLanes == 16 ? 4 : 2;
    UInt32 n = 0;
    for (; n + kSide * kLanes <= count; n += kSide * kLanes) {
        VF v[kSide];
        VI slot[kSide];
        VF frac[kSide];
#pragma GCC unroll 4
        for (UInt32 g = 0; g < kSide; ++g) {
            v[g] = source(n + g * kLanes, kLanes);
        }
#pragma GCC unroll 4
        for (UInt32 g = 0; g < kSide; ++g) {
            v[g] = valueOf(v[g]);
        }
        if (values != nullptr) {
#pragma GCC unroll 4
            for (UInt32 g = 0; g < kSide; ++g) {
                Store(values + n + g * kLanes, v[g]);
            }
        }
#pragma GCC unroll 4
        for (UInt32 g = 0; g < kSide; ++g) {
            Positions<kChecked>(v[g], (w + n + g * kLanes) & kMask, a, b, slot[g], frac[g]);
        }
#pragma GCC unroll 4
        for (UInt32 g = 0; g < kSide; ++g) {
            KeepPositions(at, n + g * kLanes, (w + n + g * kLanes) & kMask, slot[g], frac[g]);
        }
    }
    for (; n < count; n += kLanes) {
        const UInt32 lanes = count - n < kLanes ? count - n : kLanes;
        VI slot;
        VF frac;
        const VF v = valueOf(source(n, lanes));
        if (values != nullptr) {
            Store(values + n, v);
        }
        Positions<kChecked>(v, (w + n) & kMask, a, b, slot, frac);
        KeepPositions(at, n, (w + n) & kMask, slot, frac);
    }
}

inline VI LoadIndex(const SInt32* index) {
    VI v;
    std::memcpy(&v, index, sizeof v);
    return v;
}

// The ring and the mix of frames [from, count) of a chunk (from a group boundary on).
inline void RingGroups(const float* in, float* out, UInt32 from, UInt32 count, float* delay,
                       UInt32 w, PositionsAt at, const Mix& mix) {
    constexpr UInt32 kPlain = kConsecutive | kApart;
    const VF feedback = Splat(mix.feedback);
    const VF dryGain = Splat(mix.dryGain);
    const VF wetGain = Splat(mix.wetGain);
    UInt32 n = from;
    while (n < count) {
        // RingGroup's common case: whole, consecutive, apart, and not at the ring's end.
        for (; n + kLanes <= count; n += kLanes) {
            const UInt32 word = at.word[n / kLanes];
            const UInt32 first = (w + n) & kMask;
            if ((word & kPlain) != kPlain || first > MrvnFluxetEngine::kDelayLength - kLanes) {
                break;
            }
            const float* slot = delay + (word & kMask);
            const VF x = ZeroUnlessFinite(Load(in + n));
            const VF f = Load(at.frac + n);
            const VF y = Load(slot) * (1.0f - f) + Load(slot + 1) * f;
            Store(delay + first, ZeroUnlessFinite(x + feedback * y));
            Store(out + n, x * dryGain + y * wetGain);
        }
        if (n >= count) {
            break;
        }
        const UInt32 lanes = count - n < kLanes ? count - n : kLanes;
        const VF y = RingGroup(Inputs(in, n, lanes), LoadIndex(at.index + n), Load(at.frac + n),
                               at.word[n / kLanes], delay, (w + n) & kMask, lanes, mix);
        Outputs(out, n, lanes, y);
        n += kLanes;
    }
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

// One group of ZeroFeedbackChunk: reads, mixes, and returns the lanes that fail its checks.
// Out of line, as RingGroup.
[[gnu::noinline]] VI ZeroFeedbackGroup(const float* in, float* out, UInt32 n, UInt32 lanes,
                                       const float* delay, UInt32 w, PositionsAt at,
                                       const Mix& mix) {
    const VI lane = LaneIndex();
    const VF x = Inputs(in, n, lanes);
    const VI slot = LoadIndex(at.index + n);
    const VF f = Load(at.frac + n);
    VF lo;
    VF hi;
    ReadPair(delay, slot, at.word[n / kLanes], lo, hi);
    const VI own = (lane + SInt32(w + n)) & SInt32(kMask);
    const VI behind = (own - slot) & SInt32(kMask);
    const VF y = lo * (1.0f - f) + hi * f;
    const VF written = ZeroUnlessFinite(x + mix.feedback * y);
    const VI kept = reinterpret_cast<VI>(written) == reinterpret_cast<VI>(x);
    // Slots this far behind a frame's own lie before the chunk; any farther is ahead of it.
    const VI fine =
        (behind > 0) & (behind <= SInt32(MrvnFluxetEngine::kDelayLength - kChunk)) & kept;
    Outputs(out, n, lanes, x * mix.dryGain + y * mix.wetGain);
    return lanes == kLanes ? ~fine : ~fine & (lane < SInt32(lanes));
}

// With the feedback gain +0 or -0 a write-back is the input itself, unless the input is a
// zero of the other sign or the read is not finite. So the whole chunk's inputs go into the
// ring first and every group reads without waiting for the one before it, checking as it
// goes that every frame reads only slots up to its own (the slots of earlier frames then
// hold their inputs, as they should) and that its write-back is its input. A chunk that
// fails either check anywhere is done again frame-exactly by the general stage: its slots
// get their old values back and its cleaned inputs, which the ring holds, are kept aside
// (the output may be the input buffer). Returns whether the chunk is done.
inline bool ZeroFeedbackChunk(const float* in, float* out, UInt32 count, float* delay, UInt32 w,
                              PositionsAt at, Chunk& c, const Mix& mix) {
    ForRingRuns(w, count, [&](UInt32 slot, UInt32 j, UInt32 run) {
        float* ring = delay + slot;
        float* old = c.old + j;
        const float* x = in + j;
        UInt32 n = 0;
        for (; n + kLanes <= run; n += kLanes) {
            Store(old + n, Load(ring + n));
            Store(ring + n, ZeroUnlessFinite(Load(x + n)));
        }
        for (; n < run; ++n) {
            old[n] = ring[n];
            ring[n] = IsFinite(x[n]) ? x[n] : 0.0f;
        }
    });
    VI failed = {};
    const VF feedback = Splat(mix.feedback);
    const VF dryGain = Splat(mix.dryGain);
    const VF wetGain = Splat(mix.wetGain);
    UInt32 n = 0;
    while (n + kLanes <= count) {
        // ZeroFeedbackGroup's common case: whole, consecutive, every lane the same number of
        // slots behind its own, which lies before the chunk.
        for (; n + kLanes <= count; n += kLanes) {
            const UInt32 word = at.word[n / kLanes];
            const UInt32 behind = (((w + n) & kMask) - word) & kMask;
            if ((word & kConsecutive) == 0 ||
                behind - 1 >= MrvnFluxetEngine::kDelayLength - kChunk) {
                break;
            }
            const float* slot = delay + (word & kMask);
            const VF x = ZeroUnlessFinite(Load(in + n));
            const VF f = Load(at.frac + n);
            const VF y = Load(slot) * (1.0f - f) + Load(slot + 1) * f;
            const VF written = ZeroUnlessFinite(x + feedback * y);
            failed |= reinterpret_cast<VI>(written) != reinterpret_cast<VI>(x);
            Store(out + n, x * dryGain + y * wetGain);
        }
        if (n + kLanes <= count) {
            failed |= ZeroFeedbackGroup(in, out, n, kLanes, delay, w, at, mix);
            n += kLanes;
        }
    }
    if (n < count) {
        failed |= ZeroFeedbackGroup(in, out, n, count - n, delay, w, at, mix);
    }
    if (!AnySet(failed)) {
        return true;
    }
    ForRingRuns(w, count, [&](UInt32 slot, UInt32 j, UInt32 run) {
        std::memcpy(c.inputs + j, delay + slot, run * sizeof(float));
        std::memcpy(delay + slot, c.old + j, run * sizeof(float));
    });
    return false;
}

struct Pass {
    // Member by member: an aggregate with padding is cleared with a string store first,
    // which costs more than the rest of a short block's set-up.
    Pass(const float* source_, float* dest_, UInt32 frames_, float* delay_, UInt32 writeIndex_,
         const Record& rec_, Mix mix_, float phi_, float inc_)
        : source(source_), dest(dest_), delay(delay_), rec(rec_), frames(frames_),
          writeIndex(writeIndex_), mix(mix_), phi(phi_), inc(inc_),
          smallStep(inc_ >= 0.0f && inc_ < 1.0f) {}

    const float* source;
    float* dest;
    float* delay;
    const Record& rec;
    UInt32 frames;
    UInt32 writeIndex;
    Mix mix;
    float phi;
    float inc;
    bool smallStep;
    // Whether the whole pass's positions are in `keep` already.
    bool positionsKept = false;
    // Where the whole pass's positions go (null: each chunk's own arrays).
    PositionsAt keep{nullptr, nullptr, nullptr};
    // Where a deterministic pass keeps its shape values (whole groups), or null.
    float* values = nullptr;
};

// Runs the pass a chunk at a time: positions(at, count, w) fills the chunk's read
// positions, unless the pass has them already; then the ring and the mix.
template <class MakePositions>
void RunChunks(const Pass& pass, Chunk& c, MakePositions&& positions) {
    const bool zeroFeedback = pass.mix.feedback == 0.0f;
    UInt32 w = pass.writeIndex;
    for (UInt32 done = 0; done < pass.frames;) {
        const UInt32 count = pass.frames - done < kChunk ? pass.frames - done : kChunk;
        const float* in = pass.source + done;
        float* out = pass.dest + done;
        const PositionsAt at = pass.keep.index != nullptr
                                   ? PositionsAt{pass.keep.index + done, pass.keep.frac + done,
                                                 pass.keep.word + done / kLanes}
                                   : PositionsAt{c.index, c.frac, c.word};
        if (!pass.positionsKept) {
            positions(at, count, w);
        }
        if (!zeroFeedback) {
            RingGroups(in, out, 0, count, pass.delay, w, at, pass.mix);
        } else if (!ZeroFeedbackChunk(in, out, count, pass.delay, w, at, c, pass.mix)) {
            RingGroups(c.inputs, out, 0, count, pass.delay, w, at, pass.mix);
        }
        w = (w + count) & kMask;
        done += count;
    }
}

// Weighted sum of the deterministic shapes in kShapes, in index order. A shape left out
// has weight 0: its zero term could change only the sign of a zero sum, and the read
// position comes out the same for either sign. kPlainPivot: the pivot is 0.5, so both warp
// slopes are 1, the warped phase stays in [0, 1] and the sine's phase u + 0.25 needs at
// most one wrap. kUnitWeight: one shape with weight 1, whose term is the shape value itself
// (again up to the sign of a zero).
template <unsigned kShapes, bool kPlainPivot, bool kUnitWeight> struct DeterministicValues {
    Warp warp;
    VF weight[5];

    explicit DeterministicValues(const Record& rec) : warp(rec.warpPivot) {
        for (int i = 0; i < 5; ++i) {
            weight[i] = Splat(rec.shapeWeights[i]);
        }
    }

    template <int kIndex> VF Value(VF u) const {
        if constexpr (kIndex == 0 && kPlainPivot) {
            const VF x = u + 0.25f;
            return Sine(x >= 1.0f ? x - 1.0f : x);
        } else {
            return Shape<kIndex>(u);
        }
    }

    template <int kIndex> VF Term(VF u, VF sum) const {
        if constexpr ((kShapes & (1u << kIndex)) == 0) {
            return sum;
        } else {
            return sum + weight[kIndex] * Value<kIndex>(u);
        }
    }

    VF operator()(VF phi) const {
        VF u;
        if constexpr (kPlainPivot) {
            u = phi < 0.5f ? phi : (phi + 1.0f) - 1.0f;
        } else {
            u = warp(phi);
        }
        if constexpr (kUnitWeight) {
            static_assert(kShapes != 0 && (kShapes & (kShapes - 1)) == 0);
            return Value<std::countr_zero(kShapes)>(u);
        } else {
            VF v = {};
            v = Term<0>(u, v);
            v = Term<1>(u, v);
            v = Term<2>(u, v);
            v = Term<3>(u, v);
            return Term<4>(u, v);
        }
    }
};

// The deterministic path. kBounded: every read position is known to stay below 2^22 in
// magnitude, which spares the per-group range check.
template <unsigned kShapes, bool kPlainPivot, bool kUnitWeight, bool kBounded>
float RunDeterministic(const Pass& pass) {
    const DeterministicValues<kShapes, kPlainPivot, kUnitWeight> values(pass.rec);
    Phases phases(pass.phi, pass.inc, pass.smallStep);
    const float a = pass.rec.sweepAmplitude;
    const float b = pass.rec.biasAmount;
    const auto phasesOf = [&](UInt32, UInt32 lanes) {
        if (lanes == kLanes) {
            return phases.Next();
        }
        alignas(64) float part[kLanes];
        phases.Serial(part, lanes);
        return LoadPart(part, lanes);
    };
    Chunk c;
    UInt32 done = 0;
    RunChunks(pass, c, [&](PositionsAt at, UInt32 count, UInt32 w) {
        ChunkPositions<!kBounded>(phasesOf, values, count, w, a, b, at,
                                  pass.values != nullptr ? pass.values + done : nullptr);
        done += count;
    });
    return phases.Phase();
}

// A deterministic pass whose shape values another pass made already.
template <bool kBounded> void RunFromValues(const Pass& pass, const float* values) {
    const float a = pass.rec.sweepAmplitude;
    const float b = pass.rec.biasAmount;
    Chunk c;
    UInt32 done = 0;
    RunChunks(pass, c, [&](PositionsAt at, UInt32 count, UInt32 w) {
        const float* v = values + done;
        ChunkPositions<!kBounded>([v](UInt32 n, UInt32) { return Load(v + n); },
                                  [](VF x) { return x; }, count, w, a, b, at);
        done += count;
    });
}

// A deterministic pass whose positions are kept already: only the ring and the mix.
void RunKept(const Pass& pass) {
    Chunk c;
    RunChunks(pass, c, [](PositionsAt, UInt32, UInt32) {});
}

using DeterministicFn = float (*)(const Pass&);

template <bool kBounded> DeterministicFn PickShapes(unsigned shapes, bool unitWeight) {
    switch (shapes) {
    case 0x00:
        return RunDeterministic<0x00, true, false, kBounded>;
    case 0x01:
        return unitWeight ? RunDeterministic<0x01, true, true, kBounded>
                          : RunDeterministic<0x01, true, false, kBounded>;
    case 0x02:
        return unitWeight ? RunDeterministic<0x02, true, true, kBounded>
                          : RunDeterministic<0x02, true, false, kBounded>;
    case 0x04:
        return unitWeight ? RunDeterministic<0x04, true, true, kBounded>
                          : RunDeterministic<0x04, true, false, kBounded>;
    case 0x08:
        return unitWeight ? RunDeterministic<0x08, true, true, kBounded>
                          : RunDeterministic<0x08, true, false, kBounded>;
    case 0x10:
        return unitWeight ? RunDeterministic<0x10, true, true, kBounded>
                          : RunDeterministic<0x10, true, false, kBounded>;
    case 0x03:
        return RunDeterministic<0x03, true, false, kBounded>;
    case 0x06:
        return RunDeterministic<0x06, true, false, kBounded>;
    case 0x0C:
        return RunDeterministic<0x0C, true, false, kBounded>;
    case 0x18:
        return RunDeterministic<0x18, true, false, kBounded>;
    default:
        return RunDeterministic<0x1F, true, false, kBounded>;
    }
}

using Cache = MrvnFluxetEngine::PositionCache;
using Plan = Cache::Plan;

Plan PlanFor(const Record& rec) {
    Plan plan{};
    plan.record = rec;
    plan.valid = true;
    plan.plainPivot = rec.warpPivot == 0.5f;
    float weightSum = 0.0f;
    for (unsigned i = 0; i < 5; ++i) {
        if (rec.shapeWeights[i] != 0.0f) {
            plan.shapes |= 1u << i;
            plan.unitWeight = rec.shapeWeights[i] == 1.0f;
        }
        weightSum += std::fabs(rec.shapeWeights[i]);
    }
    // With the pivot at 0.5 and a finite phase every shape lies within [-1, 1] (the sine
    // a hair beyond), so |v| <= 1.01 * the sum of |weight|.
    const float a = std::fabs(rec.sweepAmplitude);
    const float b = std::fabs(rec.biasAmount);
    plan.bound = 65536.0f + a + b + (a + b) * (weightSum * 1.01f);
    return plan;
}

// Every read position of the pass stays below 2^22 in magnitude.
bool Bounded(const Plan& plan, const Pass& pass) {
    return plan.plainPivot && IsFinite(pass.phi) && IsFinite(pass.inc) && plan.bound < 0x1p22f;
}

DeterministicFn PickDeterministic(const Plan& plan, const Pass& pass) {
    if (!plan.plainPivot) {
        return RunDeterministic<0x1F, false, false, false>;
    }
    return Bounded(plan, pass) ? PickShapes<true>(plan.shapes, plan.unitWeight)
                               : PickShapes<false>(plan.shapes, plan.unitWeight);
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
// phase and the random updates are recurrences), a chunk at a time; positions and ring as
// above.
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
    Chunk c;
    const auto fill = [&](PositionsAt at, UInt32 count, UInt32 w) {
        for (UInt32 n = 0; n < count; ++n) {
            const float u = warp(phi);
            const float q = w4 * Max(4.0f * u - 3.0f, 1.0f - 4.0f * u);
            const float line = s.lineStart + s.lineSlope * p;
            const float curve = (s.curveValue + s.curveSlope * p) + s.curveBend * (p * p);
            s.lag = line + (s.lag - line) * lagCoefficient;
            c.value[n] = (((q + w5 * line) + w6 * s.lag) + w7 * curve) +
                         (w8 * s.wobbleAmplitude) * (Sine(Frac(p + 0.25f)) - 1.0f);
            phi = Advance<kSmallStep>(phi, inc);
            p = p + inc;
            if (p >= 1.0f) {
                RandomUpdate(s, commonSeed, spreadOffset);
                p = p - Floor(p);
            }
        }
        for (UInt32 n = count; n % kLanes != 0; ++n) {
            c.value[n] = 0.0f;
        }
        ChunkPositions<true>([&c](UInt32 n, UInt32) { return Load(c.value + n); },
                             [](VF v) { return v; }, count, w, rec.sweepAmplitude, rec.biasAmount,
                             at);
    };
    RunChunks(pass, c, fill);
    state = s;
    return phi;
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

static_assert(Cache::kEntries == 2);

bool SameRecord(const Record& a, const Record& b) {
    static_assert(sizeof(Record) == 68);
    const auto* x = reinterpret_cast<const unsigned char*>(&a);
    const auto* y = reinterpret_cast<const unsigned char*>(&b);
    UInt64 diff = 0;
    for (std::size_t i = 0; i < 64; i += sizeof(UInt64)) {
        UInt64 u = 0;
        UInt64 v = 0;
        std::memcpy(&u, x + i, sizeof u);
        std::memcpy(&v, y + i, sizeof v);
        diff |= u ^ v;
    }
    UInt32 u = 0;
    UInt32 v = 0;
    std::memcpy(&u, x + 64, sizeof u);
    std::memcpy(&v, y + 64, sizeof v);
    return (diff | (u ^ v)) == 0;
}

// The cache entry whose positions this pass has, if any.
Cache::Entry* KeptPositions(Cache& cache, const Pass& pass) {
    for (int e = 0; e < Cache::kEntries; ++e) {
        Cache::Entry& entry = cache.entries[e];
        if (entry.valid && entry.lanes == kLanes && entry.frames == pass.frames &&
            entry.writeIndex == pass.writeIndex &&
            std::bit_cast<UInt32>(entry.startPhase) == std::bit_cast<UInt32>(pass.phi) &&
            std::bit_cast<UInt32>(entry.increment) == std::bit_cast<UInt32>(pass.inc) &&
            SameRecord(entry.record, pass.rec)) {
            cache.recent = e;
            return &entry;
        }
    }
    return nullptr;
}

// The plan of a record, from the cache when one of the last two records was the same.
const Plan& PlanOf(Cache& cache, const Record& rec) {
    const int recent = cache.recentPlan;
    if (cache.plans[recent].valid && SameRecord(cache.plans[recent].record, rec)) {
        return cache.plans[recent];
    }
    const int other = 1 - recent;
    if (!cache.plans[other].valid || !SameRecord(cache.plans[other].record, rec)) {
        cache.plans[other] = PlanFor(rec);
    }
    cache.recentPlan = other;
    return cache.plans[other];
}

// What a deterministic pass does with shape values: nothing, keeps them for another pass
// with the same ones, or takes them from such a pass instead of making them.
enum class Values { kMake, kKeep, kTake };

// Returns the final phase; `kept` tells whether the values were kept.
float DeterministicPass(Pass& pass, Cache* cache, Values values, float takenPhase, bool& kept) {
    kept = false;
    if (cache == nullptr || pass.frames > cache->capacity) {
        return PickDeterministic(PlanFor(pass.rec), pass)(pass);
    }
    if (const Cache::Entry* entry = KeptPositions(*cache, pass); entry != nullptr) {
        pass.keep = PositionsAt{entry->index, entry->frac, entry->word};
        pass.positionsKept = true;
        RunKept(pass);
        return entry->endPhase;
    }
    const Plan& plan = PlanOf(*cache, pass.rec);
    const int e = 1 - cache->recent;
    Cache::Entry& entry = cache->entries[e];
    entry.valid = false;
    pass.keep = PositionsAt{entry.index, entry.frac, entry.word};
    float phase;
    if (values == Values::kTake) {
        if (Bounded(plan, pass)) {
            RunFromValues<true>(pass, cache->values);
        } else {
            RunFromValues<false>(pass, cache->values);
        }
        phase = takenPhase;
    } else {
        pass.values = values == Values::kKeep ? cache->values : nullptr;
        phase = PickDeterministic(plan, pass)(pass);
        kept = values == Values::kKeep;
    }
    entry.record = pass.rec;
    entry.startPhase = pass.phi;
    entry.increment = pass.inc;
    entry.writeIndex = pass.writeIndex;
    entry.frames = pass.frames;
    entry.lanes = kLanes;
    entry.endPhase = phase;
    entry.valid = true;
    cache->recent = e;
    return phase;
}

// One pass of a block with one record into dest.
float Process(const MrvnFluxetLoops::BlockPass& block, const Record& record, float inc, float* dest,
              Values values, float takenPhase, bool& kept) {
    kept = false;
    const float spreadOffset = static_cast<float>(block.channelIndex) * record.spread;
    Pass pass(block.source, dest, block.frames, block.delay, block.writeIndex & kMask, record,
              Mix{record.feedbackGain, block.dryGain, block.wetGain},
              Frac(block.startPhase + spreadOffset), inc);
    if (record.shape <= 4.0f) {
        return DeterministicPass(pass, block.cache, values, takenPhase, kept);
    }
    if (pass.smallStep) {
        return RunRandom<true>(pass, block.sampleRate, block.startPhase, spreadOffset, *block.state,
                               *block.common);
    }
    return RunRandom<false>(pass, block.sampleRate, block.startPhase, spreadOffset, *block.state,
                            *block.common);
}

Float32 ProcessCore(const Float32* source, Float32* dest, UInt32 frames, Float32* delay,
                    UInt32 writeIndex, const MrvnFluxetEngine::PreComp& record, Float32 dryGain,
                    Float32 wetGain, Float32 sampleRate, Float32 startPhase, SInt32 channelIndex,
                    MrvnFluxetEngine::KernelState& state,
                    const MrvnFluxetEngine::KernelState& common, Cache* cache) {
    const float inc = record.speed / sampleRate;
    const MrvnFluxetLoops::BlockPass block{
        source,     dest, frames,     delay,        writeIndex, &record, nullptr, dryGain, wetGain,
        sampleRate, inc,  startPhase, channelIndex, &state,     &common, cache,   nullptr, nullptr};
    bool kept = false;
    return Process(block, record, inc, dest, Values::kMake, 0.0f, kept);
}

// Two deterministic records whose passes have the same shape values frame by frame: the
// same shapes and pivot, and the same speed and spread (the channel's LFO runs the same way).
bool SameShapeValues(const Record& a, const Record& b) {
    UInt32 difference = 0;
    for (int i = 0; i < 5; ++i) {
        difference |=
            std::bit_cast<UInt32>(a.shapeWeights[i]) ^ std::bit_cast<UInt32>(b.shapeWeights[i]);
    }
    difference |= std::bit_cast<UInt32>(a.warpPivot) ^ std::bit_cast<UInt32>(b.warpPivot);
    difference |= std::bit_cast<UInt32>(a.speed) ^ std::bit_cast<UInt32>(b.speed);
    difference |= std::bit_cast<UInt32>(a.spread) ^ std::bit_cast<UInt32>(b.spread);
    return difference == 0 && a.shape <= 4.0f && b.shape <= 4.0f;
}

Float32 ProcessBlock(const MrvnFluxetLoops::BlockPass& block) {
    bool kept = false;
    if (block.previous == nullptr) {
        return Process(block, *block.current, block.currentIncrement, block.dest, Values::kMake,
                       0.0f, kept);
    }
    // The pass with the previous record, then the ring as it was with what that pass wrote
    // kept aside, the pass with the current record, and the crossfade of the two.
    const UInt32 w = block.writeIndex & kMask;
    CopyFromRing(block.delay, w, block.saved, block.frames);
    const State before = *block.state;
    const bool share = SameShapeValues(*block.previous, *block.current);
    const float previousPhase =
        Process(block, *block.previous, block.previous->speed / block.sampleRate,
                block.previousOutput, share ? Values::kKeep : Values::kMake, 0.0f, kept);
    SwapWithRing(block.delay, w, block.saved, block.frames);
    *block.state = before;
    bool unused = false;
    const float phase = Process(block, *block.current, block.currentIncrement, block.dest,
                                kept ? Values::kTake : Values::kMake, previousPhase, unused);
    Crossfade(block.dest, block.previousOutput, block.delay, w, block.saved, block.frames);
    return phase;
}

} // namespace

namespace MrvnFluxetLoops {

const LoopTable FLUXET_LOOPS_TABLE = {ProcessCore, ProcessBlock};

} // namespace MrvnFluxetLoops
