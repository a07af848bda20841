// Probes of the argument binder over arbitrary descriptors, and of integer
// conversion with argument-error wrapping.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "args/binding.hpp"
#include "conv/int64.hpp"
#include "err/texts.hpp"
#include "probes.hpp"

using namespace zorvalind;
using namespace zorvalind::testing;

namespace {

constexpr const char* kDescriptorCapsule = "zorvalind_testing.descriptor";

struct DescriptorBox {
    std::string function_name;
    std::optional<std::string> class_name;
    std::vector<std::string> positional_storage;
    std::vector<std::string> keyword_storage;
    std::vector<std::string_view> positional;
    std::vector<KeywordOnlyParameter> keyword_only;
    ArgumentDescriptor descriptor{};
    std::size_t slot_count = 0;
};

void destroy_descriptor(PyObject* capsule) {
    delete static_cast<DescriptorBox*>(PyCapsule_GetPointer(capsule, kDescriptorCapsule));
}

PyObject* g_missing = nullptr;  // stands for an empty slot

Outcome bind_with(DescriptorBox& box, std::size_t slot_count, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
    std::vector<PyObject*> slots(std::max(slot_count, box.slot_count), nullptr);
    Status bound = bind_fastcall_arguments(box.descriptor, args, nargs, kwnames, slots.data(), slot_count);
    if (!bound.ok()) return bound.take_error();
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(box.slot_count));
    if (tuple == nullptr) return fetch_pending();
    for (std::size_t i = 0; i < box.slot_count; ++i) {
        tuple_fill(tuple, static_cast<Py_ssize_t>(i), Py_NewRef(slots[i] ? slots[i] : g_missing));
    }
    return tuple;
}

PyObject* binder_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_at_boundary([&]() -> Outcome {
        auto* box = static_cast<DescriptorBox*>(PyCapsule_GetPointer(self, kDescriptorCapsule));
        if (box == nullptr) return fetch_pending();
        return bind_with(*box, box->slot_count, args, PyVectorcall_NARGS(nargs), kwnames);
    });
}

PyMethodDef binder_method{"binder", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(binder_call)),
                          METH_FASTCALL | METH_KEYWORDS, nullptr};

Result<std::vector<std::string>> text_list(PyObject* sequence) {
    std::vector<std::string> out;
    PyObject* items = PySequence_Tuple(sequence);
    if (items == nullptr) return fetch_pending();
    OwnedRef owned = OwnedRef::steal(items);
    for (Py_ssize_t i = 0; i < tuple_size(items); ++i) {
        Result<std::string_view> text = unicode_text(tuple_item(items, i));
        if (!text.ok()) return text.take_error();
        out.emplace_back(text.value());
    }
    return out;
}

// make_binder(function_name, class_name, positional_names, positional_only_count,
//             required_positional_count, keyword_only_names, keyword_only_required)
PyObject* t_make_binder(PyObject*, PyObject* args) {
    return run_at_boundary([&]() -> Outcome {
        const char* function_name = nullptr;
        PyObject* class_name = nullptr;
        PyObject* positional = nullptr;
        Py_ssize_t positional_only = 0;
        Py_ssize_t required = 0;
        PyObject* keyword_names = nullptr;
        PyObject* keyword_required = nullptr;
        if (!PyArg_ParseTuple(args, "sOOnnOO", &function_name, &class_name, &positional, &positional_only, &required,
                              &keyword_names, &keyword_required)) {
            return parse_failed();
        }
        auto box = std::make_unique<DescriptorBox>();
        box->function_name = function_name;
        if (class_name != Py_None) {
            Result<std::string_view> text = unicode_text(class_name);
            if (!text.ok()) return text.take_error();
            box->class_name = std::string(text.value());
        }
        Result<std::vector<std::string>> names = text_list(positional);
        if (!names.ok()) return names.take_error();
        box->positional_storage = std::move(names.value());
        Result<std::vector<std::string>> kw_names = text_list(keyword_names);
        if (!kw_names.ok()) return kw_names.take_error();
        box->keyword_storage = std::move(kw_names.value());
        for (const std::string& name : box->positional_storage) box->positional.emplace_back(name);
        PyObject* flags = PySequence_Tuple(keyword_required);
        if (flags == nullptr) return fetch_pending();
        OwnedRef owned_flags = OwnedRef::steal(flags);
        if (tuple_size(flags) != static_cast<Py_ssize_t>(box->keyword_storage.size())) {
            return PyErr::new_lazy(PyExc_ValueError, "one required flag per keyword-only name");
        }
        for (std::size_t i = 0; i < box->keyword_storage.size(); ++i) {
            const int flag = PyObject_IsTrue(tuple_item(flags, static_cast<Py_ssize_t>(i)));
            box->keyword_only.push_back(KeywordOnlyParameter{box->keyword_storage[i], flag == 1});
        }
        box->descriptor = ArgumentDescriptor{
            box->function_name,
            box->class_name.has_value() ? std::optional<std::string_view>(*box->class_name) : std::nullopt,
            box->positional,
            static_cast<std::size_t>(positional_only),
            static_cast<std::size_t>(required),
            box->keyword_only};
        box->slot_count = box->positional.size() + box->keyword_only.size();
        PyObject* capsule = PyCapsule_New(box.get(), kDescriptorCapsule, destroy_descriptor);
        if (capsule == nullptr) return fetch_pending();
        (void)box.release();  // the capsule owns the box now
        OwnedRef owned_capsule = OwnedRef::steal(capsule);
        PyObject* function = PyCMethod_New(&binder_method, capsule, nullptr, nullptr);
        if (function == nullptr) return fetch_pending();
        return function;
    });
}

