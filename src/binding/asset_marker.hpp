// What makes an object an asset, and which function it stands for. Declaration,
// discovery and materialisation all decide this the same way.
#pragma once

#include "binding/error.hpp"

namespace tevra {

// An asset is any object whose __tevra_kind__ reads as the str "asset"; a failed read
// only means "not an asset".
inline bool is_asset(PyObject* obj) {
    Ref kind = Ref::steal(PyObject_GetAttrString(obj, "__tevra_kind__"));
    if (!kind) {
        discard_pending();
        return false;
    }
    return PyUnicode_Check(kind.get()) && PyUnicode_EqualToUTF8(kind.get(), "asset");
}

// The undecorated function behind an asset: its __tevra_original__, or the object itself
// when that cannot be read.
inline Ref asset_target(PyObject* obj) {
    if (Ref original = Ref::steal(PyObject_GetAttrString(obj, "__tevra_original__"))) return original;
    discard_pending();
    return Ref::borrow(obj);
}

}  // namespace tevra
