// Strict recursive-descent parser. The depth limit bounds the recursion, so a
// deeply nested input is refused long before the stack is at risk. An error
// keeps its message and the byte where parsing stopped; line and column are
// worked out from that byte only once parsing has failed.
#include "json/decimal.hpp"
#include "json/json.hpp"
#include "json/word_at_a_time.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

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
    return word::bytes_equal(w, '"') | word::bytes_equal(w, '\\') | word::bytes_below(w, 0x20) | (w & word::highs);
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

constexpr std::uint64_t small_powers_of_ten[] = {1, 10, 100, 1'000, 10'000, 100'000, 1'000'000, 10'000'000, 100'000'000};

using decimal::max_significand_digits;

// A significand that has dropped digits: too many to convert exactly.
constexpr int digits_dropped = max_significand_digits + 1;

// An exponent's digits are gathered up to this bound. It lies far beyond a double's range and
// far beyond the length of any input, so that the exponent plus the place of the
// significand's last digit (as many places after the point as the input is long) is still far
// out of range whenever the exponent alone is.
constexpr std::int64_t exponent_bound = 1'000'000'000'000'000;

// The common number shapes are read without bounds checks when this many bytes remain.
constexpr std::ptrdiff_t number_lookahead = 32;

constexpr std::uint64_t ten_to_the_sixteenth = 10'000'000'000'000'000;

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
                    const std::uint64_t stops = word::non_blank_bytes(word::load(p_));
                    p_ += stops ? word::first_flagged(stops) : 8;
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
            p_ = word::skip(p_, end_, string_stop_bytes, plain_string_byte);
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
    // are folded into `value` while `kept` stays at most max_significand_digits, so
    // value < 10^19; once one does not fit, `kept` becomes digits_dropped and nothing more
    // is folded.
    std::size_t digit_run(std::uint64_t& value, int& kept) {
        const char* first = p_;
        if constexpr (std::endian::native == std::endian::little) {
            while (end_ - p_ >= 8) {
                const std::uint64_t w = word::load(p_);
                const int n = word::leading_digit_count(w);
                if (n == 0) return static_cast<std::size_t>(p_ - first);
                if (kept + n <= max_significand_digits) {
                    value = value * small_powers_of_ten[n] + word::leading_digits_value(w, n);
                    kept += n;
                } else {
                    kept = digits_dropped;
                }
                p_ += n;
                if (n < 8) return static_cast<std::size_t>(p_ - first);
            }
        }
        for (; p_ != end_ && is_digit(*p_); ++p_) {
            if (kept < max_significand_digits) {
                value = value * 10 + static_cast<unsigned>(*p_ - '0');
                ++kept;
            } else {
                kept = digits_dropped;
            }
        }
        return static_cast<std::size_t>(p_ - first);
    }

    bool number(Value& out) {
        if constexpr (std::endian::native == std::endian::little) {
            if (end_ - p_ >= number_lookahead && common_number(out)) return true;
        }
        return any_number(out);
    }

    // The usual shapes, eight digits at a time without bounds checks
    // (number_lookahead bytes are there): an integer of up to seven digits, or one with a fraction of up
    // to fifteen digits and no exponent. Anything else, including every error,
    // is left to any_number, with nothing consumed.
    [[gnu::always_inline]] bool common_number(Value& out) {
        const char* p = p_;
        const bool negative = *p == '-';
        p += negative;
        auto run = [](const char* at, int& n) {
            const std::uint64_t w = word::load(at);
            n = word::leading_digit_count(w);
            return static_cast<std::uint64_t>(word::leading_digits_value(w, n));
        };
        // The integer part, most often one to three digits: those without the
        // multiplications of the eight-digit step.
        const std::uint64_t w = word::load(p);
        const int n = word::leading_digit_count(w);
        if (n == 0 || n == 8 || (n > 1 && *p == '0')) return false;
        const std::uint64_t digits = w - word::ascii_zeros;
        std::uint64_t significand;
        if (n <= 3) {
            const std::uint64_t d0 = digits & 0xFF, d1 = digits >> 8 & 0xFF, d2 = digits >> 16 & 0xFF;
            significand = n == 1 ? d0 : n == 2 ? d0 * 10 + d1 : d0 * 100 + d1 * 10 + d2;
        } else {
            significand = word::leading_digits_value(w, n);
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
                const int f = word::sixteen_digits(p, scaled);
                if (f > 8 && f < 16) {
                    p += f;
                    if (*p == 'e' || *p == 'E') return false;
                    const double d = decimal::fraction_to_double(significand * ten_to_the_sixteenth + scaled, 16);
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
            // An integer part "0" adds no digit; otherwise at most max_significand_digits fit.
            const bool zero = n == 1 && p_[negative] == '0';
            if (*p == 'e' || *p == 'E' || (!zero && n + f > max_significand_digits)) return false;
            const double d = decimal::fraction_to_double(significand, f);
            set_double(out, negative ? -d : d);
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
    // max_significand_digits with a small exponent is converted exactly without from_chars.
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
            if (digit_run(significand, kept) > static_cast<std::size_t>(max_significand_digits)) {
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
            for (; p_ != end_ && is_digit(*p_); ++p_) e = std::min<std::int64_t>(e * 10 + (*p_ - '0'), exponent_bound);
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
        if (kept <= max_significand_digits && decimal::to_double(significand, exponent, d)) {
            set_double(out, negative ? -d : d);
            return true;
        }
        if (!decimal::text_to_double(start, p_, d)) return fail(msg::out_of_range, p_ - 1);
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
