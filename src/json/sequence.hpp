// The growable run of items that holds an array's values and an object's members.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

namespace tevra::json {

namespace detail {

// A growable run of T in one heap block that starts with its size and
// capacity. It is one pointer wide, so a value holding one stays small, and a
// container costs one allocation.
template <class T>
class Sequence {
public:
    using value_type = T;
    using size_type = std::size_t;
    using iterator = T*;
    using const_iterator = const T*;

    Sequence() noexcept = default;
    // Delegating first: should a copy throw, the destructor frees what was built.
    Sequence(std::initializer_list<T> items) : Sequence() {
        reserve(items.size());
        for (const T& item : items) emplace_back(item);
    }
    Sequence(const Sequence& other) : Sequence() {
        reserve(other.size());
        for (const T& item : other) emplace_back(item);
    }
    Sequence(Sequence&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    Sequence& operator=(const Sequence& other) {
        if (this != &other) Sequence(other).swap(*this);
        return *this;
    }
    Sequence& operator=(Sequence&& other) noexcept {
        Sequence(std::move(other)).swap(*this);
        return *this;
    }
    ~Sequence() { clear_and_free(); }

    // The items of [first, last) moved into a block of exactly their number.
    static Sequence moved_from(T* first, T* last) {
        Sequence s;
        if (first == last) return s;
        s.allocate(static_cast<size_type>(last - first));
        std::uninitialized_move(first, last, s.items());
        s.h_->size = s.h_->capacity;
        return s;
    }

    size_type size() const noexcept { return h_ ? h_->size : 0; }
    size_type capacity() const noexcept { return h_ ? h_->capacity : 0; }
    bool empty() const noexcept { return size() == 0; }
    T* data() noexcept { return h_ ? items() : nullptr; }
    const T* data() const noexcept { return h_ ? items() : nullptr; }
    iterator begin() noexcept { return data(); }
    iterator end() noexcept { return data() + size(); }
    const_iterator begin() const noexcept { return data(); }
    const_iterator end() const noexcept { return data() + size(); }
    T& operator[](size_type i) noexcept { return items()[i]; }
    const T& operator[](size_type i) const noexcept { return items()[i]; }
    T& at(size_type i) { return i < size() ? items()[i] : out_of_range(); }
    const T& at(size_type i) const { return i < size() ? items()[i] : out_of_range(); }
    T& front() noexcept { return items()[0]; }
    T& back() noexcept { return items()[size() - 1]; }
    const T& front() const noexcept { return items()[0]; }
    const T& back() const noexcept { return items()[size() - 1]; }

    void reserve(size_type n) {
        if (n <= capacity()) return;
        Sequence bigger;
        bigger.allocate(n);
        std::uninitialized_move(begin(), end(), bigger.items());
        bigger.h_->size = size();
        swap(bigger);  // the moved-from items go with the old block
    }

    void push_back(const T& item) { emplace_back(item); }
    void push_back(T&& item) { emplace_back(std::move(item)); }

    template <class... Args>
    T& emplace_back(Args&&... args) {
        if (size() == capacity()) {
            // An argument may refer into this sequence: build it before moving house.
            T item(std::forward<Args>(args)...);
            reserve(capacity() < 4 ? 4 : 2 * capacity());
            return *new (items() + h_->size++) T(std::move(item));
        }
        return *new (items() + h_->size++) T(std::forward<Args>(args)...);
    }

    // Inserts before `pos`, moving the items after it up by one.
    iterator insert(const_iterator pos, T&& item) {
        const auto index = static_cast<size_type>(pos - begin());
        emplace_back(std::move(item));
        std::rotate(begin() + index, end() - 1, end());
        return begin() + index;
    }

    void clear() noexcept {
        std::destroy(begin(), end());
        if (h_) h_->size = 0;
    }

    void swap(Sequence& other) noexcept { std::swap(h_, other.h_); }

    friend bool operator==(const Sequence& a, const Sequence& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }

private:
    struct Header {
        size_type size;
        size_type capacity;
    };
    T* items() const noexcept { return reinterpret_cast<T*>(h_ + 1); }

    // Into an empty sequence: room for n > 0 items.
    void allocate(size_type n) {
        static_assert(alignof(T) <= alignof(Header) && sizeof(Header) % alignof(T) == 0);
        if (n > (static_cast<size_type>(-1) - sizeof(Header)) / sizeof(T)) throw std::bad_alloc();
        h_ = static_cast<Header*>(::operator new(sizeof(Header) + n * sizeof(T)));
        h_->size = 0;
        h_->capacity = n;
    }

    void clear_and_free() noexcept {
        if (!h_) return;
        clear();
        ::operator delete(h_);
        h_ = nullptr;
    }

    [[noreturn]] static T& out_of_range() { throw std::out_of_range("json sequence index out of range"); }

    Header* h_ = nullptr;
};

}  // namespace detail

}  // namespace tevra::json
