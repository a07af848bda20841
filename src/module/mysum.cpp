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

// Any other argument: converted through the interpreter, a before b.
Result<PyObject*> convert_and_add(PyObject* a_object, PyObject* b_object) {
    Result<std::int64_t> a = to_int64(a_object);
    if (!a.ok()) {
        return wrap_argument_error("a", a.take_error());
    }
    Result<std::int64_t> b = to_int64(b_object);
    if (!b.ok()) {
        return wrap_argument_error("b", b.take_error());
    }
    return from_int64(wrapping_add(a.value(), b.value()));
}

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
        // Two exact ints of the inline range: no result record to build or
        // check. Reading an exact int has no side effect, so the general path
        // may read a again.
        std::int64_t a = 0;
        std::int64_t b = 0;
        if (read_int64_inline(slots[0], a) && read_int64_inline(slots[1], b)) {
            return from_int64(wrapping_add(a, b));
        }
        return convert_and_add(slots[0], slots[1]);
    });
}

}  // namespace zorvalind
