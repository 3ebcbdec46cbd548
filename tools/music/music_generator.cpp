// Writes the demo's soundtrack: 60 s of stereo music at 48 kHz in 24-bit PCM.
//
//   music_generator OUTPUT.wav [RIDER_GAIN.f64]
//
// The second file, if named, receives the master stage's rider gain for every frame (raw
// little-endian doubles), which tools/music/measure reads.
//
// 120 beats per minute, so a bar is 2 s and the track is 30 bars in A minor:
//   bars  0-3   opening: pad, bells and bass; a half-time kick and arpeggio from bar 2
//   bars  4-11  build: four-on-the-floor, hats, arpeggio, then claps; filters open
//   bars 12-13  lift: snare roll and a noise riser over F and E
//   bars 14-21  peak (28-44 s): lead melody, open hats, crashes, widest pads
//   bars 22-29  release: drums thin out, filters close, bells return, fade from 54 s
// The loudness is held even by the master stage; the shape comes from density,
// brightness and width.
#include "dsp.h"
#include "mastering.h"
#include "wave_file.h"

#include <malloc.h>
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <vector>

namespace music {
namespace {

constexpr double kLength = 60.0;
constexpr std::size_t kFrames = 2'880'000;
constexpr double kBar = 2.0;
constexpr double kStep = kBar / 16.0;  // a sixteenth note
constexpr int kBars = 30;

std::size_t ToFrame(double seconds) {
    return static_cast<std::size_t>(std::llround(seconds * kSampleRate));
}

double Time(int bar, double step) {
    return bar * kBar + step * kStep;
}

double Smoothstep(double x) {
    x = std::clamp(x, 0.0, 1.0);
    return x * x * (3.0 - 2.0 * x);
}

// How far the piece has built up, 0 to 1, against time in seconds.
double Energy(double t) {
    struct Point {
        double t;
        double e;
    };
    static constexpr Point kPoints[] = {{0, 0.1},   {8, 0.2},  {16, 0.45}, {24, 0.6},  {28, 1.0},
                                        {42, 0.95}, {44, 0.7}, {52, 0.35}, {56, 0.25}, {60, 0.2}};
    for (std::size_t k = 1; k < std::size(kPoints); ++k) {
        if (t < kPoints[k].t) {
            const Point& a = kPoints[k - 1];
            const Point& b = kPoints[k];
            return a.e + (b.e - a.e) * Smoothstep((t - a.t) / (b.t - a.t));
        }
    }
    return kPoints[std::size(kPoints) - 1].e;
}

struct Chord {
    int bass;                // MIDI note of the bass root
    std::array<int, 4> pad;  // pad voicing, MIDI notes
};

constexpr Chord kAm{45, {57, 60, 64, 69}};
constexpr Chord kF{41, {53, 60, 65, 69}};
constexpr Chord kC{48, {55, 60, 64, 67}};
constexpr Chord kG{43, {55, 59, 62, 67}};
constexpr Chord kE{40, {56, 59, 64, 68}};

constexpr std::array<Chord, kBars> kProgression = {
    kAm, kF, kC, kG, kAm, kF, kC, kG,  kAm, kF, kC, kG,  // opening and build
    kF,  kE,                                             // lift
    kAm, kF, kC, kG, kAm, kF, kC, kE,                    // peak
    kAm, kF, kC, kG, kAm, kF, kG, kAm,                   // release
};

// Adds a rendered voice at `start`, tapering its last 10 ms so it never ends in a step.
void Mix(Stereo& bus, std::size_t start, const std::vector<double>& left,
         const std::vector<double>& right) {
    const std::size_t len = left.size();
    const std::size_t taper = std::min<std::size_t>(480, len);
    for (std::size_t i = 0; i < len && start + i < bus.Frames(); ++i) {
        const std::size_t remaining = len - 1 - i;
        const double w =
            remaining < taper ? static_cast<double>(remaining) / static_cast<double>(taper) : 1.0;
        bus.left[start + i] += w * left[i];
        bus.right[start + i] += w * right[i];
    }
}

class Band {
public:
    Band() : drums_(kFrames), kick_(kFrames), music_(kFrames), sends_(kFrames), delay_(kFrames) {}

