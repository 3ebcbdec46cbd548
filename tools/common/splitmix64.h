// A small deterministic generator (splitmix64) for the build-time generators: its
// sequence depends only on the seed, the same on every platform and every run.
#pragma once

#include <cstdint>

class SplitMix64 {
public:
    explicit SplitMix64(std::uint64_t seed) : state_(seed) {}

    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // Uniform in [0, 1), 53 bits.
    double Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
    // Uniform in [-1, 1).
    double Bipolar() { return 2.0 * Uniform() - 1.0; }

private:
    std::uint64_t state_;
};
