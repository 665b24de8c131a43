// JSON value tree, strict parser and compact writer. Plain C++: no Python here.
#pragma once

#include "json/sequence.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace tevra::json {

class Value;
class Object;

using Array = detail::Sequence<Value>;

// The parser refuses to open a container when this many are already open.
inline constexpr int max_depth = 127;

// Sixteen bytes: the kind in the last, the content in the fifteen before.
class alignas(8) Value {
public:
    // Raw is JSON text written already, which the writer copies as it stands; the parser
    // never makes one. The kinds from String on own memory of their own.
    enum class Kind : std::uint8_t { Null, Bool, UInt, Int, Double, Raw, String, Array, Object };

    Value() noexcept { clear_bytes(); }  // null
    Value(const Value&);
    [[gnu::always_inline]] Value(Value&& other) noexcept { take(other); }
    Value& operator=(const Value&);
    Value& operator=(Value&&) noexcept;
    ~Value() {
        if (kind() >= Kind::String) release();
    }

    static Value null() noexcept { return Value(); }
    static Value boolean(bool b) noexcept;
    static Value uint(std::uint64_t u) noexcept;
    static Value integer(std::int64_t i) noexcept;
    static Value number(double d) noexcept;  // callers only pass finite doubles
    static Value string(std::string_view s);
    // Refers to `json_text`, which must outlive the value and every copy of it: text such as
    // a long string already escaped once can then stand in many places of a document
    // without being escaped or copied again until it is written.
    static Value raw(std::string_view json_text);
    static Value array(Array items = {});
    static Value object();
    static Value object(Object members);

    Kind kind() const noexcept { return static_cast<Kind>(bytes_[15]); }

    // Each accessor requires its own kind and throws std::logic_error otherwise.
    bool as_bool() const;
    std::uint64_t as_uint() const;
    std::int64_t as_int() const;
    double as_double() const;
    std::string_view as_string() const;
    std::string_view as_raw() const;
    const Array& as_array() const;
    Array& as_array();
    const Object& as_object() const;
    Object& as_object();

    // Deep equality. Integers compare by value across UInt and Int; doubles
    // compare bit for bit, so -0.0 differs from 0.0 (they are written differently);
    // raw texts compare by their bytes.
    friend bool operator==(const Value& a, const Value& b);

private:
    friend class Parser;  // builds each value in place, in a null one

    // The kind is byte 15. A string of up to 14 bytes is held in place with
    // its length in byte 14; a longer one as a pointer to its bytes (bytes 0-7)
    // and its length (bytes 8-13), with long_string in byte 14. A scalar, or
    // the Array or Object, sits in the first eight bytes. A raw text is held like a
    // long string, its bytes not owned. Unused bytes stay zero.
    static constexpr std::size_t short_string_max = 14;
    static constexpr unsigned char long_string = 0xFF;

    void set_kind(Kind kind) noexcept { bytes_[15] = static_cast<unsigned char>(kind); }
    void clear_bytes() noexcept { std::memset(bytes_, 0, sizeof bytes_); }  // null
    template <class T>
    T load() const noexcept {
        T x;
        std::memcpy(&x, bytes_, sizeof x);
        return x;
    }
    template <class T>
    void store(Kind kind, T x) noexcept {
        std::memcpy(bytes_, &x, sizeof x);
        set_kind(kind);
    }
    json::Array& array_ref() const noexcept;
    json::Object& object_ref() const noexcept;
    std::string_view string_ref() const noexcept {
        if (bytes_[14] != long_string) return {reinterpret_cast<const char*>(bytes_), bytes_[14]};
        std::size_t n = 0;
        for (int i = 13; i >= 8; --i) n = n << 8 | bytes_[i];
        return {load<const char*>(), n};
    }
    void set_string(std::string_view s);     // into a null value
    void set_view(Kind kind, const char* text, std::size_t n);
    void set_array(json::Array items) noexcept;
    void set_object(json::Object members) noexcept;

