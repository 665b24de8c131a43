// Strict recursive-descent parser. The depth limit bounds the recursion, so a
// deeply nested input is refused long before the stack is at risk. An error
// keeps its message and the byte where parsing stopped; line and column are
// worked out from that byte only once parsing has failed.
#include "json/json.hpp"
#include "json/scan.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <charconv>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tevra::json {

namespace {

namespace msg {
constexpr const char* eof_list = "EOF while parsing a list";
constexpr const char* eof_object = "EOF while parsing an object";
constexpr const char* eof_string = "EOF while parsing a string";
constexpr const char* eof_value = "EOF while parsing a value";
constexpr const char* expected_colon = "expected `:`";
constexpr const char* expected_list_end = "expected `,` or `]`";
constexpr const char* expected_object_end = "expected `,` or `}`";
constexpr const char* expected_quote = "expected `\"`";
constexpr const char* expected_ident = "expected ident";
constexpr const char* expected_value = "expected value";
constexpr const char* invalid_escape = "invalid escape";
constexpr const char* invalid_number = "invalid number";
constexpr const char* out_of_range = "number out of range";
constexpr const char* bad_code_point = "invalid unicode code point";
constexpr const char* control = "control character (\\u0000-\\u001F) found while parsing a string";
constexpr const char* key_not_string = "key must be a string";
constexpr const char* lone_surrogate = "lone leading surrogate in hex escape";
constexpr const char* trailing_comma = "trailing comma";
constexpr const char* trailing = "trailing characters";
constexpr const char* short_hex = "unexpected end of hex escape";
constexpr const char* recursion = "recursion limit exceeded";
}  // namespace msg

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

constexpr bool is_space(char c) {
    constexpr std::uint64_t mask = 1ull << ' ' | 1ull << '\t' | 1ull << '\n' | 1ull << '\r';
    return static_cast<unsigned char>(c) <= ' ' && (mask >> static_cast<unsigned char>(c) & 1);
}

// A byte that can open a value other than a string: a misplaced key of the wrong type.
constexpr bool starts_non_string(char c) {
    return c == '{' || c == '[' || c == '-' || is_digit(c) || c == 't' || c == 'f' || c == 'n';
}

constexpr int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// String bytes copied as they stand: printable ASCII other than '"' and '\'.
constexpr bool plain_string_byte(unsigned char c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

constexpr std::uint64_t string_stop_bytes(std::uint64_t w) {
    return scan::bytes_equal(w, '"') | scan::bytes_equal(w, '\\') | scan::bytes_below(w, 0x20) | (w & scan::highs);
}

// A key's first eight bytes, zero-padded, as a number that orders like them.
// Equal prefixes say nothing: "ab" and "ab\0" share one.
std::uint64_t key_prefix(const std::string& key) {
    std::uint64_t w = 0;
    std::memcpy(&w, key.data(), std::min<std::size_t>(key.size(), 8));
    if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
    return w;
}

// Byte order of keys. Most keys differ in their first byte, which settles the
// comparison without a call to memcmp.
int compare_keys(const std::string& a, const std::string& b) {
    if (!a.empty() && !b.empty() && a[0] != b[0])
        return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]) ? -1 : 1;
    return a.compare(b);
}

// High bit set in each byte of `w` that is not a blank (U+0020), exactly:
// each byte is tested against zero with no carry into the next.
constexpr std::uint64_t non_blank_bytes(std::uint64_t w) {
    constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7Fu;
    const std::uint64_t x = w ^ scan::ones * ' ';
    return (((x & low7) + low7) | x) & scan::highs;
}

