// Creation of the module's classes: heap types that Python cannot instantiate, subclass or
// change.
#pragma once

#include "binding/error.hpp"

#include <span>

namespace tevra {

struct ClassSpec {
    const char* name;  // bare class name; the type is created as builtins.<name>
    const char* doc;
    int basicsize;
    std::span<PyType_Slot> slots;  // the class's own slots besides the common ones
    PyGetSetDef* getset = nullptr;
    destructor dealloc = nullptr;
    unsigned int flags = 0;  // OR-ed with Py_TPFLAGS_DEFAULT and Py_TPFLAGS_IMMUTABLETYPE
};

// The class's type object, created on first use and kept for the life of the process.
// Raises RuntimeError "An error occurred while initializing class <name>" on failure.
PyTypeObject* class_type(PyTypeObject*& cell, const ClassSpec& spec);

// Allocates a zeroed instance; the caller then constructs its C++ fields in place with
// operations that cannot throw, so the destructor never meets a half-built object.
inline Ref allocate(PyTypeObject* type) { return check(type->tp_alloc(type, 0)); }

// Releases an instance whose C++ fields the caller has already destroyed.
void free_instance(PyObject* self);

}  // namespace tevra
