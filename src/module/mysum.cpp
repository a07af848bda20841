// The mysum call wrapper: bind, convert a then b, add with wrap-around.
#include "module/mysum.hpp"

#include "args/binding.hpp"
#include "conv/int64.hpp"
#include "fault/boundary.hpp"
#include "platform.hpp"
#include "types/interp.hpp"

namespace zorvalind {

namespace {
constexpr std::string_view kMysumParameters[] = {"a", "b"};
constexpr std::size_t kMysumSlots = 2;

InternedName g_parameter_a("a");
InternedName g_parameter_b("b");
// Filled once before mysum can be called; read on every keyword call.
PyObject* g_interned_parameters[kMysumSlots] = {nullptr, nullptr};
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

// A conversion failed with the interpreter's error raised: taken into a
// record and attributed to the parameter.
ZORVALIND_COLD PyErr argument_failed(std::string_view name) { return wrap_argument_error(name, fetch_pending()); }

}  // namespace

PyObject* mysum_wrapper(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_at_boundary([&]() -> Result<PyObject*> {
        PyObject* slots[kMysumSlots] = {nullptr, nullptr};
        if (!bind_common_call(mysum_descriptor, args, nargs, kwnames, slots, kMysumSlots, g_interned_parameters)) {
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
        // a before b; each read settles its own failure, so neither argument
        // is ever read twice.
        std::int64_t a = 0;
        if (!read_int64(slots[0], a)) {
            return argument_failed("a");
        }
        std::int64_t b = 0;
        if (!read_int64(slots[1], b)) {
            return argument_failed("b");
        }
        return from_int64(wrapping_add(a, b));
    });
}

}  // namespace zorvalind