// Each byte of `w` that is not an ASCII digit has a non-zero bit. Carries run
// only from a non-digit byte upwards, so the lowest flagged byte is exact.
constexpr std::uint64_t non_digits(std::uint64_t w) {
    return ((w & 0xF0F0F0F0F0F0F0F0u) ^ 0x3030303030303030u) |
           (((w + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u) ^ 0x3030303030303030u);
}

// The value of eight digits loaded little-endian, one 0-9 in each byte, the
// first in the lowest: pairs, then fours, then all eight, in a few multiplications.
constexpr std::uint32_t digit_bytes_value(std::uint64_t w) {
    w = w * 10 + (w >> 8);  // byte 2i: digits 2i and 2i+1 as one number below 100
    constexpr std::uint64_t pairs = 0x000000FF000000FFu;
    w = ((w & pairs) * (100 + (1'000'000ull << 32)) + ((w >> 16 & pairs) * (1 + (10'000ull << 32)))) >> 32;
    return static_cast<std::uint32_t>(w);
}

// The value of the n <= 8 ASCII digits that open `w`. They are moved to the
// top with zeros below; taking '0' off first, any borrow from the bytes past
// them runs upwards only, into bytes shifted out.
constexpr std::uint32_t leading_digits_value(std::uint64_t w, int n) {
    w -= 0x3030303030303030u;
    return digit_bytes_value(n == 0 ? 0 : w << (8 * (8 - n)));
}

#if defined(__SSE2__)
// The run of digits that opens the sixteen bytes at p: its length (16 if it
// fills them) and its value as a sixteen-digit number, zeros standing in for
// the bytes past it. Pairs, then fours, then eights, by multiply-adds in lanes.
inline int sixteen_digits(const char* p, std::uint64_t& scaled) {
    const __m128i digits = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_set1_epi8('0'));
    // Bytes above 9 as unsigned: a signed comparison with the top bits flipped.
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

constexpr std::uint64_t small_powers_of_ten[] = {1, 10, 100, 1'000, 10'000, 100'000, 1'000'000, 10'000'000, 100'000'000};

using u128 = unsigned __int128;

constexpr auto powers_of_five = [] {
    std::array<std::uint64_t, 28> p{};  // 5^27 is the last below 2^63
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

constexpr auto reciprocals_of_five = [] {
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

// Powers of ten a double holds exactly.
constexpr double exact_powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                          1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

constexpr std::uint64_t hidden_bit = std::uint64_t{1} << 52;

// mantissa * 2^e2 for a mantissa in [2^52, 2^53], the top end carrying over;
// callers keep the result well inside the normal range.
inline double make_double(std::uint64_t mantissa, int e2) {
    if (mantissa == hidden_bit << 1) {
        mantissa >>= 1;
        ++e2;
    }
    const auto biased = static_cast<std::uint64_t>(e2 + 52 + 1023);
    return std::bit_cast<double>(biased << 52 | (mantissa & (hidden_bit - 1)));
}

// (v + f) * 2^e2 rounded to the nearest double, ties to even, where v > 0 and
// f in [0, 1) is non-zero exactly when `sticky`; a sticky v has 54 bits or more.
inline double round_to_double(u128 v, bool sticky, int e2) {
    const int bits = static_cast<int>(v >> 64 ? 128 - std::countl_zero(static_cast<std::uint64_t>(v >> 64))
                                              : 64 - std::countl_zero(static_cast<std::uint64_t>(v)));
    if (bits <= 53) return make_double(static_cast<std::uint64_t>(v) << (53 - bits), e2 - (53 - bits));
    const int shift = bits - 53;
    auto mantissa = static_cast<std::uint64_t>(v >> shift);
    const u128 rest = v & ((u128{1} << shift) - 1);
    const u128 half = u128{1} << (shift - 1);
    if (rest > half || (rest == half && (sticky || (mantissa & 1)))) ++mantissa;
    return make_double(mantissa, e2 + shift);
}

// m / 10^k by exact division: (n * 2^s / 5^k) * 2^-(s+lz+k) for n = m * 2^lz
// with its top bit set, s chosen so that the quotient has 63 or 64 bits.
[[gnu::noinline]] double divide_exactly(std::uint64_t m, int k) {
    const int lz = std::countl_zero(m);
    const std::uint64_t divisor = powers_of_five[static_cast<std::size_t>(k)];
    const int s = reciprocals_of_five[static_cast<std::size_t>(k)].width - 1;
    const u128 dividend = u128{m << lz} << s;
    const auto q = static_cast<std::uint64_t>(dividend / divisor);
    const bool sticky = static_cast<std::uint64_t>(dividend) - q * divisor != 0;
    return round_to_double(q, sticky, -s - lz - k);
}

// m / 10^k for m > 0, 1 <= k <= 27, correctly rounded.
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
    // The 53 bits kept are high's top ones; below them, the half is 0x400:0.
    const std::uint64_t rest = high & 0x7FF;
    // Two units either side of exactly half, the rounding is not settled.
    if ((rest == 0x400 && low <= 1) || (rest == 0x3FF && low == ~std::uint64_t{0})) return divide_exactly(m, k);
    return make_double((high >> 11) + (rest >= 0x400), e2);
}

// m / 10^k for 1 <= k <= 22, correctly rounded.
inline double fraction_to_double(std::uint64_t m, int k) {
#if FLT_EVAL_METHOD == 0
    if (m <= std::uint64_t{1} << 53) return static_cast<double>(m) / exact_powers_of_ten[k];
#endif
    return m == 0 ? 0.0 : divide_by_power_of_ten(m, k);
}

// m * 10^e10 correctly rounded, when that can be had exactly and cheaply: one
// floating-point operation on exact operands, or exact integer arithmetic
// while 5^|e10| fits in 64 bits. False leaves the conversion to from_chars.
inline bool decimal_to_double(std::uint64_t m, std::int64_t e10, double& out) {
    if (m == 0) {
        out = 0.0;
        return true;
    }
    if (e10 < -27 || e10 > 27) return false;
#if FLT_EVAL_METHOD == 0
    if (m <= std::uint64_t{1} << 53 && e10 >= -22 && e10 <= 22) {
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

void append_utf8(std::string& out, std::uint32_t code) {
    char buf[4];
    std::size_t n;
    if (code < 0x80) {
        buf[0] = static_cast<char>(code);
        n = 1;
    } else if (code < 0x800) {
        buf[0] = static_cast<char>(0xC0 | code >> 6);
        buf[1] = static_cast<char>(0x80 | (code & 0x3F));
        n = 2;
    } else if (code < 0x10000) {
        buf[0] = static_cast<char>(0xE0 | code >> 12);
        buf[1] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
        buf[2] = static_cast<char>(0x80 | (code & 0x3F));
        n = 3;
    } else {
        buf[0] = static_cast<char>(0xF0 | code >> 18);
        buf[1] = static_cast<char>(0x80 | (code >> 12 & 0x3F));
        buf[2] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
        buf[3] = static_cast<char>(0x80 | (code & 0x3F));
        n = 4;
    }
    out.append(buf, n);
}

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

class Parser {
public:
    explicit Parser(std::string_view text) : begin_(text.data()), p_(begin_), end_(begin_ + text.size()) {}

    ParseResult run() {
        ParseResult result;
        if (value(Slot{Slot::root, 0, &result.value})) {
            skip_space();
            if (p_ == end_) return result;
            fail(msg::trailing, p_);
        }
        result.value = Value();
        result.error = error();
        return result;
    }

private:
    bool fail(const char* message, const char* at) {
        message_ = message;
        at_ = at;
        return false;
    }

    // Input ran out: the error points at the last byte there is.
    bool fail_at_end(const char* message) { return fail(message, end_ == begin_ ? end_ : end_ - 1); }

    ParseError error() const {
        const auto line = static_cast<std::size_t>(std::count(begin_, at_, '\n')) + 1;
        const char* line_start = at_;
        while (line_start != begin_ && line_start[-1] != '\n') --line_start;
        return ParseError{message_, line, static_cast<std::size_t>(at_ - line_start) + 1};
    }

    void skip_space() {
        while (p_ != end_ && is_space(*p_)) {
            ++p_;
            // Indented documents have runs of blanks after each line feed.
            if constexpr (std::endian::native == std::endian::little) {
                if (end_ - p_ >= 8) {
                    std::uint64_t w;
                    std::memcpy(&w, p_, 8);
                    const std::uint64_t stops = non_blank_bytes(w);
                    p_ += stops ? std::countr_zero(stops) / 8 : 8;
                }
            }
        }
    }

    // Where a value goes: a container's items and members sit on stacks that
    // its nested values grow, so its place there is found again by index once
    // it is complete.
    struct Slot {
        enum Where { root, item, member } where;
        std::size_t index;
        Value* fixed;
    };

    Value& place(Slot s) {
        switch (s.where) {
        case Slot::item: return items_[s.index];
        case Slot::member: return members_[s.index].value;
        default: return *s.fixed;
        }
    }

    bool value(Slot slot) {
        skip_space();
        if (p_ == end_) return fail_at_end(msg::eof_value);
        switch (*p_) {
        case '{': return object(slot);
        case '[': return array(slot);
        default: return scalar(place(slot));  // nothing below moves the stacks
        }
    }

    // Any value but an array or object, stored into the null `out`.
    bool scalar(Value& out) {
        switch (*p_) {
        case '"': return string_value(out);
        case 't': return literal("true") && set_bool(out, true);
        case 'f': return literal("false") && set_bool(out, false);
        case 'n': return literal("null");
        default:
            if (*p_ == '-' || is_digit(*p_)) return number(out);
            return fail(msg::expected_value, p_);
        }
    }

    bool literal(std::string_view word) {
        for (char c : word) {
            if (p_ == end_) return fail_at_end(msg::eof_value);
            if (*p_ != c) return fail(msg::expected_ident, p_);
            ++p_;
        }
        return true;
    }

    // Scalars are stored into the null value each parse step is handed.
    static bool set_bool(Value& out, bool b) {
        out.store(Value::Kind::Bool, b);
        return true;
    }
    static void set_uint(Value& out, std::uint64_t u) { out.store(Value::Kind::UInt, u); }
    static void set_int(Value& out, std::int64_t i) { out.store(Value::Kind::Int, i); }
    static void set_double(Value& out, double d) { out.store(Value::Kind::Double, d); }

    bool open_container() {
        if (depth_ == max_depth) return fail(msg::recursion, p_);
        ++depth_;
        ++p_;
        skip_space();
        return true;
    }

    bool array(Slot slot) {
        if (!open_container()) return false;
        if (p_ == end_) return fail_at_end(msg::eof_list);
        // Items gather on one stack shared by all levels, so each array is
        // allocated once, at its final size.
        const std::size_t base = items_.size();
        if (*p_ != ']') {
            for (;;) {
                // Numbers, the commonest items, go straight to their parser.
                if (p_ != end_ && (*p_ == '-' || is_digit(*p_))) {
                    if (!number(items_.emplace_back())) return false;
                } else {
                    items_.emplace_back();
                    if (!value(Slot{Slot::item, items_.size() - 1, nullptr})) return false;
                }
                skip_space();
                if (p_ == end_) return fail_at_end(msg::eof_list);
                if (*p_ == ']') break;
                if (*p_ != ',') return fail(msg::expected_list_end, p_);
                ++p_;
                skip_space();
                if (p_ != end_ && *p_ == ']') return fail(msg::trailing_comma, p_);
            }
        }
        ++p_;
        --depth_;
        place(slot).set_array(Array::moved_from(items_.data() + base, items_.data() + items_.size()));
        items_.resize(base);
        return true;
    }

    bool object(Slot slot) {
        if (!open_container()) return false;
        if (p_ == end_) return fail_at_end(msg::eof_object);
        const std::size_t base = members_.size();
        if (*p_ != '}') {
            for (;;) {
                if (*p_ != '"') return fail(starts_non_string(*p_) ? msg::key_not_string : msg::expected_quote, p_);
                const std::size_t index = members_.size();
                members_.emplace_back();
                if (!string(members_.back().key)) return false;
                skip_space();
                if (p_ == end_) return fail_at_end(msg::eof_object);
                if (*p_ != ':') return fail(msg::expected_colon, p_);
                ++p_;
                skip_space();
                if (p_ != end_ && (*p_ == '-' || is_digit(*p_))) {
                    if (!number(members_.back().value)) return false;
                } else if (!value(Slot{Slot::member, index, nullptr})) {
                    return false;
                }
                skip_space();
                if (p_ == end_) return fail_at_end(msg::eof_object);
                if (*p_ == '}') break;
                if (*p_ != ',') return fail(msg::expected_object_end, p_);
                ++p_;
                skip_space();
                if (p_ == end_) return fail_at_end(msg::eof_object);
                if (*p_ == '}') return fail(msg::trailing_comma, p_);
            }
        }
        ++p_;
        --depth_;
        place(slot).set_object(take_members(base));
        return true;
    }

    // Moves the members gathered from `base` on into an object: sorted by key
    // once, keeping only the last of equal keys.
    Object take_members(std::size_t base) {
        Object object;
        const auto first = members_.begin() + static_cast<std::ptrdiff_t>(base);
        const auto n = static_cast<std::size_t>(members_.end() - first);
        auto ordered = [&] {
            for (std::size_t i = 1; i < n; ++i)
                if (compare_keys(first[i - 1].key, first[i].key) >= 0) return false;
            return true;
        };
        if (ordered()) {
            Object::Member* gathered = members_.data() + base;
            object.members_ = decltype(object.members_)::moved_from(gathered, gathered + n);
        } else {
            // Sorting indices with the parse position as tie-break keeps equal
            // keys in parse order, as a stable sort would. Each key's first
            // eight bytes, as one big-endian number, settle most comparisons.
            order_.resize(n);
            for (std::size_t i = 0; i < n; ++i) order_[i] = {key_prefix(first[i].key), static_cast<std::uint32_t>(i)};
            std::sort(order_.begin(), order_.end(), [&](const SortKey& a, const SortKey& b) {
                if (a.prefix != b.prefix) return a.prefix < b.prefix;
                const int c = first[a.index].key.compare(first[b.index].key);
                return c < 0 || (c == 0 && a.index < b.index);
            });
            object.members_.reserve(n);
            for (std::size_t k = 0; k < n; ++k) {
                Object::Member& m = first[order_[k].index];
                if (k + 1 < n && order_[k].prefix == order_[k + 1].prefix && m.key == first[order_[k + 1].index].key)
                    continue;
                object.members_.push_back(std::move(m));
            }
        }
        members_.erase(first, members_.end());
        return object;
    }

    // A string value: one without escapes is taken from the input as it
    // stands, one with them decoded into the scratch buffer first.
    bool string_value(Value& out) {
        const char* start = p_ + 1;
        bool plain = true;
        scratch_.clear();
        if (!string(scratch_, &plain)) return false;
        out.set_string(plain ? std::string_view(start, static_cast<std::size_t>(p_ - 1 - start)) : scratch_);
        return true;
    }

    // Decodes the string at p_ into `out`. Given `plain`, a string without
    // escapes is left in the input instead and *plain says which it was.
    bool string(std::string& out, bool* plain = nullptr) {
        const char* run = ++p_;
        for (;;) {
            p_ = scan::skip(p_, end_, string_stop_bytes, plain_string_byte);
            if (p_ == end_) return fail_at_end(msg::eof_string);
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') break;
            if (c >= 0x80) {
                // Non-ASCII text comes in runs: stay here for the whole run.
                do {
                    if (end_ - p_ >= 3 && common_utf8_sequence()) continue;
                    if (!utf8_sequence()) return false;
                } while (p_ != end_ && static_cast<unsigned char>(*p_) >= 0x80);
            } else if (c == '\\') {
                if (plain) *plain = false;
                out.append(run, static_cast<std::size_t>(p_ - run));
                if (!escape(out)) return false;
                run = p_;
            } else {
                return fail(msg::control, p_);
            }
        }
        if (!plain || !*plain) out.append(run, static_cast<std::size_t>(p_ - run));
        ++p_;
        return true;
    }

    // The two- and three-byte sequences that need no check beyond the form of
    // their continuation bytes, three bytes being there; false consumes nothing.
    bool common_utf8_sequence() {
        const auto lead = static_cast<unsigned char>(p_[0]);
        const auto c1 = static_cast<unsigned char>(p_[1]);
        if ((c1 & 0xC0) != 0x80) return false;
        if (lead >= 0xC2 && lead <= 0xDF) {
            p_ += 2;
            return true;
        }
        // E0 and ED limit their first continuation byte; the others do not.
        if (lead >= 0xE1 && lead <= 0xEF && lead != 0xED && (static_cast<unsigned char>(p_[2]) & 0xC0) == 0x80) {
            p_ += 3;
            return true;
        }
        return false;
    }

    // One well-formed UTF-8 sequence of two to four bytes: no overlong form,
    // no encoded surrogate, nothing above U+10FFFF.
    bool utf8_sequence() {
        const auto lead = static_cast<unsigned char>(*p_);
        int continuations;
        unsigned char low = 0x80, high = 0xBF;  // range of the first continuation byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            continuations = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            continuations = 2;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            continuations = 3;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return fail(msg::bad_code_point, p_);
        }
        for (int i = 0; i < continuations; ++i) {
            if (++p_ == end_) return fail_at_end(msg::eof_string);
            const auto c = static_cast<unsigned char>(*p_);
            if (c < low || c > high) return fail(msg::bad_code_point, p_);
            low = 0x80, high = 0xBF;
        }
        ++p_;
        return true;
    }

    bool escape(std::string& out) {
        if (++p_ == end_) return fail_at_end(msg::eof_string);
        char c;
        switch (*p_) {
        case '"': c = '"'; break;
        case '\\': c = '\\'; break;
        case '/': c = '/'; break;
        case 'b': c = '\b'; break;
        case 'f': c = '\f'; break;
        case 'n': c = '\n'; break;
        case 'r': c = '\r'; break;
        case 't': c = '\t'; break;
        case 'u': return unicode_escape(out);
        default: return fail(msg::invalid_escape, p_);
        }
        out.push_back(c);
        ++p_;
        return true;
    }

    // At the 'u' of "\uXXXX"; stops after the last hex digit.
    bool hex4(std::uint32_t& code) {
        code = 0;
        for (int i = 0; i < 4; ++i) {
            if (++p_ == end_) return fail_at_end(msg::eof_string);
            const int digit = hex_value(*p_);
            if (digit < 0) return fail(msg::short_hex, p_);
            code = code << 4 | static_cast<std::uint32_t>(digit);
        }
        ++p_;
        return true;
    }

    // The tree holds scalar values only: a leading surrogate must be followed at
    // once by an escaped trailing one, and a trailing one may not stand alone.
    bool unicode_escape(std::string& out) {
        std::uint32_t code;
        if (!hex4(code)) return false;
        if (code >= 0xD800 && code <= 0xDBFF) {
            if (p_ == end_) return fail_at_end(msg::eof_string);
            if (*p_ != '\\') return fail(msg::lone_surrogate, p_);
            if (++p_ == end_) return fail_at_end(msg::eof_string);
            if (*p_ != 'u') return fail(msg::lone_surrogate, p_);
            std::uint32_t trail;
            if (!hex4(trail)) return false;
            if (trail < 0xDC00 || trail > 0xDFFF) return fail(msg::lone_surrogate, p_ - 1);
            code = 0x10000 + ((code - 0xD800) << 10) + (trail - 0xDC00);
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return fail(msg::bad_code_point, p_ - 1);
        }
        append_utf8(out, code);
        return true;
    }

    // At p_, where a digit must be: false with the error if there is none.
    bool expect_digit() {
        if (p_ == end_) return fail_at_end(msg::invalid_number);
        if (!is_digit(*p_)) return fail(msg::invalid_number, p_);
        return true;
    }

    // Advances over the run of digits at p_ and returns its length. The digits
    // are folded into `value` while `kept` stays at most 19, so value < 10^19;
    // once one does not fit, `kept` becomes 20 and nothing more is folded.
    std::size_t digit_run(std::uint64_t& value, int& kept) {
        const char* first = p_;
        if constexpr (std::endian::native == std::endian::little) {
            while (end_ - p_ >= 8) {
                std::uint64_t w;
                std::memcpy(&w, p_, 8);
                const std::uint64_t stops = non_digits(w);
                const int n = stops ? std::countr_zero(stops) / 8 : 8;
                if (n == 0) return static_cast<std::size_t>(p_ - first);
                if (kept + n <= 19) {
                    value = value * small_powers_of_ten[n] + leading_digits_value(w, n);
                    kept += n;
                } else {
                    kept = 20;
                }
                p_ += n;
                if (n < 8) return static_cast<std::size_t>(p_ - first);
            }
        }
        for (; p_ != end_ && is_digit(*p_); ++p_) {
            if (kept < 19) {
                value = value * 10 + static_cast<unsigned>(*p_ - '0');
                ++kept;
            } else {
                kept = 20;
            }
        }
        return static_cast<std::size_t>(p_ - first);
    }

    bool number(Value& out) {
        if constexpr (std::endian::native == std::endian::little) {
            if (end_ - p_ >= 32 && common_number(out)) return true;
        }
        return any_number(out);
    }

    // The usual shapes, eight digits at a time without bounds checks (32 bytes
    // are there): an integer of up to seven digits, or one with a fraction of up
    // to fifteen digits and no exponent. Anything else, including every error,
    // is left to any_number, with nothing consumed.
    [[gnu::always_inline]] bool common_number(Value& out) {
        const char* p = p_;
        const bool negative = *p == '-';
        p += negative;
        auto run = [](const char* at, int& n) {
            std::uint64_t w;
            std::memcpy(&w, at, 8);
            const std::uint64_t stops = non_digits(w);
            n = stops ? std::countr_zero(stops) / 8 : 8;
            return static_cast<std::uint64_t>(leading_digits_value(w, n));
        };
        // The integer part, most often one to three digits: those without the
        // multiplications of the eight-digit step.
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        const std::uint64_t stops = non_digits(w);
        const int n = stops ? std::countr_zero(stops) / 8 : 8;
        if (n == 0 || n == 8 || (n > 1 && *p == '0')) return false;
        const std::uint64_t digits = w - 0x3030303030303030u;
        std::uint64_t significand;
        if (n <= 3) {
            const std::uint64_t d0 = digits & 0xFF, d1 = digits >> 8 & 0xFF, d2 = digits >> 16 & 0xFF;
            significand = n == 1 ? d0 : n == 2 ? d0 * 10 + d1 : d0 * 100 + d1 * 10 + d2;
        } else {
            significand = leading_digits_value(w, n);
        }
        p += n;
        if (*p == '.') {
            ++p;
#if defined(__SSE2__)
            // Nine to fifteen fraction digits after a short integer part, the
            // usual shape of coordinates and measurements: one sixteen-byte
            // step gives the number scaled to sixteen decimal places.
            if (n <= 3) {
                std::uint64_t scaled;
                const int f = sixteen_digits(p, scaled);
                if (f > 8 && f < 16) {
                    p += f;
                    if (*p == 'e' || *p == 'E') return false;
                    const double d = fraction_to_double(significand * 10'000'000'000'000'000 + scaled, 16);
                    set_double(out, negative ? -d : d);
                    p_ = p;
                    return true;
                }
            }
#endif
            int f;
            const std::uint64_t fraction = run(p, f);
            if (f == 0) return false;
            significand = significand * small_powers_of_ten[f] + fraction;
            if (f == 8) {
                int g;
                const std::uint64_t more = run(p + 8, g);
                if (g == 8) return false;
                significand = significand * small_powers_of_ten[g] + more;
                f += g;
            }
            p += f;
            // An integer part "0" adds no digit; otherwise at most 19 digits fit.
            const bool zero = n == 1 && p_[negative] == '0';
            if (*p == 'e' || *p == 'E' || (!zero && n + f > 19)) return false;
            set_double(out, negative ? -fraction_to_double(significand, f) : fraction_to_double(significand, f));
        } else if (*p == 'e' || *p == 'E') {
            return false;
        } else if (!negative) {
            set_uint(out, significand);
        } else if (significand == 0) {
            set_double(out, -0.0);
        } else {
            set_int(out, -static_cast<std::int64_t>(significand));
        }
        p_ = p;
        return true;
    }

    // Grammar checked and value gathered in one pass. A significand of at most
    // 19 digits with a small exponent is converted exactly without from_chars.
    bool any_number(Value& out) {
        const char* start = p_;
        const bool negative = *p_ == '-';
        if (negative && ++p_ == end_) return fail_at_end(msg::invalid_number);
        std::uint64_t significand = 0;
        int kept = 0;  // digits in the significand, leading zeros not counted; 20: some dropped
        bool overflow = false;
        if (*p_ == '0') {
            if (++p_ != end_ && is_digit(*p_)) return fail(msg::invalid_number, p_);
        } else if (is_digit(*p_)) {
            const char* first = p_;
            if (digit_run(significand, kept) > 19) {
                // An integer may still fit 64 bits with 20 digits: count it out exactly.
                std::uint64_t magnitude = 0;
                for (const char* d = first; d != p_; ++d) {
                    overflow |= __builtin_mul_overflow(magnitude, 10u, &magnitude);
                    overflow |= __builtin_add_overflow(magnitude, static_cast<unsigned>(*d - '0'), &magnitude);
                }
                significand = magnitude;
            }
        } else {
            return fail(msg::invalid_number, p_);
        }
        bool integral = true;
        std::int64_t exponent = 0;  // of the significand's last digit
        if (p_ != end_ && *p_ == '.') {
            integral = false;
            const char* fraction = ++p_;
            if (!expect_digit()) return false;
            if (kept == 0)
                while (p_ != end_ && *p_ == '0') ++p_;  // zeros before the first significant digit
            digit_run(significand, kept);
            exponent = fraction - p_;
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            integral = false;
            bool minus = false;
            if (++p_ != end_ && (*p_ == '+' || *p_ == '-')) minus = *p_++ == '-';
            if (!expect_digit()) return false;
            std::int64_t e = 0;
            for (; p_ != end_ && is_digit(*p_); ++p_) e = std::min<std::int64_t>(e * 10 + (*p_ - '0'), 1'000'000);
            exponent += minus ? -e : e;
        }
        if (integral && !overflow) {
            if (!negative) {
                set_uint(out, significand);
                return true;
            }
            if (significand == 0) {
                set_double(out, -0.0);
                return true;
            }
            if (significand <= std::uint64_t{1} << 63) {
                set_int(out, static_cast<std::int64_t>(0 - significand));
                return true;
            }
        }
        double d;
        if (kept <= 19 && decimal_to_double(significand, exponent, d)) {
            set_double(out, negative ? -d : d);
            return true;
        }
        if (std::from_chars(start, p_, d).ec == std::errc::result_out_of_range) {
            if (!underflows(start, p_)) return fail(msg::out_of_range, p_ - 1);
            d = negative ? -0.0 : 0.0;
        }
        set_double(out, d);
        return true;
    }

    const char* begin_;
    const char* p_;
    const char* end_;
    int depth_ = 0;
    const char* message_ = nullptr;
    const char* at_ = nullptr;
    std::vector<Value> items_;
    std::vector<Object::Member> members_;
    struct SortKey {
        std::uint64_t prefix;
        std::uint32_t index;
    };
    std::vector<SortKey> order_;
    std::string scratch_;  // the decoded text of a string value with escapes
};

ParseResult parse(std::string_view text) { return Parser(text).run(); }

std::string ParseError::detail() const {
    return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

}  // namespace tevra::json
