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
        PyObject* const* names = kwnames != nullptr ? g_parameter_names.get() : nullptr;
        Status bound = bind_fastcall_arguments(mysum_descriptor, args, nargs, kwnames, slots, kMysumSlots, names);
        if (!bound.ok()) [[unlikely]] {
            return bound.take_error();
        }
#ifdef __clang_analyzer__
        // The binder fills every slot of mysum on success; the analyzer
        // cannot see the descriptor's size.
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

// Tail calls both ways: the common call takes the short frame.
PyObject* mysum_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (PyObject* const* by_position = arguments_by_position(mysum_descriptor, args, nargs, kwnames)) {
        return mysum_by_position(by_position);
    }
    return mysum_bound(self, args, nargs, kwnames);
}

}  // namespace zorvalind
