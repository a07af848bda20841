// Thin operations on interpreter objects: interned names made once per process,
// str, list and tuple helpers. Every failure is a PyErr or, where the object
// must exist, the "Python API call failed" fault.
#pragma once

#include <Python.h>

#include <string_view>

#include "attach/once_cell.hpp"
#include "attach/owned_ref.hpp"
#include "err/pyerr.hpp"

namespace zorvalind {

// An interned str made on first use and kept for the life of the process.
class InternedName {
public:
    constexpr explicit InternedName(std::string_view text) : text_(text) {}
    // Borrowed; the caller must be attached. Faults "Python API call failed"
    // when the str cannot be made.
    PyObject* get();
    // Borrowed, or null when the str cannot be made now, with the
    // interpreter's error raised; a later call tries again.
    PyObject* try_get();
    [[nodiscard]] std::string_view text() const noexcept { return text_; }

private:
    std::string_view text_;
    attach::OnceCell<PyObject*> cell_;
};

// A new reference to the interned str of UTF-8 text.
Result<PyObject*> new_interned_str(std::string_view text);
// A new str from UTF-8 text; fails the API call when it cannot be made.
OwnedRef new_str(std::string_view text);
// getattr(object, name) with the error of fetch_pending.
Result<OwnedRef> get_attribute(PyObject* object, PyObject* name);
Status set_attribute(PyObject* object, PyObject* name, PyObject* value);
// A one-element tuple holding `item` (consumed).
OwnedRef new_single_tuple(OwnedRef item);

}  // namespace zorvalind
