// Random numbers for the stochastic fit methods, implemented here so that a
// seeded run repeats draw for draw on every platform.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace kelvara {

// The ChaCha block function: `rounds` rounds (12 for the generator, 20 in
// the published test vectors) over a 16-word input state, with the input
// added back in.
std::array<std::uint32_t, 16> chacha_block(const std::array<std::uint32_t, 16>& input, int rounds);

// The 32-byte key derived from a 64-bit seed: eight PCG-XSH-RR outputs
// (state s <- s * 6364136223846793005 + 11634580027462260723, output from
// the new state), each written as 4 little-endian bytes.
std::array<std::uint32_t, 8> key_from_seed(std::uint64_t seed);

// A 256-bit key from the operating system's entropy source.
std::array<std::uint32_t, 8> key_from_entropy();

// A ChaCha12 stream: 64-bit counter in words 12-13, stream 0 in words
// 14-15; a 64-bit draw is two consecutive words, low word first.
class ChaChaRng {
public:
    explicit ChaChaRng(const std::array<std::uint32_t, 8>& key);
    // Keyed from `seed` when given, else from the operating system.
    static ChaChaRng from_seed(std::optional<std::uint64_t> seed);

    std::uint32_t next_u32();
    std::uint64_t next_u64();
    // [0, 1) from the top 52 bits: a number in [1, 2) minus 1.
    double uniform();
    // [0, 1) with 53 random bits.
    double uniform53();
    // min(a, b) + |b - a| * uniform(), or a when a == b.
    double between(double a, double b);

private:
    void refill();

    std::array<std::uint32_t, 16> state_{};
    std::array<std::uint32_t, 16> block_{};
    std::size_t used_ = 16;
};

// Marsaglia's xorshift128, the generator of differential evolution.
class Xorshift128 {
public:
    explicit Xorshift128(const std::array<std::uint32_t, 4>& state) : s_(state) {}
    // A generator keyed from a per-thread generator that the operating system seeds.
    static Xorshift128 from_entropy();

    std::uint32_t next_u32();
    // [low, high) in single precision.
    float uniform(float low, float high);
    // An index in [0, n), n > 0, without modulo bias.
    std::uint32_t below(std::uint32_t n);

private:
    std::array<std::uint32_t, 4> s_;
};

}  // namespace kelvara