// bind_with_slot_count(binder, slot_count, args_tuple, kwnames_tuple_or_None, kwvalues_tuple)
PyObject* t_bind_with_slot_count(PyObject*, PyObject* args) {
    return run_at_boundary([&]() -> Outcome {
        PyObject* binder = nullptr;
        Py_ssize_t slot_count = 0;
        if (!PyArg_ParseTuple(args, "On", &binder, &slot_count)) return parse_failed();
        PyObject* self = PyCFunction_GetSelf(binder);
        auto* box = static_cast<DescriptorBox*>(PyCapsule_GetPointer(self, kDescriptorCapsule));
        if (box == nullptr) return fetch_pending();
        return bind_with(*box, static_cast<std::size_t>(slot_count), nullptr, 0, nullptr);
    });
}

// vectorcall(callable, positional_tuple, kwnames_tuple_or_None, kwvalues_tuple):
// a fast call with any keyword-name objects, as a native caller may make it.
PyObject* t_vectorcall(PyObject*, PyObject* args) {
    return run_at_boundary([&]() -> Outcome {
        PyObject* callable = nullptr;
        PyObject* positional = nullptr;
        PyObject* kwnames = nullptr;
        PyObject* kwvalues = nullptr;
        if (!PyArg_ParseTuple(args, "OO!OO!", &callable, &PyTuple_Type, &positional, &kwnames, &PyTuple_Type,
                              &kwvalues)) {
            return parse_failed();
        }
        Result<NativeCall> call = native_call(positional, kwnames, kwvalues);
        if (!call.ok()) return call.take_error();
        NativeCall& made = call.value();
        PyObject* result = PyObject_Vectorcall(callable, made.stack.data(), made.nargs, made.kwnames);
        if (result == nullptr) return fetch_pending();
        return result;
    });
}

PyObject* t_to_int64(PyObject*, PyObject* object) {
    return run_at_boundary([&]() -> Outcome {
        Result<std::int64_t> value = to_int64(object);
        if (!value.ok()) return value.take_error();
        return from_int64(value.value());
    });
}

PyObject* t_wrap_argument_error(PyObject*, PyObject* args) {
    return run_at_boundary([&]() -> Outcome {
        const char* name = nullptr;
        PyObject* exception = nullptr;
        if (!PyArg_ParseTuple(args, "sO", &name, &exception)) return parse_failed();
        return wrap_argument_error(name, PyErr::from_object(Py_NewRef(exception)));
    });
}

}  // namespace

namespace zorvalind::testing {

Result<NativeCall> native_call(PyObject* positional, PyObject* kwnames, PyObject* kwvalues) {
    if (kwnames != Py_None && !PyTuple_Check(kwnames)) {
        return PyErr::new_lazy(PyExc_TypeError, "kwnames must be a tuple or None");
    }
    const Py_ssize_t nargs = tuple_size(positional);
    const Py_ssize_t nkw = kwnames == Py_None ? 0 : tuple_size(kwnames);
    if (tuple_size(kwvalues) != nkw) {
        return PyErr::new_lazy(PyExc_ValueError, "one value per keyword name");
    }
    NativeCall call;
    call.stack.reserve(static_cast<std::size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) call.stack.push_back(tuple_item(positional, i));
    for (Py_ssize_t i = 0; i < nkw; ++i) call.stack.push_back(tuple_item(kwvalues, i));
    call.nargs = static_cast<std::size_t>(nargs);
    call.kwnames = kwnames == Py_None ? nullptr : kwnames;
    return call;
}

PyObject* missing_slot_sentinel() {
    if (g_missing == nullptr) {
        g_missing = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    }
    return g_missing;
}

std::span<const PyMethodDef> args_probes() {
    static const PyMethodDef probes[] = {
        {"make_binder", t_make_binder, METH_VARARGS, nullptr},
        {"bind_with_slot_count", t_bind_with_slot_count, METH_VARARGS, nullptr},
        {"vectorcall", t_vectorcall, METH_VARARGS, nullptr},
        {"to_int64", t_to_int64, METH_O, nullptr},
        {"wrap_argument_error", t_wrap_argument_error, METH_VARARGS, nullptr},
    };
    return probes;
}

}  // namespace zorvalind::testing
