#include "binding/boundary.hpp"
#include "lib/classes.hpp"
#include "lib/module.hpp"

namespace tevra {

namespace {

struct AssetWrapperObject {
    PyObject_HEAD
    PyObject* wrapped;  // owned
};

AssetWrapperObject* as_wrapper(PyObject* obj) noexcept { return reinterpret_cast<AssetWrapperObject*>(obj); }

void destroy(PyObject* self) {
    Py_CLEAR(as_wrapper(self)->wrapped);
    free_instance(self);
}

PyTypeObject* type_cell = nullptr;

}  // namespace

PyTypeObject* asset_wrapper_type() {
    return class_type(type_cell, {"AssetWrapper",
                                  "The `@asset()` decorator wrapper. Stores the original function and metadata.",
                                  sizeof(AssetWrapperObject), {}, nullptr, &dealloc<destroy>});
}

}  // namespace tevra
