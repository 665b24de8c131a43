// Eight bytes at a time: the parser and the writer load eight bytes of text into one 64-bit
// word and treat its bytes as eight small lanes, so that one subtraction, one mask or one
// multiplication tests or converts all eight at once. Loaded little-endian, the first byte
// of text is the lowest byte of the word, so the lowest flagged lane is the first byte that
// matters: std::countr_zero(flags) / 8 is its index. A subtraction can borrow from one lane
// into the next, which may flag lanes above a true hit falsely; every test below either
// rules that out or is read only at its lowest flag, where no borrow has yet happened.
// Callers that would load words on a big-endian machine go byte by byte there instead.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tevra::json::word {

// One in each lane: multiplied by a byte, that byte in every lane.
inline constexpr std::uint64_t ones = 0x0101010101010101u;
// The high bit of each lane, where the tests below leave their flags.
inline constexpr std::uint64_t highs = ones * 0x80;
// The low seven bits of each lane.
inline constexpr std::uint64_t low_sevens = ones * 0x7F;
// '0' in each lane: the ASCII digits are '0' + 0 to 9, so this turns digits into their values
// and back.
inline constexpr std::uint64_t ascii_zeros = ones * '0';
// The high four bits of each lane; a digit's are 0x3 ('0' is 0x30, '9' is 0x39).
inline constexpr std::uint64_t high_nibbles = ones * 0xF0;

