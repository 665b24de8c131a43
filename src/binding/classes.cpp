#include "binding/classes.hpp"

#include "binding/boundary.hpp"
#include "binding/text.hpp"

#include <string>
#include <vector>

namespace tevra {

namespace {

Ref no_constructor(PyObject* type, PyObject*, PyObject*) {
    Ref name = check(PyType_GetName(reinterpret_cast<PyTypeObject*>(type)));
    raise(PyExc_TypeError, "No constructor defined for " + to_lossy_string(name.get()));
}

}  // namespace

PyTypeObject* class_type(PyTypeObject*& cell, const ClassSpec& spec) {
    if (cell) return cell;
    const std::string qualified = std::string("builtins.") + spec.name;
    std::vector<PyType_Slot> slots;
    if (spec.doc && *spec.doc) slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
    slots.insert(slots.end(), spec.slots.begin(), spec.slots.end());
    if (spec.getset) slots.push_back({Py_tp_getset, spec.getset});
    slots.push_back({Py_tp_base, &PyBaseObject_Type});
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(&ternary<no_constructor>)});
    if (spec.dealloc) slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)});
    slots.push_back({0, nullptr});
    // Immutable: were the class's attributes assignable, Python code could put a working
    // __new__ in place of the refusing one (object.__new__ then allows it) and make instances
    // whose C++ fields were never constructed.
    const auto flags = static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | spec.flags);
    PyType_Spec type_spec{
        .name = qualified.c_str(), .basicsize = spec.basicsize, .itemsize = 0, .flags = flags, .slots = slots.data()};

    PyObject* created = PyType_FromSpec(&type_spec);
    if (!created) {
        PyError cause = PyError::fetch();
        Ref message = make_str(std::string("An error occurred while initializing class ") + spec.name);
        Ref error = check(PyObject_CallOneArg(PyExc_RuntimeError, message.get()));
        PyException_SetCause(error.get(), Py_NewRef(cause.value()));
        throw PyError::captured(std::move(error));
    }
    // Filled under the interpreter lock; a racing creation keeps the first type.
    if (cell)
        Py_DECREF(created);
    else
        cell = reinterpret_cast<PyTypeObject*>(created);
    return cell;
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

}  // namespace tevra
