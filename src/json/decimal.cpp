#include "json/decimal.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <system_error>

namespace tevra::json::decimal {

namespace {

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// from_chars reports both overflow and underflow to zero as out of range. The
// two lie hundreds of decades apart, so the sign of the decimal exponent of the
// first significant digit tells them apart. [p, end) is a well-formed number.
bool underflows(const char* p, const char* end) {
    if (*p == '-') ++p;
    std::int64_t leading = 0;  // decimal exponent of the first non-zero digit
    bool found = false;
    for (; p != end && is_digit(*p); ++p) {
        if (found) {
            ++leading;
        } else if (*p != '0') {
            found = true;
        }
    }
    if (p != end && *p == '.') {
        std::int64_t position = 0;
        for (++p; p != end && is_digit(*p); ++p) {
            --position;
            if (!found && *p != '0') {
                found = true;
                leading = position;
            }
        }
    }
    std::int64_t exponent = 0;
    if (p != end) {  // 'e' or 'E'
        ++p;
        const bool negative = *p == '-';
        if (*p == '-' || *p == '+') ++p;
        for (; p != end; ++p) exponent = std::min<std::int64_t>(exponent * 10 + (*p - '0'), 1'000'000'000'000);
        if (negative) exponent = -exponent;
    }
    return leading + exponent < 0;
}

}  // namespace

// m / 10^k by exact division: (n * 2^s / 5^k) * 2^-(s+lz+k) for n = m * 2^lz
// with its top bit set, s chosen so that the quotient has 63 or 64 bits.
double divide_exactly(std::uint64_t m, int k) {
    const int lz = std::countl_zero(m);
    const std::uint64_t divisor = powers_of_five[static_cast<std::size_t>(k)];
    const int s = reciprocals_of_five[static_cast<std::size_t>(k)].width - 1;
    const u128 dividend = u128{m << lz} << s;
    const auto q = static_cast<std::uint64_t>(dividend / divisor);
    const bool sticky = static_cast<std::uint64_t>(dividend) - q * divisor != 0;
    return round_to_double(q, sticky, -s - lz - k);
}

bool text_to_double(const char* first, const char* last, double& out) {
    const bool negative = *first == '-';
    if (std::from_chars(first, last, out).ec == std::errc::result_out_of_range) {
        if (!underflows(first, last)) return false;
        out = negative ? -0.0 : 0.0;
    }
    return true;
}

}  // namespace tevra::json::decimal