    Stereo Render() {
        Score();
        return MixDown();
    }

private:
    void Score() {
        for (int bar = 0; bar < kBars; ++bar) {
            const Chord& chord = kProgression[bar];
            Pad(bar, chord);
            BassLine(bar, chord);
            Drums(bar);
            if (bar >= 2) {
                Arpeggio(bar, chord);
            }
            if (bar < 8 || bar >= 24) {
                Bells(bar, chord);
            }
        }
        Riser(24.0, 28.0);
        Crash(Time(14, 0), 1.0);
        Crash(Time(18, 0), 0.7);
        Crash(Time(22, 0), 0.6);
        Lead();
    }

    // Hats and claps vary a little from stroke to stroke, as a player's would.
    double Humanise(double velocity) { return velocity * (0.82 + 0.36 * feel_.Uniform()); }

    void Drums(int bar) {
        const double t0 = Time(bar, 0);
        // Kick: half time in the opening, four to the bar through build and peak.
        if (bar < 2) {
            // The opening two bars float: pad, bass and bells only.
        } else if (bar < 4 || (bar >= 24 && bar < 26)) {
            Kick(t0, 0.9);
            Kick(t0 + 1.0, 0.8);
        } else if (bar < 24) {
            for (int beat = 0; beat < 4; ++beat) {
                Kick(t0 + 0.5 * beat, beat == 0 ? 1.0 : 0.92);
            }
            if (bar == 13) {
                Kick(Time(13, 14), 0.7);
            }
        } else if (bar < 28) {
            Kick(t0, 0.7);
        }
        // Claps on two and four; a roll that doubles its rate into the peak.
        if ((bar >= 8 && bar < 12) || (bar >= 14 && bar < 24)) {
            const double level = bar >= 22 ? 0.6 : 0.85;
            Snare(Time(bar, 4), Humanise(level), 0.0);
            Snare(Time(bar, 12), Humanise(level), 0.0);
            if (bar >= 14 && bar < 22 && bar % 2 == 1) {
                Snare(Time(bar, 15), 0.3, 0.3);
            }
        } else if (bar == 12) {
            for (int step = 0; step < 16; step += 2) {
                Snare(Time(bar, step), 0.35 + 0.02 * step, 0.0);
            }
        } else if (bar == 13) {
            for (int step = 0; step < 16; ++step) {
                Snare(Time(bar, step), 0.5 + 0.03 * step, 0.2 * ((step % 2) * 2 - 1));
            }
        }
        // Hats: offbeats, then eighths, then sixteenths with accents, open on the offbeat.
        for (int step = 0; step < 16; ++step) {
            const double t = Time(bar, step);
            const bool offbeat = step % 4 == 2;
            const double pan = step % 2 == 0 ? -0.35 : 0.35;
            if (bar < 2) {
                continue;
            }
            if (bar < 4 || bar >= 24) {
                if (offbeat && bar < 28) {
                    Hat(t, Humanise(0.35), false, pan);
                }
            } else if (bar < 8) {
                if (step % 2 == 0) {
                    Hat(t, Humanise(offbeat ? 0.55 : 0.35), false, pan);
                }
            } else if (bar >= 14 && bar < 22 && offbeat) {
                Hat(t, 0.5, true, 0.2);
            } else {
                const double accent = step % 4 == 0 ? 0.3 : (step % 2 == 0 ? 0.55 : 0.4);
                Hat(t, Humanise(accent), false, pan);
            }
        }
    }

