// Writes the demo's soundtrack: 60 s of stereo music at 48 kHz in 24-bit PCM.
//
//   music_generator OUTPUT.wav [RIDER_GAIN.f64 [DUCK_GAIN.f64 [PAD.f64]]]
//
// The further files, if named, receive what tools/measure-music reads as raw little-endian
// doubles: the master stage's rider gain and the kick's ducking gain for every frame, and
// the pad alone as it sits in the mix (ducked and widened, before the master), left and
// right interleaved.
//
// Four beats to the bar, in A minor. It follows the picture: the mesh is built up until it
// is whole at the turn into the peak, then taken away while the background goes to white.
// The form (kForm below) gives every section's first bar and the track's length; the
// chords, the melodies and the number of frames follow from it:
//   opening  Am F C G on pad, held bass and bells; the half-time kick, hats and a slow
//            arpeggio come in on its last bar
//   build    four-on-the-floor, hats, a sixteenth arpeggio, then claps and bells that
//            answer at the end of each bar; filters open; four-bar phrases whose second
//            and fourth bars answer the first and third, the fourth turning on a clap fill
//   lift     F G with a clap roll, bass in sixteenths and a noise riser
//   break    E: no kick, no bass, the image drawn in and the level down; the riser peaks
//            and is cut an eighth early, and the lead's pickup leads into the turn
//   peak     F G Em Am F G C E at full level, opened by a bright crash: the lead melody, a
//            syncopated arpeggio, open hats, claps doubled on the backbeat, the widest image
//   release  Am F Dm E, drums thin out, the lead returns lower and softer, the opening's
//            bells come back, filters close
//   ending   A minor with a ninth on top, struck, let go and left to die away
// The master stage rides the level to a curve per section (quiet opening, loudest peak)
// and a fader takes the break down; density, brightness, width and harmony do the rest.
// The width is played: the pad has saws of each side's own, the arpeggio, hats, bells and
// the peak's two clappers sit apart, and the echoes and the reverb differ from side to
// side. The pad, the crash and the riser keep a core that both sides share and the kick
// and the bass stay in the middle, so that the track holds up in mono.
#include "dsp.h"
#include "mastering.h"
#include "wave_file.h"

#include <malloc.h>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <utility>
#include <vector>

