#include "DemoSignal.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace MrvnCli {

namespace {

constexpr double kBeatSeconds = 0.5; // 120 beats per minute
constexpr double kLengthSeconds = 6.0;

// A reproducible noise source: the same piece on every machine.
class Noise {
public:
    float Next() {
        m_state = m_state * 1664525u + 1013904223u;
        return float(m_state >> 8) / float(1u << 24) * 2.0f - 1.0f;
    }

private:
    UInt32 m_state = 12345u;
};

double MidiToHertz(int note) {
    return 440.0 * std::pow(2.0, (note - 69) / 12.0);
}

// Band-limited step correction for a sawtooth, so that the high notes do not alias.
double PolyBlep(double phase, double increment) {
    if (phase < increment) {
        const double t = phase / increment;
        return t + t - t * t - 1.0;
    }
    if (phase > 1.0 - increment) {
        const double t = (phase - 1.0) / increment;
        return t * t + t + t + 1.0;
    }
    return 0.0;
}

void AddPad(std::vector<double>& out, double rate, double start, double length,
            const std::vector<int>& notes, double level) {
    const auto first = std::size_t(start * rate);
    const auto count = std::size_t(length * rate);
    for (std::size_t n = 0; n < notes.size(); ++n) {
        // Two slightly detuned saws per note give the pad some movement of its own.
        for (const double detune : {0.998, 1.002}) {
            const double increment = MidiToHertz(notes[n]) * detune / rate;
            double phase = 0.37 * double(n);
            double lowpass = 0.0;
            for (std::size_t i = 0; i < count && first + i < out.size(); ++i) {
                const double saw = 2.0 * phase - 1.0 - PolyBlep(phase, increment);
                phase += increment;
                phase -= std::floor(phase);
                lowpass += 0.08 * (saw - lowpass);
                const double t = double(i) / rate;
                const double envelope =
                    std::min(1.0, t / 0.05) * std::min(1.0, (length - t) / 0.15);
                out[first + i] += level * envelope * lowpass;
            }
        }
    }
}

// Karplus-Strong: a burst of noise circulating in a damped delay line of one period.
void AddPluck(std::vector<double>& out, double rate, double start, int note, double level,
              Noise& noise) {
    const auto period =
        std::max<std::size_t>(2, std::size_t(std::lround(rate / MidiToHertz(note))));
    std::vector<double> line(period);
    for (double& sample : line) {
        sample = noise.Next();
    }
    const auto first = std::size_t(start * rate);
    const auto count = std::size_t(1.2 * rate);
    std::size_t index = 0;
    for (std::size_t i = 0; i < count && first + i < out.size(); ++i) {
        const double current = line[index];
        const double next = line[(index + 1) % period];
        out[first + i] += level * current;
        line[index] = 0.996 * 0.5 * (current + next);
        index = (index + 1) % period;
    }
}

void AddKick(std::vector<double>& out, double rate, double start, double level) {
    const auto first = std::size_t(start * rate);
    double phase = 0.0;
    for (std::size_t i = 0; i < std::size_t(0.4 * rate) && first + i < out.size(); ++i) {
        const double t = double(i) / rate;
        const double frequency = 45.0 + 110.0 * std::exp(-t * 30.0);
        phase += frequency / rate;
        out[first + i] += level * std::exp(-t * 9.0) * std::sin(2.0 * std::numbers::pi * phase);
    }
}

void AddSnare(std::vector<double>& out, double rate, double start, double level, Noise& noise) {
    const auto first = std::size_t(start * rate);
    double highpass = 0.0;
    double previous = 0.0;
    for (std::size_t i = 0; i < std::size_t(0.25 * rate) && first + i < out.size(); ++i) {
        const double t = double(i) / rate;
        const double white = noise.Next();
        highpass = 0.7 * (highpass + white - previous);
        previous = white;
        const double tone = std::sin(2.0 * std::numbers::pi * 185.0 * t) * std::exp(-t * 25.0);
        out[first + i] += level * (std::exp(-t * 18.0) * highpass + 0.5 * tone);
    }
}

} // namespace

std::vector<std::vector<Float32>> SynthesizeDemoSignal(Float64 sampleRate) {
    const auto frames = std::size_t(kLengthSeconds * sampleRate);
    std::vector<double> melody(frames), chords(frames), drums(frames);
    Noise noise;

    // A minor, F, C, G: one chord per three beats.
    const std::vector<std::vector<int>> progression{
        {57, 60, 64}, {53, 57, 60}, {55, 60, 64}, {55, 59, 62}};
    for (std::size_t c = 0; c < progression.size(); ++c) {
        AddPad(chords, sampleRate, double(c) * 3.0 * kBeatSeconds, 3.0 * kBeatSeconds,
               progression[c], 0.08);
    }
    AddPad(chords, sampleRate, 12.0 * kBeatSeconds, kLengthSeconds - 12.0 * kBeatSeconds,
           {57, 60, 64, 69}, 0.07);

    // Eighth notes over the chords, a pentatonic line that rests now and then.
    const int line[] = {69, 72, 76, 72, 74, 72, 69, 0, 65, 69, 72, 69, 67, 69, 72, 0,
                        72, 76, 79, 76, 74, 76, 72, 0, 71, 74, 79, 74, 76, 74, 71, 69};
    for (std::size_t step = 0; step < std::size(line); ++step) {
        if (line[step] != 0) {
            AddPluck(melody, sampleRate, double(step) * kBeatSeconds / 2.0, line[step], 0.35,
                     noise);
        }
    }

    for (int beat = 0; beat < int(kLengthSeconds / kBeatSeconds) - 1; ++beat) {
        if (beat % 2 == 0) {
            AddKick(drums, sampleRate, beat * kBeatSeconds, 0.6);
        } else {
            AddSnare(drums, sampleRate, beat * kBeatSeconds, 0.2, noise);
        }
    }

    std::vector<std::vector<Float32>> stereo(2, std::vector<Float32>(frames));
    double peak = 0.0;
    std::vector<double> left(frames), right(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        left[i] = 0.75 * melody[i] + 0.45 * chords[i] + drums[i];
        right[i] = 0.45 * melody[i] + 0.75 * chords[i] + drums[i];
        peak = std::max({peak, std::abs(left[i]), std::abs(right[i])});
    }
    // Headroom for the presets that add the delayed signal to the dry one.
    const double gain = peak > 0.0 ? 0.4 / peak : 1.0;
    for (std::size_t i = 0; i < frames; ++i) {
        stereo[0][i] = Float32(left[i] * gain);
        stereo[1][i] = Float32(right[i] * gain);
    }
    return stereo;
}

} // namespace MrvnCli