    // Noise for the cymbals, the clap's air and the kick's beater: white noise limited to the
    // band a mixed track keeps, two poles above `top`, so that nothing hisses up to 24 kHz.
    class Air {
    public:
        explicit Air(double top) { low_.Set(top, 0.6); }
        double Next(Rng& rng) { return low_.Process(rng.Bipolar()).low; }

    private:
        Svf low_;
    };

    void Kick(double t, double velocity) {
        const std::size_t len = ToFrame(0.7);
        std::vector<double>& out = Scratch(len).left;
        double phase = 0.0;
        Svf click;
        click.Set(3000.0, 0.7);
        Air beater(9000.0);
        for (std::size_t i = 0; i < len; ++i) {
            const double s = static_cast<double>(i) / kSampleRate;
            const double hz = 46.0 + 110.0 * std::exp(-s / 0.028) + 300.0 * std::exp(-s / 0.004);
            phase += hz / kSampleRate;
            const double amp = std::exp(-s / 0.17) * std::min(1.0, s / 0.0007);
            double v = std::sin(2.0 * kPi * phase) * amp;
            v = std::tanh(1.1 * v) / std::tanh(1.1);
            v += 0.25 * click.Process(beater.Next(noise_)).band * std::exp(-s / 0.003);
            out[i] = velocity * v;
        }
        Mix(drums_, ToFrame(t), out, out);
        Mix(kick_, ToFrame(t), out, out);
    }

    void Snare(double t, double velocity, double pan) {
        const std::size_t len = ToFrame(0.5);
        auto& [left, right] = Scratch(len);
        Svf body, air;
        body.Set(1700.0, 0.9);
        air.Set(6000.0, 0.7);
        Air source(9000.0);
        double phase = 0.0;
        double gl, gr;
        PanGains(pan, gl, gr);
        for (std::size_t i = 0; i < len; ++i) {
            const double s = static_cast<double>(i) / kSampleRate;
            phase += 185.0 * (1.0 + 0.4 * std::exp(-s / 0.012)) / kSampleRate;
            const double tone = std::sin(2.0 * kPi * phase) * std::exp(-s / 0.045);
            const double n = source.Next(noise_);
            const double noise =
                (body.Process(n).band + 0.6 * air.Process(n).high) * std::exp(-s / 0.11);
            const double v = velocity * (0.5 * tone + 0.8 * noise) * std::min(1.0, s / 0.0005);
            left[i] = gl * v;
            right[i] = gr * v;
        }
        AddSend(ToFrame(t), left, right, 0.25, 0.0);
        Mix(drums_, ToFrame(t), left, right);
    }

    void Hat(double t, double velocity, bool open, double pan) {
        const double decay = open ? 0.16 : 0.03;
        const std::size_t len = ToFrame(decay * 7.0);
        auto& [left, right] = Scratch(len);
        // Six detuned square waves at inharmonic ratios give a metallic body.
        static constexpr double kRatios[] = {1.0, 1.483, 1.932, 2.546, 2.630, 3.897};
        std::array<Oscillator, 6> metal;
        for (std::size_t k = 0; k < metal.size(); ++k) {
            metal[k] = Oscillator(noise_.Uniform());
            metal[k].SetFrequency(317.0 * kRatios[k]);
        }
        // A harder stroke is brighter.
        Svf high, low;
        high.Set(open ? 6500.0 : 7000.0, 0.9);
        low.Set(8500.0 + 3000.0 * velocity, 0.7);
        Air source(11000.0);
        double gl, gr;
        PanGains(pan, gl, gr);
        for (std::size_t i = 0; i < len; ++i) {
            const double s = static_cast<double>(i) / kSampleRate;
            double m = 0.0;
            for (Oscillator& o : metal) {
                m += o.Pulse(0.5);
            }
            const double band = high.Process(0.12 * m + 0.6 * source.Next(noise_)).high;
            const double v = low.Process(band).low;
            const double amp = velocity * std::exp(-s / decay) * std::min(1.0, s / 0.0004);
            left[i] = 0.5 * gl * v * amp;
            right[i] = 0.5 * gr * v * amp;
        }
        Mix(drums_, ToFrame(t), left, right);
    }