    void take(Value& other) noexcept;  // move-constructs into uninitialised *this
    void release() noexcept;           // destroys a string, array or object
    [[noreturn]] void wrong_kind(Kind wanted) const;

    unsigned char bytes_[16];
};

static_assert(sizeof(Value) == 16);

// Members kept in ascending byte order of their keys; keys are unique.
class Object {
public:
    struct Member;
    using const_iterator = const Member*;

    Object();
    Object(const Object&);
    Object(Object&&) noexcept;
    Object& operator=(const Object&);
    Object& operator=(Object&&) noexcept;
    ~Object();

    // Inserting a key that is present replaces its value.
    void insert(std::string key, Value value);
    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);
    void reserve(std::size_t n);
    std::size_t size() const noexcept;
    bool empty() const noexcept { return size() == 0; }
    const_iterator begin() const noexcept;
    const_iterator end() const noexcept;

    friend bool operator==(const Object& a, const Object& b);

private:
    friend class Parser;
    detail::Sequence<Member> members_;
};

struct Object::Member {
    std::string key;
    Value value;
};

struct ParseError {
    std::string message;  // one of the parser's fixed messages
    std::size_t line;     // 1-based
    std::size_t column;   // 1-based
    // "<message> at line L column C"
    std::string detail() const;
};

struct ParseResult {
    Value value;
    std::optional<ParseError> error;
    explicit operator bool() const noexcept { return !error; }
};

// Exactly one value surrounded by optional whitespace (space, tab, LF, CR).
ParseResult parse(std::string_view text);

// Appends the compact form of `value` to `out`, writing into the room `out` already has
// before growing it.
void write(const Value& value, std::string& out);
// Writes the compact form of `value` into the `size` bytes at `buffer`, which need not be
// initialised, and returns its length; nullopt, with the buffer's content undefined, when it
// does not fit with the working room the writer asks for. A buffer of size_hint bytes is
// enough for a value without escapes.
std::optional<std::size_t> write(const Value& value, char* buffer, std::size_t size);
// About the room the compact form needs in a buffer, in one walk over the tree without
// reading strings: its length and the little working room the writer asks for beyond it,
// except that escapes make the text longer (and a double may be shorter than counted).
std::size_t size_hint(const Value& value);
// The compact form in a fresh buffer that starts with room for 128 bytes.
std::string write(const Value& value);

// Inline parts: moves and construction sit on the parser's hot path.

inline Object::Object() = default;
inline Object::Object(Object&&) noexcept = default;
inline Object& Object::operator=(Object&&) noexcept = default;
inline Object::~Object() = default;
inline void Object::reserve(std::size_t n) { members_.reserve(n); }
inline std::size_t Object::size() const noexcept { return members_.size(); }
inline Object::const_iterator Object::begin() const noexcept { return members_.begin(); }
inline Object::const_iterator Object::end() const noexcept { return members_.end(); }

inline Value Value::object() { return object(Object()); }

inline json::Array& Value::array_ref() const noexcept {
    return *std::launder(reinterpret_cast<json::Array*>(const_cast<unsigned char*>(bytes_)));
}

inline json::Object& Value::object_ref() const noexcept {
    return *std::launder(reinterpret_cast<json::Object*>(const_cast<unsigned char*>(bytes_)));
}

// Nothing in a value points back into it, so a move copies its bytes and
// leaves the source null.
[[gnu::always_inline]] inline void Value::take(Value& other) noexcept {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    // A container is moved as the object it is; it leaves a null pointer behind.
    if (kind() == Kind::Array) new (bytes_) json::Array(std::move(other.array_ref()));
    if (kind() == Kind::Object) new (bytes_) json::Object(std::move(other.object_ref()));
    other.clear_bytes();
}

