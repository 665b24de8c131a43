// Compact writer: no whitespace, members in the tree's key order, raw UTF-8.
#include "json/json.hpp"
#include "json/word_at_a_time.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>

namespace tevra::json {

namespace {

constexpr std::uint64_t needs_escape(std::uint64_t w) {
    return word::bytes_equal(w, '"') | word::bytes_equal(w, '\\') | word::bytes_below(w, 0x20);
}

// Writes v in decimal at o, with eight bytes of slack beyond it; returns the end.
inline char* write_decimal(char* o, std::uint64_t v) {
    auto leading = [&o](std::uint32_t part) {
        if (part < 10) {  // one digit: small numbers, and the head of nine-digit ones
            *o++ = static_cast<char>('0' + part);
            return;
        }
        // The first part without its leading zeros.
        const std::uint64_t d = word::eight_digit_lanes(part);
        const int zeros = word::first_flagged(d);
        const std::uint64_t w = (d + word::ascii_zeros) >> (8 * zeros);
        std::memcpy(o, &w, 8);
        o += 8 - zeros;
    };
    auto full = [&o](std::uint32_t part) {
        const std::uint64_t w = word::eight_digit_lanes(part) + word::ascii_zeros;
        std::memcpy(o, &w, 8);
        o += 8;
    };
    if (v < 100'000'000) {
        leading(static_cast<std::uint32_t>(v));
    } else if (v < 10'000'000'000'000'000) {
        leading(static_cast<std::uint32_t>(v / 100'000'000));
        full(static_cast<std::uint32_t>(v % 100'000'000));
    } else {
        leading(static_cast<std::uint32_t>(v / 10'000'000'000'000'000));
        v %= 10'000'000'000'000'000;
        full(static_cast<std::uint32_t>(v / 100'000'000));
        full(static_cast<std::uint32_t>(v % 100'000'000));
    }
    return o;
}

// A fixed buffer has run out of room.
struct DoesNotFit {};

// Writes straight into the output string: it is grown ahead of need and cut
// back to the bytes written when the writer is done. Growing is the one place
// the string moves, so the write position is a pointer. Given a fixed buffer
// instead, it throws DoesNotFit where it would grow.
class Writer {
public:
    explicit Writer(std::string& out) : out_(&out), o_(out.data() + out.size()), limit_(o_) {}
    Writer(char* buffer, std::size_t size) : out_(nullptr), o_(buffer), limit_(buffer + size) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer() {
        if (out_) out_->resize(static_cast<std::size_t>(o_ - out_->data()));
    }

    char* position() const { return o_; }

    // Scalars are written in place; arrays and objects, which recurse, in
    // functions of their own, each with this inlined, so that a scalar item
    // costs no call. The rarer scalars (doubles, raw texts) are written out of
    // line, to keep the registers this saves few.
    [[gnu::always_inline]] void value(const Value& v) {
        switch (v.kind()) {
        case Value::Kind::Null: put("null", 4); return;
        case Value::Kind::Bool: v.as_bool() ? put("true", 4) : put("false", 5); return;
        case Value::Kind::UInt: integer(v.as_uint()); return;
        case Value::Kind::Int: integer(v.as_int()); return;
        case Value::Kind::Double: number(v.as_double()); return;
        case Value::Kind::Raw: raw(v.as_raw()); return;
        case Value::Kind::String: string(v.as_string()); return;
        case Value::Kind::Array: array(v.as_array()); return;
        case Value::Kind::Object: object(v.as_object()); return;
        }
    }

private:
    [[gnu::noinline]] void array(const Array& items) {
        put('[');
        bool first = true;
        for (const Value& item : items) {
            if (!first) put(',');
            first = false;
            value(item);
        }
        put(']');
    }

    [[gnu::noinline]] void object(const Object& members) {
        put('{');
        bool first = true;
        for (const Object::Member& m : members) {
            if (!first) put(',');
            first = false;
            string(m.key);
            put(':');
            value(m.value);
        }
        put('}');
    }

    // Room for `n` more bytes at o_.
    char* room(std::size_t n) {
        if (static_cast<std::size_t>(limit_ - o_) < n) grow(n);
        return o_;
    }

    [[gnu::noinline]] void grow(std::size_t n) {
        if (!out_) throw DoesNotFit();
        const auto used = static_cast<std::size_t>(o_ - out_->data());
        out_->resize(std::max({used + n, 2 * out_->size(), out_->capacity()}));
        o_ = out_->data() + used;
        limit_ = out_->data() + out_->size();
    }

    void put(char c) { *room(1) = c, ++o_; }

    void put(const char* s, std::size_t n) {
        std::memcpy(room(n), s, n);
        o_ += n;
    }

    [[gnu::noinline]] void raw(std::string_view text) { put(text.data(), text.size()); }

    void integer(std::uint64_t u) { o_ = write_decimal(room(20 + 8), u); }

    void integer(std::int64_t i) {
        char* o = room(1 + 20 + 8);
        if (i < 0) *o++ = '-';
        o_ = write_decimal(o, i < 0 ? 0 - static_cast<std::uint64_t>(i) : static_cast<std::uint64_t>(i));
    }

    // Scanning and copying in one pass: each word of up to eight source bytes
    // is stored whole, then the output advances only over the bytes that need
    // no escape, so eight bytes of slack are kept beyond the text.
    void string(std::string_view s) {
        const char* p = s.data();
        const char* end = p + s.size();
        char* o = room(s.size() + 2 + 8);
        *o++ = '"';
        if constexpr (std::endian::native != std::endian::little) {
            // Words would hold their bytes the other way round: byte by byte.
            for (; p != end; ++p) {
                if (const auto c = static_cast<unsigned char>(*p); c >= 0x20 && c != '"' && c != '\\') {
                    *o++ = *p;
                    continue;
                }
                o_ = o;
                escape(static_cast<unsigned char>(*p));
                o = room(static_cast<std::size_t>(end - p) + 8);
            }
        }
        while (p != end) {
            const auto n = static_cast<std::size_t>(std::min<std::ptrdiff_t>(end - p, 8));
            const std::uint64_t w = word::load_up_to_eight(p, n);
            std::memcpy(o, &w, 8);
            // The zero bytes above a short load would read as control characters.
            const std::uint64_t hits = needs_escape(w) & (n == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * n)) - 1);
            if (!hits) {
                p += n;
                o += n;
                continue;
            }
            const auto plain = static_cast<std::size_t>(std::countr_zero(hits) / 8);
            p += plain;
            o_ = o + plain;
            escape(static_cast<unsigned char>(*p++));
            o = room(static_cast<std::size_t>(end - p) + 1 + 8);
        }
        *o++ = '"';
        o_ = o;
    }

    void escape(unsigned char c) {
        switch (c) {
        case '"': put("\\\"", 2); return;
        case '\\': put("\\\\", 2); return;
        case '\b': put("\\b", 2); return;
        case '\t': put("\\t", 2); return;
        case '\n': put("\\n", 2); return;
        case '\f': put("\\f", 2); return;
        case '\r': put("\\r", 2); return;
        default: {
            constexpr char hex[] = "0123456789abcdef";
            const char escaped[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
            put(escaped, sizeof escaped);
        }
        }
    }

    // Shortest round-trip digits, laid out by the decimal exponent of the first
    // digit: fixed notation from 1e-5 up to 1e16, scientific beyond.
    [[gnu::noinline]] void number(double d) {
        if (!std::isfinite(d)) return put("null", 4);
        if (d == 0) return std::signbit(d) ? put("-0.0", 4) : put("0.0", 3);

        // to_chars gives "[-]d[.ddd]e±xx" with the shortest digits, at most 17.
        char sci[32];
        const char* sci_end = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific).ptr;
        const char* lead = sci;
        char* o = room(32);  // sign, "0.", four zeros and 17 digits at most
        if (*lead == '-') *o++ = *lead++;
        const char* e = sci_end - 3;
        while (*e != 'e') --e;
        int exponent = 0;
        for (const char* x = e + 2; x != sci_end; ++x) exponent = exponent * 10 + (*x - '0');
        if (e[1] == '-') exponent = -exponent;
        const char* rest = lead + 2;  // digits after the first
        const int more = e - lead > 1 ? static_cast<int>(e - rest) : 0;

        auto copy = [&o](const char* from, int count) {
            std::memcpy(o, from, static_cast<std::size_t>(count));
            o += count;
        };
        auto zeros = [&o](int count) {
            std::memset(o, '0', static_cast<std::size_t>(count));
            o += count;
        };
        if (exponent < -5 || exponent > 15) {
            copy(lead, static_cast<int>(e - lead));
            *o++ = 'e';
            *o++ = exponent < 0 ? '-' : '+';
            const char* x = e + 2;
            if (*x == '0') ++x;  // at least two exponent digits come out
            copy(x, static_cast<int>(sci_end - x));
        } else if (exponent < 0) {
            copy("0.", 2);
            zeros(-exponent - 1);
            *o++ = *lead;
            copy(rest, more);
        } else if (exponent >= more) {
            *o++ = *lead;
            copy(rest, more);
            zeros(exponent - more);
            copy(".0", 2);
        } else {
            *o++ = *lead;
            copy(rest, exponent);
            *o++ = '.';
            copy(rest + exponent, more - exponent);
        }
        o_ = o;
    }

    std::string* out_;  // null for a fixed buffer
    char* o_;      // where the next byte goes
    char* limit_;  // the end of out_'s current size
};

}  // namespace

void write(const Value& value, std::string& out) { Writer(out).value(value); }

std::optional<std::size_t> write(const Value& value, char* buffer, std::size_t size) {
    try {
        Writer writer(buffer, size);
        writer.value(value);
        return static_cast<std::size_t>(writer.position() - buffer);
    } catch (const DoesNotFit&) {
        return std::nullopt;
    }
}

namespace {

std::size_t decimal_length(std::uint64_t u) {
    std::size_t n = 1;
    while (u >= 10) u /= 10, ++n;
    return n;
}

std::size_t text_size(const Value& value) {
    switch (value.kind()) {
    case Value::Kind::Null: return 4;
    case Value::Kind::Bool: return value.as_bool() ? 4 : 5;
    case Value::Kind::UInt: return decimal_length(value.as_uint());
    case Value::Kind::Int: {
        const std::int64_t i = value.as_int();
        return (i < 0) + decimal_length(i < 0 ? 0 - static_cast<std::uint64_t>(i) : static_cast<std::uint64_t>(i));
    }
    case Value::Kind::Double: return 24;  // sign, "0.", four zeros and 17 digits, or "d.", 16 digits and "e-308"
    case Value::Kind::Raw: return value.as_raw().size();
    case Value::Kind::String: return value.as_string().size() + 2;
    case Value::Kind::Array: {
        const Array& items = value.as_array();
        std::size_t n = 2 + (items.empty() ? 0 : items.size() - 1);
        for (const Value& item : items) n += text_size(item);
        return n;
    }
    case Value::Kind::Object: {
        const Object& members = value.as_object();
        std::size_t n = 2 + (members.empty() ? 0 : members.size() - 1);
        for (const Object::Member& m : members) n += m.key.size() + 3 + text_size(m.value);
        return n;
    }
    }
    return 0;
}

}  // namespace

// The writer asks for room for the longest number (sign, "0.", four zeros and seventeen
// digits) or eight bytes past a string before it writes: this much beyond the text.
std::size_t size_hint(const Value& value) { return text_size(value) + 32; }

std::string write(const Value& value) {
    std::string out;
    out.reserve(128);
    write(value, out);
    return out;
}

}  // namespace tevra::json