    // Noise high-passed at 4.5 kHz and limited above 10 kHz, which darkens as it rings.
    void Crash(double t, double velocity) {
        const std::size_t len = ToFrame(4.0);
        auto& [left, right] = Scratch(len);
        Svf fl, fr, ll, lr;
        fl.Set(4500.0, 0.8);
        fr.Set(4700.0, 0.8);
        Air airL(11000.0), airR(11000.0);
        for (std::size_t i = 0; i < len; ++i) {
            const double s = static_cast<double>(i) / kSampleRate;
            if (i % 32 == 0) {
                const double top = 6000.0 + 4500.0 * std::exp(-s / 0.8);
                ll.Set(top, 0.7);
                lr.Set(top * 1.03, 0.7);
            }
            const double amp = velocity * 0.3 * std::exp(-s / 1.1) * std::min(1.0, s / 0.001);
            left[i] = ll.Process(fl.Process(airL.Next(noise_)).high).low * amp;
            right[i] = lr.Process(fr.Process(airR.Next(noise_)).high).low * amp;
        }
        AddSend(ToFrame(t), left, right, 0.2, 0.0);
        Mix(drums_, ToFrame(t), left, right);
    }

    // Band-passed noise sweeping up over the lift, independent on each side.
    void Riser(double from, double to) {
        const std::size_t len = ToFrame(to - from);
        auto& [left, right] = Scratch(len);
        Svf fl, fr;
        Air airL(10000.0), airR(10000.0);
        for (std::size_t i = 0; i < len; ++i) {
            const double u = static_cast<double>(i) / static_cast<double>(len);
            if (i % 16 == 0) {
                const double hz = 300.0 * std::pow(30.0, u);
                fl.Set(hz, 2.5);
                fr.Set(hz * 1.05, 2.5);
            }
            const double amp = 0.3 * u * u;
            left[i] = fl.Process(airL.Next(noise_)).band * amp;
            right[i] = fr.Process(airR.Next(noise_)).band * amp;
        }
        AddSend(ToFrame(from), left, right, 0.3, 0.0);
        Mix(drums_, ToFrame(from), left, right);
    }

    void Pad(int bar, const Chord& chord) {
        const double t0 = Time(bar, 0);
        const double gate = kBar + 0.05;
        const std::size_t len = ToFrame(gate + 2.5);
        for (int note : chord.pad) {
            auto& [left, right] = Scratch(len);
            // Three saws a side, detuned differently left and right for width.
            std::array<Oscillator, 3> ol, orr;
            static constexpr double kCentsL[] = {-11.0, 2.0, 9.0};
            static constexpr double kCentsR[] = {-7.0, -1.0, 12.0};
            const double hz = MidiToHz(note);
            for (std::size_t k = 0; k < 3; ++k) {
                ol[k] = Oscillator(noise_.Uniform());
                orr[k] = Oscillator(noise_.Uniform());
                ol[k].SetFrequency(hz * std::exp2(kCentsL[k] / 1200.0));
                orr[k].SetFrequency(hz * std::exp2(kCentsR[k] / 1200.0));
            }
            // The very first chord starts at once: the track has no fade-in.
            Adsr env(bar == 0 ? 0.004 : 0.12, 1.2, 0.8, 0.45);
            Svf fl, fr;
            for (std::size_t i = 0; i < len; ++i) {
                const double s = static_cast<double>(i) / kSampleRate;
                if (i % 32 == 0) {
                    const double e = Energy(t0 + s);
                    const double cutoff = 350.0 * std::pow(2.0, 4.2 * e);
                    fl.Set(cutoff, 0.8);
                    fr.Set(cutoff * 1.04, 0.8);
                }
                if (i == ToFrame(gate)) {
                    env.Release();
                }
                const double a = env.Next();
                double l = 0.0;
                double r = 0.0;
                for (std::size_t k = 0; k < 3; ++k) {
                    l += ol[k].Saw();
                    r += orr[k].Saw();
                }
                left[i] = fl.Process(l).low * a * 0.06;
                right[i] = fr.Process(r).low * a * 0.06;
            }
            AddSend(ToFrame(t0), left, right, 0.25, 0.0);
            Mix(music_, ToFrame(t0), left, right);
        }
    }

