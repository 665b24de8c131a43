#include "declaration/wrapper.hpp"

#include "binding/boundary.hpp"
#include "binding/classes.hpp"
#include "binding/text.hpp"
#include "declaration/declaration.hpp"

#include <cstddef>
#include <new>
#include <type_traits>

namespace tevra {

namespace {

struct AssetWrapperObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;  // per instance, found through __vectorcalloffset__
    Ref wrapped;
    AssetMetadata metadata;
};

static_assert(std::is_standard_layout_v<AssetWrapperObject>, "offsetof must be valid on the instance record");
static_assert(std::is_nothrow_move_constructible_v<AssetMetadata>);

AssetWrapperObject* as_wrapper(PyObject* obj) noexcept { return reinterpret_cast<AssetWrapperObject*>(obj); }

PyObject* wrapped_of(PyObject* self) noexcept { return as_wrapper(self)->wrapped.get(); }

// Calls pass straight through: same argument vector, same keyword names, same result. A
// failure is the wrapped function's own and stays raised as it is, the very object with its
// traceback, so it is not fetched and rebuilt on the way out.
// A plain function is entered through its own vectorcall slot: the generic call would only
// look that slot up again and check a result that the interpreter checks anyway when this
// wrapper returns.
PyObject* wrapper_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
    return enter([&] {
        PyObject* fn = wrapped_of(self);
        if (Py_IS_TYPE(fn, &PyFunction_Type)) {
            vectorcallfunc entry = reinterpret_cast<PyFunctionObject*>(fn)->vectorcall;
            return Ref::steal(entry(fn, args, nargsf, kwnames));
        }
        return Ref::steal(PyObject_Vectorcall(fn, args, nargsf, kwnames));
    });
}

// A wrapper in a class body is never bound to an instance.
Ref get(PyObject* self, PyObject*, PyObject*) { return Ref::borrow(self); }

// The identity names answer for the wrapped object at the moment of the read. __doc__ and
// __module__ also exist on the class itself, so their type-dict entries hold the class's own
// values and instances are served here, before the generic lookup.
bool is_forwarded(PyObject* name) noexcept {
    if (!PyUnicode_Check(name)) return false;
    return PyUnicode_EqualToUTF8(name, "__name__") || PyUnicode_EqualToUTF8(name, "__qualname__") ||
           PyUnicode_EqualToUTF8(name, "__module__") || PyUnicode_EqualToUTF8(name, "__doc__");
}

// Either lookup's result, or its exception as raised, goes straight back to the caller.
PyObject* getattro(PyObject* self, PyObject* name) noexcept {
    return enter([&] {
        if (is_forwarded(name)) return Ref::steal(PyObject_GetAttr(wrapped_of(self), name));
        return Ref::steal(PyObject_GenericGetAttr(self, name));
    });
}

Ref forwarded(PyObject* self, const char* name) { return check(PyObject_GetAttrString(wrapped_of(self), name)); }

Ref metadata(PyObject* self) { return metadata_dict(as_wrapper(self)->metadata); }
Ref kind(PyObject*) { return make_str("asset"); }
Ref original(PyObject* self) { return Ref::borrow(wrapped_of(self)); }
Ref name(PyObject* self) { return forwarded(self, "__name__"); }
Ref doc(PyObject* self) { return forwarded(self, "__doc__"); }
Ref module(PyObject* self) { return forwarded(self, "__module__"); }
Ref qualified_name(PyObject* self) { return forwarded(self, "__qualname__"); }

void destroy_wrapper(PyObject* self) {
    AssetWrapperObject* w = as_wrapper(self);
    w->metadata.~AssetMetadata();
    w->wrapped.~Ref();
    free_instance(self);
}

PyGetSetDef wrapper_getset[] = {
    {"__tevra_metadata__", &getter<metadata>, nullptr, "", nullptr},
    {"__tevra_kind__", &getter<kind>, nullptr, "", nullptr},
    {"__tevra_original__", &getter<original>, nullptr, "", nullptr},
    {"__name__", &getter<name>, nullptr, "", nullptr},
    {"__doc__", &getter<doc>, nullptr, "", nullptr},
    {"__module__", &getter<module>, nullptr, "", nullptr},
    {"__qualname__", &getter<qualified_name>, nullptr, "", nullptr},
    {"__wrapped__", &getter<original>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef wrapper_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(AssetWrapperObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot wrapper_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(&ternary<get>)},
    {Py_tp_getattro, reinterpret_cast<void*>(&getattro)},
    {Py_tp_members, wrapper_members},
};

constexpr const char* class_doc = "The `@asset()` decorator wrapper. Stores the original function and metadata.";

PyTypeObject* wrapper_type_cell = nullptr;

// The type dict is where the class answers __doc__ and __module__ for itself, so the
// descriptors of those names must not stand there: type creation leaves the __module__
// descriptor in place (it does write the docstring over __doc__). The vectorcall offset has
// been taken into the type already; its member would only show a function address as an int.
void finish_type_dict(PyTypeObject* type) {
    Ref dict = check(PyType_GetDict(type));
    Ref module_name = make_str("builtins");
    Ref docstring = make_str(class_doc);
    check_status(PyDict_SetItemString(dict.get(), "__module__", module_name.get()));
    check_status(PyDict_SetItemString(dict.get(), "__doc__", docstring.get()));
    check_status(PyDict_PopString(dict.get(), "__vectorcalloffset__", nullptr));
    PyType_Modified(type);
}

}  // namespace

PyTypeObject* asset_wrapper_type() {
    if (wrapper_type_cell) return wrapper_type_cell;
    // Created into a cell of our own, so a type is stored only once its dict is complete.
    PyTypeObject* created = nullptr;
    class_type(created, {.name = "AssetWrapper",
                         .doc = class_doc,
                         .basicsize = sizeof(AssetWrapperObject),
                         .slots = wrapper_slots,
                         .getset = wrapper_getset,
                         .dealloc = &dealloc<destroy_wrapper>,
                         .flags = Py_TPFLAGS_HAVE_VECTORCALL});
    Ref owned = Ref::steal(reinterpret_cast<PyObject*>(created));
    finish_type_dict(created);
    if (!wrapper_type_cell) wrapper_type_cell = reinterpret_cast<PyTypeObject*>(owned.release());
    return wrapper_type_cell;
}

Ref make_asset_wrapper(PyObject* wrapped, AssetMetadata record) {
    PyTypeObject* type = asset_wrapper_type();
    Ref obj = allocate(type);
    AssetWrapperObject* w = as_wrapper(obj.get());
    w->vectorcall = &wrapper_vectorcall;
    new (&w->wrapped) Ref(Ref::borrow(wrapped));
    new (&w->metadata) AssetMetadata(std::move(record));
    return obj;
}

}  // namespace tevra
