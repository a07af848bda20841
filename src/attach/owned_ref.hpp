// Owning handle for one object reference. Dropping it goes through the
// deferred-release path, so it is safe on any thread.
#pragma once

#include <Python.h>

#include <utility>

#include "attach/attach.hpp"

namespace zorvalind {

class OwnedRef {
public:
    OwnedRef() = default;
    // Takes over one reference (null allowed).
    static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
    static OwnedRef borrow(PyObject* object) noexcept { return OwnedRef(Py_XNewRef(object)); }

    OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { reset(); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    [[nodiscard]] explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void reset() noexcept { attach::release(std::exchange(object_, nullptr)); }

private:
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace zorvalind
