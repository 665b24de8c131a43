// Compact writer: no whitespace, members in the tree's key order, raw UTF-8.
#include "json/json.hpp"
#include "json/scan.hpp"

#include <charconv>
#include <cmath>

namespace tevra::json {

namespace {

constexpr bool verbatim(unsigned char c) { return c >= 0x20 && c != '"' && c != '\\'; }

constexpr std::uint64_t needs_escape(std::uint64_t w) {
    return scan::bytes_equal(w, '"') | scan::bytes_equal(w, '\\') | scan::bytes_below(w, 0x20);
}

void write_escape(unsigned char c, std::string& out) {
    switch (c) {
    case '"': out.append("\\\""); return;
    case '\\': out.append("\\\\"); return;
    case '\b': out.append("\\b"); return;
    case '\t': out.append("\\t"); return;
    case '\n': out.append("\\n"); return;
    case '\f': out.append("\\f"); return;
    case '\r': out.append("\\r"); return;
    default: {
        constexpr char hex[] = "0123456789abcdef";
        const char escaped[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
        out.append(escaped, sizeof escaped);
    }
    }
}

void write_string(std::string_view s, std::string& out) {
    out.push_back('"');
    const char* p = s.data();
    const char* end = p + s.size();
    for (;;) {
        const char* run = p;
        p = scan::skip(p, end, needs_escape, verbatim);
        out.append(run, p);
        if (p == end) break;
        write_escape(static_cast<unsigned char>(*p++), out);
    }
    out.push_back('"');
}

template <class Int>
void write_integer(Int i, std::string& out) {
    char buf[24];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, i).ptr);
}

// Shortest round-trip digits, laid out by the decimal exponent of the first
// digit: fixed notation from 1e-5 up to 1e16, scientific beyond.
void write_double(double d, std::string& out) {
    if (!std::isfinite(d)) {
        out.append("null");
        return;
    }
    if (d == 0) {
        out.append(std::signbit(d) ? "-0.0" : "0.0");
        return;
    }
    char sci[32];  // "[-]d[.ddd]e±x", at most 17 digits
    const char* sci_end = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific).ptr;
    const char* p = sci;
    char buf[32];
    char* o = buf;
    if (*p == '-') *o++ = *p++;
    char digits[17];
    int n = 0;
    for (; *p != 'e'; ++p)
        if (*p != '.') digits[n++] = *p;
    ++p;
    if (*p == '+') ++p;  // from_chars takes '-' only
    int exponent = 0;
    std::from_chars(p, sci_end, exponent);

    auto put = [&o](const char* from, int count) {
        for (int i = 0; i < count; ++i) *o++ = from[i];
    };
    auto zeros = [&o](int count) {
        for (int i = 0; i < count; ++i) *o++ = '0';
    };
    if (exponent >= -5 && exponent <= 15) {
        if (exponent < 0) {
            *o++ = '0';
            *o++ = '.';
            zeros(-exponent - 1);
            put(digits, n);
        } else if (exponent >= n - 1) {
            put(digits, n);
            zeros(exponent - (n - 1));
            *o++ = '.';
            *o++ = '0';
        } else {
            put(digits, exponent + 1);
            *o++ = '.';
            put(digits + exponent + 1, n - exponent - 1);
        }
    } else {
        *o++ = digits[0];
        if (n > 1) {
            *o++ = '.';
            put(digits + 1, n - 1);
        }
        *o++ = 'e';
        *o++ = exponent < 0 ? '-' : '+';
        o = std::to_chars(o, buf + sizeof buf, exponent < 0 ? -exponent : exponent).ptr;
    }
    out.append(buf, o);
}

void write_value(const Value& v, std::string& out) {
    switch (v.kind()) {
    case Value::Kind::Null: out.append("null"); return;
    case Value::Kind::Bool: out.append(v.as_bool() ? "true" : "false"); return;
    case Value::Kind::UInt: write_integer(v.as_uint(), out); return;
    case Value::Kind::Int: write_integer(v.as_int(), out); return;
    case Value::Kind::Double: write_double(v.as_double(), out); return;
    case Value::Kind::String: write_string(v.as_string(), out); return;
    case Value::Kind::Array: {
        out.push_back('[');
        bool first = true;
        for (const Value& item : v.as_array()) {
            if (!first) out.push_back(',');
            first = false;
            write_value(item, out);
        }
        out.push_back(']');
        return;
    }
    case Value::Kind::Object: {
        out.push_back('{');
        bool first = true;
        for (const Object::Member& m : v.as_object()) {
            if (!first) out.push_back(',');
            first = false;
            write_string(m.key, out);
            out.push_back(':');
            write_value(m.value, out);
        }
        out.push_back('}');
        return;
    }
    }
}

}  // namespace

void write(const Value& value, std::string& out) { write_value(value, out); }

std::string write(const Value& value) {
    std::string out;
    out.reserve(128);
    write_value(value, out);
    return out;
}

}  // namespace tevra::json
