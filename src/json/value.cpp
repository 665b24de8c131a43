// The value tree: deep copies, equality and the sorted object.
#include "json/json.hpp"

#include <algorithm>
#include <bit>
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
    case Value::Kind::String: return "string";
    case Value::Kind::Array: return "array";
    case Value::Kind::Object: return "object";
    }
    return "unknown";
}

bool key_less(const Object::Member& m, std::string_view key) { return std::string_view(m.key) < key; }

}  // namespace

Value::Value(const Value& other) : kind_(other.kind_) {
    switch (kind_) {
    case Kind::Null: u_ = 0; break;
    case Kind::Bool: b_ = other.b_; break;
    case Kind::UInt: u_ = other.u_; break;
    case Kind::Int: i_ = other.i_; break;
    case Kind::Double: d_ = other.d_; break;
    case Kind::String: new (&s_) std::string(other.s_); break;
    case Kind::Array: new (&a_) json::Array(other.a_); break;
    case Kind::Object: new (&o_) json::Object(other.o_); break;
    }
}

Value& Value::operator=(const Value& other) {
    if (this != &other) *this = Value(other);
    return *this;
}

void Value::release() noexcept {
    switch (kind_) {
    case Kind::String: s_.~basic_string(); break;
    case Kind::Array: a_.~vector(); break;
    case Kind::Object: o_.~Object(); break;
    default: break;
    }
    kind_ = Kind::Null;
    u_ = 0;
}

void Value::wrong_kind(Kind wanted) const {
    throw std::logic_error(std::string("json value is ") + kind_name(kind_) + ", not " + kind_name(wanted));
}

bool operator==(const Value& a, const Value& b) {
    using Kind = Value::Kind;
    if (a.kind_ != b.kind_) {
        // The same integer may be held either way when built by hand.
        if (a.kind_ == Kind::UInt && b.kind_ == Kind::Int) return b.i_ >= 0 && a.u_ == static_cast<std::uint64_t>(b.i_);
        if (a.kind_ == Kind::Int && b.kind_ == Kind::UInt) return b == a;
        return false;
    }
    switch (a.kind_) {
    case Kind::Null: return true;
    case Kind::Bool: return a.b_ == b.b_;
    case Kind::UInt: return a.u_ == b.u_;
    case Kind::Int: return a.i_ == b.i_;
    case Kind::Double: return std::bit_cast<std::uint64_t>(a.d_) == std::bit_cast<std::uint64_t>(b.d_);
    case Kind::String: return a.s_ == b.s_;
    case Kind::Array: return a.a_ == b.a_;
    case Kind::Object: return a.o_ == b.o_;
    }
    return false;
}

Object::Object(const Object&) = default;
Object& Object::operator=(const Object&) = default;

void Object::insert(std::string key, Value value) {
    // Documents are mostly built in key order: appending is the common case.
    if (members_.empty() || members_.back().key < key) {
        members_.push_back(Member{std::move(key), std::move(value)});
        return;
    }
    auto it = std::lower_bound(members_.begin(), members_.end(), key, key_less);
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
