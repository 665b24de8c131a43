#include "reference_json.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace reference {

namespace {

struct Failure {
    const char* message;
    std::size_t offset;
};

bool digit(char c) { return c >= '0' && c <= '9'; }

int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

class Parser {
public:
    explicit Parser(std::string_view s) : s_(s) {}

    Value document() {
        Value v = value();
        skip_space();
        if (i_ != s_.size()) throw Failure{"trailing characters", i_};
        return v;
    }

private:
    bool at_end() const { return i_ == s_.size(); }
    char here() const { return s_[i_]; }
    [[noreturn]] void fail_here(const char* message) const { throw Failure{message, i_}; }
    // Input ran out: the error points at the last byte.
    [[noreturn]] void fail_at_end(const char* message) const {
        throw Failure{message, s_.empty() ? 0 : s_.size() - 1};
    }

    void skip_space() {
        while (!at_end() && (here() == ' ' || here() == '\t' || here() == '\n' || here() == '\r')) ++i_;
    }

    Value value() {
        skip_space();
        if (at_end()) fail_at_end("EOF while parsing a value");
        const char c = here();
        if (c == '{') return object();
        if (c == '[') return array();
        if (c == '"') {
            Value v;
            v.kind = Value::Kind::String;
            v.text = string();
            return v;
        }
        if (c == 't') return literal("true");
        if (c == 'f') return literal("false");
        if (c == 'n') return literal("null");
        if (c == '-' || digit(c)) return number();
        fail_here("expected value");
    }

    Value literal(std::string_view word) {
        for (char c : word) {
            if (at_end()) fail_at_end("EOF while parsing a value");
            if (here() != c) fail_here("expected ident");
            ++i_;
        }
        Value v;
        if (word != "null") {
            v.kind = Value::Kind::Bool;
            v.boolean = word == "true";
        }
        return v;
    }

    void open() {
        if (depth_ == 127) fail_here("recursion limit exceeded");
        ++depth_;
        ++i_;
        skip_space();
    }

    Value array() {
        open();
        Value v;
        v.kind = Value::Kind::Array;
        if (at_end()) fail_at_end("EOF while parsing a list");
        if (here() != ']') {
            for (;;) {
                v.items.push_back(value());
                skip_space();
                if (at_end()) fail_at_end("EOF while parsing a list");
                if (here() == ']') break;
                if (here() != ',') fail_here("expected `,` or `]`");
                ++i_;
                skip_space();
                if (!at_end() && here() == ']') fail_here("trailing comma");
            }
        }
        ++i_;
        --depth_;
        return v;
    }

    Value object() {
        open();
        Value v;
        v.kind = Value::Kind::Object;
        if (at_end()) fail_at_end("EOF while parsing an object");
        if (here() != '}') {
            for (;;) {
                if (here() != '"') {
                    const char c = here();
                    const bool other_value = c == '{' || c == '[' || c == '-' || digit(c) || c == 't' || c == 'f' || c == 'n';
                    fail_here(other_value ? "key must be a string" : "expected `\"`");
                }
                std::string key = string();
                skip_space();
                if (at_end()) fail_at_end("EOF while parsing an object");
                if (here() != ':') fail_here("expected `:`");
                ++i_;
                Value member = value();
                auto& ms = v.members;
                auto it = std::find_if(ms.begin(), ms.end(), [&](const auto& m) { return m.key >= key; });
                if (it != ms.end() && it->key == key)
                    it->value = std::move(member);  // a repeated key: the later value wins
                else
                    ms.insert(it, Member{std::move(key), std::move(member)});
                skip_space();
                if (at_end()) fail_at_end("EOF while parsing an object");
                if (here() == '}') break;
                if (here() != ',') fail_here("expected `,` or `}`");
                ++i_;
                skip_space();
                if (at_end()) fail_at_end("EOF while parsing an object");
                if (here() == '}') fail_here("trailing comma");
            }
        }
        ++i_;
        --depth_;
        return v;
    }

