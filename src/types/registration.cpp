// Function registration and __all__ handling.
#include "types/registration.hpp"

#include <string>

#include "err/objects.hpp"
#include "err/texts.hpp"
#include "fault/internal_fault.hpp"

namespace zorvalind {

namespace {
InternedName g_name_attribute("__name__");
InternedName g_all_attribute("__all__");
}  // namespace

PyObject* interned_name_attribute() { return g_name_attribute.get(); }
PyObject* interned_all_attribute() { return g_all_attribute.get(); }

Result<OwnedRef> get_or_create_all(PyObject* module) {
    PyObject* found = PyObject_GetAttr(module, interned_all_attribute());
    if (found != nullptr) {
        OwnedRef all = OwnedRef::steal(found);
        if (PyList_Check(all.get())) {
            return all;
        }
        return CastError(all.get(), Py_NewRef(reinterpret_cast<PyObject*>(&PyList_Type)));
    }
    PyErr lookup_error = fetch_pending();
    if (!matches_type(lookup_error, PyExc_AttributeError)) {
        return lookup_error;
    }
    PyObject* created = PyList_New(0);
    if (created == nullptr) {
        fail_api_call();
    }
    OwnedRef all = OwnedRef::steal(created);
    Status stored = set_attribute(module, interned_all_attribute(), all.get());
    if (!stored.ok()) {
        return stored.take_error();
    }
    return all;
}

Status register_function(PyObject* module, PyMethodDef* method) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) {
        return fetch_pending();
    }
    OwnedRef owned_module_name = OwnedRef::steal(module_name);
    PyObject* created = PyCMethod_New(method, module, owned_module_name.get(), nullptr);
    owned_module_name.reset();
    if (created == nullptr) {
        return fetch_pending();
    }
    OwnedRef function = OwnedRef::steal(created);

    Result<OwnedRef> name = get_attribute(function.get(), interned_name_attribute());
    if (!name.ok()) {
        return name.take_error();
    }
    if (!PyUnicode_Check(name.value().get())) {
        return CastError(name.value().get(), Py_NewRef(reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    }

    Result<OwnedRef> all = get_or_create_all(module);
    if (!all.ok()) {
        return all.take_error();
    }
    if (PyList_Append(all.value().get(), name.value().get()) == -1) {
        PyErr append_error = fetch_pending();
        raise_fault_owned("could not append __name__ to __all__: " + debug_text(append_error));
    }
    all.value().reset();

    return set_attribute(module, name.value().get(), function.get());
}

}  // namespace zorvalind
