#pragma once
// Deterministic random sources for the synthetic scene. Only integer arithmetic and correctly rounded
// floating-point operations are used, so a seed gives the same numbers with every compiler and standard
// library (the standard distributions differ between implementations).
#include <cstdint>

namespace synth {

// Steele, Lea and Flood's SplitMix64 finaliser: a strong 64-bit mix.
constexpr uint64_t mix64(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// The SplitMix64 generator: advances the state and returns the next output.
constexpr uint64_t splitmix64(uint64_t& state) {
    state += 0x9e3779b97f4a7c15ULL;
    return mix64(state);
}

// A hash of a seed, two lattice or block coordinates and a salt that keeps independent uses apart.
constexpr uint64_t hashCoords(uint64_t seed, int64_t a, int64_t b, uint64_t salt) {
    uint64_t h = mix64(seed ^ (salt * 0xd6e8feb86659fd93ULL));
    h = mix64(h ^ (uint64_t(a) * 0x9e3779b97f4a7c15ULL));
    return mix64(h ^ (uint64_t(b) * 0xc2b2ae3d27d4eb4fULL));
}

// Blackman and Vigna's xoshiro256** seeded through SplitMix64.
class Random {
public:
    explicit Random(uint64_t seed) {
        for (auto& w : s)
            w = splitmix64(seed);
    }
    // A generator in the given state, which must not be all zero.
    static Random fromState(uint64_t a, uint64_t b, uint64_t c, uint64_t d) {
        Random r(0);
        r.s[0] = a, r.s[1] = b, r.s[2] = c, r.s[3] = d;
        return r;
    }

    uint64_t next() {
        const uint64_t result = rotl(s[1] * 5, 7) * 9;
        const uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = rotl(s[3], 45);
        return result;
    }

    // Uniform in [0, 1).
    double uniform() { return double(next() >> 11) * 0x1.0p-53; }
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    // Uniform integer in [0, n) by multiply-shift; the bias for small n is far below 2^-32.
    uint32_t below(uint32_t n) { return uint32_t(((next() >> 32) * uint64_t(n)) >> 32); }
    bool chance(double p) { return uniform() < p; }

    // Approximately standard normal: the sum of four uniforms from one draw (Irwin-Hall), rescaled to unit
    // variance. Bounded at about 3.46 sigma, which suits sensor noise without outliers.
    double normal() {
        const uint64_t r = next();
        const uint64_t sum = (r & 0xffff) + ((r >> 16) & 0xffff) + ((r >> 32) & 0xffff) + (r >> 48);
        return ((double(sum) + 2.0) * 0x1.0p-16 - 2.0) * 1.7320508075688772;
    }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t s[4];
};

} // namespace synth
