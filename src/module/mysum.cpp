// The mysum call wrapper: bind, convert a then b, add with wrap-around.
#include "module/mysum.hpp"

#include "args/binding.hpp"
#include "args/interned_names.hpp"
#include "conv/int64.hpp"
#include "fault/boundary.hpp"
#include "platform.hpp"

namespace zorvalind {

namespace {
constexpr std::string_view kMysumParameters[] = {"a", "b"};
constexpr std::size_t kMysumSlots = 2;

// Process-wide: made on the first call by keyword.
InternedParameterNames<kMysumSlots> g_parameter_names(kMysumParameters);
}  // namespace

constexpr ArgumentDescriptor mysum_descriptor{
    "mysum", std::nullopt, kMysumParameters, 0, 2, {},
};

PyMethodDef mysum_method{
    "mysum",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(mysum_wrapper)),
    METH_FASTCALL | METH_KEYWORDS,
    "mysum(a, b)\n--\n\n",
};

namespace {

// A conversion failed with the interpreter's error raised: taken into a
// record and attributed to the parameter.
ZORVALIND_COLD PyErr argument_failed(std::string_view name) { return wrap_argument_error(name, fetch_pending()); }

// The sum of the two bound arguments, a before b; each read settles its own
// failure, so neither argument is ever read twice.
ZORVALIND_ALWAYS_INLINE Result<PyObject*> sum_of(PyObject* first, PyObject* second) {
    std::int64_t a = 0;
    if (!read_int64(first, a)) {
        return argument_failed("a");
    }
    std::int64_t b = 0;
    if (!read_int64(second, b)) {
        return argument_failed("b");
    }
    return from_int64(wrapping_add(a, b));
}

// Both arguments bound, passed in registers: every caller reaches it by a
// tail call, and its frame keeps only what the two reads need.
ZORVALIND_NOINLINE PyObject* mysum_of_bound(PyObject* a, PyObject* b) {
    return run_at_boundary([&]() -> Result<PyObject*> { return sum_of(a, b); });
}

// Every call the front declines, failures included; the parameter names are
// made here on the first call by keyword.
ZORVALIND_NOINLINE PyObject* mysum_by_general_binder(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_at_boundary([&]() -> Result<PyObject*> {
        PyObject* slots[kMysumSlots] = {nullptr, nullptr};
        PyObject* const* names = kwnames != nullptr ? g_parameter_names.get() : nullptr;
        Status bound =
            bind_fastcall_arguments_general(mysum_descriptor, args, nargs, kwnames, slots, kMysumSlots, names);
        if (!bound.ok()) {
            return bound.take_error();
        }
#ifdef __clang_analyzer__
        // The binder fills every slot of mysum on success; the analyzer
        // cannot see the descriptor's size.
        if (slots[0] == nullptr || slots[1] == nullptr) {
            __builtin_unreachable();
        }
#endif
        return sum_of(slots[0], slots[1]);
    });
}

// The front neither fails nor faults, so it binds before the boundary opens
// and the bound call takes the short frame.
ZORVALIND_NOINLINE PyObject* mysum_by_front(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
    PyObject* slots[kMysumSlots] = {nullptr, nullptr};
    if (!bind_common_call(mysum_descriptor, args, nargs, kwnames, slots, kMysumSlots, g_parameter_names.get_if_made()))
        [[unlikely]] {
        return mysum_by_general_binder(args, nargs, kwnames);
    }
    return mysum_of_bound(slots[0], slots[1]);
}

}  // namespace

// Tail calls both ways: a call by position alone needs no slots.
PyObject* mysum_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (PyObject* const* by_position = arguments_by_position(mysum_descriptor, args, nargs, kwnames)) [[likely]] {
        return mysum_of_bound(by_position[0], by_position[1]);
    }
    return mysum_by_front(self, args, nargs, kwnames);
}

}  // namespace zorvalind
