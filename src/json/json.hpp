// JSON value tree, strict parser and compact writer. Plain C++: no Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tevra::json {

class Value;
class Object;
using Array = std::vector<Value>;

// The parser refuses to open a container when this many are already open.
inline constexpr int max_depth = 127;

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
    std::vector<Member> members_;
};

class Value {
public:
    enum class Kind : std::uint8_t { Null, Bool, UInt, Int, Double, String, Array, Object };

    Value() noexcept : u_(0), kind_(Kind::Null) {}  // null
    Value(const Value&);
    [[gnu::always_inline]] Value(Value&& other) noexcept { take(other); }
    Value& operator=(const Value&);
    Value& operator=(Value&&) noexcept;
    ~Value() {
        if (kind_ >= Kind::String) release();
    }

    static Value null() noexcept { return Value(); }
    static Value boolean(bool b) noexcept;
    static Value uint(std::uint64_t u) noexcept;
    static Value integer(std::int64_t i) noexcept;
    static Value number(double d) noexcept;  // callers only pass finite doubles
    static Value string(std::string s);
    static Value string(std::string_view s) { return string(std::string(s)); }
    static Value string(const char* s) { return string(std::string(s)); }  // a literal would be ambiguous
    static Value array(Array items = {});
    static Value object() { return object(Object()); }
    static Value object(Object members);

    Kind kind() const noexcept { return kind_; }

    // Each accessor requires its own kind and throws std::logic_error otherwise.
    bool as_bool() const;
    std::uint64_t as_uint() const;
    std::int64_t as_int() const;
    double as_double() const;
    const std::string& as_string() const;
    const Array& as_array() const;
    Array& as_array();
    const Object& as_object() const;
    Object& as_object();

    // Deep equality. Integers compare by value across UInt and Int; doubles
    // compare bit for bit, so -0.0 differs from 0.0 (they are written differently).
    friend bool operator==(const Value& a, const Value& b);

private:
    friend class Parser;  // builds each value in place, in a null one

    void take(Value& other) noexcept;  // move-constructs into uninitialised *this
    void release() noexcept;           // destroys a string, array or object
    [[noreturn]] void wrong_kind(Kind wanted) const;

    union {
        bool b_;
        std::uint64_t u_;
        std::int64_t i_;
        double d_;
        std::string s_;
        json::Array a_;
        json::Object o_;
    };
    Kind kind_;
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

// Appends the compact form of `value` to `out`.
void write(const Value& value, std::string& out);
// The compact form in a fresh buffer that starts with room for 128 bytes.
std::string write(const Value& value);

// Inline parts: moves and construction sit on the parser's hot path.

inline Object::Object() = default;
inline Object::Object(Object&&) noexcept = default;
inline Object& Object::operator=(Object&&) noexcept = default;
inline Object::~Object() = default;
inline void Object::reserve(std::size_t n) { members_.reserve(n); }
inline std::size_t Object::size() const noexcept { return members_.size(); }
inline Object::const_iterator Object::begin() const noexcept { return members_.data(); }
inline Object::const_iterator Object::end() const noexcept { return members_.data() + members_.size(); }

// Always inlined: moves fill every array the parser builds.
[[gnu::always_inline]] inline void Value::take(Value& other) noexcept {
    kind_ = other.kind_;
    if (kind_ < Kind::String) {
        // Every scalar lives in the first eight bytes; the default
        // constructor zeroes them, so they are always initialised.
        std::memcpy(static_cast<void*>(&u_), &other.u_, sizeof u_);
    } else {
        switch (kind_) {
        case Kind::String:
            new (&s_) std::string(std::move(other.s_));
            other.s_.~basic_string();
            break;
        case Kind::Array:
            new (&a_) json::Array(std::move(other.a_));
            other.a_.~vector();
            break;
        default:
            new (&o_) json::Object(std::move(other.o_));
            other.o_.~Object();
            break;
        }
    }
    // A moved-from value is null, so destroying it costs nothing.
    other.kind_ = Kind::Null;
    other.u_ = 0;
}

inline Value& Value::operator=(Value&& other) noexcept {
    if (this == &other) return *this;
    if (kind_ < Kind::String) {
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
    v.b_ = b;
    v.kind_ = Kind::Bool;
    return v;
}

inline Value Value::uint(std::uint64_t u) noexcept {
    Value v;
    v.u_ = u;
    v.kind_ = Kind::UInt;
    return v;
}

inline Value Value::integer(std::int64_t i) noexcept {
    Value v;
    v.i_ = i;
    v.kind_ = Kind::Int;
    return v;
}

inline Value Value::number(double d) noexcept {
    Value v;
    v.d_ = d;
    v.kind_ = Kind::Double;
    return v;
}

inline Value Value::string(std::string s) {
    Value v;
    new (&v.s_) std::string(std::move(s));
    v.kind_ = Kind::String;
    return v;
}

inline Value Value::array(Array items) {
    Value v;
    new (&v.a_) json::Array(std::move(items));
    v.kind_ = Kind::Array;
    return v;
}

inline Value Value::object(Object members) {
    Value v;
    new (&v.o_) json::Object(std::move(members));
    v.kind_ = Kind::Object;
    return v;
}

inline bool Value::as_bool() const {
    if (kind_ != Kind::Bool) wrong_kind(Kind::Bool);
    return b_;
}

inline std::uint64_t Value::as_uint() const {
    if (kind_ != Kind::UInt) wrong_kind(Kind::UInt);
    return u_;
}

inline std::int64_t Value::as_int() const {
    if (kind_ != Kind::Int) wrong_kind(Kind::Int);
    return i_;
}

inline double Value::as_double() const {
    if (kind_ != Kind::Double) wrong_kind(Kind::Double);
    return d_;
}

inline const std::string& Value::as_string() const {
    if (kind_ != Kind::String) wrong_kind(Kind::String);
    return s_;
}

inline const Array& Value::as_array() const {
    if (kind_ != Kind::Array) wrong_kind(Kind::Array);
    return a_;
}

inline Array& Value::as_array() {
    if (kind_ != Kind::Array) wrong_kind(Kind::Array);
    return a_;
}

inline const Object& Value::as_object() const {
    if (kind_ != Kind::Object) wrong_kind(Kind::Object);
    return o_;
}

inline Object& Value::as_object() {
    if (kind_ != Kind::Object) wrong_kind(Kind::Object);
    return o_;
}

}  // namespace tevra::json
