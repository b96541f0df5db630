#pragma once
// A deliberately plain ChaCha block function for the tests, written from the
// cipher's definition (RFC 8439 section 2.3) and sharing nothing with src/:
// the generator's output is compared against it, so it must not be derived
// from the code under test.

#include <array>
#include <cstdint>
#include <vector>

namespace reference {

using Block = std::array<std::uint32_t, 16>;

inline std::uint32_t rotate_left(std::uint32_t v, unsigned bits) {
    return (v << bits) | (v >> (32 - bits));
}

inline void quarter(Block& s, int a, int b, int c, int d) {
    s[a] += s[b]; s[d] = rotate_left(s[d] ^ s[a], 16);
    s[c] += s[d]; s[b] = rotate_left(s[b] ^ s[c], 12);
    s[a] += s[b]; s[d] = rotate_left(s[d] ^ s[a], 8);
    s[c] += s[d]; s[b] = rotate_left(s[b] ^ s[c], 7);
}

// State words 12..15 are given directly, so either counter/nonce layout can be built.
inline Block block(const std::array<std::uint32_t, 8>& key, const std::array<std::uint32_t, 4>& tail,
                   int rounds) {
    Block input{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    for (int i = 0; i < 8; ++i) input[4 + i] = key[i];
    for (int i = 0; i < 4; ++i) input[12 + i] = tail[i];
    Block s = input;
    for (int r = 0; r < rounds; r += 2) {
        quarter(s, 0, 4, 8, 12);
        quarter(s, 1, 5, 9, 13);
        quarter(s, 2, 6, 10, 14);
        quarter(s, 3, 7, 11, 15);
        quarter(s, 0, 5, 10, 15);
        quarter(s, 1, 6, 11, 12);
        quarter(s, 2, 7, 8, 13);
        quarter(s, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) s[i] += input[i];
    return s;
}

inline std::array<std::uint32_t, 8> key_from_bytes(const std::uint8_t bytes[32]) {
    std::array<std::uint32_t, 8> key{};
    for (int i = 0; i < 32; ++i) key[i / 4] |= std::uint32_t(bytes[i]) << (8 * (i % 4));
    return key;
}

// The ChaCha12 keystream words of stream 0, blocks first..first+count-1.
inline std::vector<std::uint32_t> chacha12_words(const std::array<std::uint32_t, 8>& key,
                                                 std::uint64_t first, std::uint64_t count) {
    std::vector<std::uint32_t> words;
    for (std::uint64_t b = first; b < first + count; ++b) {
        const Block out = block(key, {std::uint32_t(b), std::uint32_t(b >> 32), 0, 0}, 12);
        words.insert(words.end(), out.begin(), out.end());
    }
    return words;
}

}  // namespace reference