    std::string string() {
        std::string out;
        ++i_;
        for (;;) {
            if (at_end()) fail_at_end("EOF while parsing a string");
            const auto c = static_cast<unsigned char>(here());
            if (c == '"') {
                ++i_;
                return out;
            }
            if (c == '\\') {
                escape(out);
            } else if (c < 0x20) {
                fail_here("control character (\\u0000-\\u001F) found while parsing a string");
            } else if (c < 0x80) {
                out += static_cast<char>(c);
                ++i_;
            } else {
                utf8(out);
            }
        }
    }

    // One well-formed UTF-8 sequence: the lead byte fixes the count of continuation bytes
    // and the range of the first; the others are 80-BF.
    void utf8(std::string& out) {
        const auto lead = static_cast<unsigned char>(here());
        int count;
        unsigned low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            count = 1;
        } else if (lead == 0xE0) {
            count = 2, low = 0xA0;
        } else if (lead == 0xED) {
            count = 2, high = 0x9F;  // no surrogates
        } else if (lead >= 0xE1 && lead <= 0xEF) {
            count = 2;
        } else if (lead == 0xF0) {
            count = 3, low = 0x90;
        } else if (lead == 0xF4) {
            count = 3, high = 0x8F;  // nothing above U+10FFFF
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            count = 3;
        } else {
            fail_here("invalid unicode code point");
        }
        out += static_cast<char>(lead);
        for (int k = 0; k < count; ++k) {
            ++i_;
            if (at_end()) fail_at_end("EOF while parsing a string");
            const auto c = static_cast<unsigned char>(here());
            if (c < low || c > high) fail_here("invalid unicode code point");
            out += static_cast<char>(c);
            low = 0x80, high = 0xBF;
        }
        ++i_;
    }

    void escape(std::string& out) {
        ++i_;
        if (at_end()) fail_at_end("EOF while parsing a string");
        switch (here()) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': return unicode(out);
        default: fail_here("invalid escape");
        }
        ++i_;
    }

    // At the 'u'; ends past the fourth digit.
    std::uint32_t hex4() {
        std::uint32_t code = 0;
        for (int k = 0; k < 4; ++k) {
            ++i_;
            if (at_end()) fail_at_end("EOF while parsing a string");
            const int h = hex(here());
            if (h < 0) fail_here("unexpected end of hex escape");
            code = code * 16 + static_cast<std::uint32_t>(h);
        }
        ++i_;
        return code;
    }

    void unicode(std::string& out) {
        std::uint32_t code = hex4();
        if (code >= 0xD800 && code <= 0xDBFF) {
            if (at_end()) fail_at_end("EOF while parsing a string");
            if (here() != '\\') fail_here("lone leading surrogate in hex escape");
            ++i_;
            if (at_end()) fail_at_end("EOF while parsing a string");
            if (here() != 'u') fail_here("lone leading surrogate in hex escape");
            const std::uint32_t trail = hex4();
            if (trail < 0xDC00 || trail > 0xDFFF) throw Failure{"lone leading surrogate in hex escape", i_ - 1};
            code = 0x10000 + (code - 0xD800) * 0x400 + (trail - 0xDC00);
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
            throw Failure{"invalid unicode code point", i_ - 1};
        }
        append_utf8(out, code);
    }

    void digits_required() {
        if (at_end()) fail_at_end("invalid number");
        if (!digit(here())) fail_here("invalid number");
        while (!at_end() && digit(here())) ++i_;
    }

    Value number() {
        const std::size_t start = i_;
        const bool negative = here() == '-';
        if (negative) ++i_;
        if (!at_end() && here() == '0') {
            ++i_;
            if (!at_end() && digit(here())) fail_here("invalid number");
        } else {
            digits_required();
        }
        bool integral = true;
        if (!at_end() && here() == '.') {
            integral = false;
            ++i_;
            digits_required();
        }
        if (!at_end() && (here() == 'e' || here() == 'E')) {
            integral = false;
            ++i_;
            if (!at_end() && (here() == '+' || here() == '-')) ++i_;
            digits_required();
        }
        const std::string text(s_.substr(start, i_ - start));
        Value v;
        if (integral) {
            std::uint64_t magnitude = 0;
            bool fits = true;
            for (char c : text) {
                if (c == '-') continue;
                const auto d = static_cast<std::uint64_t>(c - '0');
                if (magnitude > (UINT64_MAX - d) / 10) fits = false;
                if (fits) magnitude = magnitude * 10 + d;
            }
            if (fits && !negative) {
                v.kind = Value::Kind::UInt;
                v.uint = magnitude;
                return v;
            }
            if (fits && magnitude != 0 && magnitude <= std::uint64_t{1} << 63) {
                v.kind = Value::Kind::Int;
                v.integer = magnitude == std::uint64_t{1} << 63 ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
                return v;
            }
        }
        errno = 0;
        const double d = std::strtod(text.c_str(), nullptr);
        if (std::isinf(d)) throw Failure{"number out of range", i_ - 1};
        v.kind = Value::Kind::Double;
        v.number = d;
        return v;
    }

    std::string_view s_;
    std::size_t i_ = 0;
    int depth_ = 0;
};

