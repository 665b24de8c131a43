// The value tree: deep copies, equality and the sorted object.
#include "json/json.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace tevra::json {

namespace {

const char* kind_name(Value::Kind kind) {
    switch (kind) {
    case Value::Kind::Null: return "null";
    case Value::Kind::Bool: return "boolean";
    case Value::Kind::UInt: return "unsigned integer";
    case Value::Kind::Int: return "signed integer";
    case Value::Kind::Double: return "double";
    case Value::Kind::Raw: return "raw text";
    case Value::Kind::String: return "string";
    case Value::Kind::Array: return "array";
    case Value::Kind::Object: return "object";
    }
    return "unknown";
}

bool key_less(const Object::Member& m, std::string_view key) { return std::string_view(m.key) < key; }

}  // namespace

Value::Value(const Value& other) : Value() {
    switch (other.kind()) {
    case Kind::String: set_string(other.string_ref()); break;
    case Kind::Array: set_array(other.array_ref()); break;
    case Kind::Object: set_object(other.object_ref()); break;
    default: std::memcpy(bytes_, other.bytes_, sizeof bytes_); break;
    }
}

Value& Value::operator=(const Value& other) {
    if (this != &other) *this = Value(other);
    return *this;
}

void Value::release() noexcept {
    switch (kind()) {
    case Kind::String:
        if (bytes_[14] == long_string) ::operator delete(const_cast<char*>(load<const char*>()));
        break;
    case Kind::Array: array_ref().~Sequence(); break;
    case Kind::Object: object_ref().~Object(); break;
    default: break;
    }
    clear_bytes();
}

void Value::wrong_kind(Kind wanted) const {
    throw std::logic_error(std::string("json value is ") + kind_name(kind()) + ", not " + kind_name(wanted));
}

bool operator==(const Value& a, const Value& b) {
    using Kind = Value::Kind;
    if (a.kind() != b.kind()) {
        // The same integer may be held either way when built by hand.
        if (a.kind() == Kind::UInt && b.kind() == Kind::Int) {
            const auto i = b.load<std::int64_t>();
            return i >= 0 && a.load<std::uint64_t>() == static_cast<std::uint64_t>(i);
        }
        if (a.kind() == Kind::Int && b.kind() == Kind::UInt) return b == a;
        return false;
    }
    switch (a.kind()) {
    case Kind::Null: return true;
    case Kind::Bool: return a.load<bool>() == b.load<bool>();
    case Kind::Raw:
    case Kind::String: return a.string_ref() == b.string_ref();
    case Kind::Array: return a.array_ref() == b.array_ref();
    case Kind::Object: return a.object_ref() == b.object_ref();
    default: return a.load<std::uint64_t>() == b.load<std::uint64_t>();  // doubles bit for bit
    }
}

Object::Object(const Object&) = default;
Object& Object::operator=(const Object&) = default;

void Object::insert(std::string key, Value value) {
    // Documents are mostly built in key order: appending is the common case.
    if (members_.empty() || members_.back().key < key) {
        members_.push_back(Member{std::move(key), std::move(value)});
        return;
    }
    Member* it = std::lower_bound(members_.begin(), members_.end(), key, key_less);
    if (it != members_.end() && it->key == key)
        it->value = std::move(value);
    else
        members_.insert(it, Member{std::move(key), std::move(value)});
}

const Value* Object::find(std::string_view key) const {
    auto it = std::lower_bound(members_.begin(), members_.end(), key, key_less);
    return it != members_.end() && it->key == key ? &it->value : nullptr;
}

Value* Object::find(std::string_view key) {
    return const_cast<Value*>(std::as_const(*this).find(key));
}

bool operator==(const Object& a, const Object& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const Object::Member& x, const Object::Member& y) { return x.key == y.key && x.value == y.value; });
}

}  // namespace tevra::json