namespace music {
namespace {

constexpr double kBar = 2.0;           // seconds: 120 beats a minute
constexpr double kStep = kBar / 16.0;  // a sixteenth note

// The form: the bar at which each section, and each change within one, begins. The score
// reads every bar number and time from here, and the chords and the melodies are checked
// against it, so that a section or a mark moves with one edit.
struct Form {
    int kickIn;       // the half-time kick, offbeat hats and the climbing arpeggio
    int build;        // four-on-the-floor, bass in eighths
    int claps;        // claps on two and four, bells answering at the end of each bar
    int lift;         // clap rolls that double their rate, bass in sixteenths, the riser
    int breakBar;     // no kick and no bass: the pad doubled, the lead's pickup
    int peak;         // the turn: crash, kick and bass together, the lead's melody
    int secondCrash;  // a clap fill that ends on a crash, in the peak
    int release;      // the half-time kick again, the opening's bells, the lead lower
    int thinOut;      // the kick once a bar, no claps or hats, bass in quarters
    int ending;       // the last chord, struck and let ring
    int end;          // the length of the track
};
constexpr Form kForm{3, 4, 7, 12, 14, 15, 18, 23, 26, 27, 30};
constexpr int kBars = kForm.end;
constexpr double kLength = kBars * kBar;  // seconds
constexpr auto kFrames = static_cast<std::size_t>(kLength * kSampleRate);

// The last chord is let go this long after it is struck, and every voice of it then decays
// with this time constant (12 dB a second), so that the track dies away on a straight line
// in decibels and is under -60 dBFS half a second before its end.
constexpr double kRingFrom = 0.75;
constexpr double kRingOut = 0.7;

std::size_t ToFrame(double seconds) {
    return static_cast<std::size_t>(std::llround(seconds * kSampleRate));
}

constexpr double Time(int bar, double step) {
    return bar * kBar + step * kStep;
}

// Seconds at the start of a bar.
constexpr double Bar(int bar) {
    return Time(bar, 0.0);
}

double Smoothstep(double x) {
    x = std::clamp(x, 0.0, 1.0);
    return x * x * (3.0 - 2.0 * x);
}

// A value against time in seconds, eased between points.
struct Point {
    double t;
    double v;
};

template <std::size_t N>
double Follow(const Point (&points)[N], double t) {
    for (std::size_t k = 1; k < N; ++k) {
        if (t < points[k].t) {
            const Point& a = points[k - 1];
            const Point& b = points[k];
            return a.v + (b.v - a.v) * Smoothstep((t - a.t) / (b.t - a.t));
        }
    }
    return points[N - 1].v;
}

// How far the piece has built up, 0 to 1, against time in seconds.
double Energy(double t) {
    static constexpr Point kPoints[] = {
        {0.0, 0.1},
        {Bar(kForm.build), 0.2},
        {Bar(kForm.claps), 0.45},
        {Bar(kForm.lift), 0.6},
        {Bar(kForm.breakBar), 0.85},
        {Bar(kForm.peak), 1.0},
        {Bar(kForm.release - 1), 0.95},
        {Bar(kForm.release), 0.7},
        {Bar(kForm.thinOut), 0.4},
        {Bar(kForm.ending + 1), 0.3},
        {Bar(kForm.end), 0.25},
    };
    return Follow(kPoints, t);
}

// The level the master stage rides to, RMS in dBFS of both channels: a quiet opening that
// builds, and from the landing at the turn the loudest part. The rider moves slowly, over a
// bar or more, so this curve only changes over several.
double TargetDb(double t) {
    static constexpr Point kPoints[] = {
        {0.0, -20.5},
        {Bar(kForm.kickIn), -20.5},
        {Bar(kForm.build), -19.0},
        {Bar(kForm.lift), -16.5},
        {Bar(kForm.peak), -15.5},
        {Bar(kForm.release - 1), -15.5},
        {Bar(kForm.release), -16.5},
        {Bar(kForm.ending), -17.5},
    };
    return Follow(kPoints, t);
}

// A fader on top of the rider, which the rider does not see: the break draws breath and
// the turn lands at full level on its downbeat. The break is brighter than its level says
// (the riser and the claps at its top weigh more in the ear than the missing bass), so it
// sits this far down. The fader moves within 50 ms at bar lines, where the lift's clap
// roll and the turn's crash cover it.
double FaderDb(double t) {
    constexpr double kBreakDb = -5.0;
    const double in = Smoothstep((t - Bar(kForm.breakBar)) / 0.05);
    const double out = Smoothstep((t - Bar(kForm.peak) + 0.05) / 0.05);
    return kBreakDb * in * (1.0 - out);
}

// Stereo width of the tonal parts, never above 1 (the sides as played): it follows the
// build, but the break draws in to a fifth of it within a quarter of a second, and the
// turn opens out again within 30 ms (neither clicks).
double Width(double t) {
    const double closed = Smoothstep((t - Bar(kForm.breakBar)) / 0.25) *
                          (1.0 - Smoothstep((t - Bar(kForm.peak) + 0.03) / 0.03));
    return (0.5 + 0.5 * Energy(t)) * (1.0 - 0.8 * closed);
}

enum class Part { kOpening, kBuild, kLift, kBreak, kPeak, kRelease, kEnding };

// The bar's place, 0 to 3, in the four-bar phrases that start with the build: the build
// answers the first two bars of each phrase with the last two, and turns at its end.
constexpr int PhraseBar(int bar) {
    return (bar - kForm.build) % 4;
}

constexpr Part PartOf(int bar) {
    if (bar < kForm.build) {
        return Part::kOpening;
    }
    if (bar < kForm.lift) {
        return Part::kBuild;
    }
    if (bar < kForm.breakBar) {
        return Part::kLift;
    }
    if (bar < kForm.peak) {
        return Part::kBreak;
    }
    if (bar < kForm.release) {
        return Part::kPeak;
    }
    return bar < kForm.ending ? Part::kRelease : Part::kEnding;
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
constexpr Chord kEm{40, {55, 59, 64, 67}};
constexpr Chord kDm{38, {57, 62, 65, 69}};
constexpr Chord kAmOpen{45, {57, 60, 64, 71}};  // the last chord, with a ninth on top

// The chords of each section, one a bar, played in turn from its first bar to its end.
constexpr Chord kOpeningChords[] = {kAm, kF, kC, kG};  // the build's as well
constexpr Chord kLiftChords[] = {kF, kG};
constexpr Chord kBreakChords[] = {kE};
constexpr Chord kPeakChords[] = {kF, kG, kEm, kAm, kF, kG, kC, kE};
constexpr Chord kReleaseChords[] = {kAm, kF, kDm, kE};
constexpr Chord kEndingChords[] = {kAmOpen};

// Every bar's chord, from the form's sections. A section that ends within a round of its
// chords stops the build.
constexpr std::array<Chord, kBars> MakeProgression() {
    std::array<Chord, kBars> bars{};
    auto play = [&bars]<std::size_t N>(int first, int end, const Chord(&chords)[N]) {
        if ((end - first) % static_cast<int>(N) != 0) {
            throw "a section ends within a round of its chords";
        }
        for (int bar = first; bar < end; ++bar) {
            bars[bar] = chords[(bar - first) % static_cast<int>(N)];
        }
    };
    play(0, kForm.build, kOpeningChords);
    play(kForm.build, kForm.lift, kOpeningChords);
    play(kForm.lift, kForm.breakBar, kLiftChords);
    play(kForm.breakBar, kForm.peak, kBreakChords);
    play(kForm.peak, kForm.release, kPeakChords);
    play(kForm.release, kForm.ending, kReleaseChords);
    play(kForm.ending, kForm.end, kEndingChords);
    return bars;
}
constexpr std::array<Chord, kBars> kProgression = MakeProgression();

// The lead's notes, written against a section's chords.
struct LeadNote {
    int bar;  // counted from the section's first bar
    int step;
    int length;  // sixteenths
    int note;
};

// The pickup at the end of the break, G sharp to the A of the turn, and the melody over the
// peak's chords.
constexpr LeadNote kPeakMelody[] = {
    {-1, 12, 2, 76}, {-1, 14, 2, 80},                                  // break
    {0, 0, 6, 81},   {0, 6, 2, 79},   {0, 8, 4, 77},  {0, 12, 4, 84},  // F
    {1, 0, 6, 83},   {1, 6, 2, 81},   {1, 8, 4, 79},  {1, 12, 4, 74},  // G
    {2, 0, 6, 76},   {2, 6, 2, 79},   {2, 8, 4, 83},  {2, 12, 4, 81},  // Em
    {3, 0, 4, 84},   {3, 4, 2, 83},   {3, 6, 10, 81},                  // Am
    {4, 0, 6, 81},   {4, 6, 2, 79},   {4, 8, 4, 77},  {4, 12, 4, 81},  // F
    {5, 0, 6, 86},   {5, 6, 2, 84},   {5, 8, 4, 83},  {5, 12, 4, 79},  // G
    {6, 0, 6, 84},   {6, 6, 2, 76},   {6, 8, 4, 79},  {6, 12, 4, 84},  // C
    {7, 0, 8, 83},   {7, 8, 4, 80},   {7, 12, 4, 76},                  // E
};

// In the release the lead comes back lower and darker with a line that falls to the A of
// the last chord, which rings out with it.
constexpr LeadNote kReleaseMelody[] = {
    {0, 8, 4, 64}, {0, 12, 4, 69}, {1, 0, 6, 69}, {1, 6, 2, 67},   // Am F
    {1, 8, 8, 65}, {2, 0, 4, 65},  {2, 4, 2, 64}, {2, 6, 10, 62},  // Dm
    {3, 0, 6, 64}, {3, 6, 2, 62},  {3, 8, 4, 59}, {3, 12, 4, 56},  // E
};

// Where a melody's last note ends, and its first begins, in sixteenths from its section's
// first bar.
template <std::size_t N>
constexpr int MelodyEnd(const LeadNote (&notes)[N]) {
    int end = 0;
    for (const LeadNote& n : notes) {
        end = std::max(end, 16 * n.bar + n.step + n.length);
    }
    return end;
}
template <std::size_t N>
constexpr int MelodyStart(const LeadNote (&notes)[N]) {
    int start = 0;
    for (const LeadNote& n : notes) {
        start = std::min(start, 16 * n.bar + n.step);
    }
    return start;
}

// Each melody is written for one round of its section's chords and ends with its section;
// the pickup lies within the break.
static_assert(static_cast<int>(std::size(kPeakChords)) == kForm.release - kForm.peak &&
                  MelodyEnd(kPeakMelody) == 16 * (kForm.release - kForm.peak),
              "the peak's melody fills the peak, one bar a chord");
static_assert(-MelodyStart(kPeakMelody) <= 16 * (kForm.peak - kForm.breakBar),
              "the pickup starts within the break");
static_assert(static_cast<int>(std::size(kReleaseChords)) == kForm.ending - kForm.release &&
                  MelodyEnd(kReleaseMelody) == 16 * (kForm.ending - kForm.release),
              "the release's melody fills the release, one bar a chord");

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
    Band()
        : drums_(kFrames),
          kick_(kFrames),
          music_(kFrames),
          sends_(kFrames),
          delay_(kFrames),
          pad_(kFrames),
          padHeard_(kFrames),
          duckGain_(kFrames) {}

    Stereo Render() {
        Score();
        return MixDown();
    }

    // After Render: the kick's ducking gain per frame, and the pad as it sits in the mix.
    const std::vector<double>& DuckGain() const { return duckGain_; }
    const Stereo& PadHeard() const { return padHeard_; }

private:
    void Score() {
        for (int bar = 0; bar < kBars; ++bar) {
            const Chord& chord = kProgression[bar];
            const Part part = PartOf(bar);
            if (part == Part::kBreak) {
                // The pad carries the bar alone, doubled an octave up.
                Chord octave = chord;
                for (int& note : octave.pad) {
                    note += 12;
                }
                Pad(bar, chord, kBar + 0.05, 0.45, 2.0);
                Pad(bar, octave, kBar + 0.05, 0.45, 2.2);
            } else if (part == Part::kEnding) {
                // Struck once and let go after a beat and a half, so that it dies away on
                // its own.
                if (bar == kForm.ending) {
                    Pad(bar, chord, kRingFrom, kRingOut, 1.2);
                }
            } else {
                // Where fewer parts play, in the opening and the release, the pad plays out.
                Pad(bar, chord, kBar + 0.05, 0.45,
                    part == Part::kOpening ? 1.4 : (part == Part::kRelease ? 1.2 : 1.3));
            }
            if (part != Part::kEnding) {
                Drums(bar);
            }
            BassLine(bar, chord);
            Arpeggio(bar, chord);
            Bells(bar, chord);
        }
        // The riser is cut an eighth before the turn, so that the landing's crash opens up
        // out of a breath instead of continuing a noise that was already there.
        Riser(Bar(kForm.lift), Time(kForm.peak, -2));
        Crash(Bar(kForm.peak), 1.0);
        Crash(Bar(kForm.secondCrash), 0.6);
        Crash(Bar(kForm.release), 0.45);
        Lead();
    }

    // Hats and claps vary a little from stroke to stroke, as a player's would.
    double Humanise(double velocity) { return velocity * (0.82 + 0.36 * feel_.Uniform()); }

    void Drums(int bar) {
        const Part part = PartOf(bar);
        const double t0 = Time(bar, 0);
        // Kick: half time in the opening and the release, four to the bar in between, none
        // in the break.
        if ((part == Part::kOpening && bar >= kForm.kickIn) ||
            (part == Part::kRelease && bar < kForm.thinOut)) {
            Kick(t0, 0.9);
            Kick(t0 + 1.0, 0.8);
        } else if (part == Part::kBuild || part == Part::kLift || part == Part::kPeak) {
            // The build's phrases turn on a beat without the kick, filled by the claps.
            const bool turn = part == Part::kBuild && PhraseBar(bar) == 3;
            for (int beat = 0; beat < (turn ? 3 : 4); ++beat) {
                Kick(t0 + 0.5 * beat, beat == 0 ? 1.0 : 0.92);
            }
        } else if (part == Part::kRelease) {
            Kick(t0, 0.75);
        }
        // Claps on two and four; rolls that double their rate through the lift; a fill of
        // sixteenths at the end of the break. In the peak two players clap, one a little to
        // each side and the right one 7 ms late, so that the backbeat is wide and thick.
        if ((part == Part::kBuild && bar >= kForm.claps) || part == Part::kPeak ||
            (part == Part::kRelease && bar < kForm.thinOut)) {
            const double level = part == Part::kRelease ? 0.6 : (part == Part::kPeak ? 1.0 : 0.85);
            for (const int step : {4, 12}) {
                if (part == Part::kPeak) {
                    Clap(Time(bar, step), Humanise(level), -0.3);
                    Clap(Time(bar, step) + 0.007, Humanise(0.8 * level), 0.35);
                } else {
                    Clap(Time(bar, step), Humanise(level), 0.0);
                }
            }
            if (bar == kForm.secondCrash - 1 || (part == Part::kBuild && PhraseBar(bar) == 3)) {
                // A fill of sixteenths into the crash, or into the build's next phrase.
                for (int step = 13; step < 16; ++step) {
                    Clap(Time(bar, step), 0.35 + 0.1 * (step - 13), 0.2 * (step - 14));
                }
            } else if (part == Part::kPeak && (bar - kForm.peak) % 2 == 1 &&
                       bar < kForm.release - 1) {
                Clap(Time(bar, 15), 0.3, 0.3);
            }
        } else if (bar == kForm.lift) {
            for (int step = 0; step < 16; step += 2) {
                Clap(Time(bar, step), 0.35 + 0.02 * step, 0.0);
            }
        } else if (part == Part::kLift) {
            for (int step = 0; step < 16; ++step) {
                Clap(Time(bar, step), 0.4 + 0.03 * step, 0.2 * ((step % 2) * 2 - 1));
            }
        } else if (part == Part::kBreak) {
            for (int step = 8; step < 16; ++step) {
                Clap(Time(bar, step), 0.25 + 0.06 * (step - 8), 0.0);
            }
        }
        // Hats: offbeats, then eighths, then sixteenths with accents; in the peak open on the
        // offbeat over soft sixteenths.
        for (int step = 0; step < 16; ++step) {
            const double t = Time(bar, step);
            const bool offbeat = step % 4 == 2;
            const double pan = step % 2 == 0 ? -0.5 : 0.5;
            if (part == Part::kOpening || part == Part::kRelease) {
                if (offbeat && (bar >= kForm.kickIn && bar < kForm.thinOut)) {
                    Hat(t, Humanise(0.35), false, pan);
                }
            } else if (part == Part::kBuild && step == 14 && PhraseBar(bar) % 2 == 1) {
                // The second and the last bar of a phrase open up on their last offbeat.
                Hat(t, 0.45, true, 0.4);
            } else if (part == Part::kBuild && bar < kForm.claps) {
                if (step % 2 == 0) {
                    Hat(t, Humanise(offbeat ? 0.55 : 0.35), false, pan);
                }
            } else if (part == Part::kBuild || part == Part::kLift) {
                const double accent = step % 4 == 0 ? 0.3 : (step % 2 == 0 ? 0.55 : 0.4);
                Hat(t, Humanise(accent), false, pan);
            } else if (part == Part::kPeak) {
                if (offbeat) {
                    Hat(t, 0.5, true, -0.4);
                } else if (step % 2 == 1) {
                    Hat(t, Humanise(0.3), false, pan);
                }
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

    // The kick's body is driven into a soft clip before its envelope, so that it keeps its
    // odd harmonics (150 Hz and up) as it decays: they let it read on speakers that cannot
    // play its 52 Hz fundamental.
    static constexpr double kKickDrive = 2.2;

    void Kick(double t, double velocity) {
        const std::size_t len = ToFrame(0.7);
        std::vector<double>& out = Scratch(len).left;
        double phase = 0.0;
        Svf click;
        click.Set(1800.0, 0.7);
        Air beater(6000.0);
        for (std::size_t i = 0; i < len; ++i) {
            const double s = static_cast<double>(i) / kSampleRate;
            const double hz = 52.0 + 110.0 * std::exp(-s / 0.028) + 300.0 * std::exp(-s / 0.004);
            phase += hz / kSampleRate;
            const double amp = std::exp(-s / 0.11) * std::min(1.0, s / 0.0007);
            double v = std::tanh(kKickDrive * std::sin(2.0 * kPi * phase)) / std::tanh(kKickDrive);
            v *= amp;
            v += 0.25 * click.Process(beater.Next(noise_)).band * std::exp(-s / 0.003);
            out[i] = velocity * v;
        }
        Mix(drums_, ToFrame(t), out, out);
        Mix(kick_, ToFrame(t), out, out);
    }

    // Hands never meet all at once: noise struck three times within 20 ms, then a tail, in a
    // band around 1.3 kHz for its body and one around 3.2 kHz for its bite, where the
    // backbeat cuts through a full mix; a little tone under it.
    void Clap(double t, double velocity, double pan) {
        const std::size_t len = ToFrame(0.5);
        auto& [left, right] = Scratch(len);
        Svf body, bite, air;
        body.Set(1300.0, 1.0);
        bite.Set(3200.0, 0.9);
        air.Set(7000.0, 0.7);
        Air source(10000.0);
        double phase = 0.0;
        double gl, gr;
        PanGains(pan, gl, gr);
        static constexpr double kStrikes[] = {0.0, 0.009, 0.019};
        for (std::size_t i = 0; i < len; ++i) {
            const double s = static_cast<double>(i) / kSampleRate;
            phase += 185.0 * (1.0 + 0.4 * std::exp(-s / 0.012)) / kSampleRate;
            const double tone = std::sin(2.0 * kPi * phase) * std::exp(-s / 0.04);
            double strikes = 0.0;
            for (double at : kStrikes) {
                strikes += s >= at ? std::exp(-(s - at) / 0.004) : 0.0;
            }
            const double tail = s >= kStrikes[2] ? 0.7 * std::exp(-(s - kStrikes[2]) / 0.09) : 0.0;
            const double n = source.Next(noise_);
            const double noise =
                (0.6 * body.Process(n).band + bite.Process(n).band + 0.4 * air.Process(n).high) *
                std::min(1.0, strikes + tail);
            const double v = velocity * (0.35 * tone + 1.1 * noise) * std::min(1.0, s / 0.0005);
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

    // Noise high-passed at 5.2 kHz and limited above 10 to 14 kHz, which darkens as it rings:
    // a core both sides share and as much again of each side's own. A harder stroke is
    // brighter and louder for its first half second, as a struck cymbal is.
    void Crash(double t, double velocity) {
        const std::size_t len = ToFrame(4.0);
        auto& [left, right] = Scratch(len);
        Svf fc, fl, fr, lc, ll, lr;
        fc.Set(5200.0, 0.8);
        fl.Set(5000.0, 0.8);
        fr.Set(5400.0, 0.8);
        Air airC(14000.0), airL(14000.0), airR(14000.0);
        for (std::size_t i = 0; i < len; ++i) {
            const double s = static_cast<double>(i) / kSampleRate;
            if (i % 32 == 0) {
                const double top = 6000.0 + 8000.0 * velocity * std::exp(-s / 0.8);
                lc.Set(top, 0.7);
                ll.Set(top * 0.97, 0.7);
                lr.Set(top * 1.03, 0.7);
            }
            const double bloom = 1.0 + 0.8 * velocity * std::exp(-s / 0.35);
            const double amp =
                velocity * 0.3 * bloom * std::exp(-s / 1.1) * std::min(1.0, s / 0.001);
            const double c = lc.Process(fc.Process(airC.Next(noise_)).high).low;
            left[i] = (c + ll.Process(fl.Process(airL.Next(noise_)).high).low) * amp;
            right[i] = (c + lr.Process(fr.Process(airR.Next(noise_)).high).low) * amp;
        }
        AddSend(ToFrame(t), left, right, 0.2, 0.0);
        Mix(drums_, ToFrame(t), left, right);
    }

    // Band-passed noise sweeping up over the lift and the break: a core that both sides
    // share, so that it holds in mono, and a little noise of each side's own for air, which
    // closes in towards the middle as it rises.
    void Riser(double from, double to) {
        const std::size_t len = ToFrame(to - from);
        auto& [left, right] = Scratch(len);
        Svf fc, fl, fr;
        Air airC(10000.0), airL(10000.0), airR(10000.0);
        for (std::size_t i = 0; i < len; ++i) {
            const double u = static_cast<double>(i) / static_cast<double>(len);
            if (i % 16 == 0) {
                const double hz = 300.0 * std::pow(25.0, u);
                fc.Set(hz, 2.5);
                fl.Set(hz * 0.97, 2.5);
                fr.Set(hz * 1.03, 2.5);
            }
            const double amp = 0.3 * u * u;
            const double c = fc.Process(airC.Next(noise_)).band;
            const double own = 0.35 * (1.0 - u);
            left[i] = (c + own * fl.Process(airL.Next(noise_)).band) * amp;
            right[i] = (c + own * fr.Process(airR.Next(noise_)).band) * amp;
        }
        AddSend(ToFrame(from), left, right, 0.3, 0.0);
        Mix(drums_, ToFrame(from), left, right);
    }

    void Pad(int bar, const Chord& chord, double gate, double release, double level) {
        const double t0 = Time(bar, 0);
        const std::size_t len = ToFrame(gate + 8.0 * release);
        for (std::size_t voice = 0; voice < chord.pad.size(); ++voice) {
            auto& [left, right] = Scratch(len);
            // A core of two detuned saws that both sides share, so that the chord holds when
            // the track is played in mono, and two saws a side, each side detuned its own way,
            // so that the sides beat differently: the width is played, not derived. The
            // chord's tones lean to alternate sides.
            std::array<Oscillator, 2> core;
            static constexpr double kCents[] = {-6.0, 5.0};
            static constexpr double kSideCents[] = {12.0, -17.0};
            const double hz = MidiToHz(chord.pad[voice]);
            for (std::size_t k = 0; k < core.size(); ++k) {
                core[k] = Oscillator(noise_.Uniform());
                core[k].SetFrequency(hz * std::exp2(kCents[k] / 1200.0));
            }
            std::array<Oscillator, 2> sideL, sideR;
            for (std::size_t k = 0; k < sideL.size(); ++k) {
                sideL[k] = Oscillator(noise_.Uniform());
                sideR[k] = Oscillator(noise_.Uniform());
                sideL[k].SetFrequency(hz * std::exp2(kSideCents[k] / 1200.0));
                sideR[k].SetFrequency(hz * std::exp2(-kSideCents[k] / 1200.0));
            }
            double gl, gr;
            PanGains(voice % 2 == 0 ? -0.45 : 0.45, gl, gr);
            // The very first chord starts at once, the track has no fade-in, and holds its
            // level, so that its attack is no louder than the bar. The last chord is struck
            // and held at its level until it is let go.
            const bool last = PartOf(bar) == Part::kEnding;
            Adsr env(bar == 0 ? 0.004 : (last ? 0.01 : 0.12), 1.2, bar == 0 || last ? 1.0 : 0.8,
                     release);
            Svf fl, fr;
            for (std::size_t i = 0; i < len; ++i) {
                const double s = static_cast<double>(i) / kSampleRate;
                if (i % 32 == 0) {
                    // Opens with the build to 4.2 kHz in the peak, under the claps' bite.
                    const double e = Energy(t0 + s);
                    const double cutoff = 350.0 * std::pow(2.0, 3.6 * e);
                    fl.Set(cutoff, 0.8);
                    fr.Set(cutoff, 0.8);
                }
                if (i == ToFrame(gate)) {
                    env.Release();
                }
                const double a = env.Next() * 0.075 * level;
                const double c = core[0].Saw() + core[1].Saw();
                const double l = c + 1.1 * (sideL[0].Saw() + sideL[1].Saw());
                const double r = c + 1.1 * (sideR[0].Saw() + sideR[1].Saw());
                left[i] = gl * fl.Process(l).low * a;
                right[i] = gr * fr.Process(r).low * a;
            }
            AddSend(ToFrame(t0), left, right, 0.25, 0.0);
            Mix(music_, ToFrame(t0), left, right);
            Mix(pad_, ToFrame(t0), left, right);
        }
    }

    void BassNote(double t, double gate, int note, double velocity, double release = 0.05,
                  double sustain = 0.75) {
        const std::size_t len = ToFrame(gate + 8.0 * release);
        std::vector<double>& out = Scratch(len).left;
        const double hz = MidiToHz(note);
        Oscillator saw(0.0), sub(0.0);
        saw.SetFrequency(hz);
        sub.SetFrequency(hz * 0.5);
        Adsr amp(0.003, 0.25, sustain, release);
        Svf filter;
        const double e = Energy(t);
        for (std::size_t i = 0; i < len; ++i) {
            const double s = static_cast<double>(i) / kSampleRate;
            if (i % 16 == 0) {
                filter.Set(260.0 + 1000.0 * e + 1800.0 * e * std::exp(-s / 0.07), 1.4);
            }
            if (i == ToFrame(gate)) {
                amp.Release();
            }
            const double a = amp.Next();
            const double v = filter.Process(saw.Saw()).low * 0.9 + 0.25 * sub.Sine();
            out[i] = velocity * 0.23 * std::tanh(1.8 * v) * a;
        }
        Mix(music_, ToFrame(t), out, out);
    }

    void BassLine(int bar, const Chord& chord) {
        const int root = chord.bass;
        switch (PartOf(bar)) {
            case Part::kOpening: {
                // Held notes that keep their level, so the track opens at its normal level;
                // fuller before the kick comes in.
                const double level = bar < kForm.kickIn ? 1.25 : 1.0;
                BassNote(Time(bar, 0), 0.95, root, level, 0.05, 1.0);
                BassNote(Time(bar, 8), 0.95, root, 0.85 * level, 0.05, 1.0);
                break;
            }
            case Part::kBuild: {
                // Eighths: root on the beat, octave on the offbeat; the second and the last
                // bar of a phrase end on sixteenths through the fifth and the octave.
                static constexpr int kTurn[] = {0, 7, 12, 7};
                const bool turn = PhraseBar(bar) % 2 == 1;
                for (int step = 0; step < (turn ? 12 : 16); step += 2) {
                    const bool off = step % 4 == 2;
                    BassNote(Time(bar, step), 0.2, off ? root + 12 : root, off ? 0.8 : 1.0);
                }
                for (int step = 12; turn && step < 16; ++step) {
                    BassNote(Time(bar, step), 0.09, root + kTurn[step - 12],
                             step == 12 ? 1.0 : 0.8);
                }
                break;
            }
            case Part::kLift:
                for (int step = 0; step < 16; ++step) {
                    BassNote(Time(bar, step), 0.09, root, step % 4 == 0 ? 1.0 : 0.75);
                }
                break;
            case Part::kBreak:
                break;
            case Part::kPeak: {
                // Eighths that climb through the fifth at the end of the bar.
                static constexpr int kIntervals[] = {0, 12, 0, 12, 0, 12, 7, 12};
                for (int k = 0; k < 8; ++k) {
                    const bool off = k % 2 == 1;
                    BassNote(Time(bar, 2 * k), 0.2, root + kIntervals[k], off ? 0.8 : 1.0);
                }
                break;
            }
            case Part::kRelease:
                // Eighths as in the build, then quarters.
                for (int step = 0; step < 16; step += bar < kForm.thinOut ? 2 : 4) {
                    const bool off = step % 4 == 2;
                    BassNote(Time(bar, step), bar < kForm.thinOut ? 0.2 : 0.4,
                             off ? root + 12 : root, off ? 0.8 : 1.0);
                }
                break;
            case Part::kEnding:
                if (bar == kForm.ending) {
                    BassNote(Time(bar, 0), kRingFrom, root, 0.9, kRingOut);
                }
                break;
        }
    }

    void Arpeggio(int bar, const Chord& chord) {
        // The voicing and its octave, eight tones from low to high.
        std::array<int, 8> tones{};
        for (std::size_t k = 0; k < 4; ++k) {
            tones[k] = chord.pad[k] + 12;
            tones[k + 4] = chord.pad[k] + 24;
        }
        // Opening: eighths climbing the chord. Build and lift: sixteenths up and down. Break:
        // sixteenths climbing. Peak: sixteenths grouped 3 + 3 + 2, leaping. Release: eighths
        // falling.
        static constexpr int kRising[] = {0, 1, 2, 3, 4, 5, 6, 7};
        static constexpr int kUpDown[] = {0, 2, 4, 6, 7, 5, 3, 1, 0, 2, 4, 6, 5, 3, 2, 1};
        static constexpr int kDownUp[] = {7, 5, 3, 1, 0, 2, 4, 6, 7, 5, 3, 1, 2, 4, 5, 6};
        static constexpr int kLeaping[] = {0, 4, 6, 1, 4, 6, 2, 5, 0, 4, 6, 1, 4, 7, 3, 5};
        static constexpr int kFalling[] = {7, 5, 6, 4, 5, 3, 2, 1};
        const Part part = PartOf(bar);
        for (int step = 0; step < 16; ++step) {
            const double t = Time(bar, step);
            const double e = Energy(t);
            // From side to side, further apart as the piece builds up.
            const double pan = (step % 2 == 0 ? -1.0 : 1.0) * (0.45 + 0.35 * e);
            const double level = 0.45 + 0.55 * e;
            if ((part == Part::kOpening && bar >= kForm.kickIn) || part == Part::kRelease) {
                if (step % 2 == 0) {
                    const int tone =
                        part == Part::kOpening ? kRising[step / 2] : kFalling[step / 2];
                    ArpNote(t, tones[tone], (step % 8 == 0 ? 1.0 : 0.75) * level,
                            (step % 4 == 0 ? -0.4 : 0.4), e, 0.16);
                }
            } else if (part == Part::kBuild || part == Part::kLift) {
                // The build answers a phrase's bars that climb first with bars that fall first.
                const bool answer = part == Part::kBuild && PhraseBar(bar) % 2 == 1;
                ArpNote(t, tones[(answer ? kDownUp : kUpDown)[step]],
                        (step % 4 == 0 ? 1.0 : 0.7) * level, pan, e, 0.1);
            } else if (part == Part::kBreak) {
                // Climbing twice through the chord, louder each time, into the turn.
                ArpNote(t, tones[kRising[step % 8]], (0.6 + 0.03 * step) * level, pan, e, 0.1);
            } else if (part == Part::kPeak) {
                // Accents on the groups' first notes: steps 0, 3, 6, 8, 11 and 14.
                const bool accent =
                    step == 0 || step == 3 || step == 6 || step == 8 || step == 11 || step == 14;
                ArpNote(t, tones[kLeaping[step]], (accent ? 1.0 : 0.6) * level, pan, e, 0.1);
            }
        }
    }

    void ArpNote(double t, int note, double velocity, double pan, double e, double gate) {
        const std::size_t len = ToFrame(gate + 0.35);
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
                filter.Set((700.0 + 5000.0 * e) * (1.0 + 1.2 * std::exp(-s / 0.04)), 1.8);
            }
            if (i == ToFrame(gate)) {
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
        const std::array<int, 4>& p = chord.pad;
        switch (PartOf(bar)) {
            case Part::kOpening:
                BellNote(Time(bar, 0), p[3] + 12, 0.7, -0.3);
                BellNote(Time(bar, 6), p[2] + 12, 0.42, 0.4);
                if (bar % 2 == 1) {
                    BellNote(Time(bar, 10), p[1] + 24, 0.32, 0.1);
                }
                break;
            case Part::kBuild:
                // From the claps on, two bells answer at the end of each bar, the other way
                // round every second bar.
                if (bar >= kForm.claps && PhraseBar(bar) % 2 == 0) {
                    BellNote(Time(bar, 12), p[2] + 12, 0.4, 0.45);
                    BellNote(Time(bar, 14), p[3] + 12, 0.3, -0.45);
                } else if (bar >= kForm.claps) {
                    BellNote(Time(bar, 10), p[3] + 12, 0.4, -0.45);
                    BellNote(Time(bar, 13), p[1] + 12, 0.3, 0.45);
                }
                break;
            case Part::kBreak:
                // The chord's tones, one a beat from the top down, from side to side.
                for (int beat = 0; beat < 4; ++beat) {
                    BellNote(Time(bar, 4 * beat), p[3 - beat] + 12, 0.6,
                             beat % 2 == 0 ? -0.25 : 0.25);
                }
                break;
            case Part::kPeak:
                // High and sparse, above the lead: the chord's third at the start of the bar.
                BellNote(Time(bar, 0), p[1] + 24, 0.3, bar % 2 == 0 ? -0.5 : 0.5);
                break;
            case Part::kRelease:
                // The opening's figure again, with a fourth stroke falling back.
                BellNote(Time(bar, 0), p[3] + 12, 0.9, -0.3);
                BellNote(Time(bar, 6), p[2] + 12, 0.54, 0.4);
                BellNote(Time(bar, 10), p[1] + 24, 0.4, 0.1);
                BellNote(Time(bar, 14), p[0] + 24, 0.3, -0.1);
                break;
            case Part::kEnding:
                // The last chord, rolled from the bottom up.
                if (bar == kForm.ending) {
                    for (std::size_t k = 0; k < p.size(); ++k) {
                        BellNote(Time(bar, 0.5 * static_cast<double>(k)), p[k] + 12,
                                 0.8 - 0.1 * static_cast<double>(k),
                                 0.5 * static_cast<double>(k) - 0.75, kRingOut);
                    }
                }
                break;
            case Part::kLift:
                break;
        }
    }

    // Two-operator FM: a sine modulating a sine at 3.5 times its frequency, the index
    // falling away faster than the tone, whose time constant is `decay` seconds.
    void BellNote(double t, int note, double velocity, double pan, double decay = 0.9) {
        const std::size_t len = ToFrame(std::max(3.5, 8.0 * decay));
        auto& [left, right] = Scratch(len);
        const double hz = MidiToHz(note);
        double gl, gr;
        PanGains(pan, gl, gr);
        for (std::size_t i = 0; i < len; ++i) {
            const double s = static_cast<double>(i) / kSampleRate;
            const double index = 2.2 * std::exp(-s / 0.25);
            const double mod = index * std::sin(2.0 * kPi * 3.5 * hz * s);
            const double amp = velocity * std::exp(-s / decay) * std::min(1.0, s / 0.002);
            const double v = 0.09 * amp * std::sin(2.0 * kPi * hz * s + mod);
            left[i] = gl * v;
            right[i] = gr * v;
        }
        AddSend(ToFrame(t), left, right, 0.35, 0.3);
        Mix(music_, ToFrame(t), left, right);
    }

    void Lead() {
        for (const LeadNote& n : kPeakMelody) {
            LeadVoice(Time(kForm.peak + n.bar, n.step), n.length * kStep, n.note, 1.0, 1.0, 0.12);
        }
        for (const LeadNote& n : kReleaseMelody) {
            LeadVoice(Time(kForm.release + n.bar, n.step), n.length * kStep, n.note, 1.1, 0.5,
                      0.12);
        }
        LeadVoice(Bar(kForm.ending), kRingFrom, 57, 1.0, 0.4, kRingOut);
    }

    void LeadVoice(double t, double gate, int note, double level, double brightness,
                   double release) {
        const std::size_t len = ToFrame(gate + std::max(1.0, 9.0 * release));
        auto& [left, right] = Scratch(len);
        const double hz = MidiToHz(note);
        std::array<Oscillator, 3> osc{Oscillator(0.0), Oscillator(0.31), Oscillator(0.67)};
        Adsr amp(0.006, 0.3, 0.7, release);
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
            const double f = filterEnv.Next() * brightness;
            // The filter opens to under 4 kHz at most, so that the lead's attacks on the
            // downbeats leave the claps' bite, 2.5 to 6 kHz, to the backbeat.
            if (i % 16 == 0) {
                filterL.Set(850.0 + 2900.0 * f, 1.3);
                filterR.Set(900.0 + 3000.0 * f, 1.3);
            }
            // The two detuned saws lean to opposite sides: a chorus-like spread, each side with
            // a third of the other's.
            const double a = osc[0].Saw();
            const double b = osc[1].Saw();
            const double sub = 0.6 * osc[2].Pulse(0.5);
            const double gain = amp.Next() * 0.1 * level;
            left[i] = filterL.Process(a + 0.3 * b + sub).low * gain;
            right[i] = filterR.Process(b + 0.3 * a + sub).low * gain;
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
        // The kick ducks the tonal parts: a compressor keyed by the kick alone. Four to the
        // bar it is the groove; in half time, where held pads and bells are exposed, a deep
        // duck would throb, so there it takes 40% as many decibels. The kick starts on the
        // bar line after the duck has let go, so the depth changes while the gain is 1.
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
            const Part part = PartOf(static_cast<int>(t / kBar));
            const bool halfTime = part == Part::kOpening || part == Part::kRelease;
            const double g =
                halfTime ? std::pow(duck.Gain(kick_.left[i]), 0.4) : duck.Gain(kick_.left[i]);
            duckGain_[i] = g;
            if (i % 64 == 0) {
                width = Width(t);
            }
            const double padMid = 0.5 * g * (pad_.left[i] + pad_.right[i]);
            const double padSide = 0.5 * g * (pad_.left[i] - pad_.right[i]) * width;
            padHeard_.left[i] = padMid + padSide;
            padHeard_.right[i] = padMid - padSide;
            // The side of the tonal parts grows with the build.
            const double l = g * (music_.left[i] + echoL) + 1.1 * wetL;
            const double r = g * (music_.right[i] + echoR) + 1.1 * wetR;
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
    Stereo pad_;
    Stereo padHeard_;
    std::vector<double> duckGain_;
};

// The highest sample lies at -3 dBFS.
constexpr double kPeakDb = -3.0;

// Writes doubles as they lie in memory (little-endian on every target), for measuring.
bool WriteDoubles(const char* path, const std::vector<double>& values) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(values.data()),
               static_cast<std::streamsize>(values.size() * sizeof(double)));
    return static_cast<bool>(file);
}

std::vector<double> Interleave(const Stereo& s) {
    std::vector<double> out(2 * s.Frames());
    for (std::size_t i = 0; i < s.Frames(); ++i) {
        out[2 * i] = s.left[i];
        out[2 * i + 1] = s.right[i];
    }
    return out;
}

int Run(const char* path, const char* gainPath, const char* duckPath, const char* padPath) {
    // Voices and master passes allocate and free buffers of megabytes; keeping them on the
    // heap instead of fresh pages from the kernel each time more than halves the run time.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);  // the largest glibc accepts
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    const auto started = std::chrono::steady_clock::now();
    Band band;
    const Stereo mix = band.Render();
    const auto rendered = std::chrono::steady_clock::now();

    // The rider holds the level up to the last chord and then lets it ring out.
    std::vector<double> target(kFrames);
    for (std::size_t i = 0; i < kFrames; ++i) {
        target[i] = TargetDb(static_cast<double>(i) / kSampleRate);
    }
    const std::vector<double> rider =
        RiderGain(mix, target, DbToGain(kPeakDb), 4, ToFrame(Bar(kForm.ending)));
    std::vector<double> gain = rider;
    for (std::size_t i = 0; i < kFrames; ++i) {
        gain[i] *= DbToGain(FaderDb(static_cast<double>(i) / kSampleRate));
    }
    Stereo master = GainAndLimit(mix, gain, DbToGain(kPeakDb));
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
    const std::pair<const char*, const std::vector<double>*> extras[] = {
        {gainPath, &rider}, {duckPath, &band.DuckGain()}};
    for (const auto& [extra, values] : extras) {
        if (extra != nullptr && !WriteDoubles(extra, *values)) {
            std::cerr << "music_generator: cannot write " << extra << "\n";
            return 1;
        }
    }
    if (padPath != nullptr && !WriteDoubles(padPath, Interleave(band.PadHeard()))) {
        std::cerr << "music_generator: cannot write " << padPath << "\n";
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
    if (argc < 2 || argc > 5) {
        std::cerr << "usage: music_generator OUTPUT.wav [RIDER_GAIN.f64 [DUCK_GAIN.f64 "
                     "[PAD.f64]]]\n";
        return 2;
    }
    const auto arg = [&](int k) { return argc > k ? argv[k] : nullptr; };
    return music::Run(argv[1], arg(2), arg(3), arg(4));
}
