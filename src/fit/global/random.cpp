#include "fit/global/random.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <random>

namespace kelvara {
namespace {

constexpr std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

constexpr void quarter_round(std::array<std::uint32_t, 16>& s, int a, int b, int c, int d) {
    s[a] += s[b]; s[d] ^= s[a]; s[d] = rotl(s[d], 16);
    s[c] += s[d]; s[b] ^= s[c]; s[b] = rotl(s[b], 12);
    s[a] += s[b]; s[d] ^= s[a]; s[d] = rotl(s[d], 8);
    s[c] += s[d]; s[b] ^= s[c]; s[b] = rotl(s[b], 7);
}

std::uint32_t entropy_word() {
    thread_local std::random_device device;
    return device();
}

}  // namespace

std::array<std::uint32_t, 16> chacha_block(const std::array<std::uint32_t, 16>& input, int rounds) {
    std::array<std::uint32_t, 16> s = input;
    for (int r = 0; r < rounds; r += 2) {
        quarter_round(s, 0, 4, 8, 12);
        quarter_round(s, 1, 5, 9, 13);
        quarter_round(s, 2, 6, 10, 14);
        quarter_round(s, 3, 7, 11, 15);
        quarter_round(s, 0, 5, 10, 15);
        quarter_round(s, 1, 6, 11, 12);
        quarter_round(s, 2, 7, 8, 13);
        quarter_round(s, 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < 16; ++i) s[i] += input[i];
    return s;
}

std::array<std::uint32_t, 8> key_from_seed(std::uint64_t seed) {
    std::array<std::uint32_t, 8> key{};
    std::uint64_t s = seed;
    for (std::uint32_t& word : key) {
        s = s * 6364136223846793005ULL + 11634580027462260723ULL;
        const auto xorshifted = static_cast<std::uint32_t>(((s ^ (s >> 18)) >> 27));
        const auto rotation = static_cast<int>(s >> 59);
        word = std::rotr(xorshifted, rotation);  // the key's 4 bytes are this word, little-endian
    }
    return key;
}

std::array<std::uint32_t, 8> key_from_entropy() {
    std::array<std::uint32_t, 8> key{};
    for (std::uint32_t& word : key) word = entropy_word();
    return key;
}

ChaChaRng::ChaChaRng(const std::array<std::uint32_t, 8>& key) {
    state_[0] = 0x61707865;  // "expand 32-byte k"
    state_[1] = 0x3320646e;
    state_[2] = 0x79622d32;
    state_[3] = 0x6b206574;
    for (std::size_t i = 0; i < 8; ++i) state_[4 + i] = key[i];
}

ChaChaRng ChaChaRng::from_seed(std::optional<std::uint64_t> seed) {
    return ChaChaRng(seed ? key_from_seed(*seed) : key_from_entropy());
}

void ChaChaRng::refill() {
    block_ = chacha_block(state_, 12);
    if (++state_[12] == 0) ++state_[13];  // 64-bit block counter
    used_ = 0;
}

std::uint32_t ChaChaRng::next_u32() {
    if (used_ == 16) refill();
    return block_[used_++];
}

std::uint64_t ChaChaRng::next_u64() {
    const std::uint64_t low = next_u32();
    const std::uint64_t high = next_u32();
    return (high << 32) | low;
}

double ChaChaRng::uniform() {
    const std::uint64_t bits = (next_u64() >> 12) | 0x3FF0000000000000ULL;
    return std::bit_cast<double>(bits) - 1.0;
}

double ChaChaRng::uniform53() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }

double ChaChaRng::between(double a, double b) {
    if (a == b) return a;
    return std::min(a, b) + std::fabs(b - a) * uniform();
}

Xorshift128 Xorshift128::from_entropy() {
    // One generator per thread, seeded from the operating system once.
    thread_local std::mt19937_64 source = [] {
        std::seed_seq seq{entropy_word(), entropy_word(), entropy_word(), entropy_word()};
        return std::mt19937_64(seq);
    }();
    std::array<std::uint32_t, 4> state{};
    do {
        for (std::uint32_t& word : state) word = static_cast<std::uint32_t>(source() >> 32);
    } while (state == std::array<std::uint32_t, 4>{});
    return Xorshift128(state);
}

std::uint32_t Xorshift128::next_u32() {
    std::uint32_t t = s_[0] ^ (s_[0] << 11);
    s_[0] = s_[1];
    s_[1] = s_[2];
    s_[2] = s_[3];
    s_[3] = s_[3] ^ (s_[3] >> 19) ^ (t ^ (t >> 8));
    return s_[3];
}

float Xorshift128::uniform(float low, float high) {
    // Callers check the range; an empty or infinite one must still never loop.
    if (!(low < high) || !std::isfinite(high - low)) return low;
    while (true) {
        // 24 random bits: exactly representable in [0, 1).
        const float u = static_cast<float>(next_u32() >> 8) * 0x1.0p-24f;
        const float value = low + (high - low) * u;
        if (value < high) return value;  // rounding can reach high; draw again
    }
}

std::uint32_t Xorshift128::below(std::uint32_t n) {
    const std::uint32_t limit = UINT32_MAX - UINT32_MAX % n;
    while (true) {
        const std::uint32_t x = next_u32();
        if (x < limit) return x % n;
    }
}

}  // namespace kelvara