inline Value& Value::operator=(Value&& other) noexcept {
    if (this == &other) return *this;
    if (kind() < Kind::String) {
        take(other);  // nothing to release, and nothing `other` could live in
    } else {
        // `other` may live inside this value, so detach it before releasing.
        Value moved(std::move(other));
        release();
        take(moved);
    }
    return *this;
}

inline Value Value::boolean(bool b) noexcept {
    Value v;
    v.store(Kind::Bool, b);
    return v;
}

inline Value Value::uint(std::uint64_t u) noexcept {
    Value v;
    v.store(Kind::UInt, u);
    return v;
}

inline Value Value::integer(std::int64_t i) noexcept {
    Value v;
    v.store(Kind::Int, i);
    return v;
}

inline Value Value::number(double d) noexcept {
    Value v;
    v.store(Kind::Double, d);
    return v;
}

inline void Value::set_view(Kind kind, const char* text, std::size_t n) {
    std::memcpy(bytes_, &text, sizeof text);
    for (int i = 8; i <= 13; ++i) bytes_[i] = static_cast<unsigned char>(n >> (8 * (i - 8)));
    bytes_[14] = long_string;
    set_kind(kind);
}

inline void Value::set_string(std::string_view s) {
    const std::size_t n = s.size();
    if (n <= short_string_max) {
        if (n) std::memcpy(bytes_, s.data(), n);
        bytes_[14] = static_cast<unsigned char>(n);
        set_kind(Kind::String);
    } else {
        if (n >> 48) throw std::length_error("json string too long");
        char* text = static_cast<char*>(::operator new(n));
        std::memcpy(text, s.data(), n);
        set_view(Kind::String, text, n);
    }
}

inline void Value::set_array(json::Array items) noexcept {
    new (bytes_) json::Array(std::move(items));
    set_kind(Kind::Array);
}

inline void Value::set_object(json::Object members) noexcept {
    new (bytes_) json::Object(std::move(members));
    set_kind(Kind::Object);
}

inline Value Value::string(std::string_view s) {
    Value v;
    v.set_string(s);
    return v;
}

inline Value Value::raw(std::string_view json_text) {
    if (json_text.size() >> 48) throw std::length_error("json text too long");
    Value v;
    v.set_view(Kind::Raw, json_text.data(), json_text.size());
    return v;
}

inline Value Value::array(Array items) {
    Value v;
    v.set_array(std::move(items));
    return v;
}

inline Value Value::object(Object members) {
    Value v;
    v.set_object(std::move(members));
    return v;
}

inline bool Value::as_bool() const {
    if (kind() != Kind::Bool) wrong_kind(Kind::Bool);
    return load<bool>();
}

inline std::uint64_t Value::as_uint() const {
    if (kind() != Kind::UInt) wrong_kind(Kind::UInt);
    return load<std::uint64_t>();
}

inline std::int64_t Value::as_int() const {
    if (kind() != Kind::Int) wrong_kind(Kind::Int);
    return load<std::int64_t>();
}

inline double Value::as_double() const {
    if (kind() != Kind::Double) wrong_kind(Kind::Double);
    return load<double>();
}

inline std::string_view Value::as_string() const {
    if (kind() != Kind::String) wrong_kind(Kind::String);
    return string_ref();
}

inline std::string_view Value::as_raw() const {
    if (kind() != Kind::Raw) wrong_kind(Kind::Raw);
    return string_ref();
}

inline const Array& Value::as_array() const {
    if (kind() != Kind::Array) wrong_kind(Kind::Array);
    return array_ref();
}

inline Array& Value::as_array() {
    if (kind() != Kind::Array) wrong_kind(Kind::Array);
    return array_ref();
}

inline const Object& Value::as_object() const {
    if (kind() != Kind::Object) wrong_kind(Kind::Object);
    return object_ref();
}

inline Object& Value::as_object() {
    if (kind() != Kind::Object) wrong_kind(Kind::Object);
    return object_ref();
}

}  // namespace tevra::json