inline std::uint64_t load(const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// The index of the lowest lane with any bit set; `flags` must not be zero.
inline int first_flagged(std::uint64_t flags) { return std::countr_zero(flags) / 8; }

// High bit set in each lane of `w` below `n` (n <= 128). Lanes above the first hit may be
// flagged falsely through borrows, so only the lowest flag counts.
constexpr std::uint64_t bytes_below(std::uint64_t w, std::uint8_t n) { return (w - ones * n) & ~w & highs; }

constexpr std::uint64_t bytes_equal(std::uint64_t w, std::uint8_t c) { return bytes_below(w ^ (ones * c), 1); }

// High bit set in each lane that is not a blank (U+0020), exactly: each lane is tested
// against zero with no carry into the next.
constexpr std::uint64_t non_blank_bytes(std::uint64_t w) {
    const std::uint64_t x = w ^ ones * ' ';
    return (((x & low_sevens) + low_sevens) | x) & highs;
}

// Each lane that is not an ASCII digit has a non-zero bit: its high nibble is not 3, or adding
// 6 carries its low nibble past 9 into the high one. Carries run only from a non-digit lane
// upwards, so the lowest flagged lane is exact.
constexpr std::uint64_t non_digits(std::uint64_t w) {
    return ((w & high_nibbles) ^ ascii_zeros) | (((w + ones * 6) & high_nibbles) ^ ascii_zeros);
}

// The number of ASCII digits that open `w`, up to all eight.
constexpr int leading_digit_count(std::uint64_t w) {
    const std::uint64_t stops = non_digits(w);
    return stops ? std::countr_zero(stops) / 8 : 8;
}

// The value of eight digits, one 0-9 in each lane, the first in the lowest: pairs, then
// fours, then all eight, in a few multiplications.
constexpr std::uint32_t digit_lanes_value(std::uint64_t w) {
    w = w * 10 + (w >> 8);  // lane 2i: digits 2i and 2i+1 as one number below 100
    constexpr std::uint64_t pairs = 0x000000FF000000FFu;
    w = ((w & pairs) * (100 + (1'000'000ull << 32)) + ((w >> 16 & pairs) * (1 + (10'000ull << 32)))) >> 32;
    return static_cast<std::uint32_t>(w);
}

// The value of the n <= 8 ASCII digits that open `w`. They are moved to the top with zeros
// below; taking '0' off first, any borrow from the lanes past them runs upwards only, into
// lanes shifted out.
constexpr std::uint32_t leading_digits_value(std::uint64_t w, int n) {
    w -= ascii_zeros;
    return digit_lanes_value(n == 0 ? 0 : w << (8 * (8 - n)));
}

// The eight decimal digits of v < 10^8, leading zeros included, one value 0-9 a lane in text
// order (add ascii_zeros for their text): split into two halves of four digits, each into two
// pairs, each pair into two digits. Each division is a multiplication and a shift that is
// exact for the lane's range (x * 5243 >> 19 is x / 100 below 10^4; x * 103 >> 10 is x / 10
// below 100).
inline std::uint64_t eight_digit_lanes(std::uint32_t v) {
    std::uint64_t x = v / 10000 | std::uint64_t{v % 10000} << 32;  // 32-bit lanes below 10^4
    std::uint64_t high = (x * 5243 >> 19) & 0x0000007F0000007Fu;   // each lane / 100
    x = high | (x - high * 100) << 16;                              // 16-bit lanes below 100
    high = (x * 103 >> 10) & 0x000F000F000F000Fu;                   // each lane / 10
    return high | (x - high * 10) << 8;                             // one digit a lane
}

// The n <= 8 bytes at p as one word, zero above them, reading no byte outside them: short
// loads overlap, and the bytes they share are equal.
inline std::uint64_t load_up_to_eight(const char* p, std::size_t n) {
    if (n >= 4) {
        if (n == 8) return load(p);
        std::uint32_t low, high;
        std::memcpy(&low, p, 4);
        std::memcpy(&high, p + n - 4, 4);
        return low | std::uint64_t{high} << (8 * (n - 4));
    }
    const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i); };
    return n == 0 ? 0 : byte(0) | byte(n / 2) | byte(n - 1);
}

// Advances over bytes for which `stops(word)` flags nothing and `plain(byte)` holds; `stops`
// must flag exactly the bytes `plain` rejects (at least at the lowest hit).
template <class Stops, class Plain>
inline const char* skip(const char* p, const char* end, Stops stops, Plain plain) {
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            if (const std::uint64_t hits = stops(load(p))) return p + first_flagged(hits);
            p += 8;
        }
    }
    while (p != end && plain(static_cast<unsigned char>(*p))) ++p;
    return p;
}

#if defined(__SSE2__)
// The same with sixteen lanes of a 128-bit register: the run of digits that opens the sixteen
// bytes at p, its length (16 if it fills them) and its value as a sixteen-digit number, zeros
// standing in for the bytes past it. Pairs, then fours, then eights, by multiply-adds in lanes.
inline int sixteen_digits(const char* p, std::uint64_t& scaled) {
    const __m128i digits = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_set1_epi8('0'));
    // Lanes above 9 as unsigned: a signed comparison with the top bits flipped.
    const __m128i flipped = _mm_xor_si128(digits, _mm_set1_epi8(static_cast<char>(0x80)));
    const __m128i others = _mm_cmpgt_epi8(flipped, _mm_set1_epi8(static_cast<char>(0x80 + 9)));
    const int n = std::countr_zero(static_cast<unsigned>(_mm_movemask_epi8(others)) | 0x10000u);
    const __m128i positions = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i kept = _mm_and_si128(digits, _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(n)), positions));
    const __m128i zero = _mm_setzero_si128();
    const __m128i tens = _mm_setr_epi16(10, 1, 10, 1, 10, 1, 10, 1);
    const __m128i pairs = _mm_packs_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(kept, zero), tens),
                                          _mm_madd_epi16(_mm_unpackhi_epi8(kept, zero), tens));
    const __m128i fours = _mm_madd_epi16(pairs, _mm_setr_epi16(100, 1, 100, 1, 100, 1, 100, 1));
    const __m128i eights =
        _mm_madd_epi16(_mm_packs_epi32(fours, fours), _mm_setr_epi16(10000, 1, 10000, 1, 10000, 1, 10000, 1));
    const auto high = static_cast<std::uint32_t>(_mm_cvtsi128_si32(eights));
    const auto low = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(eights, 4)));
    scaled = std::uint64_t{high} * 100'000'000 + low;
    return n;
}
#endif

}  // namespace tevra::json::word
