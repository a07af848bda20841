// Interned names and the thin object helpers.
#include "types/interp.hpp"

#include "err/texts.hpp"
#include "types/tuple.hpp"

namespace zorvalind {

PyObject* InternedName::get() {
    if (cell_.is_set()) {
        return cell_.get();
    }
    return cell_.get_or_init([this] {
        PyObject* name = PyUnicode_FromStringAndSize(text_.data(), static_cast<Py_ssize_t>(text_.size()));
        if (name == nullptr) {
            fail_api_call();
        }
        PyUnicode_InternInPlace(&name);
        if (name == nullptr) {
            fail_api_call();
        }
        return name;
    });
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