    void BassNote(double t, double gate, int note, double velocity, double sustain = 0.75) {
        const std::size_t len = ToFrame(gate + 0.4);
        std::vector<double>& out = Scratch(len).left;
        const double hz = MidiToHz(note);
        Oscillator saw(0.0), sub(0.0);
        saw.SetFrequency(hz);
        sub.SetFrequency(hz * 0.5);
        Adsr amp(0.003, 0.25, sustain, 0.05);
        Svf filter;
        const double e = Energy(t);
        for (std::size_t i = 0; i < len; ++i) {
            const double s = static_cast<double>(i) / kSampleRate;
            if (i % 16 == 0) {
                filter.Set(180.0 + 900.0 * e + 1800.0 * e * std::exp(-s / 0.07), 1.4);
            }
            if (i == ToFrame(gate)) {
                amp.Release();
            }
            const double a = amp.Next();
            const double v = filter.Process(saw.Saw()).low * 0.7 + 0.6 * sub.Sine();
            out[i] = velocity * 0.32 * std::tanh(1.3 * v) * a;
        }
        Mix(music_, ToFrame(t), out, out);
    }

    void BassLine(int bar, const Chord& chord) {
        const int root = chord.bass;
        if (bar < 4) {
            // Held notes that keep their level, so the track opens at its normal level;
            // fuller before the kick comes in.
            const double level = bar < 2 ? 1.25 : 1.0;
            BassNote(Time(bar, 0), 0.95, root, level, 1.0);
            BassNote(Time(bar, 8), 0.95, root, 0.85 * level, 1.0);
        } else if (bar >= 26) {
            BassNote(Time(bar, 0), 0.95, root, 1.0);
            BassNote(Time(bar, 8), 0.95, root, 0.85);
        } else if (bar < 12 || (bar >= 14 && bar < 22)) {
            // Eighths: root on the beat, octave on the offbeat.
            for (int step = 0; step < 16; step += 2) {
                const bool off = step % 4 == 2;
                BassNote(Time(bar, step), 0.2, off ? root + 12 : root, off ? 0.8 : 1.0);
            }
        } else if (bar < 14) {
            for (int step = 0; step < 16; ++step) {
                BassNote(Time(bar, step), 0.09, root, step % 4 == 0 ? 1.0 : 0.75);
            }
        } else {
            for (int step = 0; step < 16; step += 4) {
                BassNote(Time(bar, step), 0.4, root, 0.9);
            }
        }
    }

    void Arpeggio(int bar, const Chord& chord) {
        // Up and down through the voicing and its octave, one note per sixteenth.
        std::array<int, 8> tones{};
        for (std::size_t k = 0; k < 4; ++k) {
            tones[k] = chord.pad[k] + 12;
            tones[k + 4] = chord.pad[k] + 24;
        }
        static constexpr int kOrder[] = {0, 2, 4, 6, 7, 5, 3, 1, 0, 2, 4, 6, 5, 3, 2, 1};
        for (int step = 0; step < 16; ++step) {
            const double t = Time(bar, step);
            const double e = Energy(t);
            const double velocity = (step % 4 == 0 ? 1.0 : 0.7) * (0.45 + 0.55 * e);
            ArpNote(t, tones[kOrder[step]], velocity, step % 2 == 0 ? -0.55 : 0.55, e);
        }
    }

