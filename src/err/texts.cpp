// Texts of the error model. Every routine here runs on a failure path.
#include "err/texts.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include "attach/attach.hpp"
#include "attach/owned_ref.hpp"
#include "err/objects.hpp"
#include "err/tuple.hpp"
#include "fault/internal_fault.hpp"

namespace zorvalind {

namespace {

InternedName g_io_name("io");
InternedName g_string_io_name("StringIO");
InternedName g_getvalue_name("getvalue");

std::optional<std::string> type_qualname_lossy(PyObject* type) {
    PyObject* name = PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type));
    if (name == nullptr) {
        return std::nullopt;
    }
    OwnedRef owned = OwnedRef::steal(name);
    return unicode_text_lossy(owned.get());
}

void append_target_text(std::string& out, PyObject* target) {
    if (PyType_FastSubclass(Py_TYPE(target), Py_TPFLAGS_TYPE_SUBCLASS)) {
        PyObject* name = PyType_GetQualName(reinterpret_cast<PyTypeObject*>(target));
        if (name == nullptr) {
            (void)fetch_pending();
            raise_fault("could not format the cast error message: the target type has no readable name");
        }
        OwnedRef owned = OwnedRef::steal(name);
        out += unicode_text_lossy(owned.get());
        return;
    }
    if (PyType_FastSubclass(Py_TYPE(target), Py_TPFLAGS_TUPLE_SUBCLASS)) {
        const Py_ssize_t count = tuple_size(target);
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (i > 0) {
                out += " | ";
            }
            append_target_text(out, tuple_item(target, i));
        }
        return;
    }
    out += object_display_text(target);
}

// `Out` is a std::string or a MessageWriter.
template <class Out>
void append_unicode_text_lossy(Out& out, PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data != nullptr) {
        out += std::string_view(data, static_cast<std::size_t>(size));
        return;
    }
    (void)fetch_pending();
    out += unicode_text_lossy(str);
}

template <class Out, class Convert>
void append_object_text_with_fallback(Out& out, PyObject* object, Convert convert) {
    PyObject* text_object = convert(object);
    if (text_object != nullptr) {
        OwnedRef owned = OwnedRef::steal(text_object);
        append_unicode_text_lossy(out, owned.get());
        return;
    }
    report_unraisable(fetch_pending(), object);
    OwnedRef type = OwnedRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    PyObject* name = PyType_GetName(reinterpret_cast<PyTypeObject*>(type.get()));
    if (name == nullptr) {
        (void)fetch_pending();
        out += "<unprintable object>";
        return;
    }
    OwnedRef owned_name = OwnedRef::steal(name);
    out += "<unprintable ";
    append_object_text_with_fallback(out, owned_name.get(), PyObject_Str);
    out += " object>";
}

}  // namespace