// The shortest "%.Ne" form that reads back as d (d > 0): its digits and decimal exponent.
void shortest(double d, std::string& digits, int& exponent) {
    char buf[64];
    for (int precision = 0; precision <= 16; ++precision) {
        std::snprintf(buf, sizeof buf, "%.*e", precision, d);
        if (std::strtod(buf, nullptr) == d) break;
    }
    digits.clear();
    const char* p = buf;
    for (; *p != 'e'; ++p)
        if (*p != '.') digits += *p;
    exponent = std::atoi(p + 1);
}

void write_double(double d, std::string& out) {
    if (!std::isfinite(d)) {
        out += "null";
        return;
    }
    if (std::signbit(d)) out += '-';
    d = std::fabs(d);
    if (d == 0) {
        out += "0.0";
        return;
    }
    std::string digits;
    int e;
    shortest(d, digits, e);
    const int n = static_cast<int>(digits.size());
    if (e < -5 || e > 15) {
        out += digits[0];
        if (n > 1) out += "." + digits.substr(1);
        out += e < 0 ? "e-" : "e+";
        out += std::to_string(std::abs(e));
    } else if (e < 0) {
        out += "0." + std::string(static_cast<std::size_t>(-e - 1), '0') + digits;
    } else if (n <= e + 1) {
        out += digits + std::string(static_cast<std::size_t>(e + 1 - n), '0') + ".0";
    } else {
        out += digits.substr(0, static_cast<std::size_t>(e + 1)) + "." + digits.substr(static_cast<std::size_t>(e + 1));
    }
}

void write_string(const std::string& s, std::string& out) {
    out += '"';
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\f': out += "\\f"; break;
        case '\r': out += "\\r"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

void write_value(const Value& v, std::string& out) {
    switch (v.kind) {
    case Value::Kind::Null: out += "null"; break;
    case Value::Kind::Bool: out += v.boolean ? "true" : "false"; break;
    case Value::Kind::UInt: out += std::to_string(v.uint); break;
    case Value::Kind::Int: out += std::to_string(v.integer); break;
    case Value::Kind::Double: write_double(v.number, out); break;
    case Value::Kind::String: write_string(v.text, out); break;
    case Value::Kind::Array:
        out += '[';
        for (std::size_t k = 0; k < v.items.size(); ++k) {
            if (k) out += ',';
            write_value(v.items[k], out);
        }
        out += ']';
        break;
    case Value::Kind::Object:
        out += '{';
        for (std::size_t k = 0; k < v.members.size(); ++k) {
            if (k) out += ',';
            write_string(v.members[k].key, out);
            out += ':';
            write_value(v.members[k].value, out);
        }
        out += '}';
        break;
    }
}

}  // namespace

Result parse(std::string_view text) {
    Result r;
    try {
        r.value = Parser(text).document();
        r.ok = true;
    } catch (const Failure& f) {
        r.message = f.message;
        r.offset = f.offset;
    }
    return r;
}

std::string write(const Value& value) {
    std::string out;
    write_value(value, out);
    return out;
}

}  // namespace reference
