// Building blocks of the software synthesizer: noise, oscillators, envelopes, filters,
// delay, reverb and dynamics. Everything runs in double precision at one sample rate and
// keeps its own state, so the same calls give the same samples on every run.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <vector>

#include "splitmix64.h"

namespace music {

constexpr int kSampleRate = 48000;
constexpr double kPi = std::numbers::pi;

using Rng = SplitMix64;

inline double MidiToHz(double note) {
    return 440.0 * std::exp2((note - 69.0) / 12.0);
}

inline double DbToGain(double db) {
    return std::pow(10.0, db / 20.0);
}

// Residual that removes the step of a discontinuity spread over one sample
// (polynomial band-limited step). t is the phase in [0, 1), dt the phase increment.
inline double PolyBlep(double t, double dt) {
    if (t < dt) {
        t /= dt;
        return t + t - t * t - 1.0;
    }
    if (t > 1.0 - dt) {
        t = (t - 1.0) / dt;
        return t * t + t + t + 1.0;
    }
    return 0.0;
}

// Phase accumulator with band-limited saw and pulse outputs.
class Oscillator {
public:
    explicit Oscillator(double phase = 0.0) : phase_(phase) {}
    void SetFrequency(double hz) { dt_ = std::min(hz / kSampleRate, 0.45); }
    double Saw() {
        const double v = 2.0 * phase_ - 1.0 - PolyBlep(phase_, dt_);
        Advance();
        return v;
    }
    // Pulse of the given duty cycle (0.5 is a square wave).
    double Pulse(double width) {
        double second = phase_ + 1.0 - width;
        second -= std::floor(second);
        double v = phase_ < width ? 1.0 : -1.0;
        v += PolyBlep(phase_, dt_) - PolyBlep(second, dt_);
        Advance();
        return v + (1.0 - 2.0 * width);  // remove the pulse's mean
    }
    double Sine() {
        const double v = std::sin(2.0 * kPi * phase_);
        Advance();
        return v;
    }
    double Phase() const { return phase_; }

private:
    void Advance() {
        phase_ += dt_;
        if (phase_ >= 1.0) {
            phase_ -= 1.0;
        }
    }
    double phase_;
    double dt_ = 0.0;
};

// Attack (linear), decay and release (exponential) envelope with a sustain level.
// Times are in seconds; decay and release are time constants.
class Adsr {
public:
    Adsr(double attack, double decay, double sustain, double release)
        : attackStep_(1.0 / std::max(attack * kSampleRate, 1.0)),
          decayCoef_(std::exp(-1.0 / (std::max(decay, 1e-4) * kSampleRate))),
          releaseCoef_(std::exp(-1.0 / (std::max(release, 1e-4) * kSampleRate))),
          sustain_(sustain) {}
    void Release() { released_ = true; }
    double Next() {
        if (released_) {
            level_ *= releaseCoef_;
        } else if (attacking_) {
            level_ += attackStep_;
            if (level_ >= 1.0) {
                level_ = 1.0;
                attacking_ = false;
            }
        } else {
            level_ = sustain_ + (level_ - sustain_) * decayCoef_;
        }
        return level_;
    }
    double Level() const { return level_; }

private:
    double attackStep_;
    double decayCoef_;
    double releaseCoef_;
    double sustain_;
    double level_ = 0.0;
    bool attacking_ = true;
    bool released_ = false;
};

// State-variable filter in trapezoidal (zero-delay feedback) form: stable under fast
// modulation of its cutoff, with low-, band- and high-pass outputs from one state.
class Svf {
public:
    struct Out {
        double low;
        double band;
        double high;
    };
    void Set(double cutoffHz, double q) {
        cutoffHz = std::clamp(cutoffHz, 10.0, 0.45 * kSampleRate);
        const double g = std::tan(kPi * cutoffHz / kSampleRate);
        k_ = 1.0 / q;
        a1_ = 1.0 / (1.0 + g * (g + k_));
        a2_ = g * a1_;
        a3_ = g * a2_;
    }
    Out Process(double v0) {
        const double v3 = v0 - ic2_;
        const double v1 = a1_ * ic1_ + a2_ * v3;
        const double v2 = ic2_ + a2_ * ic1_ + a3_ * v3;
        ic1_ = 2.0 * v1 - ic1_;
        ic2_ = 2.0 * v2 - ic2_;
        return {v2, v1, v0 - k_ * v1 - v2};
    }

private:
    double k_ = 1.0;
    double a1_ = 0.0;
    double a2_ = 0.0;
    double a3_ = 0.0;
    double ic1_ = 0.0;
    double ic2_ = 0.0;
};

// One-pole low-pass smoother; its high-pass is the input less the low-pass.
class OnePole {
public:
    void SetCutoff(double hz) { coef_ = 1.0 - std::exp(-2.0 * kPi * hz / kSampleRate); }
    double Low(double x) {
        state_ += coef_ * (x - state_);
        return state_;
    }
    double High(double x) { return x - Low(x); }

private:
    double coef_ = 1.0;
    double state_ = 0.0;
};

// Fixed-length delay line (a ring buffer) read at its full length.
class DelayLine {
public:
    explicit DelayLine(std::size_t length) : buffer_(std::max<std::size_t>(length, 1), 0.0) {}
    double Read() const { return buffer_[pos_]; }
    void Write(double x) {
        buffer_[pos_] = x;
        pos_ = (pos_ + 1) % buffer_.size();
    }

private:
    std::vector<double> buffer_;
    std::size_t pos_ = 0;
};

// Feedback comb filter with a one-pole low-pass in its loop (air absorption).
class DampedComb {
public:
    explicit DampedComb(std::size_t length) : line_(length) {}
    double Process(double x, double feedback, double damping) {
        const double y = line_.Read();
        store_ = y + damping * (store_ - y);
        line_.Write(x + feedback * store_);
        return y;
    }

private:
    DelayLine line_;
    double store_ = 0.0;
};

// Schroeder all-pass section: flat magnitude, smeared phase.
class Allpass {
public:
    explicit Allpass(std::size_t length) : line_(length) {}
    double Process(double x, double gain) {
        const double delayed = line_.Read();
        const double v = x + gain * delayed;
        line_.Write(v);
        return delayed - gain * v;
    }

private:
    DelayLine line_;
};

// Parallel damped combs into series all-passes, one network per channel with slightly
// different lengths so that the two sides of the tail are decorrelated.
class Reverb {
public:
    Reverb(double size, double damping) : feedback_(size), damping_(damping) {
        // Mutually prime lengths in samples at 48 kHz (about 25 to 37 ms and 5 to 12 ms).
        static constexpr std::size_t kCombs[] = {1213, 1297, 1381, 1471, 1543, 1627, 1693, 1777};
        static constexpr std::size_t kAllpasses[] = {607, 479, 373, 241};
        constexpr std::size_t kSpread = 29;
        for (std::size_t c : kCombs) {
            combsL_.emplace_back(c);
            combsR_.emplace_back(c + kSpread);
        }
        for (std::size_t a : kAllpasses) {
            allpassL_.emplace_back(a);
            allpassR_.emplace_back(a + kSpread);
        }
    }
    void Process(double inL, double inR, double& outL, double& outR) {
        const double in = 0.5 * (inL + inR);
        double l = 0.0;
        double r = 0.0;
        for (std::size_t i = 0; i < combsL_.size(); ++i) {
            l += combsL_[i].Process(in, feedback_, damping_);
            r += combsR_[i].Process(in, feedback_, damping_);
        }
        for (std::size_t i = 0; i < allpassL_.size(); ++i) {
            l = allpassL_[i].Process(l, 0.5);
            r = allpassR_[i].Process(r, 0.5);
        }
        outL = l * 0.125;
        outR = r * 0.125;
    }

private:
    double feedback_;
    double damping_;
    std::vector<DampedComb> combsL_;
    std::vector<DampedComb> combsR_;
    std::vector<Allpass> allpassL_;
    std::vector<Allpass> allpassR_;
};

// Feed-forward compressor on a key signal: returns the gain to apply.
// Threshold in dB of the key's envelope, attack and release in seconds.
class Compressor {
public:
    Compressor(double thresholdDb, double ratio, double attack, double release)
        : thresholdDb_(thresholdDb),
          slope_(1.0 - 1.0 / ratio),
          attackCoef_(std::exp(-1.0 / (attack * kSampleRate))),
          releaseCoef_(std::exp(-1.0 / (release * kSampleRate))) {}
    double Gain(double key) {
        const double level = std::abs(key);
        const double coef = level > envelope_ ? attackCoef_ : releaseCoef_;
        envelope_ = level + coef * (envelope_ - level);
        const double db = 20.0 * std::log10(std::max(envelope_, 1e-9));
        const double over = db - thresholdDb_;
        return over > 0.0 ? DbToGain(-over * slope_) : 1.0;
    }

private:
    double thresholdDb_;
    double slope_;
    double attackCoef_;
    double releaseCoef_;
    double envelope_ = 0.0;
};

// Constant-power pan law: pan -1 is hard left, +1 hard right.
inline void PanGains(double pan, double& left, double& right) {
    const double angle = (pan + 1.0) * 0.25 * kPi;
    left = std::cos(angle);
    right = std::sin(angle);
}

}  // namespace music