    void ArpNote(double t, int note, double velocity, double pan, double e) {
        const std::size_t len = ToFrame(0.45);
        auto& [left, right] = Scratch(len);
        Oscillator osc(0.0);
        osc.SetFrequency(MidiToHz(note));
        Adsr amp(0.002, 0.09, 0.0, 0.05);
        Svf filter;
        double gl, gr;
        PanGains(pan, gl, gr);
        for (std::size_t i = 0; i < len; ++i) {
            const double s = static_cast<double>(i) / kSampleRate;
            if (i % 16 == 0) {
                filter.Set((700.0 + 5000.0 * e) * (1.0 + 2.0 * std::exp(-s / 0.04)), 1.8);
            }
            if (i == ToFrame(0.1)) {
                amp.Release();
            }
            const double v = filter.Process(osc.Pulse(0.3)).low * amp.Next() * velocity * 0.12;
            left[i] = gl * v;
            right[i] = gr * v;
        }
        AddSend(ToFrame(t), left, right, 0.15, 0.35);
        Mix(music_, ToFrame(t), left, right);
    }

    void Bells(int bar, const Chord& chord) {
        const double level = bar >= 24 ? 0.9 : 0.7;
        BellNote(Time(bar, 0), chord.pad[3] + 12, level, -0.3);
        BellNote(Time(bar, 6), chord.pad[2] + 12, level * 0.6, 0.4);
        if (bar % 2 == 1) {
            BellNote(Time(bar, 10), chord.pad[1] + 24, level * 0.45, 0.1);
        }
    }

    // Two-operator FM: a sine modulating a sine at 3.5 times its frequency, the index
    // falling away faster than the tone.
    void BellNote(double t, int note, double velocity, double pan) {
        const std::size_t len = ToFrame(3.5);
        auto& [left, right] = Scratch(len);
        const double hz = MidiToHz(note);
        double gl, gr;
        PanGains(pan, gl, gr);
        for (std::size_t i = 0; i < len; ++i) {
            const double s = static_cast<double>(i) / kSampleRate;
            const double index = 2.2 * std::exp(-s / 0.25);
            const double mod = index * std::sin(2.0 * kPi * 3.5 * hz * s);
            const double amp = velocity * std::exp(-s / 0.9) * std::min(1.0, s / 0.002);
            const double v = 0.09 * amp * std::sin(2.0 * kPi * hz * s + mod);
            left[i] = gl * v;
            right[i] = gr * v;
        }
        AddSend(ToFrame(t), left, right, 0.35, 0.3);
        Mix(music_, ToFrame(t), left, right);
    }

    struct LeadNote {
        int bar;
        int step;
        int length;  // sixteenths
        int note;
    };

    void Lead() {
        static constexpr LeadNote kMelody[] = {
            {14, 0, 6, 76}, {14, 6, 2, 74},  {14, 8, 4, 72},  {14, 12, 4, 76}, {15, 0, 6, 84},
            {15, 6, 2, 83}, {15, 8, 4, 81},  {15, 12, 4, 77}, {16, 0, 6, 76},  {16, 6, 2, 74},
            {16, 8, 4, 72}, {16, 12, 4, 79}, {17, 0, 8, 79},  {17, 8, 4, 74},  {17, 12, 4, 71},
            {18, 0, 6, 72}, {18, 6, 2, 71},  {18, 8, 4, 69},  {18, 12, 4, 76}, {19, 0, 6, 77},
            {19, 6, 2, 76}, {19, 8, 4, 77},  {19, 12, 4, 81}, {20, 0, 6, 79},  {20, 6, 2, 77},
            {20, 8, 8, 76}, {21, 0, 8, 80},  {21, 8, 4, 76},  {21, 12, 4, 71}, {22, 0, 16, 69},
        };
        for (const LeadNote& n : kMelody) {
            LeadVoice(Time(n.bar, n.step), n.length * kStep, n.note);
        }
    }

