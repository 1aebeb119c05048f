#include "core/base/hash.h"

#include <chrono>
#include <cstring>
#include <random>

#if defined(__linux__)
#include <sys/random.h>
#endif

namespace tarvix {
namespace {

HashKey draw_key() noexcept {
    HashKey key;
#if defined(__linux__)
    if (getrandom(&key, sizeof key, 0) == static_cast<ssize_t>(sizeof key)) return key;
#endif
    try {
        std::random_device device;
        key.k0 = (static_cast<uint64_t>(device()) << 32) ^ device();
        key.k1 = (static_cast<uint64_t>(device()) << 32) ^ device();
    } catch (...) {
        // No random source at all: fall back to the addresses and the clock,
        // which still differ from run to run.
        key.k0 = reinterpret_cast<uintptr_t>(&key);
        key.k1 = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    return key;
}

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct State {
    uint64_t v0, v1, v2, v3;
    void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }
    void absorb(uint64_t m) {
        v3 ^= m;
        round();
        v0 ^= m;
    }
};

inline uint64_t load_le64(const unsigned char* p) {
    uint64_t value;
    std::memcpy(&value, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    value = __builtin_bswap64(value);
#endif
    return value;
}

}  // namespace

const HashKey& process_hash_key() noexcept {
    static const HashKey key = draw_key();
    return key;
}

uint64_t siphash13(const HashKey& key, const void* data, size_t size) noexcept {
    State s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL, key.k0 ^ 0x6c7967656e657261ULL,
            key.k1 ^ 0x7465646279746573ULL};
    const auto* p = static_cast<const unsigned char*>(data);
    const size_t blocks = size / 8;
    for (size_t i = 0; i < blocks; ++i) s.absorb(load_le64(p + 8 * i));
    uint64_t last = static_cast<uint64_t>(size) << 56;
    const unsigned char* tail = p + 8 * blocks;
    switch (size & 7) {
        case 7: last |= static_cast<uint64_t>(tail[6]) << 48; [[fallthrough]];
        case 6: last |= static_cast<uint64_t>(tail[5]) << 40; [[fallthrough]];
        case 5: last |= static_cast<uint64_t>(tail[4]) << 32; [[fallthrough]];
        case 4: last |= static_cast<uint64_t>(tail[3]) << 24; [[fallthrough]];
        case 3: last |= static_cast<uint64_t>(tail[2]) << 16; [[fallthrough]];
        case 2: last |= static_cast<uint64_t>(tail[1]) << 8; [[fallthrough]];
        case 1: last |= static_cast<uint64_t>(tail[0]); break;
        default: break;
    }
    s.absorb(last);
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

namespace {

// Upper-cases the ASCII letters of 8 bytes at once.
inline uint64_t fold_word(uint64_t w) noexcept {
    constexpr uint64_t ones = 0x0101010101010101ULL;
    const uint64_t low7 = w & (0x7f * ones);
    const uint64_t from_a = low7 + (0x80 - 'a') * ones;      // top bit: byte >= 'a'
    const uint64_t past_z = low7 + (0x80 - 'z' - 1) * ones;  // top bit: byte > 'z'
    const uint64_t lower = from_a & ~past_z & ~w & (0x80 * ones);
    return w ^ (lower >> 2);
}

}  // namespace

uint64_t siphash13_folded(const HashKey& key, uint64_t word, const char* text, size_t size) noexcept {
    State s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL, key.k0 ^ 0x6c7967656e657261ULL,
            key.k1 ^ 0x7465646279746573ULL};
    s.absorb(word);
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    const size_t blocks = size / 8;
    for (size_t i = 0; i < blocks; ++i) s.absorb(fold_word(load_le64(p + 8 * i)));
    uint64_t tail_word = 0;
    const unsigned char* tail = p + 8 * blocks;
    for (size_t i = 0; i < (size & 7); ++i) tail_word |= static_cast<uint64_t>(tail[i]) << (8 * i);
    s.absorb(fold_word(tail_word) | static_cast<uint64_t>(size + 8) << 56);
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace tarvix
