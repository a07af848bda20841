// Interned names and the thin object helpers.
#include "err/objects.hpp"

#include "err/texts.hpp"
#include "err/tuple.hpp"

namespace zorvalind {

Result<PyObject*> new_interned_str(std::string_view text) {
    PyObject* name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (name == nullptr) {
        return fetch_pending();
    }
    PyUnicode_InternInPlace(&name);
    if (name == nullptr) {
        return fetch_pending();
    }
    return name;
}

PyObject* InternedName::get() {
    PyObject* name = try_get();
    if (name == nullptr) {
        fail_api_call();
    }
    return name;
}

PyObject* InternedName::try_get() {
    if (cell_.is_set()) {
        return cell_.get();
    }
    Result<PyObject*> made = cell_.get_or_try_init([this] { return new_interned_str(text_); });
    if (!made.ok()) {
        raise_into_interpreter(made.take_error());
        return nullptr;
    }
    return made.value();
}

OwnedRef new_str(std::string_view text) {
    PyObject* str = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (str == nullptr) {
        fail_api_call();
    }
    return OwnedRef::steal(str);
}

Result<OwnedRef> get_attribute(PyObject* object, PyObject* name) {
    PyObject* value = PyObject_GetAttr(object, name);
    if (value == nullptr) {
        return fetch_pending();
    }
    return OwnedRef::steal(value);
}

Status set_attribute(PyObject* object, PyObject* name, PyObject* value) {
    if (PyObject_SetAttr(object, name, value) == -1) {
        return fetch_pending();
    }
    return Status::success();
}

OwnedRef new_single_tuple(OwnedRef item) {
    PyObject* tuple = PyTuple_New(1);
    if (tuple == nullptr) {
        fail_api_call();
    }
    tuple_fill(tuple, 0, item.release());
    return OwnedRef::steal(tuple);
}

}  // namespace zorvalind