    void LeadVoice(double t, double gate, int note) {
        const std::size_t len = ToFrame(gate + 1.0);
        auto& [left, right] = Scratch(len);
        const double hz = MidiToHz(note);
        std::array<Oscillator, 3> osc{Oscillator(0.0), Oscillator(0.31), Oscillator(0.67)};
        Adsr amp(0.006, 0.3, 0.7, 0.12);
        Adsr filterEnv(0.001, 0.18, 0.3, 0.2);
        Svf filterL, filterR;
        for (std::size_t i = 0; i < len; ++i) {
            const double s = static_cast<double>(i) / kSampleRate;
            // Vibrato fades in after the attack.
            const double depth = 0.004 * Smoothstep((s - 0.2) / 0.3);
            const double vib = 1.0 + depth * std::sin(2.0 * kPi * 5.5 * s);
            osc[0].SetFrequency(hz * vib * std::exp2(-7.0 / 1200.0));
            osc[1].SetFrequency(hz * vib * std::exp2(7.0 / 1200.0));
            osc[2].SetFrequency(hz * vib * 0.5);
            if (i == ToFrame(gate)) {
                amp.Release();
                filterEnv.Release();
            }
            const double f = filterEnv.Next();
            if (i % 16 == 0) {
                filterL.Set(900.0 + 4500.0 * f, 1.3);
                filterR.Set(950.0 + 4700.0 * f, 1.3);
            }
            // The two detuned saws lean to opposite sides: a chorus-like spread.
            const double a = osc[0].Saw();
            const double b = osc[1].Saw();
            const double sub = 0.6 * osc[2].Pulse(0.5);
            const double level = amp.Next() * 0.1;
            left[i] = filterL.Process(a + 0.5 * b + sub).low * level;
            right[i] = filterR.Process(b + 0.5 * a + sub).low * level;
        }
        AddSend(ToFrame(t), left, right, 0.3, 0.45);
        Mix(music_, ToFrame(t), left, right);
    }

    // Accumulates a voice into the reverb and delay sends.
    void AddSend(std::size_t start, const std::vector<double>& left,
                 const std::vector<double>& right, double reverb, double delay) {
        for (std::size_t i = 0; i < left.size() && start + i < kFrames; ++i) {
            sends_.left[start + i] += reverb * left[i];
            sends_.right[start + i] += reverb * right[i];
            delay_.left[start + i] += delay * left[i];
            delay_.right[start + i] += delay * right[i];
        }
    }

    Stereo MixDown() {
        Stereo master(kFrames);
        // Ping-pong delay of a dotted eighth, darkened in its loop; its output also
        // feeds the reverb.
        DelayLine dl(ToFrame(0.375)), dr(ToFrame(0.375));
        OnePole toneL, toneR;
        toneL.SetCutoff(3500.0);
        toneR.SetCutoff(3500.0);
        Reverb reverb(0.86, 0.3);
        // The kick ducks the tonal parts: a compressor keyed by the kick alone.
        Compressor duck(-8.0, 3.0, 0.002, 0.14);
        // Drums sit forward so that the limiter shapes their peaks.
        constexpr double kDrums = 0.7;
        double width = 1.0;
        Svf highL, highR;
        highL.Set(25.0, 0.7071);
        highR.Set(25.0, 0.7071);
        for (std::size_t i = 0; i < kFrames; ++i) {
            const double t = static_cast<double>(i) / kSampleRate;
            const double echoL = dl.Read();
            const double echoR = dr.Read();
            dl.Write(0.5 * (delay_.left[i] + delay_.right[i]) + 0.45 * toneR.Low(echoR));
            dr.Write(0.45 * toneL.Low(echoL));
            double wetL, wetR;
            reverb.Process(sends_.left[i] + 0.3 * echoL, sends_.right[i] + 0.3 * echoR, wetL, wetR);
            const double g = duck.Gain(kick_.left[i]);
            if (i % 64 == 0) {
                width = 0.45 + 1.1 * Energy(t);
            }
            // Width follows the build: the side of the tonal parts grows with the energy.
            const double l = g * (music_.left[i] + 0.8 * echoL) + 1.1 * wetL;
            const double r = g * (music_.right[i] + 0.8 * echoR) + 1.1 * wetR;
            const double mid = 0.5 * (l + r);
            const double side = 0.5 * (l - r) * width;
            master.left[i] = highL.Process(mid + side + kDrums * drums_.left[i]).high;
            master.right[i] = highR.Process(mid - side + kDrums * drums_.right[i]).high;
        }
        return master;
    }

