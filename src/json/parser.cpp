// Strict recursive-descent parser. The depth limit bounds the recursion, so a
// deeply nested input is refused long before the stack is at risk. An error
// keeps its message and the byte where parsing stopped; line and column are
// worked out from that byte only once parsing has failed.
#include "json/json.hpp"
#include "json/scan.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <numeric>

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

// Byte order of keys. Most keys differ in their first byte, which settles the
// comparison without a call to memcmp.
int compare_keys(const std::string& a, const std::string& b) {
    if (!a.empty() && !b.empty() && a[0] != b[0])
        return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]) ? -1 : 1;
    return a.compare(b);
}

bool eight_blanks(const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w == 0x2020202020202020u;
}

// Eight bytes at `p` that are all ASCII digits.
bool eight_digits(const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return (w & 0xF0F0F0F0F0F0F0F0u) == 0x3030303030303030u &&
           ((w + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u) == 0x3030303030303030u;
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
        if (value(result.value)) {
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
            // Indented documents have long runs of blanks.
            while (end_ - p_ >= 8 && eight_blanks(p_)) p_ += 8;
        }
    }

    bool value(Value& out) {
        skip_space();
        if (p_ == end_) return fail_at_end(msg::eof_value);
        switch (*p_) {
        case '{': return object(out);
        case '[': return array(out);
        case '"': {
            std::string s;
            if (!string(s)) return false;
            out = Value::string(std::move(s));
            return true;
        }
        case 't': return literal("true", Value::boolean(true), out);
        case 'f': return literal("false", Value::boolean(false), out);
        case 'n': return literal("null", Value(), out);
        default:
            if (*p_ == '-' || is_digit(*p_)) return number(out);
            return fail(msg::expected_value, p_);
        }
    }

    bool literal(std::string_view word, Value v, Value& out) {
        for (char c : word) {
            if (p_ == end_) return fail_at_end(msg::eof_value);
            if (*p_ != c) return fail(msg::expected_ident, p_);
            ++p_;
        }
        out = std::move(v);
        return true;
    }

    bool open_container() {
        if (depth_ == max_depth) return fail(msg::recursion, p_);
        ++depth_;
        ++p_;
        skip_space();
        return true;
    }

    bool array(Value& out) {
        if (!open_container()) return false;
        if (p_ == end_) return fail_at_end(msg::eof_list);
        // Items gather on one stack shared by all levels, so each array is
        // allocated once, at its final size.
        const std::size_t base = items_.size();
        if (*p_ != ']') {
            for (;;) {
                Value item;
                if (!value(item)) return false;
                items_.push_back(std::move(item));
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
        const auto first = items_.begin() + static_cast<std::ptrdiff_t>(base);
        out = Value::array(Array(std::make_move_iterator(first), std::make_move_iterator(items_.end())));
        items_.erase(first, items_.end());
        return true;
    }

    bool object(Value& out) {
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
                Value v;
                if (!value(v)) return false;
                members_[index].value = std::move(v);  // by index: nested members may have moved the stack
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
        out = Value::object(take_members(base));
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
            object.members_.assign(std::make_move_iterator(first), std::make_move_iterator(members_.end()));
        } else {
            // Sorting indices with the parse position as tie-break keeps equal
            // keys in parse order, as a stable sort would.
            order_.resize(n);
            std::iota(order_.begin(), order_.end(), 0u);
            std::sort(order_.begin(), order_.end(), [&](std::uint32_t a, std::uint32_t b) {
                const int c = compare_keys(first[a].key, first[b].key);
                return c < 0 || (c == 0 && a < b);
            });
            object.members_.reserve(n);
            for (std::size_t k = 0; k < n; ++k) {
                Object::Member& m = first[order_[k]];
                if (k + 1 < n && m.key == first[order_[k + 1]].key) continue;
                object.members_.push_back(std::move(m));
            }
        }
        members_.erase(first, members_.end());
        return object;
    }

    bool string(std::string& out) {
        const char* run = ++p_;
        for (;;) {
            p_ = scan::skip(p_, end_, string_stop_bytes, plain_string_byte);
            if (p_ == end_) return fail_at_end(msg::eof_string);
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') break;
            if (c >= 0x80) {
                if (!utf8_sequence()) return false;
            } else if (c == '\\') {
                out.append(run, static_cast<std::size_t>(p_ - run));
                if (!escape(out)) return false;
                run = p_;
            } else {
                return fail(msg::control, p_);
            }
        }
        out.append(run, static_cast<std::size_t>(p_ - run));
        ++p_;
        return true;
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

    // At least one digit, then any more.
    bool digits() {
        if (p_ == end_) return fail_at_end(msg::invalid_number);
        if (!is_digit(*p_)) return fail(msg::invalid_number, p_);
        ++p_;
        while (end_ - p_ >= 8 && eight_digits(p_)) p_ += 8;
        while (p_ != end_ && is_digit(*p_)) ++p_;
        return true;
    }

    bool number(Value& out) {
        const char* start = p_;
        const bool negative = *p_ == '-';
        if (negative && ++p_ == end_) return fail_at_end(msg::invalid_number);
        std::uint64_t magnitude = 0;
        bool overflow = false;
        if (*p_ == '0') {
            if (++p_ != end_ && is_digit(*p_)) return fail(msg::invalid_number, p_);
        } else if (is_digit(*p_)) {
            do {
                overflow |= __builtin_mul_overflow(magnitude, 10u, &magnitude);
                overflow |= __builtin_add_overflow(magnitude, static_cast<unsigned>(*p_ - '0'), &magnitude);
            } while (++p_ != end_ && is_digit(*p_));
        } else {
            return fail(msg::invalid_number, p_);
        }
        bool integral = true;
        if (p_ != end_ && *p_ == '.') {
            integral = false;
            ++p_;
            if (!digits()) return false;
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            integral = false;
            if (++p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (!digits()) return false;
        }
        if (integral && !overflow) {
            if (!negative) {
                out = Value::uint(magnitude);
                return true;
            }
            if (magnitude == 0) {
                out = Value::number(-0.0);
                return true;
            }
            if (magnitude <= std::uint64_t{1} << 63) {
                out = Value::integer(static_cast<std::int64_t>(0 - magnitude));
                return true;
            }
        }
        double d;
        if (std::from_chars(start, p_, d).ec == std::errc::result_out_of_range) {
            if (!underflows(start, p_)) return fail(msg::out_of_range, p_ - 1);
            d = negative ? -0.0 : 0.0;
        }
        out = Value::number(d);
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
    std::vector<std::uint32_t> order_;
};

ParseResult parse(std::string_view text) { return Parser(text).run(); }

std::string ParseError::detail() const {
    return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

}  // namespace tevra::json
