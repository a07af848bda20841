// A function's positional parameter names as interned str objects: a keyword
// name that is one of them is matched by identity, without reading its text.
// Process-wide state: made together on first use, kept for the process.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>

#include "attach/once_cell.hpp"
#include "err/objects.hpp"
#include "platform.hpp"

namespace zorvalind {

template <std::size_t N>
class InternedParameterNames {
public:
    constexpr explicit InternedParameterNames(const std::string_view (&names)[N]) : names_(names) {}
    InternedParameterNames(const InternedParameterNames&) = delete;
    InternedParameterNames& operator=(const InternedParameterNames&) = delete;

    // The N names in declaration order, borrowed; null when they cannot be
    // made now (nothing is left raised): the binder then matches by bytes,
    // and a later call tries again. Attached callers only.
    PyObject* const* get() {
        if (cell_.is_set()) {
            return cell_.get().data();
        }
        return make();
    }

    // The names once made, else null; never makes them.
    [[nodiscard]] PyObject* const* get_if_made() const noexcept {
        return cell_.is_set() ? cell_.get().data() : nullptr;
    }

private:
    using Names = std::array<PyObject*, N>;

    ZORVALIND_COLD PyObject* const* make() {
        Result<Names> made = cell_.get_or_try_init([this]() -> Result<Names> {
            Names names{};
            for (std::size_t i = 0; i < N; ++i) {
                Result<PyObject*> name = new_interned_str(names_[i]);
                if (!name.ok()) {
                    for (std::size_t k = 0; k < i; ++k) {
                        Py_DECREF(names[k]);
                    }
                    return name.take_error();
                }
                names[i] = name.value();
            }
            return names;
        });
        if (!made.ok()) {
            (void)made.take_error();
            return nullptr;
        }
        return cell_.get().data();
    }

    const std::string_view (&names_)[N];
    attach::OnceCell<Names> cell_;
};

}  // namespace zorvalind
