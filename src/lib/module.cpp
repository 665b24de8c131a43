// The module's entry point: creates the module once per process, for one interpreter.
#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "declaration/declaration.hpp"
#include "discovery/discovery.hpp"
#include "materialise/materialise.hpp"

#include <atomic>
#include <cstdint>

namespace tevra {

namespace {

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_tevra",
    .m_doc = "The native `_tevra` module.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* module_cell = nullptr;

// Records `name` in __all__, then binds it on the module.
void add_value(PyObject* module, PyObject* name, Ref value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyError error = PyError::fetch();
        if (!PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError)) throw error;
        all = check_basic(PyList_New(0));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    } else {
        expect_list(all.get());
    }
    if (PyList_Append(all.get(), name) < 0) {
        PyErr_Clear();
        panic("could not append __name__ to __all__");
    }
    check_status(PyObject_SetAttr(module, name, value.get()));
}

void add_class(PyObject* module, PyTypeObject* type, const char* name) {
    Ref key = check_basic(PyUnicode_FromString(name));
    add_value(module, key.get(), Ref::borrow(reinterpret_cast<PyObject*>(type)));
}

void add_function(PyObject* module, PyMethodDef& def) {
    Ref module_name = check(PyModule_GetNameObject(module));
    Ref function = check(PyCMethod_New(&def, module, module_name.get(), nullptr));
    Ref name = check(PyObject_GetAttrString(function.get(), "__name__"));
    expect_str(name.get());
    add_value(module, name.get(), std::move(function));
}

void initialise(PyObject* module) {
    add_class(module, asset_wrapper_type(), "AssetWrapper");
    add_class(module, partitions_type(), "Partitions");
    for (PyMethodDef* def : {&asset_def, &partitions_def, &inspect_modules_def, &materialize_asset_def})
        add_function(module, *def);
}

Ref create_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw_pending();
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id)
        raise(PyExc_ImportError,
              "_tevra does not yet support sub-interpreters: it was already initialised by another "
              "interpreter of this process; see https://docs.python.org/3/c-api/init.html#sub-interpreter-support");
    if (module_cell) return Ref::borrow(module_cell);

    Ref module = check(PyModule_Create2(&module_def, 1013));
    initialise(module.get());
    // A racing initialisation (possible only if the lock was given up) keeps the first module.
    if (!module_cell) module_cell = module.release();
    return Ref::borrow(module_cell);
}

}  // namespace

}  // namespace tevra

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__tevra() {
    return tevra::enter([] { return tevra::create_module(); });
}
