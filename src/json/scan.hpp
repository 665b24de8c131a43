// Word-at-a-time scanning over string bytes, shared by the parser and the writer.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace tevra::json::scan {

inline constexpr std::uint64_t ones = 0x0101010101010101u;
inline constexpr std::uint64_t highs = 0x8080808080808080u;

// High bit set in each byte of `w` below `n` (n <= 128). Bytes above the first
// hit may be flagged falsely through borrows, so only the lowest flag counts.
constexpr std::uint64_t bytes_below(std::uint64_t w, std::uint8_t n) { return (w - ones * n) & ~w & highs; }

constexpr std::uint64_t bytes_equal(std::uint64_t w, std::uint8_t c) { return bytes_below(w ^ (ones * c), 1); }

// Advances over bytes for which `stops(word)` flags nothing and `plain(byte)` holds;
// `stops` must flag exactly the bytes `plain` rejects (at least at the lowest hit).
template <class Stops, class Plain>
inline const char* skip(const char* p, const char* end, Stops stops, Plain plain) {
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            if (std::uint64_t hits = stops(w)) return p + std::countr_zero(hits) / 8;
            p += 8;
        }
    }
    while (p != end && plain(static_cast<unsigned char>(*p))) ++p;
    return p;
}

}  // namespace tevra::json::scan
