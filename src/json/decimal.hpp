// Decimal to double, correctly rounded: a significand of up to 19 digits and a power of ten
// become the nearest double, ties to even. The parser gathers the digits; this file turns them
// into a double. Small cases take one exact floating-point operation, the rest exact integer
// arithmetic with 5^k, and what is beyond both (more digits, a larger exponent) goes to
// std::from_chars over the number's text.
#pragma once

#include <array>
#include <bit>
#include <cfloat>
#include <cstdint>

namespace tevra::json::decimal {

// Any decimal significand of up to this many digits is below 10^19 < 2^64, so it is held
// exactly in 64 bits.
inline constexpr int max_significand_digits = 19;

// 5^27 is the last power of five below 2^63: the exact arithmetic covers exponents up to it.
inline constexpr int max_power_of_five = 27;

using u128 = unsigned __int128;

inline constexpr auto powers_of_five = [] {
    std::array<std::uint64_t, max_power_of_five + 1> p{};
    p[0] = 1;
    for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 5;
    return p;
}();

// 5^-k scaled into [2^127, 2^128) and rounded up by less than one unit:
// floor(2^(127+L) / 5^k) + 1 in two halves, L the bit width of 5^k.
struct Reciprocal {
    std::uint64_t high, low;
    int width;  // L
};

inline constexpr auto reciprocals_of_five = [] {
    std::array<Reciprocal, powers_of_five.size()> r{};
    for (std::size_t k = 1; k < r.size(); ++k) {
        const std::uint64_t d = powers_of_five[k];
        const int top = 127 + std::bit_width(d);
        u128 q = 0;
        std::uint64_t rest = 0;  // below d < 2^63, so doubling it cannot overflow
        for (int bit = top; bit >= 0; --bit) {
            rest = rest * 2 + (bit == top);
            q <<= 1;
            if (rest >= d) {
                rest -= d;
                q |= 1;
            }
        }
        ++q;
        r[k] = {static_cast<std::uint64_t>(q >> 64), static_cast<std::uint64_t>(q), static_cast<int>(std::bit_width(d))};
    }
    return r;
}();

// Every integer up to 2^53 is a double exactly.
inline constexpr std::uint64_t max_exact_integer = std::uint64_t{1} << 53;

// Powers of ten a double holds exactly: up to 10^22 (5^22 < 2^53).
inline constexpr int max_exact_power_of_ten = 22;
inline constexpr double exact_powers_of_ten[max_exact_power_of_ten + 1] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A double's 52 stored mantissa bits, the implicit one above them, and its exponent bias.
inline constexpr int mantissa_bits = 52;
inline constexpr std::uint64_t hidden_bit = std::uint64_t{1} << mantissa_bits;
inline constexpr int exponent_bias = 1023;
// Significant bits of a double, the implicit one included.
inline constexpr int precision = mantissa_bits + 1;

// mantissa * 2^e2 for a mantissa in [2^52, 2^53], the top end carrying over;
// callers keep the result well inside the normal range.
inline double make_double(std::uint64_t mantissa, int e2) {
    if (mantissa == hidden_bit << 1) {
        mantissa >>= 1;
        ++e2;
    }
    const auto biased = static_cast<std::uint64_t>(e2 + mantissa_bits + exponent_bias);
    return std::bit_cast<double>(biased << mantissa_bits | (mantissa & (hidden_bit - 1)));
}

// (v + f) * 2^e2 rounded to the nearest double, ties to even, where v > 0 and
// f in [0, 1) is non-zero exactly when `sticky`; a sticky v has 54 bits or more.
inline double round_to_double(u128 v, bool sticky, int e2) {
    const int bits = static_cast<int>(v >> 64 ? 128 - std::countl_zero(static_cast<std::uint64_t>(v >> 64))
                                              : 64 - std::countl_zero(static_cast<std::uint64_t>(v)));
    if (bits <= precision) return make_double(static_cast<std::uint64_t>(v) << (precision - bits), e2 - (precision - bits));
    const int shift = bits - precision;
    auto mantissa = static_cast<std::uint64_t>(v >> shift);
    const u128 rest = v & ((u128{1} << shift) - 1);
    const u128 half = u128{1} << (shift - 1);
    if (rest > half || (rest == half && (sticky || (mantissa & 1)))) ++mantissa;
    return make_double(mantissa, e2 + shift);
}

// m / 10^k by exact 128-bit division, for the rare cases the reciprocal leaves open.
double divide_exactly(std::uint64_t m, int k);

// m / 10^k for m > 0, 1 <= k <= max_power_of_five, correctly rounded.
inline double divide_by_power_of_ten(std::uint64_t m, int k) {
    const int lz = std::countl_zero(m);
    const std::uint64_t n = m << lz;
    const Reciprocal& r = reciprocals_of_five[static_cast<std::size_t>(k)];
    // x = n * reciprocal exceeds the exact n * 2^(127+L) / 5^k by less than
    // 2^64, so u = x / 2^64 is within one unit of the exact value scaled alike.
    const u128 u = u128{n} * r.high + (u128{n} * r.low >> 64);  // in [2^126, 2^128)
    auto high = static_cast<std::uint64_t>(u >> 64);
    auto low = static_cast<std::uint64_t>(u);
    int e2 = 75 + 64 - 127 - r.width - lz - k;
    if (!(high >> 63)) {
        // Top bit to bit 127; u doubled is within two units.
        high = high << 1 | low >> 63;
        low <<= 1;
        --e2;
    }
    // The 53 bits kept are high's top ones; the 11 below them and all of low are rounded off.
    constexpr int dropped = 64 - precision;
    constexpr std::uint64_t half = std::uint64_t{1} << (dropped - 1);
    const std::uint64_t rest = high & ((std::uint64_t{1} << dropped) - 1);
    // Two units either side of exactly half, the rounding is not settled.
    if ((rest == half && low <= 1) || (rest == half - 1 && low == ~std::uint64_t{0})) return divide_exactly(m, k);
    return make_double((high >> dropped) + (rest >= half), e2);
}

// m / 10^k for 1 <= k <= max_exact_power_of_ten, correctly rounded.
inline double fraction_to_double(std::uint64_t m, int k) {
#if FLT_EVAL_METHOD == 0
    if (m <= max_exact_integer) return static_cast<double>(m) / exact_powers_of_ten[k];
#endif
    return m == 0 ? 0.0 : divide_by_power_of_ten(m, k);
}

// m * 10^e10 correctly rounded, when that can be had exactly and cheaply: one
// floating-point operation on exact operands, or exact integer arithmetic
// while 5^|e10| fits in 64 bits. False leaves the conversion to from_chars.
inline bool to_double(std::uint64_t m, std::int64_t e10, double& out) {
    if (m == 0) {
        out = 0.0;
        return true;
    }
    if (e10 < -max_power_of_five || e10 > max_power_of_five) return false;
#if FLT_EVAL_METHOD == 0
    if (m <= max_exact_integer && e10 >= -max_exact_power_of_ten && e10 <= max_exact_power_of_ten) {
        const double x = static_cast<double>(m);
        out = e10 < 0 ? x / exact_powers_of_ten[-e10] : x * exact_powers_of_ten[e10];
        return true;
    }
#endif
    if (e10 >= 0) {
        // m * 10^e10 = (m * 5^e10) * 2^e10, the product exact in 128 bits.
        out = round_to_double(u128{m} * powers_of_five[static_cast<std::size_t>(e10)], false, static_cast<int>(e10));
        return true;
    }
    out = divide_by_power_of_ten(m, static_cast<int>(-e10));
    return true;
}
// The text [first, last) of a well-formed number, converted with std::from_chars. False when
// its magnitude is beyond the finite range; one that underflows becomes a zero of its sign.
bool text_to_double(const char* first, const char* last, double& out);

}  // namespace tevra::json::decimal