PyObject* str_from_text(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* sole_str_argument(PyObject* exception) noexcept {
#if defined(Py_LIMITED_API)
    // A new reference to the args; the exception keeps them alive after it
    // is given back.
    PyObject* const args = PyException_GetArgs(exception);
    if (args == nullptr) {
        return nullptr;
    }
    Py_DECREF(args);
#else
    PyObject* const args = reinterpret_cast<PyBaseExceptionObject*>(exception)->args;
    if (args == nullptr) {
        return nullptr;
    }
#endif
    if (!PyTuple_CheckExact(args) || tuple_size(args) != 1) {
        return nullptr;
    }
    PyObject* const text = tuple_item(args, 0);
    return PyUnicode_CheckExact(text) ? text : nullptr;
}

Result<std::string_view> unicode_text(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) {
        return fetch_pending();
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

std::string unicode_text_lossy(PyObject* str) {
    Result<std::string_view> strict = unicode_text(str);
    if (strict.ok()) {
        return std::string(strict.value());
    }
    (void)strict.take_error();
    PyObject* encoded = PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass");
    if (encoded == nullptr) {
        fail_api_call();
    }
    OwnedRef bytes = OwnedRef::steal(encoded);
    // Each byte of a lone surrogate's encoding is an ill-formed subsequence
    // of its own: each becomes one U+FFFD.
    PyObject* decoded = PyUnicode_DecodeUTF8(PyBytes_AsString(bytes.get()), PyBytes_Size(bytes.get()), "replace");
    if (decoded == nullptr) {
        fail_api_call();
    }
    OwnedRef replaced = OwnedRef::steal(decoded);
    Result<std::string_view> text = unicode_text(replaced.get());
    if (!text.ok()) {
        fail_api_call();
    }
    return std::string(text.value());
}

void append_unicode_text_lossy(MessageWriter& out, PyObject* str) {
    append_unicode_text_lossy<MessageWriter>(out, str);
}

void append_object_display_text(MessageWriter& out, PyObject* object) {
    append_object_text_with_fallback(out, object, PyObject_Str);
}

std::string object_display_text(PyObject* object) {
    std::string out;
    append_object_text_with_fallback(out, object, PyObject_Str);
    return out;
}

std::string object_repr_text(PyObject* object) {
    std::string out;
    append_object_text_with_fallback(out, object, PyObject_Repr);
    return out;
}

Result<std::string> format_traceback(PyObject* traceback) {
    PyObject* io_module = PyImport_Import(g_io_name.get());
    if (io_module == nullptr) {
        return fetch_pending();
    }
    OwnedRef io = OwnedRef::steal(io_module);
    Result<OwnedRef> string_io_type = get_attribute(io.get(), g_string_io_name.get());
    if (!string_io_type.ok()) {
        return string_io_type.take_error();
    }
    PyObject* created = PyObject_CallNoArgs(string_io_type.value().get());
    if (created == nullptr) {
        return fetch_pending();
    }
    OwnedRef string_io = OwnedRef::steal(created);
    if (PyTraceBack_Print(traceback, string_io.get()) == -1) {
        return fetch_pending();
    }
    Result<OwnedRef> getvalue = get_attribute(string_io.get(), g_getvalue_name.get());
    if (!getvalue.ok()) {
        return getvalue.take_error();
    }
    PyObject* value = PyObject_CallNoArgs(getvalue.value().get());
    if (value == nullptr) {
        return fetch_pending();
    }
    OwnedRef text = OwnedRef::steal(value);
    if (!PyType_FastSubclass(Py_TYPE(text.get()), Py_TPFLAGS_UNICODE_SUBCLASS)) {
        return CastError(text.get(), Py_NewRef(reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    }
    Result<std::string_view> view = unicode_text(text.get());
    if (!view.ok()) {
        return view.take_error();
    }
    return std::string(view.value());
}

namespace {
void append_code_point_escape(std::string& out, unsigned code_point) {
    char escaped[16];
    std::snprintf(escaped, sizeof escaped, "\\u{%x}", code_point);
    out += escaped;
}
}  // namespace

std::string quoted_literal(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        // U+0080..U+009F, the C1 controls: C2 80..C2 9F in UTF-8.
        if (byte == 0xC2 && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x80 && next <= 0x9F) {
                append_code_point_escape(out, next);
                ++i;
                continue;
            }
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    append_code_point_escape(out, byte);
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

std::string debug_text(PyErr& error) {
    attach::Attachment attachment = attach::Attachment::acquire();
    std::string out = "PyErr { type: ";
    {
        OwnedRef type = OwnedRef::steal(exception_type(error));
        out += object_repr_text(type.get());
    }
    out += ", value: ";
    out += object_repr_text(exception_value(error));
    out += ", traceback: ";
    OwnedRef traceback = OwnedRef::steal(exception_traceback(error));
    if (!traceback) {
        out += "None";
    } else {
        Result<std::string> text = format_traceback(traceback.get());
        std::string shown;
        if (text.ok()) {
            shown = std::move(text.value());
        } else {
            report_unraisable(text.take_error(), traceback.get());
            shown = "<unformattable " + object_repr_text(traceback.get()) + ">";
        }
        out += "Some(";
        out += quoted_literal(shown);
        out += ")";
    }
    out += " }";
    return out;
}

std::string cast_error_message(PyObject* failed_type, PyObject* target) {
    std::string out = "'";
    std::optional<std::string> name = type_qualname_lossy(failed_type);
    if (name.has_value()) {
        out += *name;
    } else {
        (void)fetch_pending();
        out += "<failed to extract type name>";
    }
    out += "' object cannot be cast as '";
    append_target_text(out, target);
    out += "'";
    return out;
}

void fail_api_call() {
    PyErr_Print();
    raise_fault("Python API call failed");
}

}  // namespace zorvalind