    // One voice at a time is rendered into these, reused so that no voice allocates.
    struct Buffers {
        std::vector<double> left;
        std::vector<double> right;
    };
    Buffers& Scratch(std::size_t len) {
        scratch_.left.assign(len, 0.0);
        scratch_.right.assign(len, 0.0);
        return scratch_;
    }

    Buffers scratch_;
    Rng noise_{0x7A1E5EEDull};
    Rng feel_{0xFEE1ull};
    Stereo drums_;
    Stereo kick_;
    Stereo music_;
    Stereo sends_;
    Stereo delay_;
};

// Level of the music before the fade: the RMS of a 2 s window (-15.75 dBFS) sits in the
// middle of its allowed range, and the highest sample lies at -3 dBFS.
constexpr double kTargetRmsDb = -15.75;
constexpr double kPeakDb = -3.0;

// Writes the rider's gain, one little-endian double per frame, for measuring the master.
bool WriteGain(const char* path, const std::vector<double>& gain) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(gain.data()),
               static_cast<std::streamsize>(gain.size() * sizeof(double)));
    return static_cast<bool>(file);
}

int Run(const char* path, const char* gainPath) {
    // Voices and master passes allocate and free buffers of megabytes; keeping them on the
    // heap instead of fresh pages from the kernel each time more than halves the run time.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);  // the largest glibc accepts
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    const auto started = std::chrono::steady_clock::now();
    Band band;
    const Stereo mix = band.Render();
    const auto rendered = std::chrono::steady_clock::now();

    const std::vector<double> rider = RiderGain(mix, DbToGain(kTargetRmsDb), DbToGain(kPeakDb), 4);
    Stereo master = GainAndLimit(mix, rider, DbToGain(kPeakDb));
    double peak = 0.0;
    for (std::size_t i = 0; i < kFrames; ++i) {
        const double g = FadeGain(static_cast<double>(i) / kSampleRate, kLength);
        master.left[i] *= g;
        master.right[i] *= g;
        peak = std::max({peak, std::abs(master.left[i]), std::abs(master.right[i])});
    }
    // The limiter already holds the peak at the ceiling; this settles it exactly there even
    // if a change to the arrangement left the limiter idle.
    const double scale = DbToGain(kPeakDb) / peak;
    for (std::size_t i = 0; i < kFrames; ++i) {
        master.left[i] *= scale;
        master.right[i] *= scale;
    }
    const std::vector<std::uint8_t> bytes = EncodeWave(Quantize(master, 0xD1748EDull));
    const auto done = std::chrono::steady_clock::now();

    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    if (!file) {
        std::cerr << "music_generator: cannot write " << path << "\n";
        return 1;
    }
    if (gainPath != nullptr && !WriteGain(gainPath, rider)) {
        std::cerr << "music_generator: cannot write " << gainPath << "\n";
        return 1;
    }
    const auto ms = [](auto a, auto b) {
        return std::chrono::duration<double, std::milli>(b - a).count();
    };
    std::printf("music_generator: %zu bytes to %s; synthesis %.0f ms, master %.0f ms\n",
                bytes.size(), path, ms(started, rendered), ms(rendered, done));
    return 0;
}

}  // namespace
}  // namespace music

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::cerr << "usage: music_generator OUTPUT.wav [RIDER_GAIN.f64]\n";
        return 2;
    }
    return music::Run(argv[1], argc == 3 ? argv[2] : nullptr);
}
