// The mysum call wrapper: bind, convert a then b, add with wrap-around.
#include "module/mysum.hpp"

#include "args/binding.hpp"
#include "conv/int64.hpp"
#include "fault/boundary.hpp"
#include "platform.hpp"
#include "types/interp.hpp"
#include "types/tuple.hpp"

namespace zorvalind {

namespace {
constexpr std::string_view kMysumParameters[] = {"a", "b"};
constexpr std::size_t kMysumSlots = 2;

InternedName g_parameter_a("a");
InternedName g_parameter_b("b");
// Filled once before mysum can be called; read on every keyword call.
PyObject* g_interned_parameters[kMysumSlots] = {nullptr, nullptr};

// The keyword names of the last call that named both parameters, in the order
// (a, b) and in the order (b, a), each held: a tuple is never changed, and a
// held one cannot be replaced by another at its address, so a later call
// with the identical tuple binds without reading it (under the limited API,
// each read of an item is a call into the interpreter). Compiled call sites
// pass the same tuple, a constant of their code, on every call. Read and
// written with the interpreter lock held.
PyObject* g_keywords_in_order[2] = {nullptr, nullptr};
}  // namespace

void intern_mysum_parameter_names() {
    g_interned_parameters[0] = g_parameter_a.get();
    g_interned_parameters[1] = g_parameter_b.get();
}

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

// The general binder, kept out of the common call.
ZORVALIND_COLD Status bind_uncommon_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    Status bound = bind_fastcall_arguments_general(mysum_descriptor, args, nargs, kwnames, slots, kMysumSlots,
                                                   g_interned_parameters);
    // Both parameters are required: a successful binding filled both slots.
    if (bound.ok() && (slots[0] == nullptr || slots[1] == nullptr)) {
        raise_fault("mysum: a required argument slot is empty after binding");
    }
    return bound;
}

// Remembers the keyword names of a call that bound both parameters by their
// interned names, in the order the names give (the values may be one object).
// Only an exact tuple: releasing one runs no Python code.
ZORVALIND_COLD void remember_keywords(PyObject* kwnames) {
    if (!PyTuple_CheckExact(kwnames)) {
        return;
    }
    const bool b_first = tuple_item(kwnames, 0) == g_interned_parameters[1];
    PyObject*& held = g_keywords_in_order[b_first ? 1 : 0];
    PyObject* const previous = held;
    held = Py_NewRef(kwnames);
    Py_XDECREF(previous);
}

// A call by keyword alone whose names are the tuple remembered for one of the
// two orders: the values are the slots in that order, nothing read.
inline bool bind_remembered_keywords(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    if (kwnames == nullptr || nargs != 0 || args == nullptr) {
        return false;
    }
    if (kwnames == g_keywords_in_order[0]) {
        slots[0] = args[0];
        slots[1] = args[1];
        return true;
    }
    if (kwnames == g_keywords_in_order[1]) {
        slots[0] = args[1];
        slots[1] = args[0];
        return true;
    }
    return false;
}

// The inline front of the binder; a call by keyword alone that it binds has
// its names remembered.
inline bool bind_common_keywords(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    if (!bind_common_call(mysum_descriptor, args, nargs, kwnames, slots, kMysumSlots, g_interned_parameters)) {
        return false;
    }
    if (kwnames != nullptr && nargs == 0) {
        remember_keywords(kwnames);
    }
    return true;
}

// A conversion failed with the interpreter's error raised: taken into a
// record and attributed to the parameter.
ZORVALIND_COLD PyErr argument_failed(std::string_view name) { return wrap_argument_error(name, fetch_pending()); }

// The sum of the two bound arguments, a before b; each read settles its own
// failure, so neither argument is ever read twice. b is taken from the array
// only once a is read: nothing but the array stays live across the first read.
ZORVALIND_ALWAYS_INLINE Result<PyObject*> sum_of(PyObject* const* bound) {
    std::int64_t a = 0;
    if (!read_int64(bound[0], a)) {
        return argument_failed("a");
    }
    std::int64_t b = 0;
    if (!read_int64(bound[1], b)) {
        return argument_failed("b");
    }
    return from_int64(wrapping_add(a, b));
}

// Every other call: bound first.
ZORVALIND_NOINLINE PyObject* mysum_bound(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    return run_at_boundary([&]() -> Result<PyObject*> {
        PyObject* slots[kMysumSlots] = {nullptr, nullptr};
        if (!bind_remembered_keywords(args, nargs, kwnames, slots) &&
            !bind_common_keywords(args, nargs, kwnames, slots)) {
            Status bound = bind_uncommon_call(args, nargs, kwnames, slots);
            if (!bound.ok()) {
                return bound.take_error();
            }
        }
#ifdef __clang_analyzer__
        // Both binders fill every slot of mysum on success (checked at run time
        // on the general path); the analyzer cannot see the descriptor's size.
        if (slots[0] == nullptr || slots[1] == nullptr) {
            __builtin_unreachable();
        }
#endif
        return sum_of(slots);
    });
}

// Both arguments by position: nothing to bind, and a frame that keeps only
// what the two reads need.
ZORVALIND_NOINLINE PyObject* mysum_by_position(PyObject* const* args) {
    return run_at_boundary([&]() -> Result<PyObject*> { return sum_of(args); });
}

}  // namespace

// Tail calls both ways: the common call takes the short frame. Three tests,
// each a compare and a tail jump, cost the positional call less than one
// combined condition does.
PyObject* mysum_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames != nullptr) {
        return mysum_bound(self, args, nargs, kwnames);
    }
    if (nargs != 2) {
        return mysum_bound(self, args, nargs, kwnames);
    }
    if (args == nullptr) [[unlikely]] {
        return mysum_bound(self, args, nargs, kwnames);
    }
    return mysum_by_position(args);
}

}  // namespace zorvalind
